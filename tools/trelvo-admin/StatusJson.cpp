// trelvo-admin status --json: the facts as one JSON object for scripts and
// monitoring. Its keys are part of the tool's interface (the README lists
// them): add keys freely, never rename or remove one.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "StatusFacts.h"

namespace trelvo::admin {
namespace {

std::string Quoted(const std::string& raw) {
  const std::string text = ValidUtf8(raw);
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

// Local time with its offset, so that a reader elsewhere knows the moment:
// "2026-03-04T08:00:00+02:00".
std::string IsoTime(TDateTime value) {
  const std::time_t t = ToUnixTime(value);
  std::tm tm{};
  localtime_r(&t, &tm);
  const long offset = tm.tm_gmtoff / 60;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60,
                std::labs(offset) % 60);
  return Quoted(buf);
}

std::string IsoDate(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
  return Quoted(buf);
}

std::string Number(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", std::max(0.0, value));
  return buf;
}

const char* Bool(bool b) { return b ? "true" : "false"; }

const char* StateName(TStatusDirection::TState s) {
  switch (s) {
    case TStatusDirection::TState::Off: return "off";
    case TStatusDirection::TState::Blocked: return "blocked";
    case TStatusDirection::TState::Due: return "due";
    case TStatusDirection::TState::Waiting: return "waiting";
  }
  return "off";
}

// A package: its name, when it was made (null when its name has no stamp),
// and its age in seconds at the status's "now".
std::string Package(const TStatusPackage& p, TDateTime now) {
  return "{\"name\": " + Quoted(p.Name) + ", \"made\": " + (p.Stamped ? IsoTime(p.Made) : "null") +
         ", \"age_seconds\": " + (p.Stamped ? std::to_string(StatusSeconds(now - p.Made)) : "null") + "}";
}

std::string OrNull(const std::string& text) { return text.empty() ? "null" : Quoted(text); }

}  // namespace

void PrintStatusJson(const TStatusFacts& f, std::ostream& out) {
  out << "{\n";
  out << "  \"home\": " << Quoted(f.Home) << ",\n";
  out << "  \"version\": " << Quoted(f.Version) << ",\n";
  out << "  \"role\": " << (f.IsMaster ? "\"master\"" : "\"client\"") << ",\n";
  out << "  \"site\": " << (f.IsMaster ? "null" : Quoted(f.Site)) << ",\n";
  out << "  \"now\": " << IsoTime(f.Now) << ",\n";
  out << "  \"stale_days\": " << Number(f.StaleDays) << ",\n";
  out << "  \"retry_max\": " << f.RetryMax << ",\n";
  out << "  \"retry_interval_seconds\": " << f.RetryTime << ",\n";
  out << "  \"directions\": {";
  for (size_t i = 0; i < f.Directions.size(); ++i) {
    const TStatusDirection& d = f.Directions[i];
    out << (i ? "," : "") << "\n    " << Quoted(d.Name) << ": {\"enabled\": " << Bool(d.Active) << ", \"time\": "
        << Quoted(TimeToShortStr(d.Time)) << ", \"last_success\": " << (d.LastSuccess ? IsoDate(*d.LastSuccess) : "null")
        << ", \"retries\": " << d.Retries << ", \"state\": \"" << StateName(d.State)
        << "\", \"next_due\": " << (d.NextDue ? IsoTime(*d.NextDue) : "null") << "}";
  }
  out << "\n  },\n";
  out << "  \"database\": {\"reachable\": " << Bool(f.DatabaseReachable) << ", \"error\": " << OrNull(f.DatabaseError)
      << "},\n";
  out << "  \"pending_rows\": ";
  if (!f.DatabaseReachable) {
    out << "null";
  } else {
    out << "{";
    for (size_t i = 0; i < f.PendingRows.size(); ++i)
      out << (i ? ", " : "") << Quoted(TStatusFacts::kExchangeTables[i]) << ": " << f.PendingRows[i];
    out << "}";
  }
  out << ",\n";
  out << "  \"master_package\": "
      << (f.MasterPackageKnown ? Package({f.MasterFile, true, f.MasterMade}, f.Now) : std::string("null")) << ",\n";
  if (!f.IsMaster) {
    out << "  \"unconfirmed_packages\": [";
    for (size_t i = 0; i < f.Unconfirmed.size(); ++i)
      out << (i ? "," : "") << "\n    " << Package(f.Unconfirmed[i], f.Now);
    out << (f.Unconfirmed.empty() ? "" : "\n  ") << "],\n";
    out << "  \"result_log\": {\"path\": " << Quoted(f.ResultLogPath) << ", \"exists\": " << Bool(f.ResultLogExists)
        << ", \"lines\": " << f.ResultLogLines << ", \"last_package\": " << OrNull(f.ResultLogLastPackage)
        << ", \"last_status\": " << OrNull(f.ResultLogLastStatus) << "},\n";
  } else {
    out << "  \"sites\": [";
    for (size_t i = 0; i < f.Sites.size(); ++i) {
      const TStatusSite& s = f.Sites[i];
      out << (i ? "," : "") << "\n    {\"site\": " << Quoted(s.Number) << ", \"last_package\": "
          << (s.Empty ? "null" : Package(s.Last, f.Now)) << ", \"status\": " << (s.Empty ? "null" : Quoted(s.Status))
          << "}";
    }
    out << (f.Sites.empty() ? "" : "\n  ") << "],\n";
    out << "  \"left_in_tmp\": [";
    for (size_t i = 0; i < f.LeftInTmp.size(); ++i) out << (i ? ", " : "") << Quoted(f.LeftInTmp[i]);
    out << "],\n";
  }
  out << "  \"logs\": {\"run_logs\": " << OrNull(f.BackupDir) << ", \"newest_run_log\": " << OrNull(f.NewestRunLog)
      << ", \"newest_run_log_last_line\": " << OrNull(f.NewestRunLogLastLine)
      << ", \"result_logs\": " << OrNull(f.ResultLogDir) << ", \"crash_report\": " << OrNull(f.CrashReport)
      << ", \"crash_reports_enabled\": " << Bool(f.UseErrorLog) << ", \"crash_report_bytes\": "
      << (f.CrashReportExists ? std::to_string(f.CrashReportBytes) : "null")
      << ", \"crash_report_written\": " << (f.CrashReportExists ? IsoTime(f.CrashReportWritten) : "null") << "},\n";
  out << "  \"attention\": [";
  for (size_t i = 0; i < f.Attention.size(); ++i) {
    const TAttention& a = f.Attention[i];
    out << (i ? "," : "") << "\n    {\"reason\": " << Quoted(a.Reason) << ", \"subject\": " << OrNull(a.Subject)
        << ", \"message\": " << Quoted(a.Text) << "}";
  }
  out << (f.Attention.empty() ? "" : "\n  ") << "]\n";
  out << "}\n";
}

}  // namespace trelvo::admin
