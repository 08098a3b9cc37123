// trelvo-admin ftp-check: logs in with the installation's own FTP settings,
// enters the three server directories the transfers use and lists the
// transfer directory, so an operator can check a new site before its first
// night. Each directory is entered from the login directory, as each step's
// own session does.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "Admin.h"
#include "core/TrelvoCore.h"

namespace trelvo::admin {
namespace {

struct TDirCheck {
  TDirCheck(const char* key, std::string dir) : Key(key), Dir(std::move(dir)) {}
  const char* Key;
  std::string Dir;
  bool Checked = false;
  bool Entered = false;
  std::string Reply;  // the server's reply, or why there was none
};

// Why the last operation failed, also when the client left no message.
std::string Reason(const TFtpClient& ftp, const TSettings& s) {
  if (!ftp.ErrorMessage().empty()) return ftp.ErrorMessage();
  if (s.FtpUser.empty()) return "FtpUser is empty in Sorvel.ini";
  if (s.FtpPassWord.empty()) return "FtpPassWord is empty in Sorvel.ini";
  return "the request failed (error " + std::to_string(ftp.RequestError()) + ")";
}

std::vector<std::string> ReadNames(const std::string& fileName) {
  std::vector<std::string> names;
  std::ifstream in(fileName, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) names.push_back(line);
  }
  return names;
}

int RunFtpCheck(const TArgs& args) {
  args.Expect(0, 0);
  THeadlessView view(&std::cout);
  TTrelvoCore core(HomeDir(args), &view);
  try {
    core.LoadSettings();
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin ftp-check: " << core.SettingsFileName() << ": " << e.what() << "\n";
    return 1;
  }
  static int argc = 1;
  static char name[] = "trelvo-admin";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> app;
  if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);

  const TSettings& s = core.Settings;
  TDirCheck dirs[] = {{"FtpHostDir", s.FtpHostDir}, {"FtpHostBackupDir", s.FtpHostBackupDir}, {"FtpHostLogDir", s.FtpHostLogDir}};
  std::string failure;  // why the directories could not be looked at
  bool listed = false;
  std::string listError;
  std::vector<std::string> names;
  TTlsInfo tls;

  core.TransferOk = true;
  try {
    core.ConnectionPhase([&] {
      if (s.Ras) {
        core.DialUp(true);
        if (!core.TransferOk) {
          failure = "the dial-up connection " + s.RasEntryName + " could not be made";
          return;
        }
      }
      std::unique_ptr<TFtpClient> ftp = core.NewFtpClient("");
      core.Log("FTP-yhteys " + s.FtpUser + "@" + s.FtpHost + ":" + s.FtpPort +
               (s.FtpPassive ? ", passiivinen tila" : ", aktiivinen tila"));
      if (!ftp->Connect()) {
        core.Log("FTP-yhteys ei onnistunut!");
        core.Log(ftp->ErrorMessage());
        failure = "cannot log in to " + s.FtpHost + ":" + s.FtpPort + " as " + s.FtpUser + ": " + Reason(*ftp, s);
        return;
      }
      tls = ftp->TlsInfo();
      if (!tls.Version.empty()) core.Log("FTP-yhteys suojattu: " + tls.Version + ", " + tls.Cipher);
      const std::string loginDir = ftp->Pwd() ? ftp->RemoteDir() : "";
      auto enter = [&](const std::string& dir) {
        if (!loginDir.empty()) {
          ftp->HostDirName = loginDir;
          ftp->Cwd();
        }
        ftp->HostDirName = dir;
        return ftp->Cwd();
      };
      for (TDirCheck& d : dirs) {
        d.Checked = true;
        if (d.Dir.empty()) {
          d.Reply = "not set in Sorvel.ini";
          continue;
        }
        if (!ftp->IsConnected()) {
          d.Reply = "the connection was lost";
          continue;
        }
        d.Entered = enter(d.Dir);
        d.Reply = d.Entered ? ftp->ReplyLine() : Reason(*ftp, s);
        core.Log("FTP-hakemisto " + d.Dir + (d.Entered ? " : ok" : " ei onnistu: " + d.Reply));
      }
      if (dirs[0].Entered && ftp->IsConnected() && enter(dirs[0].Dir)) {
        char tmp[] = "/tmp/trelvo-ftp-check-XXXXXX";
        int fd = ::mkstemp(tmp);
        if (fd >= 0) {
          ::close(fd);
          ftp->HostFileName.clear();
          ftp->LocalFileName = tmp;
          listed = ftp->SetAsciiType() && ftp->Ls();
          if (listed) names = ReadNames(tmp);
          else listError = Reason(*ftp, s);
          std::remove(tmp);
        } else {
          listError = "no temporary file for the listing";
        }
        core.Log(listed ? "FTP-hakemiston " + dirs[0].Dir + " tiedostoja: " + std::to_string(names.size())
                        : "FTP-hakemiston " + dirs[0].Dir + " listaus ei onnistu: " + listError);
      }
      // A lost connection would only make QUIT wait for its time limit.
      if (ftp->IsConnected() && !ftp->Quit()) core.Log("FTP-yhteyden purku ei onnistu!");
    });
  } catch (const std::exception& e) {
    failure = e.what();
  }

  if (!tls.Version.empty()) {
    std::cout << "TLS " << tls.Version << ", cipher " << tls.Cipher << "\n";
    std::cout << "certificate " << tls.Subject << "\n";
    std::cout << "SHA-256 fingerprint " << tls.Fingerprint << "\n";
  }
  bool allEntered = true;
  for (const TDirCheck& d : dirs) {
    allEntered = allEntered && d.Entered;
    std::cout << d.Key << " " << (d.Dir.empty() ? "(empty)" : d.Dir) << ": "
              << (d.Entered ? "entered (" + d.Reply + ")" : d.Checked ? "FAILED: " + d.Reply : std::string("not checked"))
              << "\n";
  }
  if (listed) {
    std::cout << "FtpHostDir " << dirs[0].Dir << " lists " << names.size() << (names.size() == 1 ? " name" : " names")
              << (names.empty() ? "" : ":") << "\n";
    for (const std::string& n : names) std::cout << "  " << n << "\n";
  }

  if (!failure.empty()) std::cerr << "trelvo-admin ftp-check: " << failure << "\n";
  for (const TDirCheck& d : dirs)
    if (d.Checked && !d.Entered)
      std::cerr << "trelvo-admin ftp-check: cannot enter " << d.Key << " " << (d.Dir.empty() ? "(empty)" : d.Dir) << ": "
                << d.Reply << "\n";
  if (dirs[0].Entered && !listed) {
    std::cerr << "trelvo-admin ftp-check: warning: listing " << dirs[0].Dir << " failed: " << listError << "\n";
    if (!s.FtpPassive)
      std::cerr << "trelvo-admin ftp-check: in active mode the server connects back to this machine; "
                   "behind a NAT router set [Internet] FtpPassive=Yes\n";
  }
  return allEntered ? 0 : 1;
}

TRELVO_ADMIN_COMMAND("ftp-check", "ftp-check [--home DIR]", {}, RunFtpCheck,
                     "Checks an installation's FTP settings before its first night.\n"
                     "It logs in as the runs do (FtpHost, FtpPort, FtpUser, FtpPassWord, FtpPassive, FtpTls and\n"
                     "its trust settings; dialling first when Ras is on), enters FtpHostDir, FtpHostBackupDir and\n"
                     "FtpHostLogDir each from the login directory, and lists FtpHostDir. It prints the TLS\n"
                     "version, cipher, certificate subject and SHA-256 fingerprint (with FtpTls on), one line per\n"
                     "directory and the names listed, and writes and deletes nothing on the server.\n"
                     "\n"
                     "Exit 1 when the login fails or a directory cannot be entered. A listing that fails only\n"
                     "warns: an empty directory answers some servers' listing with an error, and in active\n"
                     "mode a firewall between server and site stops the data connection (try FtpPassive=Yes).",
                     {});

}  // namespace
}  // namespace trelvo::admin
