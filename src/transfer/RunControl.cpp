// The two buttons and the scheduler tick around the runs.
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/Text.h"
#include "transfer/Transfer.h"

namespace trelvo {

namespace {

// Times of day and dates in whole milliseconds and days, so that a field
// equal to the clock to the second compares equal despite the fractions.
long long MsOfDay(TDateTime value) { return std::llround(TimeOf(value) * 86400000.0); }
long long DayOf(TDateTime value) { return static_cast<long long>(std::floor(DateOf(value) + 1e-9)); }

}  // namespace

TTransfer::TTransfer(TTrelvoCore& core, TProgramCloser* closer) : Core(core), Closer_(closer ? closer : &NoCloser_) {}

void TTransfer::SetTimerRunEnabled(bool enabled) {
  TimerRunEnabled_ = enabled;
  Core.View().RunControlsChanged();
}

int TTransfer::TimerRunInterval() const { return Core.Settings.ReTryTime > 0 ? Core.Settings.ReTryTime * 1000 : 0; }

void TTransfer::SetControls(bool buttons, bool timer) {
  SBSendEnabled_ = SBReceiveEnabled_ = buttons;
  TimerRunEnabled_ = timer;
  Core.View().RunControlsChanged();
}

void TTransfer::Checkpoint(const char* point) {
  if (OnCheckpoint) OnCheckpoint(point);
  const char* exitAt = std::getenv("TRELVO_TEST_EXIT_AT");
  // As abrupt as a power cut: nothing after this point runs, no destructor.
  if (exitAt && std::strcmp(exitAt, point) == 0) ::kill(::getpid(), SIGKILL);
}

void TTransfer::CloseProgramWindow(const std::string& title) {
  if (Closer_->CloseWindowByTitle(title))
    Core.Log(title + "-ohjelma suljettu!");
  else
    Core.Log(title + "-ohjelman sulkeminen ei onnistu!");
}

void TTransfer::StartRun(bool send) {
  const bool timerWasEnabled = TimerRunEnabled_;
  Core.MemoLog.Clear();
  const bool active = send ? Core.Live.ChkBoxSend : Core.Live.ChkBoxRecv;
  if (!active) {
    Core.Log(send ? "Lähetys ei ole aktiivinen!" : "Vastaanotto ei ole aktiivinen!");
    return;
  }
  ++RunDepth_;
  // The buttons and the timer come back on every path; an error that
  // escaped from the run goes on to the caller only after that.
  struct TRestore {
    TTransfer& T;
    bool Timer;
    ~TRestore() {
      --T.RunDepth_;
      T.SetControls(true, Timer ? true : T.TimerRunEnabled_);
    }
  } restore{*this, timerWasEnabled};
  CloseProgramWindow("SORVEL");
  CloseProgramWindow("RAHVO");
  SetControls(false, timerWasEnabled ? false : TimerRunEnabled_);
  Core.SetField("EdtSiirretty", "");
  LastRunLog_.clear();
  try {
    if (send) {
      if (Core.IsMaster())
        MasterSend();
      else
        ClientSend();
    } else {
      if (Core.IsMaster())
        MasterReceive();
      else
        ClientReceive();
    }
  } catch (...) {
    // The outcome is the one the run counted; the hook hears of it too.
    AfterRun(send);
    throw;
  }
  AfterRun(send);
}

void TTransfer::SBSendClick() { StartRun(true); }
void TTransfer::SBReceiveClick() { StartRun(false); }

void TTransfer::TimerRunTimer() {
  SetTimerRunEnabled(false);
  ++RunDepth_;
  struct TRestore {
    TTransfer& T;
    ~TRestore() {
      --T.RunDepth_;
      T.SetTimerRunEnabled(true);
    }
  } restore{*this};

  const TDateTime now = Core.Now();
  const long long today = DayOf(now);
  const long long time = MsOfDay(now);
  Core.SetField("EdtNyt", DateToStr(DateOf(now)) + " " + TimeToStr(now));
  const TLiveValues& live = Core.Live;
  const int limit = Core.Settings.ReTryMaxCount;

  if (DayOf(live.DateRecv) < today && MsOfDay(live.TimeRecv) < time && Core.MasterRecvRetries < limit &&
      Core.ClientRecvRetries < limit)
    SBReceiveClick();
  if (DayOf(live.DateSend) < today && MsOfDay(live.TimeSend) < time && Core.MasterSendRetries < limit &&
      Core.ClientSendRetries < limit)
    SBSendClick();
  if ((Core.MasterSendRetries > 0 || Core.ClientSendRetries > 0) && DayOf(live.DateSend) < today &&
      MsOfDay(live.TimeSend) > time)
    Core.MasterSendRetries = Core.ClientSendRetries = 0;
  if ((Core.MasterRecvRetries > 0 || Core.ClientRecvRetries > 0) && DayOf(live.DateRecv) < today &&
      MsOfDay(live.TimeRecv) > time)
    Core.MasterRecvRetries = Core.ClientRecvRetries = 0;
  ShowCounters();
}

void TTransfer::ShowCounters() {
  const bool master = Core.IsMaster();
  Core.Page.EdtRecvCount = IntToStr(master ? Core.MasterRecvRetries : Core.ClientRecvRetries);
  Core.Page.EdtSendCount = IntToStr(master ? Core.MasterSendRetries : Core.ClientSendRetries);
  Core.SetField("EdtRecvCount", Core.Page.EdtRecvCount);
  Core.SetField("EdtSendCount", Core.Page.EdtSendCount);
}

}  // namespace trelvo
