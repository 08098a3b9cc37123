#include "transfer/Transfer.h"

namespace trelvo {

TTransfer::TTransfer(TTrelvoCore& core, TProgramCloser* closer) : Core(core), Closer_(closer ? closer : &NoCloser_) {}

void TTransfer::ClientSend() {}
void TTransfer::ClientReceive() {}
void TTransfer::MasterSend() {}
void TTransfer::MasterReceive() {}
void TTransfer::CheckEarlierPackages() {}
void TTransfer::WriteClientLog(const std::string&, const std::string&) {}
void TTransfer::SBSendClick() {}
void TTransfer::SBReceiveClick() {}
void TTransfer::TimerRunTimer() {}
void TTransfer::CloseProgramWindow(const std::string&) {}

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

}  // namespace trelvo
