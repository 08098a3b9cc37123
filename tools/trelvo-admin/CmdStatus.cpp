// trelvo-admin status: what an operator asks first about an installation.
// The facts come from StatusFacts.cpp; this file is the command and its text
// view. The exit code says whether something needs attention, for monitoring.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Admin.h"
#include "RunState.h"
#include "StatusFacts.h"
#include "common/Text.h"

namespace trelvo::admin {

namespace {

std::string Age(const TStatusPackage& p, TDateTime now) {
  if (!p.Stamped) return "made at an unknown time";
  return "made " + DateTimeToStr(p.Made) + ", " + StatusDays(now - p.Made) + " days ago";
}

void Direction(const TStatusFacts& f, const TStatusDirection& d, std::ostream& out) {
  using S = TStatusDirection::TState;
  const std::string at = TimeToShortStr(d.Time);
  std::string line = "  " + d.Name + std::string(9 - d.Name.size(), ' ');
  line += d.Active ? "on" : "OFF (" + d.ActiveKey + "=No)";
  line += ", daily after " + at + "; last success ";
  line += d.LastSuccess ? DateToStr(*d.LastSuccess) : "never";
  line += "; retries " + IntToStr(d.Retries) + " of " + IntToStr(f.RetryMax) + ": ";
  switch (d.State) {
    case S::Off: line += "not run"; break;
    case S::Blocked: line += "BLOCKED"; break;
    case S::Due: line += "due, runs at the next tick"; break;
    case S::Waiting: line += "waiting until " + DateToStr(*d.NextDue) + " " + at; break;
  }
  out << line << "\n";
}

void Site(const TStatusFacts& f, std::ostream& out) {
  out << "\nPackages sent and not yet confirmed by the head office (FtpSiirtoDir " << f.FtpSiirtoDir << ")\n";
  if (f.Unconfirmed.empty()) out << "  none\n";
  for (const TStatusPackage& p : f.Unconfirmed) out << "  " << p.Name << "  " << Age(p, f.Now) << "\n";

  out << "\nNewest master package accepted (MasterFile): " << f.MasterFile;
  if (f.MasterPackageKnown) out << ", " << Age({f.MasterFile, true, f.MasterMade}, f.Now);
  else out << " (none accepted yet)";
  out << "\n";

  out << "Result log from the head office: " << f.ResultLogPath << "\n";
  if (!f.ResultLogExists) out << "  not received yet\n";
  else if (f.ResultLogLines == 0) out << "  empty\n";
  else out << "  " << f.ResultLogLines << " lines, the last: " << f.ResultLogLastPackage << "  " << f.ResultLogLastStatus << "\n";
}

std::string Printf(const char* format, const std::string& a, const std::string& b = "", const std::string& c = "",
                   const std::string& d = "", const std::string& e = "") {
  char buf[1024];
  std::snprintf(buf, sizeof buf, format, a.c_str(), b.c_str(), c.c_str(), d.c_str(), e.c_str());
  return buf;
}

void HeadOffice(const TStatusFacts& f, std::ostream& out) {
  out << "\nNewest master package sent (MasterFile): " << f.MasterFile;
  if (f.MasterPackageKnown) out << ", " << Age({f.MasterFile, true, f.MasterMade}, f.Now);
  else out << " (none sent yet)";
  out << "\n";

  out << "\nSites in the result logs (" << f.InternetDir << "Log/" << f.MasterLog << "_*.log), stale after "
      << StatusDays(f.StaleDays) << " days\n";
  if (f.Sites.empty()) out << "  none yet\n";
  else out << Printf("  %-6s %-32s %-9s %-20s %s\n", "site", "last package", "status", "made", "days ago");
  for (const TStatusSite& s : f.Sites) {
    if (s.Empty) {
      out << Printf("  %-6s (empty result log)\n", s.Number);
      continue;
    }
    out << Printf("  %-6s %-32s %-9s %-20s %s\n", s.Number, s.Last.Name, s.Status,
                  s.Last.Stamped ? DateTimeToStr(s.Last.Made) : "?", s.Last.Stamped ? StatusDays(f.Now - s.Last.Made) : "?");
  }
  if (!f.LeftInTmp.empty()) {
    out << "Site packages left in " << f.InternetDir << "Tmp/ by the last receive (not taken in; the "
        << "next receive deletes them):\n";
    for (const std::string& name : f.LeftInTmp) out << "  " << name << "\n";
  }
}

void Logs(const TStatusFacts& f, std::ostream& out) {
  out << "\nLogs\n";
  out << "  run logs      " << (f.BackupDir.empty() ? "(BackupDir not set)" : f.BackupDir + "*.Log") << "\n";
  if (!f.NewestRunLog.empty())
    out << "  newest        " << f.NewestRunLog
        << (f.NewestRunLogLastLine.empty() ? "" : ", its last line: " + f.NewestRunLogLastLine) << "\n";
  if (!f.IsMaster)
    out << "  (a site's receive ships its run logs to the server's " << f.FtpHostLogDir << " and keeps only its own)\n";
  else
    out << "  (the head office's send ships its run logs to the server's " << f.FtpHostLogDir << ")\n";
  out << "  result logs   " << (f.InternetDir.empty() ? "(Dir not set)" : f.InternetDir + "Log/") << "\n";
  if (!f.CrashReport.empty()) {
    out << "  crash reports " << f.CrashReport << (f.UseErrorLog ? "" : " (UseErrorLog is off)");
    if (f.CrashReportExists)
      out << ": " << f.CrashReportBytes << " bytes, last written " << DateTimeToStr(f.CrashReportWritten);
    out << "\n";
  }
}

}  // namespace

void PrintStatusText(const TStatusFacts& f, std::ostream& out) {
  out << "Installation " << f.Home << "\n";
  out << "  role      " << (f.IsMaster ? "head office" : "site " + f.Site) << " (packages "
      << (f.IsMaster ? f.MasterClients + "*.Zip from the sites, " + f.MasterArchive + "_*.Zip sent"
                     : f.ClientPrefix + "_*.Zip sent, " + f.MasterArchive + "_*.Zip received")
      << ")\n";
  out << "  now       " << DateTimeToStr(f.Now) << "\n";
  out << "\nRuns (ReTryMaxCount " << f.RetryMax << ", a tick every " << f.RetryTime << " s)\n";
  for (const TStatusDirection& d : f.Directions) Direction(f, d, out);
  out << "  (retry counters from " << f.RunStateFile
      << ", kept by trelvo-admin run and tick;\n"
         "   the trelvo program keeps its own in memory from its start and shows them on its settings page)\n";
  if (!f.DatabaseReachable) {
    out << "\nPending rows: the database cannot be reached"
        << (f.DatabaseError.empty() ? "" : ": " + f.DatabaseError) << "\n";
  } else {
    out << "\nPending rows in the exchange tables:";
    for (size_t i = 0; i < f.PendingRows.size(); ++i)
      out << (i ? ", " : " ") << TStatusFacts::kExchangeTables[i] << " " << f.PendingRows[i];
    out << "\n";
  }
  if (f.IsMaster)
    HeadOffice(f, out);
  else
    Site(f, out);
  Logs(f, out);

  out << "\n";
  if (f.Attention.empty()) {
    out << "Nothing needs attention.\n";
    return;
  }
  out << "Needs attention:\n";
  for (const TAttention& a : f.Attention) out << "  - " << a.Text << "\n";
}

namespace {

namespace fs = std::filesystem;

int RunStatus(const TArgs& args) {
  args.Expect(0, 0);
  if (args.Has("json") && args.Has("prometheus")) throw EUsage("--json and --prometheus: choose one");
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
  const TStatusFacts facts = GatherStatus(core, staleDays);
  if (args.Has("json"))
    PrintStatusJson(facts, std::cout);
  else if (args.Has("prometheus"))
    PrintStatusPrometheus(facts, std::cout);
  else
    PrintStatusText(facts, std::cout);
  return facts.ExitCode();
}

TRELVO_ADMIN_COMMAND("status",
                     "status [--json | --prometheus] [--stale-days N] [--at \"dd.mm.yyyy hh:nn:ss\"] [--home DIR]",
                     {"json", "prometheus"}, RunStatus,
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
                     "that cannot be reached; a Sorvel.ini that other users can read; an empty ZipPassword;\n"
                     "packages not written with AES-256 (ZipEncryption other than AES256); a setting that\n"
                     "cannot be read (its default is used); a site's package the last receive could not take\n"
                     "back. Otherwise exit 0.\n"
                     "\n"
                     "The retry counters are those trelvo-admin run and tick keep in RunState.ini; the trelvo\n"
                     "program keeps its own in memory, so for an installation the program runs the counters\n"
                     "shown are 0 and the dates tell whether the runs succeed.\n"
                     "\n"
                     "  --json          the same facts as one JSON object (its keys are listed in the README)\n"
                     "  --prometheus    the same facts as metrics for the node exporter's textfile collector\n"
                     "  --stale-days N  days without a package or a success before it needs attention (default 2)\n"
                     "  --at            the clock stands at that moment",
                     {"stale-days", "at"});

}  // namespace
}  // namespace trelvo::admin
