// trelvo-admin run and tick: one send or receive of an installation, or one
// scheduler tick at a chosen moment, headless, through the program's own
// run control.
#include <QCoreApplication>
#include <iostream>
#include <memory>

#include "Admin.h"
#include "RunState.h"
#include "common/Text.h"
#include "transfer/Transfer.h"

namespace trelvo::admin {
namespace {

// Prints the run log as it grows, once the run has begun.
class TEchoView : public THeadlessView {
 public:
  bool Echo = false;
  void LogAppended(const std::string& line) override {
    if (Echo) std::cout << line << "\n" << std::flush;
  }
  void ShowError(const std::string& message) override { std::cerr << message << "\n"; }
  // The meter moves once per merged row; nothing here shows it, and keeping
  // every value would grow with the evening's rows.
  void MeterChanged(int) override {}
};

struct TSession {
  std::unique_ptr<QCoreApplication> App;
  TEchoView View;
  std::unique_ptr<TFixedClock> Clock;
  std::unique_ptr<TTrelvoCore> Core;
  std::unique_ptr<TTransfer> Transfer;

  TSession(const TArgs& args, bool fixedClock, TDateTime at) {
    static int argc = 1;
    static char name[] = "trelvo-admin";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) App = std::make_unique<QCoreApplication>(argc, argv);
    if (fixedClock) Clock = std::make_unique<TFixedClock>(at);
    Core = std::make_unique<TTrelvoCore>(HomeDir(args), &View, Clock.get());
    Transfer = std::make_unique<TTransfer>(*Core);
    // What the program does at start before its first run.
    Core->LoadSettings();
    LoadCounters(*Core);
    Core->TransferOk = true;
    Core->ReconnectDatabase();
    Core->RefreshPendingCounts();
    View.Echo = true;
  }
};

// --at "dd.mm.yyyy hh:nn:ss": the clock stands at that moment; absent: now.
bool ClockOption(const TArgs& args, TDateTime& at) {
  if (!args.Has("at")) return false;
  try {
    at = StrToDateTime(args.Option("at"));
  } catch (const std::exception& e) {
    throw EUsage(std::string("--at needs \"dd.mm.yyyy hh:nn:ss\": ") + e.what());
  }
  return true;
}

int RunOnce(const TArgs& args) {
  args.Expect(1, 1);
  const std::string& direction = args.At(0);
  if (direction != "send" && direction != "receive") throw EUsage("run needs send or receive");
  TDateTime at = 0;
  const bool fixed = ClockOption(args, at);
  TSession session(args, fixed, at);
  TTrelvoCore& core = *session.Core;
  const bool active = direction == "send" ? core.Live.ChkBoxSend : core.Live.ChkBoxRecv;
  try {
    if (direction == "send")
      session.Transfer->SBSendClick();
    else
      session.Transfer->SBReceiveClick();
  } catch (...) {
    SaveCounters(core);
    throw;
  }
  SaveCounters(core);
  if (!active) {
    std::cerr << "trelvo-admin run: " << (direction == "send" ? "SendFiles" : "RecvFiles")
              << " is off in the settings; nothing was run\n";
    return 1;
  }
  if (!session.Transfer->LastRunSucceeded()) {
    std::cerr << "trelvo-admin run: the " << direction << " run failed (see the run log above)\n";
    return 1;
  }
  return 0;
}

int RunTick(const TArgs& args) {
  args.Expect(0, 0);
  TDateTime at = 0;
  const bool fixed = ClockOption(args, at);
  TSession session(args, fixed, at);
  try {
    session.Transfer->TimerRunTimer();
  } catch (...) {
    SaveCounters(*session.Core);
    throw;
  }
  SaveCounters(*session.Core);
  const TTrelvoCore& core = *session.Core;
  const bool master = core.IsMaster();
  std::cout << "# tick " << DateTimeToStr(core.Now()) << ": retries receive "
            << (master ? core.MasterRecvRetries : core.ClientRecvRetries) << ", send "
            << (master ? core.MasterSendRetries : core.ClientSendRetries) << "\n";
  return 0;
}

TRELVO_ADMIN_COMMAND("run", "run send|receive [--at \"dd.mm.yyyy hh:nn:ss\"] [--home DIR]", {}, RunOnce,
                     "One send or receive run now, printing its run log as it grows.\n"
                     "It runs as the program's button does: the run of the installation's role (a site's send\n"
                     "or receive, the head office's send or receive), only when SendFiles or RecvFiles is on,\n"
                     "and without looking at dates, times or retry counters. The retry counter of the run is\n"
                     "kept in RunState.ini of the installation for the next run or tick.\n"
                     "\n"
                     "  --at  the clock stands at that moment (package names, dates written, log times)\n"
                     "\n"
                     "Exit 1 when the run failed by its retry rule or the direction is off.",
                     {"at"});
TRELVO_ADMIN_COMMAND("tick", "tick [--at \"dd.mm.yyyy hh:nn:ss\"] [--home DIR]", {}, RunTick,
                     "One scheduler tick at that moment (default now), as the program's timer does it.\n"
                     "A direction runs when its last successful date is before today, its time of day has\n"
                     "passed and its retry counter is below ReTryMaxCount; the receive first, then the send.\n"
                     "On the next day, at a tick before the time of day, a counter above 0 is set back to 0.\n"
                     "The counters are kept in RunState.ini of the installation between ticks; the last line\n"
                     "shows them.\n"
                     "\n"
                     "  --at  the clock stands at that moment\n"
                     "\n"
                     "Exit 0 also when a run failed (it is counted); 1 only when the tick could not be made.",
                     {"at"});

}  // namespace
}  // namespace trelvo::admin
