// trelvo-admin ftp: one FTP operation through the program's own client, in
// active mode unless --passive, for checking a server from the command line.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "Admin.h"
#include "ftp/FtpClient.h"

namespace trelvo::admin {
namespace {

// "dir/sub/name" -> ("dir/sub", "name"); no directory part -> ("", name).
std::pair<std::string, std::string> SplitRemote(const std::string& remote) {
  size_t slash = remote.rfind('/');
  if (slash == std::string::npos) return {"", remote};
  return {slash == 0 ? "/" : remote.substr(0, slash), remote.substr(slash + 1)};
}

int RunFtp(const TArgs& args) {
  args.Expect(4, 6);
  std::string host = args.At(0);
  std::string port = "ftp";
  if (size_t colon = host.rfind(':'); colon != std::string::npos) {
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
  }
  const std::string& verb = args.At(3);
  int timeout = 15;
  if (args.Has("timeout")) {
    try {
      timeout = std::stoi(args.Option("timeout"));
    } catch (...) {
      throw EUsage("--timeout needs a number of seconds");
    }
  }

  static int argc = 1;
  static char name[] = "trelvo-admin";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> app;
  if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);

  TFtpClient ftp;
  ftp.HostName = host;
  ftp.Port = port;
  ftp.UserName = args.At(1);
  ftp.PassWord = args.At(2);
  ftp.Timeout = timeout;
  ftp.SetPassive(args.Has("passive"));
  if (args.Has("tls")) {
    const std::string tls = args.Option("tls");
    if (tls != "explicit" && tls != "implicit") throw EUsage("--tls needs explicit or implicit");
    ftp.Tls = tls == "explicit" ? ftpTlsExplicit : ftpTlsImplicit;
  }
  if (args.Has("ca-file")) ftp.TlsCaFile = args.Option("ca-file");
  if (args.Has("fingerprint")) ftp.TlsFingerprint = args.Option("fingerprint");
  if ((args.Has("ca-file") || args.Has("fingerprint")) && ftp.Tls == ftpTlsNone)
    throw EUsage("--ca-file and --fingerprint need --tls");
  if (args.Has("verbose")) ftp.OnDisplay = [](TFtpClientCore*, std::string& msg) { std::cout << msg << "\n" << std::flush; };

  bool ok = false;
  std::string listFile;
  if (verb == "ls") {
    args.Expect(4, 5);
    auto [dir, mask] = SplitRemote(args.Get(4, ""));
    char tmp[] = "/tmp/trelvo-ls-XXXXXX";
    int fd = ::mkstemp(tmp);
    if (fd < 0) throw std::runtime_error("cannot create a temporary file");
    ::close(fd);
    listFile = tmp;
    ftp.HostDirName = dir;
    ftp.HostFileName = mask;
    ftp.LocalFileName = listFile;
    ok = ftp.Connect() && (dir.empty() || ftp.Cwd()) && ftp.Ls();
    if (ok) {
      std::ifstream in(listFile, std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << line << "\n";
      }
      ok = ftp.Quit();
    }
    std::remove(listFile.c_str());
  } else if (verb == "get") {
    args.Expect(6, 6);
    auto [dir, file] = SplitRemote(args.At(4));
    ftp.HostDirName = dir;
    ftp.HostFileName = file;
    ftp.LocalFileName = args.At(5);
    ok = ftp.DownloadFile();
  } else if (verb == "put") {
    args.Expect(5, 6);
    std::string local = args.At(4);
    std::string remote = args.Get(5, local.substr(local.rfind('/') == std::string::npos ? 0 : local.rfind('/') + 1));
    auto [dir, file] = SplitRemote(remote);
    ftp.HostDirName = dir;
    ftp.HostFileName = file;
    ftp.LocalFileName = local;
    ok = ftp.UploadFile();
  } else if (verb == "rm") {
    args.Expect(5, 5);
    auto [dir, file] = SplitRemote(args.At(4));
    ftp.HostDirName = dir;
    ftp.HostFileName = file;
    ok = ftp.Connect() && (dir.empty() || ftp.Cwd()) && ftp.Dele() && ftp.Quit();
  } else {
    throw EUsage("unknown operation '" + verb + "'");
  }
  if (!ok) {
    std::string reason = ftp.ErrorMessage();
    if (reason.empty()) reason = "FTP request failed (error " + std::to_string(ftp.RequestError()) + ")";
    std::cerr << reason << "\n";
    return 1;
  }
  return 0;
}

TRELVO_ADMIN_COMMAND("ftp",
                     "ftp HOST[:PORT] USER PASS ls [DIR/MASK] | get REMOTE LOCAL | put LOCAL [REMOTE] | rm REMOTE "
                     "[--passive] [--tls explicit|implicit [--ca-file FILE] [--fingerprint HEX]] [--timeout S] [--verbose]",
                     {"passive", "verbose"}, RunFtp,
                     "One FTP operation with the program's own client, for checking a server by hand.\n"
                     "ls prints the names NLST gives (a mask such as /Sorvel/Zuze*.Zip), get downloads, put\n"
                     "uploads (REMOTE defaults to the file's name in the login directory), rm deletes.\n"
                     "It uses no installation; ftp-check tests an installation's own settings.\n"
                     "\n"
                     "  --passive    passive data connection (default active: the server connects back)\n"
                     "  --tls explicit|implicit  FTP over TLS: AUTH TLS on the control port, or TLS from the\n"
                     "               first byte (port 990 unless HOST:PORT names one)\n"
                     "  --ca-file FILE  PEM certificates to trust instead of the system's\n"
                     "  --fingerprint HEX  accept exactly the certificate of this SHA-256 fingerprint\n"
                     "  --timeout S  seconds to wait for each answer (default 15)\n"
                     "  --verbose    print the conversation with the server\n"
                     "\n"
                     "Exit 1 with the server's reason on stderr when the operation fails.",
                     {"timeout", "tls", "ca-file", "fingerprint"});

}  // namespace
}  // namespace trelvo::admin
