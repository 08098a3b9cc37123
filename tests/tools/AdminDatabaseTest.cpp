#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace trelvo::test;

namespace {

std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }

std::string LastLine(const std::string& out) {
  std::string s = out;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

TEST(AdminDatabase, InitMakesAnInstallationWhoseCountsAreZero) {
  TTempDir dir;
  const std::string home = dir / "site";
  std::string out;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + home + " --role client --client 07", &out)) << out;
  for (const char* sub : {"Data", "INetData", "INet/Tmp", "INet/Empty", "INet/Log", "Backup", "FtpSiirto"})
    EXPECT_TRUE(FileExists(home + "/" + sub)) << sub;
  EXPECT_EQ((std::vector<std::string>{"ZNetAsi.Nx1", "ZNetKo.Nx1", "ZNetKoPa.Nx1", "ZNetTila.Nx1"}), ListDir(home + "/INet/Empty"));
  std::string ini = ReadFile(home + "/Sorvel.ini");
  EXPECT_NE(ini.find("Master=No\n"), std::string::npos);
  EXPECT_NE(ini.find("ClientArchive=07\n"), std::string::npos);
  EXPECT_NE(ini.find("BackupDir=" + home + "/Backup/\n"), std::string::npos) << ini;

  ASSERT_EQ(0, RunCommand(Admin() + " counts --home " + home, &out)) << out;
  EXPECT_EQ("0 0 0 0", LastLine(out));
  EXPECT_NE(out.find("Alias SORVEL, hakemisto: " + home + "/Data/\n"), std::string::npos) << out;

  // The files are plain SQLite databases for the command-line tool.
  ASSERT_EQ(0, RunCommand("sqlite3 " + home + "/Data/KORTTI.Nx1 'SELECT count(*) FROM KORTTI; PRAGMA journal_mode;'", &out));
  EXPECT_EQ("0\ndelete\n", out);
  ASSERT_EQ(0, RunCommand("sqlite3 " + home + "/INet/Empty/ZNetKoPa.Nx1 'SELECT count(*) FROM ZNetKoPa'", &out));
  EXPECT_EQ("0\n", out);
}

TEST(AdminDatabase, InitRefusesAnExistingInstallationUnlessForced) {
  TTempDir dir;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + dir.Path() + " --role master"));
  ASSERT_EQ(0, RunCommand("sqlite3 " + dir.Path() + "Data/KORTTI.Nx1 \"INSERT INTO KORTTI (KorttiLyh) VALUES ('x')\""));
  EXPECT_EQ(1, RunCommand(Admin() + " init " + dir.Path() + " --role master 2>/dev/null"));
  std::string out;
  RunCommand("sqlite3 " + dir.Path() + "Data/KORTTI.Nx1 'SELECT count(*) FROM KORTTI'", &out);
  EXPECT_EQ("1\n", out) << "nothing was overwritten";
  EXPECT_EQ(0, RunCommand(Admin() + " init " + dir.Path() + " --role master --force"));
  RunCommand("sqlite3 " + dir.Path() + "Data/KORTTI.Nx1 'SELECT count(*) FROM KORTTI'", &out);
  EXPECT_EQ("0\n", out);
  EXPECT_EQ(2, RunCommand(Admin() + " init " + dir.Path() + "x --role boss 2>/dev/null"));
  EXPECT_EQ(2, RunCommand(Admin() + " init 2>/dev/null"));
}

TEST(AdminDatabase, InitChoosesHowPackagesAreEncrypted) {
  TTempDir dir;
  std::string out;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + dir / "aes" + " --role client --zip-encryption aes256", &out)) << out;
  EXPECT_NE(ReadFile(dir / "aes/Sorvel.ini").find("ZipEncryption=AES256\n"), std::string::npos);
  ASSERT_EQ(0, RunCommand(Admin() + " config --home " + dir / "aes", &out));
  EXPECT_NE(out.find("ZipEncryption=AES256\n"), std::string::npos) << out;

  ASSERT_EQ(0, RunCommand(Admin() + " init " + dir / "plain" + " --role client", &out)) << out;
  ASSERT_EQ(0, RunCommand(Admin() + " config --home " + dir / "plain", &out));
  EXPECT_NE(out.find("ZipEncryption=ZipCrypto\n"), std::string::npos) << out;
  EXPECT_EQ(2, RunCommand(Admin() + " init " + dir / "bad" + " --role client --zip-encryption aes 2>/dev/null"));
  EXPECT_FALSE(FileExists(dir / "bad/Sorvel.ini"));
}

TEST(AdminDatabase, CountsAndDumpShowTheRows) {
  TTempDir dir;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + dir.Path() + " --role client"));
  ASSERT_EQ(0, RunCommand("sqlite3 " + dir.Path() + "Data/ZNetKo.Nx1 \"INSERT INTO ZNetKo (KorttiLyh, AikaLeima, YrNo, NaytaSaldoLCD) "
                          "VALUES ('B', 38019.5, 3, 1), ('A', 38018.25, NULL, 0)\""));
  std::string out;
  ASSERT_EQ(0, RunCommand(Admin() + " counts --home " + dir.Path(), &out));
  EXPECT_EQ("0 2 0 0", LastLine(out));
  ASSERT_EQ(0, RunCommand(Admin() + " dump znetko --home " + dir.Path(), &out));
  EXPECT_EQ(
      "KorttiNro\tKorttiLyh\tAsNo\tYrNo\tAikaLeima\tPinKoodi\tNaytaSaldoLCD\n"
      "\tA\t\t\t01.02.2004 06:00:00\t\tFalse\n"
      "\tB\t\t3\t02.02.2004 12:00:00\t\tTrue\n",
      out);
  ASSERT_EQ(0, RunCommand(Admin() + " dump ZNetKo --inet --home " + dir.Path(), &out));
  EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n'));
  EXPECT_EQ(1, RunCommand(Admin() + " dump EiOle --home " + dir.Path() + " 2>&1", &out));
  EXPECT_NE(out.find("EiOle.Nx1"), std::string::npos) << out;
}

TEST(AdminDatabase, CountsFailsWithTheReasonWhenTheServerIsUnknown) {
  TTempDir dir;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + dir.Path() + " --role client"));
  WriteFile(dir / "DbServer.ini", "[Servers]\nMUU=\n");
  std::string out;
  EXPECT_EQ(1, RunCommand(Admin() + " counts --home " + dir.Path() + " 2>&1", &out));
  EXPECT_NE(out.find("Virhe : Database server VELMORA not found"), std::string::npos) << out;
}

}  // namespace
