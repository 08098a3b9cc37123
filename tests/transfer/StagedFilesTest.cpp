// A set of new files put in place together: never a mix of old and new,
// also when the move is cut off half way.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "TestSupport.h"
#include "common/RunReport.h"
#include "transfer/StagedFiles.h"

namespace trelvo::test {
namespace {

struct TLines : TRunReport {
  std::vector<std::string> Lines;
  void Log(const std::string& line) override { Lines.push_back(line); }
  void SetMeter(int) override {}
  void ProcessMessages() override {}
};

class StagedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(Tables);
    MakeDir(Logs);
    WriteFile(Tables + "KORTTI.Nx1", "old cards");
    WriteFile(Tables + "Asiakas.Nx1", "old customers");
    WriteFile(Logs + "Masterissa_01.log", "old log");
  }
  // The new set staged: two tables (one named in another case) and a log.
  void StageNewSet(TStagedFiles& staged) {
    const std::string t = staged.Stage(Tables), l = staged.Stage(Logs);
    WriteFile(t + "Kortti.Nx1", "new cards");
    WriteFile(t + "Asiakas.Nx1", "new customers");
    WriteFile(l + "Masterissa_01.log", "new log");
  }
  std::vector<std::string> State() {
    return {ReadFile(Tables + "KORTTI.Nx1"), ReadFile(Tables + "Asiakas.Nx1"), ReadFile(Logs + "Masterissa_01.log")};
  }
  const std::vector<std::string> Old{"old cards", "old customers", "old log"};
  const std::vector<std::string> New{"new cards", "new customers", "new log"};

  TTempDir Dir;
  std::string Tables = Dir / "Data/", Logs = Dir / "Log/";
  TLines Report;
};

TEST_F(StagedFiles, CommitReplacesAllAndDiscardNothing) {
  {
    TStagedFiles staged;
    StageNewSet(staged);
    staged.Discard();
  }
  EXPECT_EQ(State(), Old);
  EXPECT_EQ(ListDir(Tables), (std::vector<std::string>{"Asiakas.Nx1", "KORTTI.Nx1"})) << "no staging left";

  TStagedFiles staged;
  StageNewSet(staged);
  staged.Commit();
  EXPECT_EQ(State(), New);
  EXPECT_EQ(ListDir(Tables), (std::vector<std::string>{"Asiakas.Nx1", "KORTTI.Nx1"})) << "one file per table";
  EXPECT_EQ(ListDir(Logs), std::vector<std::string>{"Masterissa_01.log"});
}

// A move that stops half way (here a directory where a file should go) is
// finished by the next Recover once the way is clear; until then it fails
// rather than leave the mix unnoticed.
TEST_F(StagedFiles, CutOffCommitIsFinishedByRecover) {
  std::remove((Logs + "Masterissa_01.log").c_str());
  MakeDir(Logs + "Masterissa_01.log/blocked");
  {
    TStagedFiles staged;
    StageNewSet(staged);
    EXPECT_THROW(staged.Commit(), std::exception);
  }
  EXPECT_THROW(TStagedFiles::Recover({Tables, Logs}, Report), std::exception);
  std::filesystem::remove_all(Logs + "Masterissa_01.log");
  TStagedFiles::Recover({Tables, Logs}, Report);
  EXPECT_EQ(State(), New);
  EXPECT_EQ(ListDir(Tables), (std::vector<std::string>{"Asiakas.Nx1", "KORTTI.Nx1"}));
  EXPECT_EQ(ListDir(Logs), std::vector<std::string>{"Masterissa_01.log"});
  EXPECT_EQ(Report.Lines.front(), "Viedään loppuun keskeytynyt tiedostojen vaihto: " + TStagedFiles::StageOf(Tables));
}

// A staging that a crash left before its journal is only removed.
TEST_F(StagedFiles, StagingWithoutJournalIsRemoved) {
  TStagedFiles::Recover({Tables, Logs}, Report);
  EXPECT_TRUE(Report.Lines.empty()) << "nothing to do";
  MakeDir(TStagedFiles::StageOf(Tables));
  WriteFile(TStagedFiles::StageOf(Tables) + "Kortti.Nx1", "half a new set");
  TStagedFiles::Recover({Tables, Logs}, Report);
  EXPECT_EQ(State(), Old);
  EXPECT_FALSE(FileExists(TStagedFiles::StageOf(Tables)));
  EXPECT_EQ(Report.Lines, std::vector<std::string>{"Poistetaan keskeneräiset tiedostot: " + TStagedFiles::StageOf(Tables)});
}

}  // namespace
}  // namespace trelvo::test
