#include "FtpTestKit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

namespace trelvo::test {

void EnsureQtApp() {
  static int argc = 1;
  static char name[] = "test_ftp";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
}

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::string& logFile) {
  Pid_ = ::fork();
  if (Pid_ < 0) throw std::runtime_error("fork failed");
  if (Pid_ == 0) {
    int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

bool TChildProcess::Running() {
  if (Pid_ <= 0) return false;
  int status;
  if (::waitpid(Pid_, &status, WNOHANG) == Pid_) Pid_ = -1;
  return Pid_ > 0;
}

TChildProcess::~TChildProcess() {
  if (Pid_ > 0) {
    ::kill(Pid_, SIGTERM);
    int status;
    ::waitpid(Pid_, &status, 0);
  }
}

bool WaitForPort(int port, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    ::usleep(20000);
  }
}

std::unique_ptr<TChildProcess> StartOnFreePort(const std::function<std::unique_ptr<TChildProcess>(int)>& start,
                                               int& port) {
  for (int attempt = 0;; ++attempt) {
    port = FreeLoopbackPort();
    std::unique_ptr<TChildProcess> process = start(port);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool up = false;
    while (process->Running() && std::chrono::steady_clock::now() < until) {
      if (WaitForPort(port, 0)) {
        up = true;
        break;
      }
      ::usleep(20000);
    }
    // Listening, and ours: a server that lost the port has ended by now.
    if (up && process->Running()) return process;
    if (process->Running() || attempt == 4) return nullptr;
  }
}

namespace {

// pyftpdlib does not expand wildcards in NLST; the listing steps need it, so
// the test server matches masks itself (without regard to case, as the
// program's masks do) and answers 550 when nothing matches.
const char* PyServerScript = R"PY(
import fnmatch, os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

class Handler(FTPHandler):
    def ftp_NLST(self, path):
        mask = os.path.basename(path)
        if not any(c in mask for c in '*?['):
            return FTPHandler.ftp_NLST(self, path)
        folder = os.path.dirname(path)
        names = sorted(n for n in os.listdir(folder)
                       if os.path.isfile(os.path.join(folder, n))
                       and fnmatch.fnmatch(n.lower(), mask.lower()))
        if not names:
            self.respond('550 No files found.')
            return
        self.push_dtp_data(''.join(n + '\r\n' for n in names).encode('utf8'), cmd='NLST')

auth = DummyAuthorizer()
auth.add_user(user, password, root, perm='elradfmwMT')
Handler.authorizer = auth
Handler.auth_failed_timeout = 0.1  # tests of refused logins need no pause
server = FTPServer(('127.0.0.1', port), Handler)
server.serve_forever()
)PY";

}  // namespace

TPyFtpServer::TPyFtpServer(const std::string& root, const std::string& user, const std::string& password)
    : User_(user), Password_(password) {
  WriteFile(Work_ / "server.py", PyServerScript);
  Process_ = StartOnFreePort(
      [&](int port) {
        return std::make_unique<TChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", Work_ / "server.py", root, std::to_string(port), user, password},
            Work_ / "server.log");
      },
      Port_);
  if (!Process_) throw std::runtime_error("pyftpdlib did not start: " + ReadFile(Work_ / "server.log"));
}

bool TVsftpdServer::Available() { return ::geteuid() == 0 && FileExists("/usr/sbin/vsftpd"); }

TVsftpdServer::TVsftpdServer(const std::string& root, const std::vector<std::string>& dirs, const std::string& extraConf) {
  ::chmod(root.c_str(), 0755);
  ::chmod(Work_.Path().c_str(), 0755);
  // Only the named directory itself belongs to ftp; vsftpd refuses a
  // writable anonymous root, and the levels above stay root's.
  for (const std::string& dir : dirs) RunCommand("mkdir -p '" + root + dir + "' && chown ftp '" + root + dir + "'");
  MakeDir("/var/run/vsftpd/empty");
  Process_ = StartOnFreePort(
      [&](int port) {
        std::string conf =
            "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port) +
            "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" + root +
            "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
            "anon_umask=022\nport_enable=YES\nconnect_from_port_20=NO\npasv_enable=YES\nseccomp_sandbox=NO\n"
            "isolate=NO\nisolate_network=NO\nsecure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\n" + extraConf;
        WriteFile(Work_ / "vsftpd.conf", conf);
        return std::make_unique<TChildProcess>(std::vector<std::string>{"/usr/sbin/vsftpd", Work_ / "vsftpd.conf"},
                                               Work_ / "server.log");
      },
      Port_);
  if (!Process_) throw std::runtime_error("vsftpd did not start: " + ReadFile(Work_ / "server.log"));
}

TTestCertificate MakeTestCertificate(const std::string& dir, const std::string& name) {
  TTestCertificate c{dir + "cert.pem", dir + "key.pem", ""};
  bool ip = name.find_first_not_of("0123456789.") == std::string::npos;
  std::string out;
  // An EC key: made in milliseconds, where RSA takes a noticeable while.
  int rc = RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=" +
                          name + "/O=Trelvo test' -addext 'subjectAltName=" + (ip ? "IP:" : "DNS:") + name +
                          "' -keyout '" + c.KeyFile + "' -out '" + c.CertFile + "' 2>&1",
                      &out);
  if (rc != 0) throw std::runtime_error("openssl req failed: " + out);
  RunCommand("openssl x509 -in '" + c.CertFile + "' -noout -fingerprint -sha256", &out);
  // "sha256 Fingerprint=AB:CD:...\n"
  c.Fingerprint = out.substr(out.find('=') + 1);
  while (!c.Fingerprint.empty() && (c.Fingerprint.back() == '\n' || c.Fingerprint.back() == '\r')) c.Fingerprint.pop_back();
  return c;
}

namespace {

// The system user of the TLS server's password login and a PAM service of
// its own that knows only the password, made once per machine.
void EnsureTlsUser() {
  static bool done = false;
  if (done) return;
  const std::string user = TVsftpdTlsServer::TlsUser;
  RunCommand("id -u " + user + " >/dev/null 2>&1 || useradd -M -d / -s /usr/sbin/nologin " + user);
  // vsftpd enters the home directory before local_root, so it must exist.
  RunCommand("usermod -d / " + user);
  RunCommand("echo '" + user + ":" + TVsftpdTlsServer::TlsPassword + "' | chpasswd");
  WriteFile("/etc/pam.d/trelvo-ftptest", "auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_permit.so\n");
  done = true;
}

}  // namespace

TVsftpdTlsServer::TVsftpdTlsServer(const std::string& root, const std::vector<std::string>& dirs,
                                   const TTestCertificate& cert, bool implicit, const std::string& extraConf) {
  EnsureTlsUser();
  const std::string conf = "anonymous_enable=NO\nlocal_enable=YES\nlocal_root=" + root +
                           "\nchroot_local_user=YES\nallow_writeable_chroot=YES\npam_service_name=trelvo-ftptest\n"
                           "local_umask=022\nssl_enable=YES\nrsa_cert_file=" + cert.CertFile +
                           "\nrsa_private_key_file=" + cert.KeyFile +
                           "\nssl_ciphers=HIGH\nssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\n"
                           "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\nrequire_ssl_reuse=YES\n"
                           "implicit_ssl=" + std::string(implicit ? "YES" : "NO") + "\n" + extraConf;
  Server_ = std::make_unique<TVsftpdServer>(root, dirs, conf);
  for (const std::string& dir : dirs) RunCommand("chown -R " + std::string(TlsUser) + " '" + root + dir + "'");
}

// ---- pure-ftpd and proftpd, unpacked into the build ----

std::string FtpServersDir() {
  const char* env = std::getenv("TRELVO_FTP_SERVERS");
  if (env && *env) return env;
  return BinaryDir() + "/ftp-servers";
}

namespace {

// Runs a binary of the unpacked packages with their libraries.
std::vector<std::string> Unpacked(const std::string& binary, std::vector<std::string> args) {
  const std::string dir = FtpServersDir();
  args.insert(args.begin(), {"/usr/bin/env", "LD_LIBRARY_PATH=" + dir + "/lib", dir + "/root" + binary});
  return args;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// The user the password logins act as: the files they write belong to ftp.
void GiveToFtpUser(const std::string& root, const std::vector<std::string>& dirs) {
  ::chmod(root.c_str(), 0755);
  for (const std::string& dir : dirs) RunCommand("mkdir -p " + Quoted(root + dir));
  RunCommand("chown -R ftp:ftp " + Quoted(root));
}

}  // namespace

bool TPureFtpdServer::Available() {
  return ::geteuid() == 0 && FileExists(FtpServersDir() + "/root/usr/sbin/pure-ftpd");
}

namespace {

// A virtual user of a password database of pure-ftpd's own, acting as ftp,
// with root as its home (and so its chroot). A system user would be shared
// by servers running side by side, each wanting its own home for it. The
// password is hashed with SHA-512 crypt rather than pure-pw's default, which
// spends seconds of CPU on every login: on a busy machine that outlasts the
// client's Timeout.
std::string PureFtpdUsers(const std::string& work, const std::string& root, const std::string& user,
                          const std::string& password) {
  const std::string passwd = work + "/pureftpd.passwd", db = work + "/pureftpd.pdb";
  std::string hash, uid, gid;
  RunCommand("openssl passwd -6 " + Quoted(password) + " | tr -d '\\n'", &hash);
  RunCommand("id -u ftp | tr -d '\\n'", &uid);
  RunCommand("id -g ftp | tr -d '\\n'", &gid);
  if (hash.empty() || uid.empty() || gid.empty()) throw std::runtime_error("cannot make the pure-ftpd user");
  std::string home = root;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  WriteFile(passwd, user + ":" + hash + ":" + uid + ":" + gid + "::" + home + "/./::::::::::::\n");
  std::string cmd, out;
  for (const auto& a : Unpacked("/usr/bin/pure-pw", {"mkdb", db, "-f", passwd})) cmd += Quoted(a) + " ";
  if (RunCommand(cmd + " 2>&1", &out) != 0) throw std::runtime_error("pure-pw mkdb failed: " + out);
  return db;
}

}  // namespace

TPureFtpdServer::TPureFtpdServer(const std::string& root, const std::vector<std::string>& dirs) {
  GiveToFtpUser(root, dirs);
  ::chmod(Work_.Path().c_str(), 0755);
  const std::string db = PureFtpdUsers(Work_.Path(), root, User(), Password());
  // -E: no anonymous logins; -H: no name look-ups; -f none: no syslog.
  Process_ = StartOnFreePort(
      [&](int port) {
        return std::make_unique<TChildProcess>(
            Unpacked("/usr/sbin/pure-ftpd", {"-S", "127.0.0.1," + std::to_string(port), "-l", "puredb:" + db, "-E",
                                             "-H", "-A", "-f", "none"}),
            Work_ / "server.log");
      },
      Port_);
  if (!Process_) throw std::runtime_error("pure-ftpd did not start: " + ReadFile(Work_ / "server.log"));
}

bool TPureFtpdTlsServer::Available() { return TPureFtpdServer::Available(); }

TPureFtpdTlsServer::TPureFtpdTlsServer(const std::string& root, const std::vector<std::string>& dirs,
                                       const TTestCertificate& cert) {
  GiveToFtpUser(root, dirs);
  ::chmod(Work_.Path().c_str(), 0755);
  const std::string db = PureFtpdUsers(Work_.Path(), root, TlsUser, TlsPassword);
  Process_ = StartOnFreePort(
      [&](int port) {
        return std::make_unique<TChildProcess>(
            Unpacked("/usr/sbin/pure-ftpd", {"-S", "127.0.0.1," + std::to_string(port), "-Y", "2", "-2",
                                             cert.CertFile + "," + cert.KeyFile, "-l", "puredb:" + db, "-E", "-A",
                                             "-H", "-f", "none"}),
            Work_ / "server.log");
      },
      Port_);
  if (!Process_) throw std::runtime_error("pure-ftpd did not start: " + ReadFile(Work_ / "server.log"));
}

bool TProftpdServer::Available() {
  return ::geteuid() == 0 && FileExists(FtpServersDir() + "/root/usr/sbin/proftpd");
}

TProftpdServer::TProftpdServer(const std::string& root, const std::vector<std::string>& dirs) {
  GiveToFtpUser(root, dirs);
  // proftpd refuses a scoreboard or log in a folder others may write to.
  const std::string run = Work_ / "run";
  MakeDir(run);
  ::chmod(Work_.Path().c_str(), 0755);
  ::chmod(run.c_str(), 0755);
  std::string hash;
  RunCommand("openssl passwd -6 " + Password() + " | tr -d '\\n'", &hash);
  std::string uid, gid;
  RunCommand("id -u ftp | tr -d '\\n'", &uid);
  RunCommand("id -g ftp | tr -d '\\n'", &gid);
  const std::string passwd = Work_ / "ftpd.passwd";
  WriteFile(passwd, User() + ":" + hash + ":" + uid + ":" + gid + "::" + root + ":/bin/sh\n");
  ::chmod(passwd.c_str(), 0600);
  Process_ = StartOnFreePort(
      [&](int port) {
        const std::string conf = "ServerType standalone\nDefaultAddress 127.0.0.1\nPort " + std::to_string(port) +
                                 "\nUseIPv6 off\nUser ftp\nGroup ftp\nModulePath " + FtpServersDir() +
                                 "/root/usr/lib/proftpd\nScoreboardFile " + run + "/scoreboard\nPidFile " + run +
                                 "/proftpd.pid\nDelayTable none\nWtmpLog off\nSystemLog " + run +
                                 "/system.log\nTransferLog none\nAuthOrder mod_auth_file.c\nAuthUserFile " + passwd +
                                 "\nRequireValidShell off\nDefaultRoot ~\nUseReverseDNS off\nAllowOverwrite on\n";
        WriteFile(Work_ / "proftpd.conf", conf);
        return std::make_unique<TChildProcess>(Unpacked("/usr/sbin/proftpd", {"-n", "-q", "-c", Work_ / "proftpd.conf"}),
                                               Work_ / "server.log");
      },
      Port_);
  if (!Process_)
    throw std::runtime_error("proftpd did not start: " + ReadFile(Work_ / "server.log") + ReadFile(run + "/system.log"));
}

const char* ServerName(TFtpServerKind kind) {
  switch (kind) {
    case TFtpServerKind::Vsftpd: return "vsftpd";
    case TFtpServerKind::PyFtpdlib: return "pyftpdlib";
    case TFtpServerKind::PureFtpd: return "pureftpd";
    case TFtpServerKind::Proftpd: return "proftpd";
  }
  return "?";
}

std::string ServerMissing(TFtpServerKind kind) {
  switch (kind) {
    case TFtpServerKind::Vsftpd: return TVsftpdServer::Available() ? "" : "vsftpd needs root";
    case TFtpServerKind::PyFtpdlib: return "";
    case TFtpServerKind::PureFtpd:
      return TPureFtpdServer::Available() ? "" : "pure-ftpd needs root and " + FtpServersDir();
    case TFtpServerKind::Proftpd:
      return TProftpdServer::Available() ? "" : "proftpd needs root and " + FtpServersDir();
  }
  return "unknown server";
}

std::unique_ptr<TRealFtpServer> StartFtpServer(TFtpServerKind kind, const std::string& root,
                                               const std::vector<std::string>& dirs) {
  switch (kind) {
    case TFtpServerKind::Vsftpd: return std::make_unique<TVsftpdServer>(root, dirs);
    case TFtpServerKind::PyFtpdlib:
      for (const std::string& dir : dirs) RunCommand("mkdir -p " + Quoted(root + dir));
      return std::make_unique<TPyFtpServer>(root);
    case TFtpServerKind::PureFtpd: return std::make_unique<TPureFtpdServer>(root, dirs);
    case TFtpServerKind::Proftpd: return std::make_unique<TProftpdServer>(root, dirs);
  }
  return nullptr;
}

// ---- fake server ----

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string ReceiveAll(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

TFakeSession::~TFakeSession() {
  if (Ssl_) SSL_free(static_cast<SSL*>(Ssl_));
  if (SslCtx_) SSL_CTX_free(static_cast<SSL_CTX*>(SslCtx_));
  if (PassiveFd_ >= 0) ::close(PassiveFd_);
  if (Fd_ >= 0) ::close(Fd_);
}

void TFakeSession::Send(const std::string& raw) {
  if (!Ssl_) return SendAll(Fd_, raw);
  SSL_write(static_cast<SSL*>(Ssl_), raw.data(), static_cast<int>(raw.size()));
}

bool TFakeSession::StartTls(const TTestCertificate& cert) {
  // OpenSSL writes with write(2): a client that went must not end the test.
  ::signal(SIGPIPE, SIG_IGN);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SslCtx_ = ctx;
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.CertFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, cert.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("fake server: certificate not loaded");
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, Fd_);
  Ssl_ = ssl;
  Pending_.clear();
  bool ok = SSL_accept(ssl) == 1;
  ERR_clear_error();
  return ok;
}

std::string TFakeSession::RawReceive() {
  char buf[4096];
  ssize_t n = ::recv(Fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

std::string TFakeSession::ReadCommand() {
  for (;;) {
    size_t eol = Pending_.find("\r\n");
    if (eol != std::string::npos) {
      std::string line = Pending_.substr(0, eol);
      Pending_.erase(0, eol + 2);
      return line;
    }
    char buf[4096];
    ssize_t n = Ssl_ ? SSL_read(static_cast<SSL*>(Ssl_), buf, sizeof buf) : ::recv(Fd_, buf, sizeof buf, 0);
    if (n <= 0) return "";
    Pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string TFakeSession::Read() {
  std::string cmd = ReadCommand();
  Commands.push_back(cmd);
  if (cmd.rfind("PORT ", 0) == 0) LastPort = cmd.substr(5);
  return cmd;
}

std::string TFakeSession::Expect(const std::string& reply) {
  std::string cmd = Read();
  if (!cmd.empty()) Send(reply);
  return cmd;
}

int TFakeSession::ConnectToPort(const std::string& from) {
  int h[6] = {0};
  std::sscanf(LastPort.c_str(), "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (!from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(h[4] * 256 + h[5]));
  a.sin_addr.s_addr = htonl(static_cast<uint32_t>((h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3]));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int TFakeSession::ListenPassive() {
  if (PassiveFd_ >= 0) ::close(PassiveFd_);
  PassiveFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(PassiveFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(PassiveFd_, reinterpret_cast<sockaddr*>(&a), &len);
  ::listen(PassiveFd_, 5);
  timeval tv{10, 0};
  ::setsockopt(PassiveFd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return ntohs(a.sin_port);
}

int TFakeSession::AcceptPassive() {
  int fd = ::accept(PassiveFd_, nullptr, nullptr);
  ::close(PassiveFd_);
  PassiveFd_ = -1;
  return fd;
}

void TFakeSession::CloseControl() {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
}

TFakeServer::TFakeServer(std::function<void(TFakeSession&)> script) {
  ListenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(ListenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(ListenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  Port_ = ntohs(a.sin_port);
  ::listen(ListenFd_, 5);
  Thread_ = std::thread([this, script] {
    // A script that waits for a client that never comes must not hang the suite.
    timeval tv{10, 0};
    ::setsockopt(ListenFd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int fd = ::accept(ListenFd_, nullptr, nullptr);
    if (fd < 0) return;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    TFakeSession session(fd);
    script(session);
    std::lock_guard<std::mutex> lock(Mutex_);
    Commands_ = session.Commands;
  });
}

TFakeServer::~TFakeServer() {
  ::shutdown(ListenFd_, SHUT_RDWR);
  if (Thread_.joinable()) Thread_.join();
  ::close(ListenFd_);
}

std::vector<std::string> TFakeServer::Commands() {
  if (Thread_.joinable()) Thread_.join();
  std::lock_guard<std::mutex> lock(Mutex_);
  return Commands_;
}

}  // namespace trelvo::test
