// The component on its own: packing, reading back, the package layout, the
// error numbers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>

#include "ZipTestSupport.h"

namespace trelvo::test {
namespace {

class ZipArchiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(Tmp / "src");
    MakeDir(Tmp / "out");
  }
  std::string Src(const std::string& name) const { return Tmp / ("src/" + name); }
  std::string Out(const std::string& name) const { return Tmp / ("out/" + name); }
  void Put(const std::string& name, const std::string& data, time_t mtime = 1700000000) {
    WriteFile(Src(name), data);
    struct utimbuf t {mtime, mtime};
    ::utime(Src(name).c_str(), &t);
  }
  TTempDir Tmp;
  TRecordingArchiver A;
};

TEST_F(ZipArchiverTest, PasswordRoundTripGivesEqualFilesAndTimes) {
  const std::string table = TableLikeBytes(3 * 1024 * 1024 + 17);  // several buffers
  Put("ZNetAsi.Nx1", table, 1700000000);
  Put("Random.bin", RandomBytes(700000, 1), 1600000002);
  Put("Empty.Nx1", "", 1500000004);
  Put("ReadOnly.txt", "cannot touch this", 1400000006);
  ::chmod(Src("ReadOnly.txt").c_str(), 0444);

  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"}, "Salasana1");
  A.Unpack(Tmp / "p.zip", Tmp / "out", "*", "Salasana1");

  EXPECT_TRUE(A.Failures.empty());
  EXPECT_EQ(ListDir(Tmp / "out"), ListDir(Tmp / "src"));
  for (const std::string name : {"ZNetAsi.Nx1", "Random.bin", "Empty.Nx1", "ReadOnly.txt"}) {
    EXPECT_EQ(ReadFile(Out(name)), ReadFile(Src(name))) << name;
    EXPECT_EQ(MTime(Out(name)), MTime(Src(name))) << name;  // even seconds survive MS-DOS times
  }
  struct stat st {};
  ::stat(Out("ReadOnly.txt").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ::stat(Out("Empty.Nx1").c_str(), &st);
  EXPECT_NE(st.st_mode & 0200, 0u);
}

TEST_F(ZipArchiverTest, LayoutWithPassword) {
  Put("Empty.Nx1", "");
  Put("Random.bin", RandomBytes(100000, 2));
  Put("Table.Nx1", TableLikeBytes(200000));
  Put("Pieni.txt", "ab");  // Deflate plus the 12-byte header would be longer
  A.Pack(Tmp / "p.zip", Tmp / "src", {"Empty.Nx1;Random.bin", " Table.Nx1 ", "Pieni.txt"}, "pw");

  const std::string z = ReadFile(Tmp / "p.zip");
  const TRawLayout layout = WalkPackage(z);
  ASSERT_EQ(layout.Error, "");
  ASSERT_EQ(layout.Entries.size(), 4u);
  struct Want {
    const char* Name;
    std::uint16_t Method, Needed;
    std::uint32_t Size;
  } want[] = {{"Empty.Nx1", 0, 10, 0}, {"Random.bin", 0, 10, 100000}, {"Table.Nx1", 8, 20, 200000}, {"Pieni.txt", 0, 10, 2}};
  for (std::size_t i = 0; i < 4; ++i) {
    const TRawEntry& e = layout.Entries[i];
    SCOPED_TRACE(e.Name);
    EXPECT_EQ(e.Name, want[i].Name);
    EXPECT_EQ(e.Method, want[i].Method);
    EXPECT_EQ(e.VersionNeeded, want[i].Needed);
    EXPECT_EQ(e.Flags, 9);
    EXPECT_EQ(e.CentralFlags, 9);
    EXPECT_EQ(e.VersionMadeBy, 20);
    EXPECT_EQ(e.UncompressedSize, want[i].Size);
    EXPECT_EQ(e.Crc, Crc(ReadFile(Src(e.Name))));
    if (e.Method == 0) {
      EXPECT_EQ(e.CompressedSize, e.UncompressedSize + 12);
    } else {
      EXPECT_LT(e.CompressedSize, e.UncompressedSize / 4);
    }
    // The descriptor repeats the real values that also stand in the header.
    EXPECT_TRUE(e.HasDescriptor);
    EXPECT_EQ(e.DescCrc, e.Crc);
    EXPECT_EQ(e.DescCompressed, e.CompressedSize);
    EXPECT_EQ(e.DescUncompressed, e.UncompressedSize);
    EXPECT_EQ(e.ExternalAttributes, 0x20u);
    EXPECT_EQ(e.ExtraLength, 0);
    EXPECT_EQ(e.CommentLength, 0);
  }
  EXPECT_EQ(layout.Entries[0].Crc, 0u);
  EXPECT_EQ(Le16(z, z.size() - 2), 0);  // no archive comment

  // The same files and random source give the same bytes.
  A.Pack(Tmp / "q.zip", Tmp / "src", {"Empty.Nx1;Random.bin", " Table.Nx1 ", "Pieni.txt"}, "pw");
  EXPECT_EQ(ReadFile(Tmp / "q.zip"), z);
}

TEST_F(ZipArchiverTest, LayoutWithoutPasswordHasNoDescriptor) {
  Put("Table.Nx1", TableLikeBytes(50000));
  Put("Empty.Nx1", "");
  Put("Nimi\xC3\xA4.txt", "x");
  A.Pack(Tmp / "p.zip", Tmp / "src", {"Table.Nx1", "Empty.Nx1", "nimi*"});
  const TRawLayout layout = WalkPackage(ReadFile(Tmp / "p.zip"));
  ASSERT_EQ(layout.Error, "");
  ASSERT_EQ(layout.Entries.size(), 3u);
  for (const auto& e : layout.Entries) {
    EXPECT_EQ(e.Flags, 0);
    EXPECT_FALSE(e.HasDescriptor);
    EXPECT_EQ(e.Crc, Crc(ReadFile(Src(e.Name))));
  }
  EXPECT_EQ(layout.Entries[0].Method, 8);
  EXPECT_EQ(layout.Entries[1].Method, 0);
  EXPECT_EQ(layout.Entries[1].CompressedSize, 0u);
  EXPECT_EQ(layout.Entries[2].VersionMadeBy, 11 << 8 | 20);  // a name byte of 128 or above
}

TEST_F(ZipArchiverTest, NewArchiveWithoutEntriesIsAnEndRecordOnly) {
  Put("a.txt", "a");
  A.Zip.OpenArchive(Tmp / "new.zip");
  EXPECT_TRUE(FileExists(Tmp / "new.zip"));  // created at once
  A.Zip.SetBaseDirectory(Tmp / "src");
  A.Zip.AddFiles("*.none", 0);
  A.Zip.CloseArchive();
  const std::string z = ReadFile(Tmp / "new.zip");
  EXPECT_EQ(z, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  EXPECT_EQ(A.Events, std::vector<std::string>{"save"});
  EXPECT_TRUE(A.Failures.empty());
}

TEST_F(ZipArchiverTest, EmptyExistingFileOpensWithoutEntriesAndIsWrittenAsEmptyZip) {
  WriteFile(Tmp / "zero.zip", "");
  A.Unpack(Tmp / "zero.zip", Tmp / "out");
  EXPECT_TRUE(ListDir(Tmp / "out").empty());
  EXPECT_EQ(A.Events, (std::vector<std::string>{"load", "save"}));
  EXPECT_EQ(ReadFile(Tmp / "zero.zip").size(), 22u);
}

TEST_F(ZipArchiverTest, UnchangedArchiveWithEntriesIsNotRewritten) {
  Put("a.txt", "aaaa");
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"});
  struct stat before {}, after {};
  ::stat((Tmp / "p.zip").c_str(), &before);
  A.Events.clear();
  A.Unpack(Tmp / "p.zip", Tmp / "out");
  ::stat((Tmp / "p.zip").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);  // a rewrite would have renamed a new file in
  EXPECT_EQ(std::count(A.Events.begin(), A.Events.end(), "save"), 0);
}

TEST_F(ZipArchiverTest, OverlappingMasksReportDuplicateOnceStoredOnce) {
  Put("ZNetAsi.Nx1", "1");
  Put("ZNetKo.Nx1", "2");
  A.Zip.OpenArchive(Tmp / "p.zip");
  A.Zip.SetBaseDirectory(Tmp / "src");
  A.Zip.AddFiles("ZNetAsi.Nx1", 0);
  A.Zip.AddFiles("znet*.nx1", 0);
  A.Zip.CloseArchive();
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"ZNetAsi.Nx1", ptAdd, 7}}));
  const TRawLayout layout = WalkPackage(ReadFile(Tmp / "p.zip"));
  ASSERT_EQ(layout.Entries.size(), 2u);
  EXPECT_EQ(layout.Entries[0].Name, "ZNetAsi.Nx1");
  EXPECT_EQ(layout.Entries[1].Name, "ZNetKo.Nx1");
}

TEST_F(ZipArchiverTest, AddingToAnExistingPackageKeepsItsEntries) {
  Put("first.txt", TableLikeBytes(10000));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"first.txt"}, "pw");
  Put("second.txt", TableLikeBytes(20000));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*.txt"}, "pw");  // first.txt is a duplicate now
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"first.txt", ptAdd, 7}}));
  A.Unpack(Tmp / "p.zip", Tmp / "out", "*", "pw");
  EXPECT_EQ(ReadFile(Out("first.txt")), ReadFile(Src("first.txt")));
  EXPECT_EQ(ReadFile(Out("second.txt")), ReadFile(Src("second.txt")));
  EXPECT_EQ(WalkPackage(ReadFile(Tmp / "p.zip")).Error, "");
}

TEST_F(ZipArchiverTest, SkipsHiddenSpecialDirectoriesAndThePackageItself) {
  Put("plain.txt", "p");
  Put(".hidden", "h");
  MakeDir(Src("subdir"));
  ASSERT_EQ(::mkfifo(Src("pipe").c_str(), 0644), 0);
  A.Pack(Src("self.zip"), Tmp / "src", {"*"});
  const TRawLayout layout = WalkPackage(ReadFile(Src("self.zip")));
  ASSERT_EQ(layout.Entries.size(), 1u);
  EXPECT_EQ(layout.Entries[0].Name, "plain.txt");
}

TEST_F(ZipArchiverTest, MasksMatchRegardlessOfCase) {
  for (const char* n : {"ZNetAsi.Nx1", "ZNETKO.NX1", "znetkopa.nx1", "Asiakas.Nx1", "ZNet.txt"}) Put(n, n);
  A.Pack(Tmp / "p.zip", Tmp / "src", {"znet*.NX1"});
  std::vector<std::string> names;
  for (const auto& e : WalkPackage(ReadFile(Tmp / "p.zip")).Entries) names.push_back(e.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ZNETKO.NX1", "ZNetAsi.Nx1", "znetkopa.nx1"}));
  A.Unpack(Tmp / "p.zip", Tmp / "out", "ZNet?o.nx1; *PA*");
  EXPECT_EQ(ListDir(Tmp / "out"), (std::vector<std::string>{"ZNETKO.NX1", "znetkopa.nx1"}));
}

TEST_F(ZipArchiverTest, WrongPasswordFailsEveryEntryOnceWithCrcError) {
  Put("a.Nx1", TableLikeBytes(100000));
  Put("b.Nx1", "");
  Put("c.Nx1", RandomBytes(5000, 3));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"}, "right");
  A.Unpack(Tmp / "p.zip", Tmp / "out", "*", "wrong");
  std::vector<TFailure> want;
  for (const auto& e : WalkPackage(ReadFile(Tmp / "p.zip")).Entries) want.push_back({e.Name, ptExtract, 23});
  EXPECT_EQ(A.Failures, want);
  EXPECT_TRUE(ListDir(Tmp / "out").empty());
}

TEST_F(ZipArchiverTest, EncryptedEntryWithoutPasswordIsError4) {
  Put("a.Nx1", "data");
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"}, "pw");
  A.Unpack(Tmp / "p.zip", Tmp / "out", "*", "");
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"a.Nx1", ptExtract, 4}}));
}

TEST_F(ZipArchiverTest, UnreadableFileIsLeftOutAndTheRestWritten) {
  Put("good.txt", "good");
  Put("gone.txt", "gone");
  A.Zip.OpenArchive(Tmp / "p.zip");
  A.Zip.SetBaseDirectory(Tmp / "src");
  A.Zip.AddFiles("*", 0);
  // Replaced by a directory between queuing and writing: cannot be read even by root.
  ::unlink(Src("gone.txt").c_str());
  MakeDir(Src("gone.txt"));
  A.Zip.CloseArchive();
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"gone.txt", ptAdd, 0}}));
  const TRawLayout layout = WalkPackage(ReadFile(Tmp / "p.zip"));
  EXPECT_EQ(layout.Error, "");
  ASSERT_EQ(layout.Entries.size(), 1u);
  EXPECT_EQ(layout.Entries[0].Name, "good.txt");
}

TEST_F(ZipArchiverTest, ProgressRunsFromZeroToHundredPerEntry) {
  Put("big.Nx1", TableLikeBytes(1024 * 1024));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"});
  ASSERT_GE(A.Events.size(), 4u);
  EXPECT_EQ(A.Events.front(), "progress big.Nx1 0");
  EXPECT_EQ(A.Events[A.Events.size() - 2], "progress big.Nx1 100");
  EXPECT_EQ(A.Events.back(), "save");
}

TEST_F(ZipArchiverTest, AbortFromProgressStopsAndKeepsThePackage) {
  Put("a.txt", "a");
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"});
  const std::string before = ReadFile(Tmp / "p.zip");
  Put("b.txt", TableLikeBytes(10000));
  A.Zip.OnItemProgress = [](TZipArchiver&, const TZipItem&, int, bool& abort) { abort = true; };
  A.Zip.OpenArchive(Tmp / "p.zip");
  A.Zip.SetBaseDirectory(Tmp / "src");
  A.Zip.AddFiles("b.txt", 0);
  EXPECT_THROW(A.Zip.CloseArchive(), EZipAborted);
  EXPECT_FALSE(A.Zip.Active());
  EXPECT_EQ(ReadFile(Tmp / "p.zip"), before);
  EXPECT_EQ(ListDir(Tmp.Path()), (std::vector<std::string>{"out", "p.zip", "src"}));  // no temporary left
}

// Errors raised by the operations, with their numbers and messages.
TEST_F(ZipArchiverTest, OperationErrors) {
  auto code = [](auto&& op) {
    try {
      op();
    } catch (const EZipError& e) {
      return std::to_string(e.ErrorCode()) + " " + e.Message();
    }
    return std::string("no error");
  };
  TZipArchiver& z = A.Zip;
  EXPECT_EQ(code([&] { z.AddFiles("*", 0); }), "27 Archive does not exist - Filename is blank");
  EXPECT_EQ(code([&] { z.ExtractFiles("*"); }), "27 Archive does not exist - Filename is blank");
  EXPECT_EQ(code([&] { z.OpenArchive("relative.zip"); }), "0 Full Path Required");
  EXPECT_NO_THROW(z.CloseArchive());

  // A missing directory is kept while closed, refused while open and on the next open.
  z.SetBaseDirectory(Tmp / "missing");
  EXPECT_EQ(code([&] { z.OpenArchive(Tmp / "p.zip"); }), "19 Directory does not exist");
  EXPECT_EQ(z.BaseDirectory(), Tmp / "missing");
  z.SetBaseDirectory(Tmp / "src/");
  EXPECT_EQ(z.BaseDirectory(), Tmp / "src");
  z.OpenArchive(Tmp / "p.zip");
  EXPECT_EQ(code([&] { z.SetBaseDirectory(Tmp / "missing"); }), "19 Directory does not exist");
  z.CloseArchive();

  WriteFile(Tmp / "text.zip", "just some text, not an archive at all");
  EXPECT_EQ(code([&] { z.OpenArchive(Tmp / "text.zip"); }), "35 Unhandled Archive Type");
  EXPECT_FALSE(z.Active());
  EXPECT_EQ(code([&] { z.OpenArchive(Tmp.Path() + "nodir/x.zip"); }).substr(0, 2), "2 ");  // ENOENT
}

TEST_F(ZipArchiverTest, DamagedCentralDirectoryIsNotAPKZipFile) {
  Put("a.txt", TableLikeBytes(5000));
  Put("b.txt", TableLikeBytes(6000));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"}, "pw");
  const std::string good = ReadFile(Tmp / "p.zip");
  const std::size_t central = WalkPackage(good).CentralOffset;
  struct Case {
    const char* What;
    std::string Bytes;
  } cases[] = {
      {"cut inside the central directory", good.substr(0, central + 30)},
      {"cut before the end record", good.substr(0, good.size() - 5)},
      {"central header signature broken", good.substr(0, central) + "XX" + good.substr(central + 2)},
      {"entry count too high",
       good.substr(0, good.size() - 14) + std::string("\x09\x00\x09\x00", 4) + good.substr(good.size() - 10)},
      {"central offset past the end",
       good.substr(0, good.size() - 6) + std::string("\xff\xff\x00\x00", 4) + good.substr(good.size() - 2)},
  };
  for (const auto& c : cases) {
    WriteFile(Tmp / "bad.zip", c.Bytes);
    try {
      A.Zip.OpenArchive(Tmp / "bad.zip");
      ADD_FAILURE() << c.What << ": opened";
    } catch (const EZipError& e) {
      EXPECT_EQ(e.ErrorCode(), 28) << c.What;
      EXPECT_EQ(e.Message(), "Invalid file - not a PKZip file");
    }
    EXPECT_FALSE(A.Zip.Active());
  }
}

}  // namespace
}  // namespace trelvo::test
