// The FTP steps of the transfer runs. Each step is one FTP session of its
// own; none of them throws to the run that called it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>

#include "common/Errors.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"

namespace trelvo {
namespace {

// Uploads go to the server under this prefix and are renamed when complete.
// A dot-name is hidden from the name masks (Zuze*.Zip, Master*.Zip) of the
// listing steps, so no collector ever downloads half a package.
const std::string kTempPrefix = ".in.";

bool LocalFileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The name list that Ls wrote, one name per line; LF or CR LF ends.
std::vector<std::string> ReadListing(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw EInOutError("Cannot open file \"" + fileName + "\"");
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A listed name becomes a file under InternetDir + "Tmp/" and is deleted on
// the server afterwards. Only a plain name (or one behind a single leading
// "./", which some servers add) stays inside that directory; anything else
// is what a broken or hostile server would send to write elsewhere.
bool IsSafeListedName(const std::string& listed) {
  std::string name = StartsWith(listed, "./") ? listed.substr(2) : listed;
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  return true;
}

// The name as the run log can show it: control characters as \xNN.
std::string Printable(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The server itself said no to the command (a permanent 5xx reply) and the
// session goes on: the temporary name or the rename is not allowed there.
// Local failures, time-outs and lost connections are no refusal.
bool ServerRefused(const TFtpClient& ftp) {
  const int code = ftp.ReplyCode();
  return ftp.IsConnected() && code >= 500 && code <= 599 && ftp.RequestError() == code &&
         StartsWith(ftp.ReplyLine(), IntToStr(code)) && ftp.ErrorMessage() == ftp.ReplyLine();
}

// Removes a temporary upload; its outcome is not looked at (the file is
// hidden from every listing step either way).
void DropTempFile(TFtpClient& ftp, const std::string& name) {
  ftp.HostFileName = kTempPrefix + name;
  ftp.LocalFileName.clear();
  ftp.Dele();
}

bool StorAs(TFtpClient& ftp, const std::string& serverName, const std::string& localPath) {
  ftp.HostFileName = serverName;
  ftp.LocalFileName = localPath;
  return ftp.Stor();
}

// RNFR takes HostFileName, RNTO LocalFileName.
bool RenameTempFile(TFtpClient& ftp, const std::string& name) {
  ftp.HostFileName = kTempPrefix + name;
  ftp.LocalFileName = name;
  return ftp.Rename();
}

// A download is written beside its target under the temporary prefix and
// takes the target's name only when complete, so a broken or refused
// transfer never leaves a file that a run could take for a package.
// failure, when given, gets the reason a transfer that went well could not
// take its name (a full disk, a directory of that name).
bool Fetched(bool ok, const std::string& temp, const std::string& local, std::string* failure = nullptr) {
  if (ok && std::rename(temp.c_str(), local.c_str()) == 0) return true;
  if (ok && failure) *failure = "Tiedostoa ei voi nimetä: " + local + " (" + std::strerror(errno) + ")";
  std::remove(temp.c_str());
  return false;
}

std::string TempLocal(const std::string& local) { return ExtractFilePath(local) + kTempPrefix + ExtractFileName(local); }

// A listed package into local; a failure is logged with its reason.
bool RetrInto(TTrelvoCore& core, TFtpClient& ftp, const std::string& name, const std::string& local) {
  ftp.HostFileName = name;
  ftp.LocalFileName = TempLocal(local);
  const bool ok = ftp.SetBinaryType() && ftp.Retr();
  std::string failure = ftp.ErrorMessage();
  const bool fetched = Fetched(ok, ftp.LocalFileName, local, &failure);
  ftp.LocalFileName = local;
  if (!fetched) {
    core.Log("FTP-siirto ei onnistunut: " + local);
    core.Log(failure);
  }
  return fetched;
}

// The listing steps' change of directory and name list, each failure with
// its line and the server's reason. An empty directory is the login one.
bool ListServerDir(TTrelvoCore& core, TFtpClient& ftp) {
  if (!ftp.HostDirName.empty() && !ftp.Cwd()) {
    core.Log("FtpClient.Cwd -ei onnistu!");
    core.Log(ftp.ErrorMessage());
    return false;
  }
  if (!ftp.SetAsciiType() || !ftp.Ls()) {
    core.Log("FtpClient.Ls -ei onnistu!");
    core.Log(ftp.ErrorMessage());
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<TFtpClient> TTrelvoCore::NewFtpClient(const std::string& serverDir) {
  auto ftp = std::make_unique<TFtpClient>();
  ftp->UserName = Settings.FtpUser;
  ftp->PassWord = Settings.FtpPassWord;
  ftp->HostName = Settings.FtpHost;
  ftp->Port = Settings.FtpPort;
  ftp->HostDirName = serverDir;
  ftp->SetPassive(Settings.FtpPassive);
  // A value that names no TLS mode must not quietly mean plain text.
  const std::string tls = UpperCase(Settings.FtpTls);
  if (tls == "EXPLICIT")
    ftp->Tls = ftpTlsExplicit;
  else if (tls == "IMPLICIT")
    ftp->Tls = ftpTlsImplicit;
  else if (!tls.empty() && tls != "NO")
    throw EInOutError("FtpTls=" + Settings.FtpTls + " in Sorvel.ini: use No, Explicit or Implicit");
  ftp->TlsCaFile = Settings.FtpTlsCaFile;
  ftp->TlsFingerprint = Settings.FtpTlsFingerprint;
  ftp->OnProgress = [this](TFtpClientCore* sender, int64_t count, bool& abort) { FtpClientProgress(sender, count, abort); };
  return ftp;
}

namespace {

// The frame every step shares: meter to 0, the client made, the body run,
// the client freed, the listing file removed, and nothing thrown.
class TStepFrame {
 public:
  TStepFrame(TTrelvoCore& core, bool listing) : Core_(core), Listing_(listing) {}

  template <class Body>
  bool Run(const std::string& serverDir, Body&& body) {
    bool result = false;
    Core_.SetMeter(0);
    bool listFileHandled = false;
    try {
      std::unique_ptr<TFtpClient> ftp = Core_.NewFtpClient(serverDir);
      result = body(*ftp);
      ftp.reset();
      if (Listing_) {
        listFileHandled = true;
        DeleteListFile();
      }
    } catch (const std::exception& e) {
      Core_.Log(std::string("FTP-yhteysvirhe : ") + e.what());
      result = false;
    }
    // Also after an error: the listing file belongs to the step alone.
    if (Listing_ && !listFileHandled) {
      try {
        DeleteListFile();
      } catch (const std::exception&) {
      }
    }
    return result;
  }

 private:
  void DeleteListFile() {
    const std::string list = Core_.FtpListFileName();
    if (LocalFileExists(list)) Core_.DeleteFiles(list);
  }

  TTrelvoCore& Core_;
  bool Listing_;
};

// A listing step's client: the mask listed into the listing file, in text mode.
void StartListing(TTrelvoCore& core, TFtpClient& ftp, const std::string& mask) {
  ftp.HostFileName = mask;
  ftp.LocalFileName = core.FtpListFileName();
  ftp.SetBinary(false);
  core.Log("FTP-Siirto alkaa...");
}

// Connect, then the body with a Quit after it on every path.
void ListingSession(TTrelvoCore& core, TFtpClient& ftp, const std::function<void()>& body) {
  if (!ftp.Connect()) {
    core.Log("FTP-yhteys ei onnistunut!");
    core.Log(ftp.ErrorMessage());
    return;
  }
  auto quit = [&] {
    if (!ftp.Quit()) core.Log("FTP-yhteyden purku ei onnistu!");
  };
  try {
    body();
  } catch (...) {
    quit();
    throw;
  }
  quit();
}

// The names of the listing file, empty lines skipped.
std::vector<std::string> ListedNames(TTrelvoCore& core) {
  std::vector<std::string> names;
  for (std::string& line : ReadListing(core.FtpListFileName()))
    if (!line.empty()) names.push_back(std::move(line));
  return names;
}

// True, with a line in the run log, for a name that must not be used.
bool RefusedName(TTrelvoCore& core, const std::string& name) {
  if (IsSafeListedName(name)) return false;
  core.Log("FTP-tiedostonimi hylätty: " + Printable(name));
  return true;
}

// The server would not take the temporary name or the rename: what was
// stored under the temporary name goes, and the package is stored directly.
void FallBackToDirectUpload(TTrelvoCore& core, TFtpClient& ftp, const std::string& name) {
  const std::string reply = ftp.ErrorMessage();
  DropTempFile(ftp, name);
  core.Log("FTP-palvelin ei hyväksy väliaikaista nimeä, siirretään suoraan: " + name + " (" + reply + ")");
}

}  // namespace

bool TTrelvoCore::UploadPackage(const std::string& localPath, const std::string& serverDir) {
  return TStepFrame(*this, false).Run(serverDir, [&](TFtpClient& ftp) {
    const std::string name = ExtractFileName(localPath);
    ftp.HostFileName = name;
    ftp.LocalFileName = localPath;
    ftp.SetBinary(true);
    Log("FTP-Siirto alkaa...");
    bool ok = false;
    std::string failure;
    if (!Settings.FtpTempUpload) {
      ok = ftp.UploadFile();
      failure = ftp.ErrorMessage();
    } else {
      // One session: a package stored and renamed, or the reason it was not.
      auto steps = [&] {
        // An empty server directory is the login directory, as for the
        // plain upload: there is nothing to change to.
        if (!ftp.Connect() || (!serverDir.empty() && !ftp.Cwd()) || !ftp.SetBinaryType()) return false;
        bool direct = false;
        if (!StorAs(ftp, kTempPrefix + name, localPath)) {
          if (!ServerRefused(ftp)) {
            failure = ftp.ErrorMessage();
            if (ftp.IsConnected()) DropTempFile(ftp, name);
            return false;
          }
          FallBackToDirectUpload(*this, ftp, name);
          direct = true;
        } else if (!RenameTempFile(ftp, name)) {
          if (!ServerRefused(ftp)) return false;
          FallBackToDirectUpload(*this, ftp, name);
          direct = true;
        }
        if (direct && !StorAs(ftp, name, localPath)) return false;
        return ftp.Quit();
      };
      ok = steps();
      if (!ok && failure.empty()) failure = ftp.ErrorMessage();
    }
    if (ok) {
      Log("FTP-siirto onnistui: " + localPath);
    } else {
      Log("FTP-siirto ei onnistunut: " + localPath);
      Log(failure);
    }
    return ok;
  });
}

bool TTrelvoCore::DownloadPackage(const std::string& localPath) {
  return TStepFrame(*this, false).Run(Settings.FtpHostDir, [&](TFtpClient& ftp) {
    ftp.HostFileName = ExtractFileName(localPath);
    ftp.LocalFileName = TempLocal(localPath);
    ftp.SetBinary(true);
    Log("FTP-Siirto alkaa...");
    const bool ok = ftp.DownloadFile();
    if (Fetched(ok, ftp.LocalFileName, localPath)) {
      Log("FTP-siirto onnistui: " + localPath);
      return true;
    }
    Log("FTP-siirto ei onnistunut: " + localPath);
    Log(ftp.ErrorMessage());
    return false;
  });
}

bool TTrelvoCore::DownloadMasterPackages(std::string& currentPackage) {
  return TStepFrame(*this, true).Run(Settings.FtpHostDir, [&](TFtpClient& ftp) {
    StartListing(*this, ftp, Settings.MasterArchive + "*.Zip");
    bool result = false;
    ListingSession(*this, ftp, [&] {
      if (!ListServerDir(*this, ftp)) return;
      const std::vector<std::string> names = ListedNames(*this);
      if (names.empty()) Log("Palvelimella ei ole Master-pakettia: " + Settings.MasterArchive + "*.Zip");
      for (const std::string& name : names) {
        if (RefusedName(*this, name)) continue;
        const std::string local = InternetDir() + "Tmp/" + name;
        currentPackage = local;
        if (RetrInto(*this, ftp, name, local)) {
          result = true;
          Log("FTP-siirto onnistui : " + local);
        }
      }
    });
    return result;
  });
}

bool TTrelvoCore::CollectClientPackages() {
  return TStepFrame(*this, true).Run(Settings.FtpHostDir, [&](TFtpClient& ftp) {
    StartListing(*this, ftp, Settings.MasterClients + "*.Zip");
    bool result = false;
    ListingSession(*this, ftp, [&] {
      if (!ListServerDir(*this, ftp)) return;
      for (const std::string& name : ListedNames(*this)) {
        if (RefusedName(*this, name)) continue;
        if (!RetrInto(*this, ftp, name, InternetDir() + "Tmp/" + name)) continue;
        ftp.HostFileName = name;
        if (ftp.Dele())
          Log("FTP-siiretty: " + name);
        else
          Log("FTP-tiedoston poisto ei onnistu: " + name);
      }
      result = true;
      Log("FTP-siirto onnistui.");
    });
    return result;
  });
}

bool TTrelvoCore::ReplaceMasterPackages(const std::string& packagePath) {
  return TStepFrame(*this, true).Run(Settings.FtpHostDir, [&](TFtpClient& ftp) {
    StartListing(*this, ftp, Settings.MasterArchive + "*.Zip");
    bool result = false;
    ListingSession(*this, ftp, [&] {
      if (!ftp.Cwd()) {
        Log("FtpClient.Cwd -ei onnistu!");
        return;
      }
      if (!ftp.SetAsciiType()) {
        Log("FtpClient.Ls -ei onnistu!");
        return;
      }
      // Many servers answer a mask that matches nothing with 450 or 550.
      // That only means there is no master package yet, and the head
      // office's first one must still go up, or no site ever gets one.
      const bool listed = ftp.Ls();
      const bool nothingListed = !listed && ftp.IsConnected() && (ftp.ReplyCode() == 450 || ftp.ReplyCode() == 550);
      if (!listed && !nothingListed) {
        Log("FtpClient.Ls -ei onnistu!");
        return;
      }
      const std::vector<std::string> oldPackages = listed ? ListedNames(*this) : std::vector<std::string>{};
      const std::string name = ExtractFileName(packagePath);
      auto deleteOldPackages = [&] {
        for (const std::string& old : oldPackages) {
          if (RefusedName(*this, old)) continue;
          Log("FTP poistetaan : " + old);
          ftp.HostFileName = old;
          ftp.LocalFileName.clear();
          if (!ftp.SetBinaryType() || !ftp.Dele()) Log("FTP-tiedoston poisto ei onnistu: " + old);
        }
      };
      auto refill = [&] {
        ftp.UserName = Settings.FtpUser;
        ftp.PassWord = Settings.FtpPassWord;
        ftp.HostName = Settings.FtpHost;
        ftp.HostDirName = Settings.FtpHostDir;
        ftp.SetBinary(true);
      };
      auto failed = [&](const std::string& reason) {
        Log("FTP-siirto ei onnistunut: " + packagePath);
        Log(reason);
      };

      bool temp = Settings.FtpTempUpload;
      if (temp) {
        // The old packages go only once the new one is on the server, so a
        // failed upload leaves the sites the package they had.
        refill();
        ftp.SetBinaryType();
        if (!StorAs(ftp, kTempPrefix + name, packagePath)) {
          if (!ServerRefused(ftp)) {
            const std::string reason = ftp.ErrorMessage();
            if (ftp.IsConnected()) DropTempFile(ftp, name);
            failed(reason);
            return;
          }
          FallBackToDirectUpload(*this, ftp, name);
          temp = false;
        }
      }
      deleteOldPackages();
      if (temp) {
        if (RenameTempFile(ftp, name)) {
          result = true;
          Log("FTP-siirto onnistui: " + packagePath);
          return;
        }
        if (!ServerRefused(ftp)) {
          failed(ftp.ErrorMessage());
          return;
        }
        FallBackToDirectUpload(*this, ftp, name);
      }
      refill();
      ftp.SetBinaryType();
      if (StorAs(ftp, name, packagePath)) {
        result = true;
        Log("FTP-siirto onnistui: " + packagePath);
      } else {
        failed(ftp.ErrorMessage());
      }
    });
    return result;
  });
}

void TTrelvoCore::FtpClientProgress(TFtpClientCore*, int64_t count, bool& abort) {
  // Whole kilobytes, a half rounded to the even neighbour.
  int64_t kb = count / 1024;
  const int64_t rest = count % 1024;
  if (rest > 512 || (rest == 512 && kb % 2 == 1)) ++kb;
  SetField("EdtSiirretty", IntToStr(kb) + " Kb");
  abort = false;
  ProcessMessages();
}

}  // namespace trelvo
