// The dial-up steps of the settings page and the runs' connection phase.
#include <QString>

#include "core/TrelvoCore.h"

namespace trelvo {

namespace {
// Entry names are the operator's own and may hold letters beyond ASCII
// ("Yhteys Åbo"), so the case is folded by Unicode, not by ASCII only.
bool SameEntryName(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}
}  // namespace

void TTrelvoCore::FillRasEntries() {
  if (!Settings.Ras) return;
  Page.CBoxRasEnt.clear();
  Page.CBoxRasEntIndex = -1;
  RasDialer.ListEntries(Page.CBoxRasEnt);
  if (Page.CBoxRasEnt.empty()) return;
  for (size_t i = 0; i < Page.CBoxRasEnt.size(); ++i)
    if (SameEntryName(Page.CBoxRasEnt[i], Settings.RasEntryName)) Page.CBoxRasEntIndex = static_cast<int>(i);
  if (Page.CBoxRasEntIndex < 0) {
    // Only the page changes: the setting Ras stays on until "Talleta".
    Page.ChkBoxRas = false;
    Page.CBoxRasEntEnabled = false;
    return;
  }
  RasDialer.SetEntryName(Page.CBoxRasEnt[Page.CBoxRasEntIndex]);
  if (Page.ChkBoxSama) {
    Page.EdtFtpUser = Settings.FtpUser = RasDialer.UserName;
    Page.EdtFtpPw = Settings.FtpPassWord = RasDialer.Password;
  }
}

void TTrelvoCore::ChkBoxRasExit() { Page.CBoxRasEntEnabled = Page.ChkBoxRas; }

void TTrelvoCore::CBoxRasEntChange(int index) {
  if (index >= 0 && index < static_cast<int>(Page.CBoxRasEnt.size())) Settings.RasEntryName = Page.CBoxRasEnt[index];
  FillSettingsPage();
}

void TTrelvoCore::ConnectionPhase(const std::function<void()>& body) {
  if (!Settings.Ras) {
    body();
    return;
  }
  try {
    body();
  } catch (...) {
    // The link must not stay up after a failed phase; the phase's own error
    // is the one worth reporting, so a failing hang-up does not replace it.
    try {
      RasDialer.Hangup();
    } catch (...) {
    }
    throw;
  }
  RasDialer.Hangup();
}

void TTrelvoCore::DialUp(bool logEntry) {
  if (!Settings.Ras) return;
  int code = RasDialer.Dial();
  if (code == 0) return;
  if (logEntry) Log(RasDialer.EntryName() + "/" + RasDialer.UserName);
  Log(RasDialer.ErrorText(code));
  TransferOk = false;
}

}  // namespace trelvo
