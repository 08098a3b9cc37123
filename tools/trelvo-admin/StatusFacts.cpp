// Gathers what trelvo-admin status reports, from the installation's files
// alone (no network): the role, the last successful runs, the retry
// counters, the pending rows, the packages still waiting for the head
// office, and at the head office the state of every site in the result logs.
#include "StatusFacts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "RunState.h"
#include "common/IniFile.h"
#include "common/Text.h"
#include "transfer/Transfer.h"

namespace trelvo::admin {
namespace {

namespace fs = std::filesystem;

// The date a key holds until its first successful run.
const TDateTime kNeverDate = EncodeDate(2000, 1, 1);

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The yyyymmddhhnnss after the last "_" of a package name.
bool PackageStamp(const std::string& name, TDateTime& at) {
  const size_t underscore = name.rfind('_');
  if (underscore == std::string::npos || name.size() < underscore + 15) return false;
  const std::string s = name.substr(underscore + 1, 14);
  if (!std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  try {
    auto n = [&](size_t pos, size_t len) { return std::stoi(s.substr(pos, len)); };
    at = EncodeDate(n(0, 4), n(4, 2), n(6, 2)) + EncodeTime(n(8, 2), n(10, 2), n(12, 2));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

TStatusPackage Package(const std::string& name) {
  TStatusPackage p;
  p.Name = name;
  p.Stamped = PackageStamp(name, p.Made);
  return p;
}

bool MatchesName(const std::string& name, const std::string& prefix, const std::string& ext) {
  return name.size() >= prefix.size() + ext.size() && StartsWith(UpperCase(name), UpperCase(prefix)) &&
         EndsWith(UpperCase(name), UpperCase(ext));
}

// Plain files of dir whose names begin with prefix and end with ext, without
// regard to letter case, sorted by name (which orders them by their stamps).
std::vector<std::string> FilesOf(const std::string& dir, const std::string& prefix, const std::string& ext) {
  std::vector<std::string> names;
  std::error_code ec;
  if (dir.empty()) return names;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && MatchesName(name, prefix, ext)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// One site's result log: "package  status" lines, oldest first.
struct TResultLog {
  std::vector<std::pair<std::string, std::string>> Lines;
  int LastTakenIn = -1, LastError01 = -1;

  void Load(const std::string& path) {
    for (const std::string& line : ReadLines(path)) {
      const size_t blank = line.find(' ');
      if (Trim(line).empty() || blank == std::string::npos) continue;
      Lines.emplace_back(line.substr(0, blank), Trim(line.substr(blank)));
      const std::string status = UpperCase(Lines.back().second);
      const int i = static_cast<int>(Lines.size()) - 1;
      // As a site reads it: ERROR01 is a package whose rows did not arrive;
      // any other status (Ok, or ERROR02: merged, backup copy failed) one
      // whose rows did, which also brings back what a failed one carried.
      if (status.find("ERROR01") != std::string::npos)
        LastError01 = i;
      else
        LastTakenIn = i;
    }
  }
  bool FailedSinceTakenIn() const { return LastError01 > LastTakenIn; }
};

class TGatherer {
 public:
  TGatherer(TTrelvoCore& core, TStatusFacts& f) : Core_(core), S_(core.Settings), F_(f) {}

  void Run() {
    F_.Home = Core_.HomeDir();
    F_.Version = TRELVO_VERSION;
    F_.IsMaster = S_.IsMaster;
    F_.Site = S_.ClientArchive;
    F_.ClientPrefix = S_.ClientPrefix;
    F_.MasterClients = S_.MasterClients;
    F_.MasterArchive = S_.MasterArchive;
    F_.MasterLog = S_.MasterLog;
    F_.Now = Core_.Now();
    F_.RetryMax = S_.ReTryMaxCount;
    F_.RetryTime = S_.ReTryTime;
    F_.RunStateFile = RunStateFileName(Core_);
    F_.InternetDir = Core_.InternetDir();
    F_.ResultLogDir = F_.InternetDir.empty() ? "" : F_.InternetDir + "Log/";

    Directories();
    for (const std::string& problem : Core_.SettingsProblems)
      Attention("setting_invalid", "", Core_.SettingsFileName() + ": " + problem);
    Secrets();
    const TLiveValues& l = Core_.Live;
    const bool master = S_.IsMaster;
    Direction("send", "SendFiles", l.ChkBoxSend, l.TimeSend, l.DateSend,
              master ? Core_.MasterSendRetries : Core_.ClientSendRetries);
    Direction("receive", "RecvFiles", l.ChkBoxRecv, l.TimeRecv, l.DateRecv,
              master ? Core_.MasterRecvRetries : Core_.ClientRecvRetries);
    Pending();
    MasterPackage();
    if (master)
      HeadOffice();
    else
      Site();
    Logs();
  }

 private:
  void Attention(const char* reason, const std::string& subject, const std::string& text) {
    F_.Attention.push_back({reason, subject, text});
  }

  void Directories() {
    TTransfer transfer(Core_);
    for (const std::string& what : transfer.MissingDirectories())
      Attention("directory_missing", what, what + " is not set or does not exist: every run fails");
  }

  // The settings file holds both passwords, and the packages lie on the
  // server for days: each of these leaves customers' data open to others.
  void Secrets() {
    struct stat st {};
    const std::string ini = Core_.SettingsFileName();
    if (::stat(ini.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH))) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      Attention("settings_readable", ini,
                ini + " can be read by other users (mode " + mode + ") and holds the passwords: chmod 600 it");
    }
    if (S_.ZipPassword.empty())
      Attention("zip_password_empty", "ZipPassword", "ZipPassword is empty: the packages go to the server unencrypted");
    const std::string encryption = TIniFile(ini).ReadString("Internet", "ZipEncryption", "ZipCrypto");
    if (!SameText(encryption, "AES256"))
      Attention("packages_not_aes", "ZipEncryption",
                "the packages use the traditional ZIP cipher (ZipEncryption=" + encryption +
                    "), which is easily broken: set ZipEncryption=AES256 at every installation");
  }

  void Direction(const char* name, const char* activeKey, bool active, TDateTime time, TDateTime date, int retries) {
    TStatusDirection d;
    d.Name = name;
    d.ActiveKey = activeKey;
    d.Active = active;
    d.Time = time;
    d.Retries = retries;
    if (date > kNeverDate) d.LastSuccess = date;
    const TDateTime today = DateOf(F_.Now), now = TimeOf(F_.Now);
    const std::string at = TimeToShortStr(time);
    const bool resetsNext = retries > 0 && date < today && time > now;
    if (!active) {
      d.State = TStatusDirection::TState::Off;
    } else if (retries >= S_.ReTryMaxCount) {
      d.State = TStatusDirection::TState::Blocked;
      Attention("direction_blocked", name,
                std::string("the ") + name + " failed " + IntToStr(retries) +
                    " times in a row and is blocked: see its run logs; " +
                    (resetsNext ? "the next tick before " + at + " sets the counter back to 0"
                                : "the counter goes back to 0 at the first tick of a later day before " + at +
                                      ", or when a run started by hand succeeds"));
    } else if (date < today && time < now) {
      d.State = TStatusDirection::TState::Due;
      d.NextDue = today + time;
    } else {
      d.State = TStatusDirection::TState::Waiting;
      d.NextDue = (date < today ? today : date + 1) + time;
    }
    if (active && date > kNeverDate && today - date > F_.StaleDays)
      Attention("direction_stale", name,
                std::string("the ") + name + " has not succeeded since " + DateToStr(date) + " (" +
                    IntToStr(static_cast<long long>(today - date)) + " days)");
    F_.Directions.push_back(d);
  }

  void Pending() {
    Core_.TransferOk = true;
    Core_.RefreshPendingCounts();
    std::string error;
    for (const std::string& line : Core_.MemoLog.Lines())
      if (StartsWith(line, "Virhe")) error = line;
    F_.DatabaseReachable = Core_.TransferOk && error.empty();
    F_.DatabaseError = error;
    if (!F_.DatabaseReachable) {
      Attention("database_unreachable", "",
                "the database cannot be reached" + (error.empty() ? std::string() : ": " + error));
      return;
    }
    for (size_t i = 0; i < F_.PendingRows.size(); ++i) F_.PendingRows[i] = Core_.PendingCounts[i];
  }

  void MasterPackage() {
    F_.MasterFile = Core_.Live.EdtMaster;
    TDateTime at = 0;
    F_.MasterPackageKnown = PackageStamp(F_.MasterFile, at) && DateOf(at) > kNeverDate;
    if (F_.MasterPackageKnown) F_.MasterMade = at;
  }

  void Site() {
    F_.FtpSiirtoDir = S_.FtpSiirtoDir;
    for (const std::string& name : FilesOf(S_.FtpSiirtoDir, S_.ClientPrefix, ".Zip"))
      F_.Unconfirmed.push_back(Package(name));

    F_.ResultLogPath = F_.InternetDir + "Log/" + S_.MasterLog + "_" + S_.ClientArchive + ".log";
    F_.ResultLogExists = fs::is_regular_file(F_.ResultLogPath);
    if (!F_.ResultLogExists) return;
    TResultLog log;
    log.Load(F_.ResultLogPath);
    F_.ResultLogLines = log.Lines.size();
    // A package at or before the newest one the result log names was decided
    // by the head office: still in FtpSiirtoDir, its rows could not be put
    // back (or it could not be retired) at the last receive.
    std::string newestNamed;
    for (const auto& line : log.Lines)
      if (StartsWith(UpperCase(line.first), UpperCase(S_.ClientPrefix + "_")))
        newestNamed = std::max(newestNamed, UpperCase(line.first));
    for (const TStatusPackage& p : F_.Unconfirmed)
      if (!newestNamed.empty() && UpperCase(p.Name) <= newestNamed)
        Attention("package_not_taken_back", p.Name,
                  "package " + p.Name + " in FtpSiirtoDir was not taken back at the last receive (see its run log); "
                  "the next receive tries again");
    if (log.Lines.empty()) return;
    F_.ResultLogLastPackage = log.Lines.back().first;
    F_.ResultLogLastStatus = log.Lines.back().second;
    if (log.FailedSinceTakenIn())
      Attention("package_not_unpacked", S_.ClientArchive,
                "the head office could not unpack this site's package " + log.Lines[log.LastError01].first +
                    " (ERROR01) and has taken none since: check that ZipPassword is the same at both");
  }

  void HeadOffice() {
    const std::string prefix = S_.MasterLog + "_";
    for (const std::string& file : FilesOf(F_.ResultLogDir, prefix, ".log")) {
      TStatusSite site;
      site.Number = file.substr(prefix.size(), file.size() - prefix.size() - 4);
      TResultLog log;
      log.Load(F_.ResultLogDir + file);
      site.Empty = log.Lines.empty();
      if (!site.Empty) {
        site.Last = Package(log.Lines.back().first);
        site.Status = log.Lines.back().second;
        const double days = F_.Now - site.Last.Made;
        if (site.Last.Stamped && days > F_.StaleDays)
          Attention("site_stale", site.Number,
                    "site " + site.Number + " has sent nothing for " + StatusDays(days) + " days (last " +
                        site.Last.Name + ")");
        if (log.FailedSinceTakenIn())
          Attention("package_not_unpacked", site.Number,
                    "site " + site.Number + ": package " + log.Lines[log.LastError01].first +
                        " could not be unpacked (ERROR01) and no package has been taken in since; the site "
                        "sends its rows again, but check that its ZipPassword is the same");
      }
      F_.Sites.push_back(std::move(site));
    }
    F_.TmpDir = F_.InternetDir.empty() ? "" : F_.InternetDir + "Tmp/";
    F_.LeftInTmp = FilesOf(F_.TmpDir, S_.MasterClients, ".Zip");
  }

  void Logs() {
    F_.BackupDir = S_.BackupDir;
    F_.FtpHostLogDir = S_.FtpHostLogDir;
    fs::file_time_type newestTime{};
    std::error_code ec;
    if (!S_.BackupDir.empty())
      for (const auto& entry : fs::directory_iterator(S_.BackupDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file(ec) || !SameText(ExtractFileExt(name), ".Log")) continue;
        const auto t = entry.last_write_time(ec);
        if (F_.NewestRunLog.empty() || t > newestTime || (t == newestTime && name > F_.NewestRunLog))
          F_.NewestRunLog = name, newestTime = t;
      }
    if (!F_.NewestRunLog.empty()) {
      std::vector<std::string> lines = ReadLines(S_.BackupDir + F_.NewestRunLog);
      while (!lines.empty() && Trim(lines.back()).empty()) lines.pop_back();
      if (!lines.empty()) F_.NewestRunLogLastLine = lines.back();
    }
    F_.UseErrorLog = S_.UseErrorLog;
    if (!S_.Log.empty()) {
      F_.CrashReport = S_.Log + "TrelvoError.log";
      struct stat st {};
      if (::stat(F_.CrashReport.c_str(), &st) == 0) {
        F_.CrashReportExists = true;
        F_.CrashReportBytes = st.st_size;
        F_.CrashReportWritten = FromUnixTime(st.st_mtime);
      }
    }
  }

  TTrelvoCore& Core_;
  const TSettings& S_;
  TStatusFacts& F_;
};

}  // namespace

std::string StatusDays(double days) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", std::max(0.0, days));
  return buf;
}

long long StatusSeconds(double days) { return std::llround(std::max(0.0, days) * 86400.0); }

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (s[i + k] & 0xC0) == 0x80;
    if (ok && len > 1) {
      // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8 either.
      unsigned cp = c & (0xFF >> (len + 1));
      for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
      static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
  return out;
}

TStatusFacts GatherStatus(TTrelvoCore& core, double staleDays) {
  TStatusFacts facts;
  facts.StaleDays = staleDays;
  TGatherer(core, facts).Run();
  return facts;
}

}  // namespace trelvo::admin
