#pragma once
// TLS under the socket, over OpenSSL, always as the client of the handshake
// (also on a data connection that this side accepted). One TTlsContext
// serves every connection of one FTP session: it holds the trust settings
// and the newest TLS session the server handed out, so that each data
// connection resumes from it, as servers that insist on session reuse demand.
#include <memory>
#include <string>

#include "ftp/SocketTransport.h"

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace trelvo {

struct TTlsSettings {
  std::string CaFile;       // PEM certificates to trust; empty: the system's authorities
  std::string Fingerprint;  // SHA-256 of the one certificate to accept (hex, colons optional); empty: none
  std::string PeerName;     // host name or address the certificate must be issued for
  // The newest version to offer ("TLSv1.2"); empty: the newest there is.
  // For servers that stumble over TLS 1.3, and for tests of both.
  std::string HighestVersion;
};

// What the handshake agreed on, for an operator to see.
struct TTlsInfo {
  std::string Version;      // "TLSv1.3"
  std::string Cipher;       // "TLS_AES_256_GCM_SHA384"
  std::string Subject;      // "CN=ftp.example.com,O=Example"
  std::string Fingerprint;  // "AB:CD:..." (SHA-256 of the certificate)
  bool Resumed = false;     // the session was taken over from an earlier connection
};

class TTlsContext {
 public:
  explicit TTlsContext(TTlsSettings trust);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  const TTlsSettings& Settings() const { return Settings_; }
  // Null, with Failure() saying why, when the settings cannot be used (a CA
  // file that does not load, a fingerprint that is no SHA-256 in hex).
  ssl_ctx_st* Handle();
  const std::string& Failure() const { return Failure_; }
  ssl_session_st* NewestSession() const { return Newest_; }

 private:
  static int NewSession(ssl_st* ssl, ssl_session_st* session);

  TTlsSettings Settings_;
  ssl_ctx_st* Ctx_ = nullptr;
  bool Tried_ = false;
  std::string Failure_;
  ssl_session_st* Newest_ = nullptr;
};

class TTlsTransport : public TSocketTransport {
 public:
  explicit TTlsTransport(std::shared_ptr<TTlsContext> context);
  ~TTlsTransport() override;

  // One step of the handshake; Done once it and the trust check have passed.
  // Failed leaves the reason in Failure().
  TIoResult Handshake(int fd);
  // Sends close_notify; WantWrite when the system cannot take it yet.
  TIoResult Shutdown(int fd);

  TIoResult Read(int fd, void* buffer, size_t size) override;
  TIoResult Write(int fd, const iovec* parts, int count, bool urgent) override;
  size_t Buffered() const override;
  bool Secure() const override { return true; }

  const std::string& Failure() const { return Failure_; }
  TTlsInfo Info() const;

 private:
  TIoResult Result(int rc, const char* what);
  // Reads what has arrived and drops it, so that session tickets sent on a
  // connection that only uploads are taken before it closes.
  void DrainIncoming();
  bool CheckTrust();

  std::shared_ptr<TTlsContext> Context_;
  ssl_st* Ssl_ = nullptr;
  int Fd_ = -1;
  std::string Failure_;
  bool PeerClosed_ = false;  // the peer's close_notify has arrived
  bool Broken_ = false;      // a fatal error: no close_notify any more
};

// SHA-256 fingerprint text in the form operators compare: upper case, without colons.
std::string NormalFingerprint(const std::string& text);

}  // namespace trelvo
