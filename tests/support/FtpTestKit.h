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
  // False once the process has ended (it is then reaped).
  bool Running();

 private:
  pid_t Pid_ = -1;
};

bool WaitForPort(int port, int timeoutMs);

// Starts a server on a free loopback port: start(port) makes the process.
// A port taken by someone else between the choice and the server's bind
// ends the process early; then it is tried again on another port.
std::unique_ptr<TChildProcess> StartOnFreePort(const std::function<std::unique_ptr<TChildProcess>(int)>& start,
                                               int& port);

// A real FTP server on loopback: its port and the login it takes.
class TRealFtpServer {
 public:
  virtual ~TRealFtpServer() = default;
  virtual int Port() const = 0;
  virtual std::string User() const { return "test"; }
  virtual std::string Password() const { return "secret"; }
};

// pyftpdlib serving root (user "test", password "secret" unless given) with
// wildcard NLST.
class TPyFtpServer : public TRealFtpServer {
 public:
  explicit TPyFtpServer(const std::string& root, const std::string& user = "test",
                        const std::string& password = "secret");
  int Port() const override { return Port_; }
  std::string User() const override { return User_; }
  std::string Password() const override { return Password_; }
  // Where the server writes its log (and everything else it writes but the
  // files it serves).
  std::string WorkDir() const { return Work_.Path(); }

 private:
  TTempDir Work_;
  int Port_;
  std::string User_, Password_;
  std::unique_ptr<TChildProcess> Process_;
};

// vsftpd with anonymous access; root is made unwritable and root/pub is
// writable by the ftp user, as vsftpd demands. Needs root: Available() says.
class TVsftpdServer : public TRealFtpServer {
 public:
  explicit TVsftpdServer(const std::string& root) : TVsftpdServer(root, {"pub"}) {}
  // dirs: the subdirectories of root made writable by the ftp user (a name
  // may have several levels, "Sorvel/In"); extraConf: further lines of
  // vsftpd.conf, later lines overriding earlier ones (for example
  // "anon_other_write_enable=NO" for a server that refuses DELE and RNFR).
  TVsftpdServer(const std::string& root, const std::vector<std::string>& dirs, const std::string& extraConf = "");
  static bool Available();
  int Port() const override { return Port_; }
  std::string User() const override { return "anonymous"; }
  std::string Password() const override { return "trelvo@example.com"; }

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

// pure-ftpd (the build's unpacked package, as TPureFtpdServer) refusing any
// session without TLS (-Y 2), for a virtual user TlsUser / TlsPassword of
// its own password database, acting as ftp and chrooted to root. Needs root
// and the unpacked package: Available() says.
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

// Where scripts/ftp-test-servers unpacked pure-ftpd and proftpd (the build's
// ftp-servers folder, or TRELVO_FTP_SERVERS).
std::string FtpServersDir();

// pure-ftpd with a password user "test" ("secret") of its own puredb, acting
// as the ftp account and chrooted to root; dirs are made there. Needs root
// and the unpacked package: Available() says.
class TPureFtpdServer : public TRealFtpServer {
 public:
  explicit TPureFtpdServer(const std::string& root, const std::vector<std::string>& dirs = {});
  static bool Available();
  int Port() const override { return Port_; }

 private:
  TTempDir Work_;
  int Port_;
  std::unique_ptr<TChildProcess> Process_;
};

// proftpd with a password user "test" ("secret") of its own AuthUserFile,
// acting as the ftp account and chrooted to root; as TPureFtpdServer.
class TProftpdServer : public TRealFtpServer {
 public:
  explicit TProftpdServer(const std::string& root, const std::vector<std::string>& dirs = {});
  static bool Available();
  int Port() const override { return Port_; }

 private:
  TTempDir Work_;
  int Port_;
  std::unique_ptr<TChildProcess> Process_;
};

// The four real servers the exchange is tested against.
enum class TFtpServerKind { Vsftpd, PyFtpdlib, PureFtpd, Proftpd };
const char* ServerName(TFtpServerKind kind);
// Empty when the server can run here, else why not (for GTEST_SKIP).
std::string ServerMissing(TFtpServerKind kind);
// The server serving root, with dirs (one or more levels) made in it and
// writable for its users.
std::unique_ptr<TRealFtpServer> StartFtpServer(TFtpServerKind kind, const std::string& root,
                                               const std::vector<std::string>& dirs);

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
  // from: the local address to connect from (any loopback address).
  int ConnectToPort(const std::string& from = "");
  // Listens on a free port of 127.0.0.1 for a passive data connection;
  // returns the port. AcceptPassive takes the connection (-1 after 10 s).
  int ListenPassive();
  int AcceptPassive();
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
  int PassiveFd_ = -1;
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
