#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "TestSupport.h"
#include "filesearch/FileFinder.h"

using namespace trelvo;
using trelvo::test::TTempDir;
using trelvo::test::WriteFile;

namespace {

std::vector<std::string> Hits(TFileFinder& finder, bool* ok = nullptr) {
  std::vector<std::string> hits;
  finder.OnFileFound = [&](const TFoundFileInfo& info) { hits.push_back(info.Path + info.Name); };
  bool result = finder.Search();
  if (ok) *ok = result;
  std::sort(hits.begin(), hits.end());
  return hits;
}

TFileFinder ProgramFinder(const std::string& root, const std::string& mask) {
  TFileFinder f;
  f.SearchOptions = sfLookForArchiveFile | sfLookForAnyFile;
  f.RootPath = root;
  f.FileNames = {mask};
  return f;
}

}  // namespace

TEST(FileFinder, ReportsPlainFilesOfOneFolderWithTheProgramsOptions) {
  TTempDir dir;
  WriteFile(dir / "ZNetAsi.Nx1", "abc");
  WriteFile(dir / "znetko.NX1", "");
  WriteFile(dir / ".ZNetHidden.Nx1", "");
  WriteFile(dir / "Other.txt", "");
  WriteFile(dir / "ZNetAsi.Nx1.bak", "");
  ::mkdir((dir / "ZNetDir.Nx1").c_str(), 0755);
  WriteFile(dir / "ZNetDir.Nx1/ZNetSub.Nx1", "");
  ::mkfifo((dir / "ZNetFifo.Nx1").c_str(), 0644);
  const std::string root = dir.Path();
  for (std::string r : {root, root.substr(0, root.size() - 1)}) {
    auto finder = ProgramFinder(r, "*.Nx1");
    bool ok = false;
    EXPECT_EQ(Hits(finder, &ok), (std::vector<std::string>{root + ".ZNetHidden.Nx1", root + "ZNetAsi.Nx1",
                                                           root + "ZNetFifo.Nx1", root + "znetko.NX1"}));
    EXPECT_TRUE(ok);
  }
}

TEST(FileFinder, MissingAndEmptyFolders) {
  TTempDir dir;
  bool ok = true;
  auto missing = ProgramFinder(dir / "nope", "*");
  EXPECT_TRUE(Hits(missing, &ok).empty());
  EXPECT_FALSE(ok);
  auto empty = ProgramFinder(dir.Path(), "*");
  EXPECT_TRUE(Hits(empty, &ok).empty());
  EXPECT_TRUE(ok);
}

TEST(FileFinder, FillsTheRecordAndHonoursTheOptions) {
  TTempDir dir;
  WriteFile(dir / "ro.txt", "12345");
  ::chmod((dir / "ro.txt").c_str(), 0444);
  ::mkdir((dir / "sub").c_str(), 0755);
  WriteFile(dir / "sub/deep.txt", "");
  TFileFinder f;  // the component's defaults: every option, subfolders included
  f.RootPath = dir.Path();
  f.FileNames = {"*.*"};
  std::vector<TFoundFileInfo> infos;
  f.OnFileFound = [&](const TFoundFileInfo& i) { infos.push_back(i); };
  ASSERT_TRUE(f.Search());
  std::sort(infos.begin(), infos.end(), [](auto& a, auto& b) { return a.Path + a.Name < b.Path + b.Name; });
  ASSERT_EQ(infos.size(), 3u);  // ro.txt, the directory (kept by "*.*"), sub/deep.txt
  EXPECT_EQ(infos[0].Name, "ro.txt");
  EXPECT_EQ(infos[0].Attr, faReadOnly | faArchive);
  EXPECT_EQ(infos[0].Size, 5u);
  EXPECT_GE(infos[0].LastWriteTime.Year, 2020);
  EXPECT_EQ(infos[1].Name, "sub");
  EXPECT_EQ(infos[1].Attr & faDirectory, static_cast<unsigned>(faDirectory));
  EXPECT_EQ(infos[2].Path, dir / "sub/");

  f.ExcludedFiles = {"deep*"};
  f.OnAcceptFile = [](const TFoundFileInfo& i) { return i.Name != "sub"; };
  infos.clear();
  ASSERT_TRUE(f.Search());
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].Name, "ro.txt");
}

TEST(FileFinder, InvalidMaskRaises) {
  TTempDir dir;
  auto finder = ProgramFinder(dir.Path(), "[abc");
  EXPECT_THROW(finder.Search(), EFileMaskError);
}
