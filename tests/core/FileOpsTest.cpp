#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "TestSupport.h"
#include "core/TrelvoCore.h"

using namespace trelvo;
using trelvo::test::FileExists;
using trelvo::test::ListDir;
using trelvo::test::ReadFile;
using trelvo::test::TTempDir;
using trelvo::test::WriteFile;
using Lines = std::vector<std::string>;

namespace {

struct FileOps : ::testing::Test {
  TTempDir Dir;
  TTrelvoCore Core{Dir.Path()};
  std::string Src = Dir / "src/";
  std::string Dst = Dir / "dst/";
  void SetUp() override {
    test::MakeDir(Src);
    test::MakeDir(Dst);
    Core.TransferOk = true;
  }
};

}  // namespace

TEST_F(FileOps, DeleteByMaskLogsTheMaskAndEachFile) {
  WriteFile(Src + "ZNetAsi.Nx1", "a");
  WriteFile(Src + "Keep.Nx1", "k");
  EXPECT_TRUE(Core.DeleteFiles(Src + "ZNet*.Nx1"));
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Poistetaan : " + Src + "ZNet*.Nx1", "Poistetaan : " + Src + "ZNetAsi.Nx1"}));
  EXPECT_EQ(ListDir(Src), (Lines{"Keep.Nx1"}));
}

TEST_F(FileOps, DeleteEdgeCases) {
  // Empty path: false, no line, TransferOk untouched.
  EXPECT_FALSE(Core.DeleteFiles(""));
  EXPECT_TRUE(Core.MemoLog.Lines().empty());
  EXPECT_TRUE(Core.TransferOk);
  // A plain path logs only its file, and only when it exists.
  WriteFile(Src + "one.Zip", "");
  EXPECT_TRUE(Core.DeleteFiles(Src + "one.Zip"));
  EXPECT_TRUE(Core.DeleteFiles(Src + "one.Zip"));
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Poistetaan : " + Src + "one.Zip"}));
  // A mask matching nothing: the mask line only.
  Core.MemoLog.Clear();
  EXPECT_TRUE(Core.DeleteFiles(Src + "*.Log"));
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Poistetaan : " + Src + "*.Log"}));
  // Already failed run: false even though every deletion succeeds.
  WriteFile(Src + "x.Log", "");
  Core.TransferOk = false;
  EXPECT_FALSE(Core.DeleteFiles(Src + "*.Log"));
  EXPECT_FALSE(FileExists(Src + "x.Log"));
}

TEST_F(FileOps, DeleteFailuresAreLoggedAndTheRestStillDeleted) {
  test::MakeDir(Src + "a.Tmp");  // a directory is not a file the search reports...
  WriteFile(Src + "b.Tmp", "");
  // ...so make the search see one file that vanishes before it is deleted.
  Core.FileFinder.OnFileFound = [this](const TFoundFileInfo& info) {
    Core.FileFinderFileFound(info);
    if (info.Name == "b.Tmp") Core.FoundFiles.insert(Core.FoundFiles.begin(), info.Path + "gone.Tmp");
  };
  EXPECT_FALSE(Core.DeleteFiles(Src + "*.Tmp"));
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Poistetaan : " + Src + "*.Tmp", "Poistetaan : " + Src + "gone.Tmp",
                                         "Virhe : Tiedoston poistossa (1).", "Poistetaan : " + Src + "b.Tmp"}));
  EXPECT_FALSE(FileExists(Src + "b.Tmp"));
  EXPECT_FALSE(Core.TransferOk);

  Core.MemoLog.Clear();
  Core.TransferOk = true;
  EXPECT_FALSE(Core.DeleteFiles(Src + "[x"));
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Virhe : Tiedoston poistossa (2).", "Virhe : '[x' is an invalid mask at (3)"}));
}

TEST_F(FileOps, CopyLogsEachFileAndReplacesAtomically) {
  WriteFile(Src + "ZNetAsi.Nx1", "new rows");
  WriteFile(Dst + "ZNetAsi.Nx1", "old rows");
  WriteFile(Dst + "ZNETKO.NX1", "other case, old");
  WriteFile(Src + "ZNetKo.Nx1", "ko");
  EXPECT_TRUE(Core.CopyFiles(Src + "ZNet*.Nx1", Dir / "dst", false));
  auto lines = Core.MemoLog.Lines();
  ASSERT_EQ(lines.size(), 4u);
  std::sort(lines.begin(), lines.end());  // listing order is the file system's
  EXPECT_EQ(lines, (Lines{"  -> " + Dst + "ZNetAsi.Nx1", "  -> " + Dst + "ZNetKo.Nx1", "Cp : " + Src + "ZNetAsi.Nx1",
                          "Cp : " + Src + "ZNetKo.Nx1"}));
  EXPECT_EQ(ReadFile(Dst + "ZNetAsi.Nx1"), "new rows");
  // The file that differed only in letter case was replaced, not doubled; no temporary files left.
  EXPECT_EQ(ListDir(Dst), (Lines{"ZNetAsi.Nx1", "ZNetKo.Nx1"}));
  EXPECT_EQ(ReadFile(Dst + "ZNetKo.Nx1"), "ko");
  EXPECT_TRUE(Core.TransferOk);
}

TEST_F(FileOps, CopyEdgeCases) {
  // A missing source directory copies nothing and succeeds.
  EXPECT_TRUE(Core.CopyFiles(Dir / "nope/*.Zip", Dst, false));
  EXPECT_TRUE(Core.MemoLog.Lines().empty());
  // failIfExists true over an existing file fails with the system's code for it.
  WriteFile(Src + "p.Zip", "p");
  WriteFile(Dst + "p.Zip", "old");
  EXPECT_FALSE(Core.CopyFiles(Src + "p.Zip", Dst, true));
  EXPECT_EQ(Core.MemoLog.Lines(),
            (Lines{"Cp : " + Src + "p.Zip", "  -> " + Dst + "p.Zip", "Source      : " + Src + "p.Zip",
                   "Destination : " + Dst + "p.Zip",
                   "FileCopySilent : (" + std::to_string(EEXIST) + ") " + std::strerror(EEXIST)}));
  EXPECT_EQ(ReadFile(Dst + "p.Zip"), "old");
  EXPECT_FALSE(Core.TransferOk);
}

TEST_F(FileOps, FirstCopyFailsSecondStillCopied) {
  WriteFile(Src + "a.Zip", "a");
  WriteFile(Src + "b.Zip", "b");
  test::MakeDir(Dst + "a.Zip");  // a directory stands where the first copy must go
  EXPECT_FALSE(Core.CopyFiles(Src + "*.Zip", Dst, false));
  const auto& l = Core.MemoLog.Lines();
  // Both pairs are logged; the failure lines follow the failing pair.
  auto a = std::find(l.begin(), l.end(), "Cp : " + Src + "a.Zip");
  ASSERT_NE(a, l.end());
  EXPECT_EQ(*(a + 2), "Source      : " + Src + "a.Zip");
  EXPECT_EQ(*(a + 3), "Destination : " + Dst + "a.Zip");
  EXPECT_EQ(*(a + 4), "FileCopySilent : (" + std::to_string(EISDIR) + ") " + std::strerror(EISDIR));
  EXPECT_NE(std::find(l.begin(), l.end(), "Cp : " + Src + "b.Zip"), l.end());
  EXPECT_EQ(ReadFile(Dst + "b.Zip"), "b");
  EXPECT_FALSE(Core.TransferOk);
}

TEST_F(FileOps, CopyOfAVanishedSourceAndRaisedErrors) {
  WriteFile(Src + "a.Zip", "a");
  // The source disappears between the search and the copy.
  Core.FileFinder.OnFileFound = [this](const TFoundFileInfo& info) {
    Core.FileFinderFileFound(info);
    ::unlink((info.Path + info.Name).c_str());
  };
  EXPECT_FALSE(Core.CopyFiles(Src + "a.Zip", Dst, false));
  EXPECT_EQ(Core.MemoLog.Lines().back(), "FileCopySilent : (" + std::to_string(ENOENT) + ") " + std::strerror(ENOENT));

  Core.MemoLog.Clear();
  Core.TransferOk = true;
  EXPECT_FALSE(Core.CopyFiles(Src + "[", Dst, false));
  EXPECT_EQ(Core.MemoLog.Lines(),
            (Lines{"Virhe : Tiedoston kopioinnissa (2).", "Virhe : '[' is an invalid mask at (2)"}));
  EXPECT_FALSE(Core.TransferOk);
}

TEST_F(FileOps, MissingTargetDirectoryMeansTheWorkingDirectory) {
  WriteFile(Src + "a.Zip", "a");
  test::MakeDir(Dir / "cwd");
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old));
  ASSERT_EQ(chdir((Dir / "cwd").c_str()), 0);
  EXPECT_TRUE(Core.CopyFiles(Src + "a.Zip", Dir / "missing", false));
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Cp : " + Src + "a.Zip", "  -> a.Zip"}));
  EXPECT_EQ(ReadFile(Dir / "cwd/a.Zip"), "a");
}

TEST(MemoLog, SavesOneLinePerLineAndReportsAFailure) {
  TTempDir dir;
  THeadlessView view;
  TTrelvoCore core(dir.Path(), &view);
  core.Log("Poistetaan : x");
  core.Log("ääkköset");
  core.MemoLog.SaveToFile(dir / "run.Log");
  EXPECT_EQ(ReadFile(dir / "run.Log"), "Poistetaan : x\nääkköset\n");
  test::MakeDir(dir / "dir.Log");
  EXPECT_THROW(core.MemoLog.SaveToFile(dir / "dir.Log"), EInOutError);
  WriteFile(dir / "file", "");
  EXPECT_THROW(core.MemoLog.SaveToFile(dir / "file/run.Log"), EInOutError);
  core.MemoLog.Clear();
  EXPECT_TRUE(core.MemoLog.Lines().empty());
}
