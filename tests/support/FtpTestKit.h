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
  std::vector<std::string> Commands;
  std::string LastPort;

 private:
  int Fd_;
  std::string Pending_;
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
