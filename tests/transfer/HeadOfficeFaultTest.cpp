// A head office whose disk fills up in the middle of a receive, on a real
// tmpfs: the package whose rows could not be stored gets no "Ok", stays for
// the next receive, the run is retried, and once there is space again every
// row arrives and every visit counts once.
#include <filesystem>

#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCards = 3000;
constexpr int kVisits = 5;

struct TFullCase {
  const char* Name;
  const char* Dir;         // of the head office, moved onto the small file system
  const char* FillAt;      // the point of the receive where the disk fills up
  const char* Line;        // the run-log line that says what failed
  bool LinePrefix;
};

const TFullCase kCases[] = {
    {"MainTables", "Data", "master-collected", "Taulun ", true},
    {"EmptyingExchangeTables", "Data", "master-merged", "Siirtotaulujen tyhjennys ei onnistu!", false},
    {"ResultLog", "INet/Log", "master-merged", "Päivitys ei onnistu : ", true},
    {"BackupCopy", "Backup", "master-merged", "Siirto varmistushakemistoon ei onnistu (", true},
};

class HeadOfficeFull : public TwoSitesFixture, public ::testing::WithParamInterface<TFullCase> {
 protected:
  void SetUp() override {
    TwoSitesFixture::SetUp();
    if (IsSkipped()) return;
  }

  // The directory's files onto the mount, and the directory a link to it.
  static void MoveOnto(TTmpfsMount& mount, const std::string& dir) {
    for (const auto& e : fs::directory_iterator(dir)) fs::copy(e.path(), mount.Path() + e.path().filename().string());
    fs::remove_all(dir);
    fs::create_directory_symlink(mount.Path(), dir);
  }

  // A day of one site: many new cards (as the suite's main program writes
  // them in one go) and a few visits.
  void SiteDay() {
    ASSERT_EQ(0, RunCommand("sqlite3 '" + S1->Dir + "Data/ZNetKo.Nx1' \"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                            "SELECT i + 1 FROM n WHERE i < " + std::to_string(kCards) +
                            ") INSERT INTO ZNetKo (KorttiNro, KorttiLyh, AsNo, AikaLeima) "
                            "SELECT 'N' || i, 'F' || i, 'A1', 46083.5 + i / 1000000.0 FROM n\""));
    Clock.Set(Day(2, 20));
    for (int i = 0; i < kVisits; ++i) S1->Visit("F1", "HALLI", Day(2, 20, 10, i));
    Clock.Set(Day(2, 22, 0, 1));
    S1->Send();
    ASSERT_EQ(1u, ServerFiles("Sorvel").size());
  }

  std::string ResultLog() {
    const std::string path = M->Dir + "INet/Log/Masterissa_01.log";
    return FileExists(path) ? ReadFile(path) : "";
  }
};

TEST_P(HeadOfficeFull, PackageWaitsInTmpAndArrivesWholeOnceThereIsSpace) {
  const TFullCase& c = GetParam();
  TTmpfsMount mount(8 << 20);
  if (!mount.Mounted()) GTEST_SKIP() << mount.Error();
  MoveOnto(mount, M->Dir + c.Dir);
  SiteDay();
  const std::string package = ServerFiles("Sorvel")[0];
  M->Transfer->OnCheckpoint = [&](const std::string& point) {
    if (point == c.FillAt) mount.Fill(0);
  };
  Clock.Set(Day(2, 22, 30, 1));
  Lines log = M->Receive();
  EXPECT_TRUE(c.LinePrefix ? HasPrefix(log, c.Line) : Has(log, c.Line)) << Joined(log);
  EXPECT_EQ(std::string::npos, ResultLog().find(package + "  Ok")) << ResultLog();
  EXPECT_EQ((std::vector<std::string>{package}), ListDir(M->Dir + "INet/Tmp"));
  EXPECT_FALSE(M->Transfer->LastRunSucceeded());
  EXPECT_EQ(1, M->Core->MasterRecvRetries);
  EXPECT_TRUE(HasPrefix(log, "Siirto valmis : ")) << "the run ends by its own last line";

  M->Transfer->OnCheckpoint = nullptr;
  mount.Release();
  Clock.Set(Day(2, 22, 32, 1));
  log = M->Receive();
  EXPECT_TRUE(M->Transfer->LastRunSucceeded()) << Joined(log);
  EXPECT_TRUE(EndsWith(ResultLog(), package + "  Ok\n")) << ResultLog();
  EXPECT_TRUE(ListDir(M->Dir + "INet/Tmp").empty());
  EXPECT_EQ(kCards, M->Count("KORTTI"));
  EXPECT_EQ(kVisits, M->Count("TILASTO")) << "every visit once";
  EXPECT_EQ(0, M->Count("ZNetKo"));
}

INSTANTIATE_TEST_SUITE_P(, HeadOfficeFull, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace trelvo::test
