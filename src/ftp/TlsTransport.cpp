#include "ftp/TlsTransport.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <sys/socket.h>

#include "ftp/AsyncSocket.h"

namespace trelvo {

namespace {

// The reasons OpenSSL queued, oldest first; the queue is emptied.
std::string OpenSslReasons() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(e);
    std::string r = reason ? reason : "error " + std::to_string(ERR_GET_REASON(e));
    if (text.find(r) != std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += r;
  }
  return text;
}

bool IsIpAddress(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

std::string Subject(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string s(data, static_cast<size_t>(len > 0 ? len : 0));
  BIO_free(bio);
  return s.empty() ? "(no subject)" : s;
}

std::string Fingerprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &len) != 1) return "";
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (unsigned i = 0; i < len; ++i) {
    if (i) s += ':';
    s += hex[md[i] >> 4];
    s += hex[md[i] & 15];
  }
  return s;
}

// OpenSSL's own socket BIO writes with write(2), and a peer that has gone
// would end the whole program with SIGPIPE; this one sends as the plain
// transport does. The descriptor stays the socket's.
struct TBioState {
  int Fd;
  bool Eof = false;
};

int BioWrite(BIO* b, const char* data, int len) {
  auto* st = static_cast<TBioState*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n = ::send(st->Fd, data, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int BioRead(BIO* b, char* data, int len) {
  auto* st = static_cast<TBioState*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n = ::recv(st->Fd, data, static_cast<size_t>(len), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
  if (n == 0) st->Eof = true;
  return static_cast<int>(n);
}

long BioCtrl(BIO* b, int cmd, long, void*) {
  auto* st = static_cast<TBioState*>(BIO_get_data(b));
  switch (cmd) {
    case BIO_CTRL_FLUSH: return 1;
    case BIO_CTRL_EOF: return st && st->Eof ? 1 : 0;
    default: return 0;
  }
}

int BioDestroy(BIO* b) {
  delete static_cast<TBioState*>(BIO_get_data(b));
  BIO_set_data(b, nullptr);
  return 1;
}

BIO* NewSocketBio(int fd) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "trelvo socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_destroy(m, BioDestroy);
    return m;
  }();
  BIO* bio = BIO_new(method);
  if (!bio) return nullptr;
  BIO_set_data(bio, new TBioState{fd});
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace

std::string NormalFingerprint(const std::string& text) {
  std::string s;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return s;
}

// ---- the context of one session ----

TTlsContext::TTlsContext(TTlsSettings trust) : Settings_(std::move(trust)) {}

TTlsContext::~TTlsContext() {
  if (Newest_) SSL_SESSION_free(Newest_);
  if (Ctx_) SSL_CTX_free(Ctx_);
}

ssl_ctx_st* TTlsContext::Handle() {
  if (Tried_) return Ctx_;
  Tried_ = true;
  ERR_clear_error();
  if (!Settings_.Fingerprint.empty()) {
    const std::string fp = NormalFingerprint(Settings_.Fingerprint);
    bool hex = fp.size() == 64 && std::all_of(fp.begin(), fp.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    if (!hex) {
      Failure_ = "the pinned fingerprint \"" + Settings_.Fingerprint + "\" is no SHA-256 fingerprint (64 hex digits)";
      return nullptr;
    }
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    Failure_ = "cannot set up TLS: " + OpenSslReasons();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (Settings_.HighestVersion == "TLSv1.2") SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  // The chain and the name are checked after the handshake (CheckTrust), so
  // that a refusal can name the certificate the operator would have to pin.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (Settings_.Fingerprint.empty()) {
    bool loaded = Settings_.CaFile.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                        : SSL_CTX_load_verify_locations(ctx, Settings_.CaFile.c_str(), nullptr) == 1;
    if (!loaded) {
      Failure_ = Settings_.CaFile.empty() ? "cannot load the system's certificate authorities: " + OpenSslReasons()
                                       : "cannot load the certificates of " + Settings_.CaFile + ": " + OpenSslReasons();
      SSL_CTX_free(ctx);
      return nullptr;
    }
  }
  // Partial writes let the socket hand over its blocks as they come and
  // keep what the system could not take; the retry may come from another
  // address once the socket's buffers have moved.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Every session the server issues (with TLS 1.3 each ticket is good for
  // one resumption, and data connections bring new ones) replaces the last.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, &TTlsContext::NewSession);
  SSL_CTX_set_app_data(ctx, this);
  Ctx_ = ctx;
  return Ctx_;
}

int TTlsContext::NewSession(ssl_st* ssl, ssl_session_st* session) {
  auto* self = static_cast<TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!self) return 0;
  if (self->Newest_) SSL_SESSION_free(self->Newest_);
  self->Newest_ = session;
  return 1;  // the reference is ours now
}

// ---- one protected connection ----

TTlsTransport::TTlsTransport(std::shared_ptr<TTlsContext> context) : Context_(std::move(context)) {
  SSL_CTX* ctx = Context_->Handle();
  if (!ctx) {
    Failure_ = Context_->Failure();
    return;
  }
  Ssl_ = SSL_new(ctx);
  if (!Ssl_) Failure_ = "cannot set up TLS: " + OpenSslReasons();
}

TTlsTransport::~TTlsTransport() {
  if (Ssl_) SSL_free(Ssl_);
}

TIoResult TTlsTransport::Result(int rc, const char* what) {
  int err = SSL_get_error(Ssl_, rc);
  switch (err) {
    case SSL_ERROR_WANT_READ: return {0, TIoStatus::WantRead, WSAEWOULDBLOCK};
    case SSL_ERROR_WANT_WRITE: return {0, TIoStatus::WantWrite, WSAEWOULDBLOCK};
    case SSL_ERROR_ZERO_RETURN:
      PeerClosed_ = true;
      return {0, TIoStatus::Done, 0};
    default: break;
  }
  const int sysErrno = errno;
  std::string reasons = OpenSslReasons();
  int winsock = WSAECONNABORTED;
  if (err == SSL_ERROR_SYSCALL && sysErrno != 0) {
    winsock = WinsockErrorFromErrno(sysErrno);
    if (reasons.empty()) reasons = WSocketErrorDesc(winsock);
  }
  if (reasons.empty() || reasons == "unexpected eof while reading") {
    // A stream that ends without close_notify may have been cut short by
    // anyone on the way: it does not count as a complete one.
    reasons = "the connection was closed without a TLS close";
    winsock = WSAECONNRESET;
  }
  Failure_ = std::string(what) + ": " + reasons;
  Broken_ = true;
  return {0, TIoStatus::Failed, winsock};
}

TIoResult TTlsTransport::Handshake(int fd) {
  if (!Ssl_) return {0, TIoStatus::Failed, WSAECONNABORTED};
  if (Fd_ < 0) {
    Fd_ = fd;
    BIO* bio = NewSocketBio(fd);
    if (!bio) {
      Failure_ = "cannot set up TLS: " + OpenSslReasons();
      return {0, TIoStatus::Failed, WSAECONNABORTED};
    }
    SSL_set_bio(Ssl_, bio, bio);
    SSL_set_connect_state(Ssl_);
    const TTlsSettings& trust = Context_->Settings();
    const bool ip = IsIpAddress(trust.PeerName);
    if (!ip && !trust.PeerName.empty()) SSL_set_tlsext_host_name(Ssl_, trust.PeerName.c_str());
    if (trust.Fingerprint.empty()) {
      if (ip)
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Ssl_), trust.PeerName.c_str());
      else
        SSL_set1_host(Ssl_, trust.PeerName.c_str());
    }
    if (ssl_session_st* s = Context_->NewestSession()) SSL_set_session(Ssl_, s);
  }
  ERR_clear_error();
  errno = 0;
  int rc = SSL_do_handshake(Ssl_);
  if (rc == 1) {
    if (!CheckTrust()) return {0, TIoStatus::Failed, WSAECONNABORTED};
    return {0, TIoStatus::Done, 0};
  }
  TIoResult r = Result(rc, "TLS handshake failed");
  if (r.Status == TIoStatus::Done) {  // close_notify instead of a handshake
    Failure_ = "TLS handshake failed: the server ended the TLS session";
    return {0, TIoStatus::Failed, WSAECONNABORTED};
  }
  return r;
}

bool TTlsTransport::CheckTrust() {
  X509* cert = SSL_get0_peer_certificate(Ssl_);
  if (!cert) {
    Failure_ = "TLS certificate missing: the server sent none";
    return false;
  }
  const TTlsSettings& trust = Context_->Settings();
  const std::string named = Subject(cert) + ", SHA-256 " + Fingerprint(cert);
  if (!trust.Fingerprint.empty()) {
    if (NormalFingerprint(Fingerprint(cert)) == NormalFingerprint(trust.Fingerprint)) return true;
    Failure_ = "TLS certificate does not match the pinned fingerprint: " + named;
    return false;
  }
  long result = SSL_get_verify_result(Ssl_);
  if (result == X509_V_OK) return true;
  Failure_ = std::string("TLS certificate not trusted (") + X509_verify_cert_error_string(result) + "): " + named;
  return false;
}

TIoResult TTlsTransport::Read(int, void* buffer, size_t size) {
  if (PeerClosed_) return {0, TIoStatus::Done, 0};
  ERR_clear_error();
  errno = 0;
  int rc = SSL_read(Ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (rc > 0) return {rc, TIoStatus::Done, 0};
  return Result(rc, "TLS read failed");
}

TIoResult TTlsTransport::Write(int, const iovec* parts, int count, bool) {
  ssize_t total = 0;
  for (int i = 0; i < count; ++i) {
    const char* p = static_cast<const char*>(parts[i].iov_base);
    size_t left = parts[i].iov_len;
    while (left > 0) {
      ERR_clear_error();
      errno = 0;
      int rc = SSL_write(Ssl_, p, static_cast<int>(std::min<size_t>(left, INT_MAX)));
      if (rc > 0) {
        total += rc;
        p += rc;
        left -= static_cast<size_t>(rc);
        continue;
      }
      TIoResult r = Result(rc, "TLS write failed");
      // What went out counts; a failure shows again on the next write.
      if (total > 0) return {total, TIoStatus::Done, 0};
      if (r.Status == TIoStatus::Done) return {0, TIoStatus::Failed, WSAECONNRESET};
      return r;
    }
  }
  return {total, TIoStatus::Done, 0};
}

TIoResult TTlsTransport::Shutdown(int) {
  // After a fatal error TLS allows no close_notify.
  if (!Ssl_ || Fd_ < 0 || Broken_ || !SSL_is_init_finished(Ssl_)) return {0, TIoStatus::Done, 0};
  DrainIncoming();
  if (Broken_) return {0, TIoStatus::Done, 0};
  ERR_clear_error();
  errno = 0;
  int rc = SSL_shutdown(Ssl_);
  if (rc >= 0) return {0, TIoStatus::Done, 0};
  int err = SSL_get_error(Ssl_, rc);
  ERR_clear_error();
  if (err == SSL_ERROR_WANT_WRITE) return {0, TIoStatus::WantWrite, WSAEWOULDBLOCK};
  // Our close_notify is out; the peer's is not waited for.
  if (err == SSL_ERROR_WANT_READ) return {0, TIoStatus::Done, 0};
  return {0, TIoStatus::Failed, WSAECONNRESET};
}

void TTlsTransport::DrainIncoming() {
  char scratch[4096];
  for (int i = 0; i < 16 && !PeerClosed_; ++i) {
    ERR_clear_error();
    int rc = SSL_read(Ssl_, scratch, sizeof scratch);
    if (rc > 0) continue;
    int err = SSL_get_error(Ssl_, rc);
    if (err == SSL_ERROR_ZERO_RETURN) PeerClosed_ = true;
    else if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) Broken_ = true;
    ERR_clear_error();
    return;
  }
}

size_t TTlsTransport::Buffered() const { return Ssl_ ? static_cast<size_t>(SSL_pending(Ssl_)) : 0; }

TTlsInfo TTlsTransport::Info() const {
  TTlsInfo info;
  if (!Ssl_ || !SSL_is_init_finished(Ssl_)) return info;
  info.Version = SSL_get_version(Ssl_);
  if (const SSL_CIPHER* c = SSL_get_current_cipher(Ssl_)) info.Cipher = SSL_CIPHER_get_name(c);
  if (X509* cert = SSL_get0_peer_certificate(Ssl_)) {
    info.Subject = Subject(cert);
    info.Fingerprint = Fingerprint(cert);
  }
  info.Resumed = SSL_session_reused(Ssl_) == 1;
  return info;
}

}  // namespace trelvo
