// Packages made to hurt: names that climb out of the target directory, data
// that inflates past its declared size or runs past the archive, damaged
// entries over good files.
#include <gtest/gtest.h>

#include <algorithm>

#include "ZipTestSupport.h"

namespace trelvo::test {
namespace {

class HostilePackageTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeDir(Tmp / "out"); }
  void Extract(const std::string& package, const std::string& password = "") {
    WriteFile(Tmp / "h.zip", package);
    A.Unpack(Tmp / "h.zip", Tmp / "out", "*", password);
  }
  TTempDir Tmp;
  TRecordingArchiver A;
};

TEST_F(HostilePackageTest, NamesAreCutToTheirFileNamePart) {
  Extract(MakePackage({TMadeEntry::Deflated("../../evil.txt", "e"), TMadeEntry::Deflated("sub/dir/deep.txt", "d"),
                       TMadeEntry::Deflated("..\\..\\win.txt", "w"), TMadeEntry::Deflated("/etc/abs.txt", "a"),
                       TMadeEntry::Deflated("C:\\x\\..\\drive.txt", "c"), TMadeEntry::Deflated("../", "nothing"),
                       TMadeEntry::Deflated("dir\\..", "nothing")}));
  EXPECT_EQ(ListDir(Tmp / "out"), (std::vector<std::string>{"abs.txt", "deep.txt", "drive.txt", "evil.txt", "win.txt"}));
  EXPECT_EQ(ReadFile(Tmp / "out/win.txt"), "w");
  EXPECT_EQ(ListDir(Tmp.Path()), (std::vector<std::string>{"h.zip", "out"}));
  // "../" is a directory entry and makes nothing; "dir\.." names no file.
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"dir\\..", ptExtract, 0}}));
}

TEST_F(HostilePackageTest, EntryInflatingPastItsDeclaredSizeFailsWithoutWriting) {
  WriteFile(Tmp / "out/bomb.bin", "old contents");
  TMadeEntry bomb = TMadeEntry::Deflated("bomb.bin", std::string(8 * 1024 * 1024, '\0'));
  bomb.UncompressedSize = 1000;  // claims to be small
  Extract(MakePackage({bomb, TMadeEntry::Deflated("after.txt", "next")}));
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"bomb.bin", ptExtract, 23}}));
  EXPECT_EQ(ReadFile(Tmp / "out/bomb.bin"), "old contents");
  EXPECT_EQ(ReadFile(Tmp / "out/after.txt"), "next");  // extraction goes on
  EXPECT_EQ(ListDir(Tmp / "out"), (std::vector<std::string>{"after.txt", "bomb.bin"}));  // no temporary left
}

TEST_F(HostilePackageTest, DataRunningPastTheArchiveFails) {
  TMadeEntry entry = TMadeEntry::Deflated("long.txt", TableLikeBytes(5000));
  std::string z = MakePackage({entry});
  // Claim a compressed size that reaches far beyond the end, in both headers.
  const std::uint32_t claimed = 1u << 30;
  std::string size;
  Put32(size, claimed);
  z.replace(18, 4, size);
  const std::size_t central = WalkPackage(MakePackage({entry})).CentralOffset;
  z.replace(central + 20, 4, size);
  Extract(z);
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"long.txt", ptExtract, 0}}));
  EXPECT_TRUE(ListDir(Tmp / "out").empty());
}

TEST_F(HostilePackageTest, TruncatedDeflateStreamFails) {
  TMadeEntry entry = TMadeEntry::Deflated("cut.txt", TableLikeBytes(100000));
  entry.Stored.resize(entry.Stored.size() / 2);
  Extract(MakePackage({entry}));
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"cut.txt", ptExtract, 23}}));
  EXPECT_TRUE(ListDir(Tmp / "out").empty());
}

TEST_F(HostilePackageTest, DamagedOrWronglyKeyedEntryNeverReplacesAGoodFile) {
  MakeDir(Tmp / "src");
  WriteFile(Tmp / "src/Kortti.Nx1", TableLikeBytes(300000));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"}, "pw");
  WriteFile(Tmp / "out/Kortti.Nx1", "the good old table");

  A.Unpack(Tmp / "p.zip", Tmp / "out", "*", "not the password");
  EXPECT_EQ(ReadFile(Tmp / "out/Kortti.Nx1"), "the good old table");

  // One flipped byte near the end: the data decodes but fails its CRC check.
  std::string z = ReadFile(Tmp / "p.zip");
  const std::size_t central = WalkPackage(z).CentralOffset;
  z[central - 12 - 100] ^= 0x40;
  Extract(z, "pw");
  EXPECT_EQ(ReadFile(Tmp / "out/Kortti.Nx1"), "the good old table");
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"Kortti.Nx1", ptExtract, 23}, {"Kortti.Nx1", ptExtract, 23}}));
  EXPECT_EQ(ListDir(Tmp / "out"), std::vector<std::string>{"Kortti.Nx1"});
}

TEST_F(HostilePackageTest, StoredEntryWithWrongSizeFails) {
  TMadeEntry entry{"s.txt", "12345", 0, Crc("12345"), 4};
  Extract(MakePackage({entry}));
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"s.txt", ptExtract, 23}}));
}

TEST_F(HostilePackageTest, EntryFailingOnlyItsCrcCheckGives23AndLeavesNoFile) {
  // Data, size and method all valid; only the stored CRC-32 is wrong.
  TMadeEntry stored{"s.txt", "12345", 0, Crc("12345") ^ 1, 5};
  TMadeEntry deflated = TMadeEntry::Deflated("d.txt", TableLikeBytes(3000));
  deflated.Crc ^= 0x80000000u;
  for (const TMadeEntry& bad : {stored, deflated})
    for (const bool oldFile : {false, true}) {
      SCOPED_TRACE(bad.Name + (oldFile ? " over an old file" : ""));
      for (const std::string& name : ListDir(Tmp / "out")) ::unlink((Tmp / ("out/" + name)).c_str());
      if (oldFile) WriteFile(Tmp / ("out/" + bad.Name), "old");
      A.Failures.clear();
      Extract(MakePackage({bad, TMadeEntry::Deflated("ok.txt", "ok")}));
      EXPECT_EQ(A.Failures, (std::vector<TFailure>{{bad.Name, ptExtract, 23}}));
      std::vector<std::string> expected{"ok.txt"};
      if (oldFile) expected.push_back(bad.Name);
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(ListDir(Tmp / "out"), expected);
      if (oldFile) {
        EXPECT_EQ(ReadFile(Tmp / ("out/" + bad.Name)), "old");
      }
    }
}

TEST_F(HostilePackageTest, UnknownMethodIsAnItemFailure) {
  TMadeEntry entry{"m.txt", "xxxx", 12, Crc("xxxx"), 4};
  Extract(MakePackage({entry, TMadeEntry::Deflated("ok.txt", "ok")}));
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"m.txt", ptExtract, 0}}));
  EXPECT_EQ(ListDir(Tmp / "out"), std::vector<std::string>{"ok.txt"});
}

TEST_F(HostilePackageTest, ExistingFileDifferingInCaseIsReplaced) {
  WriteFile(Tmp / "out/znetasi.nx1", "old");
  Extract(MakePackage({TMadeEntry::Deflated("ZNetAsi.Nx1", "new")}));
  EXPECT_EQ(ListDir(Tmp / "out"), std::vector<std::string>{"znetasi.nx1"});
  EXPECT_EQ(ReadFile(Tmp / "out/znetasi.nx1"), "new");
}

TEST_F(HostilePackageTest, TargetThatIsADirectoryOrMissingDirectoryFailsPerEntry) {
  MakeDir(Tmp / "out/taken");
  Extract(MakePackage({TMadeEntry::Deflated("taken", "t"), TMadeEntry::Deflated("free.txt", "f")}));
  ASSERT_EQ(A.Failures.size(), 1u);
  EXPECT_EQ(A.Failures[0].Name, "taken");
  EXPECT_EQ(A.Failures[0].ErrorCode, EISDIR);
  EXPECT_EQ(ListDir(Tmp / "out"), (std::vector<std::string>{"free.txt", "taken"}));

  A.Failures.clear();
  MakeDir(Tmp / "gone");
  A.Zip.OpenArchive(Tmp / "h.zip");
  A.Zip.SetBaseDirectory(Tmp / "gone");
  ASSERT_EQ(::rmdir((Tmp / "gone").c_str()), 0);
  A.Zip.ExtractFiles("*");
  A.Zip.CloseArchive();
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"taken", ptExtract, 19}, {"free.txt", ptExtract, 19}}));
}

}  // namespace
}  // namespace trelvo::test
