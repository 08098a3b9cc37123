#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"
#include "core/TrelvoCore.h"
#include "data/Schema.h"

using namespace trelvo;
using trelvo::test::TTempDir;
using trelvo::test::WriteFile;
using Lines = std::vector<std::string>;

namespace {

// A site installation: the main database in Data/, the INet database in INet/.
struct PendingCounts : ::testing::Test {
  TTempDir Dir;
  THeadlessView View;
  TTrelvoCore Core{Dir.Path(), &View};
  std::string Data = Dir / "Data/";
  std::string INet = Dir / "INet/";

  void SetUp() override {
    test::MakeDir(Data);
    test::MakeDir(INet);
    CreateMainTables(Data);
    CreateExchangeTables(INet);
    WriteFile(Dir / "DbServer.ini", "[Servers]\nVELMORA=127.0.0.1\n[VELMORA.Aliases]\nSORVEL=Data\nINet=INet\n");
    Settings("");
  }
  void Settings(const std::string& extraDataBase, const std::string& server = "VELMORA") {
    WriteFile(Dir / "Sorvel.ini", "[DataBase]\nEngine=TCPIP\nServerName=" + server + "\nServerAddress=127.0.0.1\n" +
                                      extraDataBase + "\n[Internet]\nAlias=INet\n");
    Core.LoadSettings();
    Core.TransferOk = true;
  }
  void AddRows(const char* table, int n) {
    if (!Core.DbModule.DbSession.Active()) Core.ReconnectDatabase();
    TDbTable t(Core.DbModule.MainDatabase, table, "");
    t.Open();
    for (int i = 0; i < n; ++i) {
      t.Append();
      t.Post();
    }
    t.Close();
  }
  std::vector<int> Counts() const { return {Core.PendingCounts, Core.PendingCounts + 4}; }
  std::string Field(const std::string& name) const {
    auto it = View.Fields.find(name);
    return it == View.Fields.end() ? "<unset>" : it->second;
  }
  bool AllClosed() {
    for (TDbTable* t : Core.Tables.All())
      if (t->Active()) return false;
    return !Core.DBINet.Connected();
  }
};

TEST_F(PendingCounts, CountsTheFourExchangeTablesAndLooksUpBothAliases) {
  Core.RefreshPendingCounts();
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), Counts());
  EXPECT_EQ((Lines{"Alias SORVEL, hakemisto: " + Data, "Alias INet, hakemisto: " + INet}), Core.MemoLog.Lines());
  EXPECT_EQ(Data, Core.MainAliasDir);
  EXPECT_EQ(INet, Core.INetAliasDir);
  EXPECT_EQ("0", Field("EdtAsiKpl"));

  AddRows("ZNetAsi", 2);
  AddRows("ZNetKo", 3);
  AddRows("ZNetKoPa", 1);
  AddRows("ZNetTila", 4);
  Core.RefreshPendingCounts();
  Core.RefreshPendingCounts();
  EXPECT_EQ((std::vector<int>{2, 3, 1, 4}), Counts());
  EXPECT_EQ(6u, Core.MemoLog.Lines().size()) << "a pair of Alias lines per refresh";
  EXPECT_EQ("2", Field("EdtAsiKpl"));
  EXPECT_EQ("3", Field("EdtKoKpl"));
  EXPECT_EQ("4", Field("EdtTiKpl"));
  EXPECT_EQ(3u, View.Fields.size()) << "the card-place count is kept but not shown";
  EXPECT_TRUE(Core.TransferOk);
  EXPECT_TRUE(AllClosed());
  EXPECT_TRUE(Core.DbModule.MainDatabase.Connected()) << "the main database stays connected";
}

TEST_F(PendingCounts, AMissingExchangeTableIsLoggedAndTheFieldsShowWhatWasRead) {
  AddRows("ZNetAsi", 2);
  ASSERT_EQ(0, ::unlink((Data + "ZNetKoPa.Nx1").c_str()));
  Core.RefreshPendingCounts();
  const Lines& log = Core.MemoLog.Lines();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("Virhe : Table ZNetKoPa: no table file ZNetKoPa.Nx1 in " + Data, log[2]);
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), Counts()) << "the tables open before any is counted";
  EXPECT_EQ("0", Field("EdtAsiKpl"));
  EXPECT_TRUE(Core.TransferOk) << "the reconnect after the error worked";
  EXPECT_TRUE(Core.DbModule.DbSession.Active());
  EXPECT_TRUE(AllClosed());
}

TEST_F(PendingCounts, AnAliasDirectoryMissingHereGivesAnEmptyDirectory) {
  WriteFile(Dir / "DbServer.ini", "[Servers]\nVELMORA=127.0.0.1\n[VELMORA.Aliases]\nSORVEL=Data\nINet=Puuttuu\n");
  Core.RefreshPendingCounts();
  const Lines& log = Core.MemoLog.Lines();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("Alias INet, hakemisto: ", log[1]);
  EXPECT_EQ("Virhe : Directory " + Dir.Path() + "Puuttuu of alias INet does not exist", log[2]);
  EXPECT_EQ("", Core.INetAliasDir);
  EXPECT_EQ(Data, Core.MainAliasDir);
  EXPECT_EQ("0", Field("EdtTiKpl"));
}

TEST_F(PendingCounts, AFailedReconnectClearsTransferOkAndLeavesTheFields) {
  Settings("", "MUU");
  View.Fields["EdtAsiKpl"] = "7";
  Core.PendingCounts[0] = 7;
  Core.RefreshPendingCounts();
  EXPECT_EQ((Lines{"Virhe : Database server MUU not found [$2A02]"}), Core.MemoLog.Lines());
  EXPECT_FALSE(Core.TransferOk);
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), Counts());
  EXPECT_EQ("7", Field("EdtAsiKpl"));
  EXPECT_EQ("<unset>", Field("EdtKoKpl"));
}

TEST_F(PendingCounts, AnUnknownMainAliasLogsTheDescriptionThenTheReconnectsFullMessage) {
  Settings("Alias=EiOle\n");
  Core.RefreshPendingCounts();
  // The first reconnect opens the session but not the main database; the
  // lookup then fails, and so does the reconnect after it.
  const std::string text = "Alias EiOle not found on database server VELMORA";
  EXPECT_EQ((Lines{"Virhe : " + text + " [$2B01]", "Virhe : " + text, "Virhe : " + text + " [$2B01]"}),
            Core.MemoLog.Lines());
  EXPECT_FALSE(Core.TransferOk);
  EXPECT_EQ("0", Field("EdtAsiKpl"));
}

TEST_F(PendingCounts, ALostConnectionIsMadeAgain) {
  AddRows("ZNetTila", 1);
  Core.RefreshPendingCounts();
  Core.DbModule.DisconnectDatabase();
  ASSERT_FALSE(Core.DbModule.DbSession.Active());
  Core.MemoLog.Clear();
  Core.RefreshPendingCounts();
  EXPECT_EQ(1, Core.PendingCounts[3]);
  EXPECT_EQ(2u, Core.MemoLog.Lines().size());
  EXPECT_TRUE(Core.TransferOk);
}

}  // namespace

namespace {

TEST_F(PendingCounts, TheDataBaseSettingsReachTheDataModule) {
  Settings("Port=0\nSecuredTransport=yes\nKey=" + EncipherSetting("salainen") + "\nCompressLimit=64\n");
  TDbModule& m = Core.DbModule;
  EXPECT_EQ("VELMORA", m.ServerName);
  EXPECT_EQ("127.0.0.1", m.ServerAddress);
  EXPECT_TRUE(m.SecuredTransport);
  EXPECT_EQ("salainen", m.Key);
  Core.RefreshPendingCounts();
  EXPECT_TRUE(Core.TransferOk);
  EXPECT_EQ(TTransportType::secure, m.RemoteServerEngine.Transport()->Type());
  EXPECT_EQ("salainen", m.SecureTransport.Key);
  EXPECT_EQ("VELMORA@127.0.0.1", m.TcpTransport.ServerName);
  EXPECT_EQ(16000, m.TcpTransport.Port);
  EXPECT_EQ(64, m.TcpTransport.CompressLimit);
  EXPECT_EQ(2u, Core.MemoLog.Lines().size());
}

}  // namespace
