// trelvo-admin status: what an operator asks first about an installation,
// from its files alone (no network): the role, the last successful runs, the
// retry counters, the pending rows, the packages still waiting for the head
// office, and at the head office the state of every site in the result logs.
// The exit code says whether something needs attention, for monitoring.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "Admin.h"
#include "RunState.h"
#include "common/DateTime.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"
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

std::string Days(double days) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", std::max(0.0, days));
  return buf;
}

std::string Age(const std::string& name, TDateTime now) {
  TDateTime at = 0;
  if (!PackageStamp(name, at)) return "made at an unknown time";
  return "made " + DateTimeToStr(at) + ", " + Days(now - at) + " days ago";
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
  std::string Number, Path;
  std::vector<std::pair<std::string, std::string>> Lines;
  int LastTakenIn = -1, LastError01 = -1;

  void Load(const std::string& path) {
    Path = path;
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

struct TDirectionView {
  const char* Name;
  const char* ActiveKey;
  const char* DateKey;
  bool Active;
  TDateTime Time, Date;
  int Retries;
};

class TStatus {
 public:
  TStatus(TTrelvoCore& core, double staleDays) : Core_(core), S_(core.Settings), Now_(core.Now()), StaleDays_(staleDays) {}

  int Print() {
    const bool master = S_.IsMaster;
    std::cout << "Installation " << Core_.HomeDir() << "\n";
    std::cout << "  role      " << (master ? "head office" : "site " + S_.ClientArchive) << " (packages "
              << (master ? S_.MasterClients + "*.Zip from the sites, " + S_.MasterArchive + "_*.Zip sent"
                         : S_.ClientPrefix + "_*.Zip sent, " + S_.MasterArchive + "_*.Zip received")
              << ")\n";
    std::cout << "  now       " << DateTimeToStr(Now_) << "\n";
    Directories();
    for (const std::string& problem : Core_.SettingsProblems)
      Attention_.push_back(Core_.SettingsFileName() + ": " + problem);
    std::cout << "\nRuns (ReTryMaxCount " << S_.ReTryMaxCount << ", a tick every " << S_.ReTryTime << " s)\n";
    const TLiveValues& l = Core_.Live;
    Direction({"send", "SendFiles", "SendDate", l.ChkBoxSend, l.TimeSend, l.DateSend,
               master ? Core_.MasterSendRetries : Core_.ClientSendRetries});
    Direction({"receive", "RecvFiles", "RecvDate", l.ChkBoxRecv, l.TimeRecv, l.DateRecv,
               master ? Core_.MasterRecvRetries : Core_.ClientRecvRetries});
    std::cout << "  (retry counters from " << RunStateFileName(Core_)
              << ", kept by trelvo-admin run and tick;\n"
                 "   the trelvo program keeps its own in memory from its start and shows them on its settings page)\n";
    Pending();
    if (master)
      HeadOffice();
    else
      Site();
    Logs();

    std::cout << "\n";
    if (Attention_.empty()) {
      std::cout << "Nothing needs attention.\n";
      return 0;
    }
    std::cout << "Needs attention:\n";
    for (const std::string& a : Attention_) std::cout << "  - " << a << "\n";
    return 1;
  }

 private:
  void Directories() {
    TTransfer transfer(Core_);
    const std::vector<std::string> missing = transfer.MissingDirectories();
    for (const std::string& what : missing) Attention_.push_back(what + " is not set or does not exist: every run fails");
  }

  void Direction(const TDirectionView& d) {
    const TDateTime today = DateOf(Now_), time = TimeOf(Now_);
    const std::string at = TimeToShortStr(d.Time);
    std::string line = std::string("  ") + d.Name + std::string(9 - std::string(d.Name).size(), ' ');
    line += d.Active ? "on" : std::string("OFF (") + d.ActiveKey + "=No)";
    line += ", daily after " + at + "; last success ";
    line += d.Date <= kNeverDate ? "never" : DateToStr(d.Date);
    line += "; retries " + IntToStr(d.Retries) + " of " + IntToStr(S_.ReTryMaxCount) + ": ";
    const bool blocked = d.Retries >= S_.ReTryMaxCount;
    const bool resetsNext = d.Retries > 0 && d.Date < today && d.Time > time;
    if (!d.Active) {
      line += "not run";
    } else if (blocked) {
      line += "BLOCKED";
      Attention_.push_back(std::string("the ") + d.Name + " failed " + IntToStr(d.Retries) +
                           " times in a row and is blocked: see its run logs; " +
                           (resetsNext ? "the next tick before " + at + " sets the counter back to 0"
                                       : "the counter goes back to 0 at the first tick of a later day before " + at +
                                             ", or when a run started by hand succeeds"));
    } else if (d.Date < today && d.Time < time) {
      line += "due, runs at the next tick";
    } else {
      const TDateTime next = d.Date < today ? today : d.Date + 1;
      line += "waiting until " + DateToStr(next) + " " + at;
    }
    std::cout << line << "\n";
    if (d.Active && d.Date > kNeverDate && today - d.Date > StaleDays_)
      Attention_.push_back(std::string("the ") + d.Name + " has not succeeded since " + DateToStr(d.Date) + " (" +
                           IntToStr(static_cast<long long>(today - d.Date)) + " days)");
  }

  void Pending() {
    Core_.TransferOk = true;
    Core_.RefreshPendingCounts();
    std::string error;
    for (const std::string& line : Core_.MemoLog.Lines())
      if (StartsWith(line, "Virhe")) error = line;
    if (!Core_.TransferOk || !error.empty()) {
      std::cout << "\nPending rows: the database cannot be reached" << (error.empty() ? "" : ": " + error) << "\n";
      Attention_.push_back("the database cannot be reached" + (error.empty() ? std::string() : ": " + error));
      return;
    }
    const int* n = Core_.PendingCounts;
    std::cout << "\nPending rows in the exchange tables: ZNetAsi " << n[0] << ", ZNetKo " << n[1] << ", ZNetKoPa " << n[2]
              << ", ZNetTila " << n[3] << "\n";
  }

  void Site() {
    std::cout << "\nPackages sent and not yet confirmed by the head office (FtpSiirtoDir " << S_.FtpSiirtoDir << ")\n";
    const std::vector<std::string> waiting = FilesOf(S_.FtpSiirtoDir, S_.ClientPrefix, ".Zip");
    if (waiting.empty()) std::cout << "  none\n";
    for (const std::string& name : waiting) std::cout << "  " << name << "  " << Age(name, Now_) << "\n";

    const std::string& masterFile = Core_.Live.EdtMaster;
    std::cout << "\nNewest master package accepted (MasterFile): " << masterFile;
    TDateTime at = 0;
    if (PackageStamp(masterFile, at) && DateOf(at) > kNeverDate) std::cout << ", " << Age(masterFile, Now_);
    else std::cout << " (none accepted yet)";
    std::cout << "\n";

    TResultLog log;
    log.Number = S_.ClientArchive;
    const std::string path = Core_.InternetDir() + "Log/" + S_.MasterLog + "_" + S_.ClientArchive + ".log";
    std::cout << "Result log from the head office: " << path << "\n";
    if (!fs::is_regular_file(path)) {
      std::cout << "  not received yet\n";
      return;
    }
    log.Load(path);
    // A package at or before the newest one the result log names was decided
    // by the head office: still in FtpSiirtoDir, its rows could not be put
    // back (or it could not be retired) at the last receive.
    std::string newestNamed;
    for (const auto& line : log.Lines)
      if (StartsWith(UpperCase(line.first), UpperCase(S_.ClientPrefix + "_")))
        newestNamed = std::max(newestNamed, UpperCase(line.first));
    for (const std::string& name : waiting)
      if (!newestNamed.empty() && UpperCase(name) <= newestNamed)
        Attention_.push_back("package " + name + " in FtpSiirtoDir was not taken back at the last receive (see its "
                             "run log); the next receive tries again");
    if (log.Lines.empty()) {
      std::cout << "  empty\n";
      return;
    }
    const auto& [name, status] = log.Lines.back();
    std::cout << "  " << log.Lines.size() << " lines, the last: " << name << "  " << status << "\n";
    if (log.FailedSinceTakenIn())
      Attention_.push_back("the head office could not unpack this site's package " + log.Lines[log.LastError01].first +
                           " (ERROR01) and has taken none since: check that ZipPassword is the same at both");
  }

  void HeadOffice() {
    const std::string& masterFile = Core_.Live.EdtMaster;
    std::cout << "\nNewest master package sent (MasterFile): " << masterFile;
    TDateTime at = 0;
    if (PackageStamp(masterFile, at) && DateOf(at) > kNeverDate) std::cout << ", " << Age(masterFile, Now_);
    else std::cout << " (none sent yet)";
    std::cout << "\n";

    const std::string logDir = Core_.InternetDir() + "Log/";
    std::cout << "\nSites in the result logs (" << logDir << S_.MasterLog << "_*.log), stale after " << Days(StaleDays_)
              << " days\n";
    const std::string prefix = S_.MasterLog + "_";
    std::vector<TResultLog> logs;
    for (const std::string& file : FilesOf(Core_.InternetDir().empty() ? "" : logDir, prefix, ".log")) {
      TResultLog log;
      log.Number = file.substr(prefix.size(), file.size() - prefix.size() - 4);
      log.Load(logDir + file);
      logs.push_back(std::move(log));
    }
    if (logs.empty()) std::cout << "  none yet\n";
    else std::printf("  %-6s %-32s %-9s %-20s %s\n", "site", "last package", "status", "made", "days ago");
    for (const TResultLog& log : logs) {
      if (log.Lines.empty()) {
        std::printf("  %-6s (empty result log)\n", log.Number.c_str());
        continue;
      }
      const auto& [name, status] = log.Lines.back();
      TDateTime made = 0;
      const bool stamped = PackageStamp(name, made);
      const double days = Now_ - made;
      std::printf("  %-6s %-32s %-9s %-20s %s\n", log.Number.c_str(), name.c_str(), status.c_str(),
                  stamped ? DateTimeToStr(made).c_str() : "?", stamped ? Days(days).c_str() : "?");
      if (stamped && days > StaleDays_)
        Attention_.push_back("site " + log.Number + " has sent nothing for " + Days(days) + " days (last " + name + ")");
      if (log.FailedSinceTakenIn())
        Attention_.push_back("site " + log.Number + ": package " + log.Lines[log.LastError01].first +
                             " could not be unpacked (ERROR01) and no package has been taken in since; the site "
                             "sends its rows again, but check that its ZipPassword is the same");
    }

    const std::vector<std::string> left = FilesOf(Core_.InternetDir().empty() ? "" : Core_.InternetDir() + "Tmp/",
                                                  S_.MasterClients, ".Zip");
    if (!left.empty()) {
      std::cout << "Site packages left in " << Core_.InternetDir() << "Tmp/ by the last receive (not taken in; the "
                << "next receive deletes them):\n";
      for (const std::string& name : left) std::cout << "  " << name << "\n";
    }
  }

  void Logs() {
    std::cout << "\nLogs\n";
    std::cout << "  run logs      " << (S_.BackupDir.empty() ? "(BackupDir not set)" : S_.BackupDir + "*.Log") << "\n";
    std::string newest;
    fs::file_time_type newestTime{};
    std::error_code ec;
    if (!S_.BackupDir.empty())
      for (const auto& entry : fs::directory_iterator(S_.BackupDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file(ec) || !SameText(ExtractFileExt(name), ".Log")) continue;
        const auto t = entry.last_write_time(ec);
        if (newest.empty() || t > newestTime || (t == newestTime && name > newest)) newest = name, newestTime = t;
      }
    if (!newest.empty()) {
      std::vector<std::string> lines = ReadLines(S_.BackupDir + newest);
      while (!lines.empty() && Trim(lines.back()).empty()) lines.pop_back();
      std::cout << "  newest        " << newest << (lines.empty() ? "" : ", its last line: " + lines.back()) << "\n";
    }
    if (!S_.IsMaster)
      std::cout << "  (a site's receive ships its run logs to the server's " << S_.FtpHostLogDir
                << " and keeps only its own)\n";
    else
      std::cout << "  (the head office's send ships its run logs to the server's " << S_.FtpHostLogDir << ")\n";
    std::cout << "  result logs   " << (Core_.InternetDir().empty() ? "(Dir not set)" : Core_.InternetDir() + "Log/") << "\n";
    if (!S_.Log.empty()) {
      const std::string crash = S_.Log + "TrelvoError.log";
      std::cout << "  crash reports " << crash << (S_.UseErrorLog ? "" : " (UseErrorLog is off)");
      struct stat st {};
      if (::stat(crash.c_str(), &st) == 0)
        std::cout << ": " << st.st_size << " bytes, last written " << DateTimeToStr(FromUnixTime(st.st_mtime));
      std::cout << "\n";
    }
  }

  TTrelvoCore& Core_;
  const TSettings& S_;
  TDateTime Now_;
  double StaleDays_;
  std::vector<std::string> Attention_;
};

int RunStatus(const TArgs& args) {
  args.Expect(0, 0);
  double staleDays = 2;
  if (args.Has("stale-days")) {
    const std::string text = args.Option("stale-days");
    char* end = nullptr;
    staleDays = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !(staleDays >= 0)) throw EUsage("--stale-days needs a number of days, such as 2");
  }
  std::unique_ptr<TFixedClock> clock;
  if (args.Has("at")) {
    try {
      clock = std::make_unique<TFixedClock>(StrToDateTime(args.Option("at")));
    } catch (const std::exception& e) {
      throw EUsage(std::string("--at needs \"dd.mm.yyyy hh:nn:ss\": ") + e.what());
    }
  }
  TTrelvoCore core(HomeDir(args), nullptr, clock.get());
  // Without its file every key would read as its default, which describes
  // no installation.
  if (!fs::is_regular_file(core.SettingsFileName())) {
    std::cerr << "trelvo-admin status: " << core.SettingsFileName()
              << " does not exist: no installation here (see --home, TRELVO_HOME)\n";
    return 1;
  }
  try {
    core.LoadSettings();
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin status: " << core.SettingsFileName() << ": " << e.what() << "\n";
    return 1;
  }
  LoadCounters(core);
  return TStatus(core, staleDays).Print();
}

TRELVO_ADMIN_COMMAND("status", "status [--stale-days N] [--at \"dd.mm.yyyy hh:nn:ss\"] [--home DIR]", {}, RunStatus,
                     "Shows what an operator asks first about an installation, from its files only.\n"
                     "Both roles: the role, each direction (on or off, its time, the last successful date, the\n"
                     "retry counter, and whether it is waiting, due or blocked), the pending rows of the\n"
                     "exchange tables, and where the logs are with the newest run log's last line.\n"
                     "A site: the packages in FtpSiirtoDir the head office has not confirmed, with their age,\n"
                     "the newest master package accepted, and its result log from the head office.\n"
                     "The head office: the newest master package sent and, for every site that has a result\n"
                     "log, its last package, that package's status and how many days ago it was made.\n"
                     "\n"
                     "Needs attention (exit 1): a direction blocked by its retry counter; a direction on whose\n"
                     "last success is more than N days old; a site that has sent nothing for more than N days;\n"
                     "an ERROR01 line newer than the site's last Ok; a missing transfer directory; a database\n"
                     "that cannot be reached; a setting of Sorvel.ini that cannot be read (its default is used);\n"
                     "a site's package whose rows the last receive could not put back. Otherwise exit 0.\n"
                     "\n"
                     "The retry counters are those trelvo-admin run and tick keep in RunState.ini; the trelvo\n"
                     "program keeps its own in memory, so for an installation the program runs the counters\n"
                     "shown are 0 and the dates tell whether the runs succeed.\n"
                     "\n"
                     "  --stale-days N  days without a package or a success before it needs attention (default 2)\n"
                     "  --at            the clock stands at that moment",
                     {"stale-days", "at"});

}  // namespace
}  // namespace trelvo::admin
