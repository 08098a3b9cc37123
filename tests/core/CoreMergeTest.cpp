#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "TestSupport.h"
#include "core/TrelvoCore.h"
#include "data/Schema.h"

using namespace trelvo;
using trelvo::test::TTempDir;
using trelvo::test::WriteFile;
using Lines = std::vector<std::string>;

namespace {

// The core runs the merge on its own tables with its role and settings,
// reporting into the run log and the meter of the window.
// A view whose user may press a button while the window is served.
struct TClickingView : THeadlessView {
  std::function<void()> OnProcessMessages;
  void ProcessMessages() override {
    THeadlessView::ProcessMessages();
    if (OnProcessMessages) OnProcessMessages();
  }
};

struct CoreMerge : ::testing::Test {
  TTempDir Dir;
  TClickingView View;
  TTrelvoCore Core{Dir.Path(), &View};

  void SetUp() override {
    test::MakeDir(Dir / "Data");
    test::MakeDir(Dir / "Paketti");
    CreateMainTables(Dir / "Data");
    CreateExchangeTables(Dir / "Paketti");
    WriteFile(Dir / "DbServer.ini", "[Servers]\nVELMORA=127.0.0.1\n[VELMORA.Aliases]\nSORVEL=Data\nPaketti=Paketti\n");
  }
  void Load(const std::string& internet) {
    WriteFile(Dir / "Sorvel.ini", "[DataBase]\nEngine=TCPIP\nServerName=VELMORA\nServerAddress=127.0.0.1\n[Internet]\nAlias=Paketti\n" + internet);
    Core.LoadSettings();
    Core.ReconnectDatabase();
  }
  void AddStatistic() {
    TDbDatabase package(Core.DbModule.DbSession, "Paketti");
    TDbTable t(package, "ZNetTila", "");
    t.Open();
    t.Append();
    t.FieldByName("TapPvm").SetValue(TValue::DateTime(EncodeDate(2004, 2, 1)));
    t.Post();
    t.Close();
  }
  int Count(const char* table) {
    TDbTable t(Core.DbModule.MainDatabase, table, "");
    t.Open();
    return t.RecordCount();
  }
};

TEST_F(CoreMerge, TheMasterCopiesAPackageFromItsINetAliasAndMergesItsStatistics) {
  Load("Master=Yes\n");
  AddStatistic();
  Core.AppendExchangeRows();
  Core.UpdData();
  EXPECT_EQ((Lines{"Tilasto-tiedot: 1 kpl...", "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...",
                   "Asiakas-tiedot: 0 kpl...", "Päivitetään tiedot Master-kantaan (UpdData)...", "Tilasto-tiedot: 1 kpl...",
                   "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...", "Asiakastiedot-tiedot: 0 kpl..."}),
            Core.MemoLog.Lines());
  EXPECT_EQ(1, Count("ZNetTila"));
  EXPECT_EQ(1, Count("TILASTO"));
  EXPECT_EQ(0, Core.ProgressMeter()) << "the last kind was empty";
  EXPECT_EQ(100, View.Meters.at(1));
}

TEST_F(CoreMerge, ASiteMergesStatisticsOnlyWithMasterStatisticsSet) {
  Load("MasterStatistics=Tilasto   \n");
  AddStatistic();
  Core.AppendExchangeRows();
  Core.UpdData();
  EXPECT_EQ(1, Count("TILASTO"));

  Load("MasterStatistics=   \n");
  Core.MemoLog.Clear();
  Core.UpdData();
  EXPECT_EQ("Kortti-tiedot: 0 kpl...", Core.MemoLog.Lines().at(1));
  EXPECT_EQ(1, Count("TILASTO"));
}

// The merge holds a batch open while the window is served; a count refresh
// then could not open its tables and would reconnect under the merge.
TEST_F(CoreMerge, TheCountButtonDuringAMergeRefreshesAfterIt) {
  Load("Master=Yes\n");
  {
    TDbTable t(Core.DbModule.MainDatabase, "ZNetKo", "");
    t.Open();
    for (const char* key : {"K1", "K2", "K3"}) {
      t.Append();
      t.FieldByName("KorttiLyh").SetValue(TValue::Text(key));
      t.Post();
    }
  }
  View.OnProcessMessages = [&] {
    if (View.ProcessMessagesCalls == 1) Core.SBUpdateClick();
  };
  Core.UpdData();
  const Lines& log = Core.MemoLog.Lines();
  EXPECT_EQ(0, std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.starts_with("Virhe"); }));
  ASSERT_EQ(7u, log.size());
  EXPECT_EQ("Asiakastiedot-tiedot: 0 kpl...", log[4]);
  EXPECT_EQ("Alias SORVEL, hakemisto: " + Dir.Path() + "Data/", log[5]);
  EXPECT_EQ(3, Count("KORTTI"));
  EXPECT_EQ(3, Core.PendingCounts[1]);
  EXPECT_FALSE(Core.MergeRunning);
  EXPECT_FALSE(Core.CountsWanted);
}

}  // namespace
