#pragma once
// The four transfer runs, the check of earlier packages, and the run control
// around them (the two buttons and the scheduler tick), over the core. The
// window, trelvo-admin and the tests drive the same object.
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/TrelvoCore.h"

namespace trelvo {

// Asks a sibling program of the suite, found by its window title, to close.
// The window gives it its desktop form; headless nothing is ever found.
class TProgramCloser {
 public:
  virtual ~TProgramCloser() = default;
  // True when a window of exactly that title was found and asked to close.
  virtual bool CloseWindowByTitle(const std::string& title) = 0;
};

class TNoProgramCloser : public TProgramCloser {
 public:
  bool CloseWindowByTitle(const std::string&) override { return false; }
};

class TTransfer {
 public:
  // core and closer must outlive the object; null closer finds nothing.
  explicit TTransfer(TTrelvoCore& core, TProgramCloser* closer = nullptr);

  TTrelvoCore& Core;

  // ---- the runs ----
  void ClientSend();
  void ClientReceive();
  void MasterSend();
  void MasterReceive();
  // False when a package's rows could not be put back (it stays for the
  // next receive) or the check itself failed; each with its lines.
  bool CheckEarlierPackages();
  // False (with its two lines logged) when the line could not be written.
  bool WriteClientLog(const std::string& packagePath, const std::string& status);

  // ---- run control ----
  void SBSendClick();
  void SBReceiveClick();
  void TimerRunTimer();
  void CloseProgramWindow(const std::string& title);

  // The state the view shows; every change is reported through the view's
  // RunControlsChanged.
  bool SBSendEnabled() const { return SBSendEnabled_; }
  bool SBReceiveEnabled() const { return SBReceiveEnabled_; }
  bool TimerRunEnabled() const { return TimerRunEnabled_; }
  void SetTimerRunEnabled(bool enabled);
  // ReTryTime seconds in milliseconds; 0 means the timer never fires.
  int TimerRunInterval() const;
  // A run (or a tick) is in progress: the window must not close under it.
  bool Running() const { return RunDepth_ > 0; }
  // Whether the latest run counted as successful by its retry rule.
  bool LastRunSucceeded() const { return LastRunSucceeded_; }
  // Where the latest run's log was saved; empty when it was not.
  const std::string& LastRunLog() const { return LastRunLog_; }

  // How long the RunHook may take before it is asked to end (SIGTERM), and
  // how long after that before it is killed. Tests shorten them.
  int RunHookTimeoutMs = 60000;
  int RunHookKillGraceMs = 5000;

  // Named points inside the runs where a test may end the process (the
  // environment variable TRELVO_TEST_EXIT_AT names one) or make a run fail
  // as a crash would, to prove that no row is lost or counted twice.
  std::function<void(const std::string& point)> OnCheckpoint;
  void Checkpoint(const char* point);

  // A head office's batch of packages ends at this many packages or after
  // this long, whichever comes first. The batch's transaction keeps other
  // programs from writing the main tables meanwhile, so its time stays well
  // under the half second they may wait.
  int BatchPackages = 50;
  int BatchMs = 250;

  // The result log of the site that sent packagePath.
  std::string ClientLogName(const std::string& packagePath) const;
  // The directories a run of this role needs that are unset or missing.
  std::vector<std::string> MissingDirectories() const;

 private:
  void SetControls(bool buttons, bool timer);
  void StartRun(bool send);
  // The RunHook of the settings after a run, with the run's outcome; never
  // throws and never changes the outcome.
  void AfterRun(bool send) noexcept;
  void ShowCounters();

  std::string Stamp() const;    // now as yyyymmddhhnnss
  std::string NowText() const;  // now as dd.mm.yyyy hh:nn:ss
  void Log(const std::string& line);
  // Opens the archive at path, runs work and closes it on every path; an
  // error raised on the way logs the two "(Zip-rikki)" lines and gives false.
  bool WithArchive(const std::string& path, bool unpack, const std::function<void(TZipArchiver&)>& work);
  bool UnpackSitePackage(const std::string& path);
  bool DirectoriesReady();
  // body, then the run log saved under logName() on every path.
  void Protected(const std::function<void()>& body, const std::function<std::string()>& logName);
  void SaveRunLog(const std::string& fileName);
  std::string RunLogNameOf(const std::string& package) const;
  std::string UniqueRunLogName(const std::string& base) const;
  void CountRun(int& retries, bool success);
  bool ShipPackage();
  bool EmptyExchangeTables();
  std::string UnusedPackageName() const;
  bool EmptySentExchangeTables(bool packageMade);
  std::array<int, 4> ExchangeCounts();
  bool AcceptedMasterName(const std::string& name) const;
  bool FinishTableSwap();
  bool ProcessClientPackage(const std::string& fileName);
  void RefusePackage();
  void KeepPackage();
  // The head office's packages go in batches, each under one durable commit.
  struct TBatchResult {
    std::string Package;
    std::string Status;  // its result line's status; "" when it waits in Tmp
  };
  struct TBatch {
    bool Open = false;
    std::chrono::steady_clock::time_point Started;
    std::vector<TBatchResult> Results;
    std::vector<std::string> Copies;  // backup copies not yet synced
  };
  bool BeginBatch();
  bool BatchDue() const;
  void EndBatch();
  void CloseBatch(bool keepTablesOpen = false);
  void LoseBatchRows();
  std::array<TDbTable*, 8> BatchTables();
  TDbDatabase& MainDatabase();
  TBatch Batch_;
  int Processed_ = 0;
  // A package of this receive could not be stored and waits in Tmp.
  bool StoreFailed_ = false;
  bool PutBackPackage(const std::string& path);
  std::string NewestNamedPackage(const std::vector<std::string>& lines) const;
  bool Undecided(const std::string& name, const std::string& newestNamed) const;
  bool TakeBackUndecided();

  // Days a package may wait for its result line before it counts as lost.
  static constexpr int kUndecidedDays = 3;
  std::vector<std::string> Undecided_;

  TNoProgramCloser NoCloser_;
  TProgramCloser* Closer_;
  bool SBSendEnabled_ = true, SBReceiveEnabled_ = true, TimerRunEnabled_ = false;
  int RunDepth_ = 0;
  bool LastRunSucceeded_ = false;
  std::string LastRunLog_;
};

}  // namespace trelvo
