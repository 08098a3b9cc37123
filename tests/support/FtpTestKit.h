#pragma once
// What the FTP tests share: the Qt application the client needs, real
// servers started on a free loopback port (pyftpdlib, vsftpd), and a scripted
// fake server for replies real servers do not give on demand.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "ftp/FtpClient.h"

namespace trelvo::test {

// The one QCoreApplication of the test process, made on first use.
void EnsureQtApp();

// A child process stopped by its PID when the object goes.
class TChildProcess {
 public:
  TChildProcess(const std::vector<std::string>& argv, const std::string& logFile);
  ~TChildProcess();
  pid_t Pid() const { return Pid_; }

 private:
  pid_t Pid_ = -1;
};

bool WaitForPort(int port, int timeoutMs);

// pyftpdlib serving root (user "test", password "secret" unless given) with
// wildcard NLST.
class TPyFtpServer {
 public:
  explicit TPyFtpServer(const std::string& root, const std::string& user = "test",
                        const std::string& password = "secret");
  int Port() const { return Port_; }
  // Where the server writes its log (and everything else it writes but the
  // files it serves).
  std::string WorkDir() const { return Work_.Path(); }

 private:
  TTempDir Work_;
  int Port_;
  std::unique_ptr<TChildProcess> Process_;
};

// vsftpd with anonymous access; root is made unwritable and root/pub is
// writable by the ftp user, as vsftpd demands. Needs root: Available() says.
class TVsftpdServer {
 public:
  explicit TVsftpdServer(const std::string& root) : TVsftpdServer(root, {"pub"}) {}
  // dirs: the subdirectories of root made writable by the ftp user (a name
  // may have several levels, "Sorvel/In"); extraConf: further lines of
  // vsftpd.conf, later lines overriding earlier ones (for example
  // "anon_other_write_enable=NO" for a server that refuses DELE and RNFR).
  TVsftpdServer(const std::string& root, const std::vector<std::string>& dirs, const std::string& extraConf = "");
  static bool Available();
  int Port() const { return Port_; }

 private:
  TTempDir Work_;
  int Port_;
  std::unique_ptr<TChildProcess> Process_;
};

// A self-signed certificate made with the openssl command: issued for the
// name given (as its common name and its only subject alternative name, an
// IP address when it is one), with its SHA-256 fingerprint "AB:CD:...".
struct TTestCertificate {
  std::string CertFile, KeyFile, Fingerprint;
};
TTestCertificate MakeTestCertificate(const std::string& dir, const std::string& name = "127.0.0.1");

// vsftpd that demands TLS for a local user with a password (TlsUser /
// TlsPassword, made once as a system user), for the login and every data
// connection, with the data connections' TLS session resumed from the
// control connection's. The user is kept in root (chroot), dirs are made
// writable by it. Needs root, as TVsftpdServer.
class TVsftpdTlsServer {
 public:
  TVsftpdTlsServer(const std::string& root, const std::vector<std::string>& dirs, const TTestCertificate& cert,
                   bool implicit, const std::string& extraConf = "");
  static constexpr const char* TlsUser = "trelvoftp";
  static constexpr const char* TlsPassword = "Tls-Secret-42";
  int Port() const { return Server_->Port(); }

 private:
  std::unique_ptr<TVsftpdServer> Server_;
};

// pure-ftpd (Debian's package, unpacked into the build on first use; it
// conflicts with vsftpd as an installed package) refusing any session
// without TLS (-Y 2), for a system user with a password whose home, the
// chroot, is root. Needs root: Available() says, and fetches the binary.
class TPureFtpdTlsServer {
 public:
  TPureFtpdTlsServer(const std::string& root, const std::vector<std::string>& dirs, const TTestCertificate& cert);
  static bool Available();
  static constexpr const char* TlsUser = "trelvopure";
  static constexpr const char* TlsPassword = "Pure-Secret-7";
  int Port() const { return Port_; }

 private:
  TTempDir Work_;
  int Port_;
  std::unique_ptr<TChildProcess> Process_;
};

// One accepted control connection of the fake server, used by the script.
class TFakeSession {
 public:
  explicit TFakeSession(int fd) : Fd_(fd) {}
  ~TFakeSession();
  void Send(const std::string& raw);
  // The next command line (without CR LF); "" at end of stream.
  std::string ReadCommand();
  // Reads a command and records it.
  std::string Read();
  // Reads a command, records it and answers it with reply (raw bytes).
  std::string Expect(const std::string& reply);
  // Connects to the address of the last PORT command; returns the socket.
  int ConnectToPort();
  void CloseControl();
  // Serves TLS on the control connection from here on (the server's side of
  // the handshake); false when the client broke the handshake off.
  bool StartTls(const TTestCertificate& cert);
  // Bytes as they come, without TLS: for scripts that break a handshake.
  std::string RawReceive();
  int Fd() const { return Fd_; }
  std::vector<std::string> Commands;
  std::string LastPort;

 private:
  int Fd_;
  std::string Pending_;
  void* SslCtx_ = nullptr;
  void* Ssl_ = nullptr;
};

// Listens on a free loopback port and runs script on the first connection,
// in a thread of its own (the client under test pumps the main thread).
class TFakeServer {
 public:
  explicit TFakeServer(std::function<void(TFakeSession&)> script);
  ~TFakeServer();
  int Port() const { return Port_; }
  // Commands received, once the script has ended.
  std::vector<std::string> Commands();

 private:
  int ListenFd_ = -1;
  int Port_ = 0;
  std::thread Thread_;
  std::mutex Mutex_;
  std::vector<std::string> Commands_;
};

void SendAll(int fd, const std::string& data);
std::string ReceiveAll(int fd);
std::string RandomBytes(size_t n, unsigned seed);

}  // namespace trelvo::test
