#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "common/IniFile.h"

using namespace trelvo;
using trelvo::test::ReadFile;
using trelvo::test::TTempDir;
using trelvo::test::WriteFile;

TEST(IniFile, LooksUpWithoutRegardToCaseAndFirstDuplicateWins) {
  TTempDir dir;
  WriteFile(dir / "a.ini",
            "; comment\r\n[Internet]\r\nMaster = Yes \r\nmaster=No\r\n  junk line without equals\r\n"
            "Quoted=\"  padded  \"\r\n[internet]\r\nOther=second section\r\n[Empty]\r\nKey=");
  TIniFile ini(dir / "a.ini");
  EXPECT_EQ(ini.ReadString("INTERNET", "MASTER", "d"), "Yes");
  EXPECT_EQ(ini.ReadString("Internet", "Quoted", "d"), "  padded  ");
  EXPECT_EQ(ini.ReadString("Internet", "Other", "d"), "d");  // only the first section counts
  EXPECT_EQ(ini.ReadString("Empty", "Key", "d"), "");
  EXPECT_EQ(ini.ReadString("Missing", "Key", "d"), "d");
  EXPECT_EQ(ini.ReadString("Internet", "Missing", "d"), "d");
  EXPECT_EQ(ini.ReadInteger("Internet", "Master", 7), 7);
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Internet", "Empty"}));
  EXPECT_EQ(ini.ReadSection("Internet"), (std::vector<std::string>{"Master", "Quoted"}));
}

TEST(IniFile, MissingFileAndOverlongAndBinaryValuesLoad) {
  TTempDir dir;
  TIniFile missing(dir / "none.ini");
  EXPECT_EQ(missing.ReadString("A", "B", "def"), "def");

  std::string junk = "[A]\nlong=" + std::string(5000, 'x') + "\nbin=\x01\xff\xfe\x80zz\n";
  junk += std::string("\0\0[B]\0", 7) + "\n[C]\nk=v";  // NUL bytes, no final newline
  WriteFile(dir / "junk.ini", junk);
  TIniFile ini(dir / "junk.ini");
  EXPECT_EQ(ini.ReadString("A", "long", "").size(), TIniFile::kMaxValueLength);
  EXPECT_EQ(ini.ReadString("A", "bin", ""), "\x01\xff\xfe\x80zz");
  EXPECT_EQ(ini.ReadString("C", "k", ""), "v");
}

TEST(IniFile, WritingOneKeyKeepsEveryOtherLine) {
  TTempDir dir;
  const std::string before =
      "; settings\r\n[DataBase]\r\nAlias=SORVEL\r\n\r\n[Internet]\r\n; the role\r\nmaster=No\r\nDir=/x\r\n\r\n"
      "[Defaults]\r\nUseErrorLog=No";
  WriteFile(dir / "s.ini", before);
  TIniFile ini(dir / "s.ini");
  ini.WriteString("Internet", "Master", "Yes");    // existing key, other case
  ini.WriteString("Internet", "SendDate", "09.12.2026");  // new key in an existing section
  ini.WriteString("Defaults", "Extra", "1");       // section without a final newline
  ini.WriteString("New", "Key", "v");              // new section
  EXPECT_EQ(ReadFile(dir / "s.ini"),
            "; settings\r\n[DataBase]\r\nAlias=SORVEL\r\n\r\n[Internet]\r\n; the role\r\nMaster=Yes\r\nDir=/x\r\n"
            "SendDate=09.12.2026\n\r\n[Defaults]\r\nUseErrorLog=No\nExtra=1\n\n[New]\nKey=v\n");
  EXPECT_EQ(TIniFile(dir / "s.ini").ReadString("internet", "senddate", ""), "09.12.2026");
}

TEST(IniFile, RefusedWriteNamesTheFileAndKeepsIt) {
  TTempDir dir;
  WriteFile(dir / "ro.ini", "[A]\nk=1\n");
  ::chmod((dir / "ro.ini").c_str(), 0444);
  TIniFile ro(dir / "ro.ini");
  try {
    ro.WriteString("A", "k", "2");
    FAIL() << "write to a read-only file succeeded";
  } catch (const EIniFileError& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "ro.ini"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadFile(dir / "ro.ini"), "[A]\nk=1\n");
  EXPECT_EQ(ro.ReadString("A", "k", ""), "1");

  // A directory that does not exist (holds for root too).
  TIniFile nowhere(dir / "file-not-dir/x.ini");
  WriteFile(dir / "file-not-dir", "");
  EXPECT_THROW(nowhere.WriteString("A", "k", "v"), EIniFileError);
}

TEST(IniFile, WrittenFileIsTheOwnersOnlyAndLeavesNothingBeside) {
  TTempDir dir;
  const mode_t oldMask = ::umask(0);  // the mode must not depend on the caller's umask
  TIniFile fresh(dir / "new.ini");
  fresh.WriteString("A", "k", "v");
  struct stat st {};
  ASSERT_EQ(0, ::stat((dir / "new.ini").c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A file made readable by everyone is tightened by the next write.
  WriteFile(dir / "old.ini", "; kept\n[A]\nk=1\n\n[B]\nx=2\n");
  ::chmod((dir / "old.ini").c_str(), 0644);
  TIniFile(dir / "old.ini").WriteString("A", "k", "2");
  ::umask(oldMask);
  ASSERT_EQ(0, ::stat((dir / "old.ini").c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(dir / "old.ini"), "; kept\n[A]\nk=2\n\n[B]\nx=2\n");
  EXPECT_EQ(trelvo::test::ListDir(dir.Path()), (std::vector<std::string>{"new.ini", "old.ini"}));
}

TEST(IniFile, RewriteKeepsTheOwnerOrIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  TTempDir dir;
  // The service's user owns its file; root (the operator) edits it.
  WriteFile(dir / "s.ini", "[A]\nk=1\n");
  ASSERT_EQ(0, ::chown((dir / "s.ini").c_str(), 4321, 4322));
  ::chmod((dir / "s.ini").c_str(), 0600);
  TIniFile(dir / "s.ini").WriteString("A", "k", "2");
  struct stat st {};
  ASSERT_EQ(0, ::stat((dir / "s.ini").c_str(), &st));
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
  EXPECT_EQ(ReadFile(dir / "s.ini"), "[A]\nk=2\n");

  // Another user who may write in the directory: a file it cannot read
  // must not be replaced by the one key it writes, and one whose owner it
  // cannot keep must not be taken away from that owner.
  ::chmod(dir.Path().c_str(), 0777);
  auto writeAsNobody = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
      try {
        TIniFile(dir / "s.ini").WriteString("A", "other", "x");
      } catch (const EIniFileError&) {
        ::_exit(0);
      }
      ::_exit(1);
    }
    int status = -1;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  };
  struct {
    uid_t Owner;
    mode_t Mode;
  } cases[] = {{65534, 0200}, {0, 0666}};
  for (const auto& c : cases) {
    ASSERT_EQ(0, ::chown((dir / "s.ini").c_str(), c.Owner, c.Owner));
    ::chmod((dir / "s.ini").c_str(), c.Mode);
    EXPECT_EQ(0, writeAsNobody()) << "owner " << c.Owner << ", mode " << std::oct << c.Mode;
    EXPECT_EQ(ReadFile(dir / "s.ini"), "[A]\nk=2\n");
    EXPECT_EQ(trelvo::test::ListDir(dir.Path()), (std::vector<std::string>{"s.ini"}));
  }
}
