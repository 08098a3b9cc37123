// The start and the end of the program, the general error report, the
// package viewer and the inspection page: the window's operations that are
// not widgets.
#include <exception>

#include "common/Text.h"
#include "core/TrelvoCore.h"
#include "db/DbError.h"

namespace trelvo {

std::string TTrelvoCore::VersionText() { return std::string("Versio ") + TRELVO_VERSION; }

void TTrelvoCore::StartProgram() {
  LoadSettings();
  LogSettingsProblems();
  TCrashReporter& reporter = TCrashReporter::Instance();
  reporter.SetDirectory(Settings.Log);
  reporter.SetEnabled(Settings.UseErrorLog);
  FoundFiles.clear();
  FillSettingsPage();
  SetMeter(0);
  MasterSendRetries = MasterRecvRetries = ClientSendRetries = ClientRecvRetries = 0;
  ConnectMainDatabase();
  OpenINetDatabase();
  RefreshPendingCounts();
  SetField("EdtMode", IsMaster() ? "Master" : "Client");
}

bool TTrelvoCore::ConnectMainDatabase() {
  try {
    DbModule.ConnectDatabase(Settings.TransportKind, Settings.Alias);
    DbModule.DbSession.Open();
    return true;
  } catch (const EDatabaseError& e) {
    View_->ShowAbortMessage("Yhteys " + Settings.Alias + "-kantaan ei onnistu. " + e.Description());
    TerminateRequested = true;
    return false;
  }
}

void TTrelvoCore::OpenINetDatabase() {
  try {
    DBINet.Close();
    DBINet.SetAliasName(Settings.INetAlias);
    DBINet.Open();
  } catch (const EDatabaseError& e) {
    Log("Yhteys " + Settings.INetAlias + "-kantaan ei onnistu. " + e.Description());
  }
}

void TTrelvoCore::GeneralErrorReport(const std::string& message) {
  TCrashReporter::Instance().ReportError(message);
  View_->ShowError(message);
}

std::optional<TFormRect> TTrelvoCore::SavedFormPosition(int pixelsPerInch) const {
  return ReadFormPosition(FormStateFileName(), pixelsPerInch);
}

void TTrelvoCore::SaveFormState(const TFormState& state) const { WriteFormState(FormStateFileName(), state); }

void TTrelvoCore::FormClose() {
  Tables.CloseAll();
  DBINet.Close();
  DbModule.DisconnectDatabase();
}

void TTrelvoCore::OpenPackage(const std::string& packagePath) {
  CurrentPackage = packagePath;
  try {
    // The inspection page's tables live in these files; the database lets go
    // of them before they are written over.
    DBINet.Close();
    ZipArchiver.OpenArchive(packagePath);
    ZipArchiver.SetBaseDirectory(INetAliasDir);
    ZipArchiver.SetPassword(Settings.ZipPassword);
    ZipArchiver.ExtractFiles("*.Nx1");
    ZipArchiver.CloseArchive();
  } catch (const std::exception& e) {
    if (ZipArchiver.Active()) {
      try {
        ZipArchiver.CloseArchive();
      } catch (const std::exception&) {
        // The first error is the one the operator needs to see.
      }
    }
    Log("Tiedoston purku ei onnistu (Zip-rikki)!");
    Log("Virhe : " + std::string(e.what()));
  }
}

void TTrelvoCore::CBoxTauluChange(int index) {
  struct TNotify {
    TTrelvoView& View;
    ~TNotify() { View.InspectionGridChanged(); }
  } notify{*View_};
  FillInspectionGrid(Tables, index, SGrid);
}

}  // namespace trelvo
