// The main window's database operations: the connection fields from the
// settings, the reconnect, and the pending-count refresh.
#include <exception>

#include "common/Text.h"
#include "core/TrelvoCore.h"
#include "db/DbError.h"

namespace trelvo {

void TTrelvoCore::ApplyDatabaseSettings() {
  DbModule.ServerName = Settings.ServerName;
  DbModule.ServerAddress = Settings.ServerAddress;
  DbModule.Port = Settings.Port;
  DbModule.CompressLimit = Settings.CompressLimit;
  DbModule.SecuredTransport = Settings.SecuredTransport;
  DbModule.Key = Settings.Key;
}

void TTrelvoCore::ReconnectDatabase() {
  try {
    DbModule.DisconnectDatabase();
    DbModule.ConnectDatabase(Settings.TransportKind, Settings.Alias);
    DbModule.DbSession.Open();
    DbModule.MainDatabase.Open();
  } catch (const std::exception& e) {
    Log("Virhe : " + std::string(e.what()));
    TransferOk = false;
  }
}

void TTrelvoCore::RefreshPendingCounts() {
  for (int& count : PendingCounts) count = 0;
  MainAliasDir.clear();
  TDbSession& session = DbModule.DbSession;
  if (!session.Active()) ReconnectDatabase();
  if (!session.Active()) return;

  // Whatever happens below, the INet database is let go and the fields show
  // the counts as far as they were read.
  struct TShowCounts {
    TTrelvoCore& Core;
    ~TShowCounts() {
      Core.DBINet.Close();
      Core.SetField("EdtAsiKpl", IntToStr(Core.PendingCounts[0]));
      Core.SetField("EdtKoKpl", IntToStr(Core.PendingCounts[1]));
      Core.SetField("EdtTiKpl", IntToStr(Core.PendingCounts[3]));
    }
  } show{*this};

  try {
    MainAliasDir.clear();
    MainAliasDir = session.GetAliasPath(Settings.Alias);
    NormalizeDir(MainAliasDir);
    Log("Alias " + Settings.Alias + ", hakemisto: " + MainAliasDir);
    INetAliasDir.clear();
    INetAliasDir = session.GetAliasPath(Settings.INetAlias);
    NormalizeDir(INetAliasDir);
    Log("Alias " + Settings.INetAlias + ", hakemisto: " + INetAliasDir);
    if (!DBINet.Connected()) DBINet.SetAliasName(Settings.INetAlias);
    DBINet.Open();
    TDbTable* tables[4] = {&Tables.TblZNetAsi, &Tables.TblZNetKo, &Tables.TblZNetKoPa, &Tables.TblZNetTi};
    struct TCloseReverse {
      TDbTable** Tables;
      ~TCloseReverse() {
        for (int i = 3; i >= 0; --i) Tables[i]->Close();
      }
    } closer{tables};
    for (TDbTable* t : tables) t->Open();
    for (int i = 0; i < 4; ++i) PendingCounts[i] = tables[i]->RecordCount();
  } catch (const EDatabaseError& e) {
    Log("Virhe : " + e.Description());
    ReconnectDatabase();
  }
}

}  // namespace trelvo
