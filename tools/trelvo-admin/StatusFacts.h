#pragma once
// What trelvo-admin status knows about an installation, gathered once from
// its files and then shown as text for the operator, as JSON for scripts or
// as metrics for Prometheus. Every view renders these facts and nothing else,
// so the three cannot tell different stories.
//
// A new check adds its reason to kAttentionReasons (the metrics list every
// reason, also at 0, so an alert rule never meets a missing series) and
// appends a TAttention while gathering.
#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "core/TrelvoCore.h"

namespace trelvo::admin {

struct TAttentionReason {
  const char* Code;  // the JSON "reason" and the metrics' reason label; never renamed
  const char* Help;
};

inline constexpr TAttentionReason kAttentionReasons[] = {
    {"directory_missing", "a transfer directory is not set or does not exist"},
    {"direction_blocked", "a direction failed ReTryMaxCount times in a row"},
    {"direction_stale", "a direction that is on has not succeeded for more than the stale days"},
    {"database_unreachable", "the database cannot be reached"},
    {"package_not_unpacked", "the newest ERROR01 of a result log has no package taken in after it"},
    {"site_stale", "a site has sent nothing for more than the stale days"},
    {"settings_readable", "Sorvel.ini, which holds the passwords, can be read by other users"},
    {"zip_password_empty", "the package password is empty: packages are not encrypted"},
    {"packages_not_aes", "packages are written with the traditional ZIP cipher, not AES-256"},
    {"setting_invalid", "a setting of Sorvel.ini cannot be read and its default is used"},
    {"package_not_taken_back", "a sent package the head office decided on is still in FtpSiirtoDir"},
};

struct TAttention {
  std::string Reason;   // one of kAttentionReasons
  std::string Subject;  // what it is about: a direction, a site number, a directory; may be empty
  std::string Text;     // the sentence the text view lists
};

struct TStatusPackage {
  std::string Name;
  bool Stamped = false;  // its name carries a readable yyyymmddhhnnss
  TDateTime Made = 0;
};

struct TStatusDirection {
  enum class TState { Off, Blocked, Due, Waiting };
  std::string Name;       // "send" or "receive"
  std::string ActiveKey;  // the key that switches it off
  bool Active = false;
  TDateTime Time = 0;                      // its time of day
  std::optional<TDateTime> LastSuccess;    // a date; none before the first success
  int Retries = 0;
  TState State = TState::Off;
  std::optional<TDateTime> NextDue;        // waiting: when it runs; due: since when
};

struct TStatusSite {
  std::string Number;
  bool Empty = false;  // a result log without lines
  TStatusPackage Last;
  std::string Status;  // the last line's status, as written
};

struct TStatusFacts {
  std::string Home;
  std::string Version;
  bool IsMaster = false;
  std::string Site;  // the site number (ClientArchive)
  std::string ClientPrefix, MasterClients, MasterArchive, MasterLog;
  TDateTime Now = 0;
  double StaleDays = 2;
  int RetryMax = 3, RetryTime = 120;
  std::string RunStateFile;
  std::string InternetDir;   // the INet directory ([Internet] Dir), "" when not set
  std::string ResultLogDir;  // InternetDir + "Log/", or "" when Dir is not set

  std::vector<TStatusDirection> Directions;  // send, then receive

  bool DatabaseReachable = false;
  std::string DatabaseError;
  static constexpr std::array<const char*, 4> kExchangeTables{"ZNetAsi", "ZNetKo", "ZNetKoPa", "ZNetTila"};
  std::array<int, 4> PendingRows{};

  // The newest master package taken (a site) or sent (the head office).
  std::string MasterFile;
  bool MasterPackageKnown = false;  // MasterFile names a package with a stamp
  TDateTime MasterMade = 0;

  // A site.
  std::string FtpSiirtoDir;
  std::vector<TStatusPackage> Unconfirmed;
  std::string ResultLogPath;
  bool ResultLogExists = false;
  size_t ResultLogLines = 0;
  std::string ResultLogLastPackage, ResultLogLastStatus;

  // The head office.
  std::string TmpDir;
  std::vector<TStatusSite> Sites;
  std::vector<std::string> LeftInTmp;

  // Logs.
  std::string BackupDir;
  std::string NewestRunLog, NewestRunLogLastLine;
  std::string FtpHostLogDir;
  std::string CrashReport;  // "" when [Directory] Log is not set
  bool UseErrorLog = false;
  bool CrashReportExists = false;
  std::int64_t CrashReportBytes = 0;
  TDateTime CrashReportWritten = 0;

  std::vector<TAttention> Attention;

  // The exit code of every view: 1 when something needs attention.
  int ExitCode() const { return Attention.empty() ? 0 : 1; }
};

// Reads the installation's files; core has its settings and counters loaded.
TStatusFacts GatherStatus(TTrelvoCore& core, double staleDays);

void PrintStatusText(const TStatusFacts& facts, std::ostream& out);
void PrintStatusJson(const TStatusFacts& facts, std::ostream& out);
void PrintStatusPrometheus(const TStatusFacts& facts, std::ostream& out);

// Helpers the views share.
std::string StatusDays(double days);  // "2.4", never below 0
long long StatusSeconds(double days);  // whole seconds, never below 0
// Text from files may be anything; JSON and the metrics format want UTF-8.
std::string ValidUtf8(const std::string& text);

}  // namespace trelvo::admin
