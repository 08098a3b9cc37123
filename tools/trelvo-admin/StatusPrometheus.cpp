// trelvo-admin status --prometheus: the facts as metrics in the text format
// the node exporter's textfile collector reads. Every sample carries the
// installation's directory as "home", so several installations of one
// machine write files side by side without their series colliding.
#include <map>
#include <sstream>

#include "StatusFacts.h"

namespace trelvo::admin {
namespace {

std::string LabelValue(const std::string& raw) {
  std::string out;
  for (const char c : ValidUtf8(raw)) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// One metric family: HELP and TYPE once, then its samples.
class TFamily {
 public:
  TFamily(std::ostream& out, const std::string& home, const char* name, const char* help)
      : Out_(out), Home_(home), Name_(name) {
    Out_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " gauge\n";
  }
  template <typename T>
  void Sample(T value, const std::vector<std::pair<const char*, std::string>>& labels = {}) {
    Out_ << Name_ << "{home=\"" << LabelValue(Home_) << "\"";
    for (const auto& [label, text] : labels) Out_ << "," << label << "=\"" << LabelValue(text) << "\"";
    Out_ << "} " << value << "\n";
  }

 private:
  std::ostream& Out_;
  const std::string& Home_;
  const char* Name_;
};

long long Unix(TDateTime value) { return static_cast<long long>(ToUnixTime(value)); }

}  // namespace

void PrintStatusPrometheus(const TStatusFacts& f, std::ostream& out) {
  const std::string& home = f.Home;
  TFamily(out, home, "trelvo_info", "The installation's role, site number and the tool's version; always 1.")
      .Sample(1, {{"role", f.IsMaster ? "master" : "client"}, {"site", f.IsMaster ? "" : f.Site}, {"version", f.Version}});
  TFamily(out, home, "trelvo_status_timestamp_seconds", "The moment these figures describe.").Sample(Unix(f.Now));

  TFamily enabled(out, home, "trelvo_direction_enabled", "1 when the direction runs daily (SendFiles, RecvFiles).");
  for (const auto& d : f.Directions) enabled.Sample(d.Active ? 1 : 0, {{"direction", d.Name}});
  TFamily last(out, home, "trelvo_last_success_timestamp_seconds",
               "Start of the day of the direction's last successful run; 0 before the first.");
  for (const auto& d : f.Directions) last.Sample(d.LastSuccess ? Unix(*d.LastSuccess) : 0, {{"direction", d.Name}});
  TFamily retries(out, home, "trelvo_retries", "Failed runs of the direction in a row (kept by trelvo-admin run and tick).");
  for (const auto& d : f.Directions) retries.Sample(d.Retries, {{"direction", d.Name}});
  TFamily(out, home, "trelvo_retries_max", "ReTryMaxCount: the failed runs after which a direction is blocked.")
      .Sample(f.RetryMax);
  TFamily blocked(out, home, "trelvo_direction_blocked", "1 when the direction's retries are spent.");
  for (const auto& d : f.Directions)
    blocked.Sample(d.State == TStatusDirection::TState::Blocked ? 1 : 0, {{"direction", d.Name}});
  TFamily next(out, home, "trelvo_next_due_timestamp_seconds",
               "When the direction is due next (in the past: due at the next tick); absent when off or blocked.");
  for (const auto& d : f.Directions)
    if (d.NextDue) next.Sample(Unix(*d.NextDue), {{"direction", d.Name}});

  TFamily(out, home, "trelvo_database_up", "1 when the database could be read.").Sample(f.DatabaseReachable ? 1 : 0);
  if (f.DatabaseReachable) {
    TFamily pending(out, home, "trelvo_pending_rows", "Rows waiting in an exchange table for the next send.");
    for (size_t i = 0; i < f.PendingRows.size(); ++i)
      pending.Sample(f.PendingRows[i], {{"table", TStatusFacts::kExchangeTables[i]}});
  }
  if (f.MasterPackageKnown)
    TFamily(out, home, "trelvo_master_package_timestamp_seconds",
            "When the newest master package taken in (a site) or sent (the head office) was made.")
        .Sample(Unix(f.MasterMade));

  if (!f.IsMaster) {
    TFamily(out, home, "trelvo_unconfirmed_packages", "Packages sent that the head office has not confirmed yet.")
        .Sample(f.Unconfirmed.size());
    double oldest = -1;
    for (const auto& p : f.Unconfirmed)
      if (p.Stamped && (oldest < 0 || f.Now - p.Made > oldest)) oldest = f.Now - p.Made;
    if (oldest >= 0)
      TFamily(out, home, "trelvo_oldest_unconfirmed_package_age_seconds",
              "Age of the oldest package the head office has not confirmed.")
          .Sample(StatusSeconds(oldest));
  } else if (!f.Sites.empty()) {
    TFamily made(out, home, "trelvo_site_last_package_timestamp_seconds",
                 "When the site made the last package in its result log.");
    for (const auto& s : f.Sites)
      if (!s.Empty && s.Last.Stamped) made.Sample(Unix(s.Last.Made), {{"site", s.Number}});
    TFamily age(out, home, "trelvo_site_last_package_age_seconds", "Age of the last package in the site's result log.");
    for (const auto& s : f.Sites)
      if (!s.Empty && s.Last.Stamped) age.Sample(StatusSeconds(f.Now - s.Last.Made), {{"site", s.Number}});
    TFamily status(out, home, "trelvo_site_last_package_status",
                   "1 with the status (Ok, ERROR01, ERROR02) of the last package in the site's result log.");
    for (const auto& s : f.Sites)
      if (!s.Empty) status.Sample(1, {{"site", s.Number}, {"status", s.Status}});
  }

  TFamily(out, home, "trelvo_crash_report_bytes", "Size of TrelvoError.log; 0 when there is none.")
      .Sample(f.CrashReportExists ? f.CrashReportBytes : 0);

  // Every known reason, also at 0, so that a rule on one reason always has its series.
  std::map<std::string, int> counts;
  for (const TAttentionReason& r : kAttentionReasons) counts[r.Code] = 0;
  for (const TAttention& a : f.Attention) ++counts[a.Reason];
  TFamily attention(out, home, "trelvo_attention",
                    "Things that need attention, by reason; any above 0 makes trelvo-admin status exit 1.");
  for (const auto& [reason, n] : counts) attention.Sample(n, {{"reason", reason}});
}

}  // namespace trelvo::admin
