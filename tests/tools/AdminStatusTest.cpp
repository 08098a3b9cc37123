// trelvo-admin status on installations whose state is written by hand: what
// it reports, and that its exit code flags what needs attention.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "TestSupport.h"
#include "common/IniFile.h"

using namespace trelvo;
using namespace trelvo::test;

namespace {

std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }

struct TInstall {
  TTempDir Dir;
  std::string Home;
  TInstall(const std::string& role, const std::string& client) : Home(Dir / "inst/") {
    EXPECT_EQ(0, RunCommand(Admin() + " init " + Home + " --role " + role + " --client " + client + " >/dev/null"));
    // The traditional cipher would need attention in every case below.
    Set("ZipEncryption", "AES256");
  }
  void Set(const std::string& key, const std::string& value, const std::string& file = "Sorvel.ini",
           const std::string& section = "Internet") {
    TIniFile(Home + file).WriteString(section, key, value);
  }
  int Status(const std::string& at, std::string& out, const std::string& extra = "") {
    return RunCommand(Admin() + " status --home " + Home + " --at '" + at + "'" + extra, &out);
  }
};

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST(AdminStatus, SiteShowsItsPackagesAndFlagsABlockedReceiveAndAnUnpackedPackage) {
  TInstall site("client", "01");
  site.Set("SendDate", "03.03.2026");
  site.Set("RecvDate", "02.03.2026");
  site.Set("MasterFile", "Master_20260302230000.Zip");
  site.Set("ClientRecvRetries", "3", "RunState.ini", "RunState");
  for (const char* name : {"Zuze01_20260301220000.Zip", "Zuze01_20260303220000.Zip", "Other_20260303220000.Zip"})
    WriteFile(site.Home + "FtpSiirto/" + name, "");
  WriteFile(site.Home + "INet/Log/Masterissa_01.log",
            "Zuze01_20260228220000.Zip  Ok\nZuze01_20260301220000.Zip  ERROR01\n");

  std::string out;
  EXPECT_EQ(1, site.Status("04.03.2026 08:00:00", out)) << out;
  for (const char* line : {
           "role      site 01",
           "send     on, daily after 22:00; last success 03.03.2026; retries 0 of 3: waiting until 04.03.2026 22:00\n",
           "receive  on, daily after 23:30; last success 02.03.2026; retries 3 of 3: BLOCKED\n",
           "  Zuze01_20260301220000.Zip  made 01.03.2026 22:00:00, 2.4 days ago\n",
           "  Zuze01_20260303220000.Zip  made 03.03.2026 22:00:00, 0.4 days ago\n",
           "(MasterFile): Master_20260302230000.Zip, made 02.03.2026 23:00:00, 1.4 days ago\n",
           "  2 lines, the last: Zuze01_20260301220000.Zip  ERROR01\n",
           "Needs attention:\n  - the receive failed 3 times in a row and is blocked",
           "the next tick before 23:30 sets the counter back to 0",
           "  - the head office could not unpack this site's package Zuze01_20260301220000.Zip (ERROR01)",
       })
    EXPECT_TRUE(Has(out, line)) << line << "\nin:\n" << out;
  EXPECT_FALSE(Has(out, "Other_")) << out;

  // The head office took a later package in, and the receive that brought
  // its result log retired both packages; the counter is back to 0.
  WriteFile(site.Home + "INet/Log/Masterissa_01.log",
            "Zuze01_20260301220000.Zip  ERROR01\nZuze01_20260303220000.Zip  Ok\n");
  for (const char* name : {"Zuze01_20260301220000.Zip", "Zuze01_20260303220000.Zip"})
    std::remove((site.Home + "FtpSiirto/" + name).c_str());
  site.Set("ClientRecvRetries", "0", "RunState.ini", "RunState");
  EXPECT_EQ(0, site.Status("04.03.2026 08:00:00", out)) << out;
  EXPECT_TRUE(Has(out, "\nNothing needs attention.\n")) << out;
  EXPECT_TRUE(Has(out, "receive  on, daily after 23:30; last success 02.03.2026; retries 0 of 3: waiting until 04.03.2026 23:30"))
      << out;

  // Days later without a successful receive.
  EXPECT_EQ(1, site.Status("07.03.2026 08:00:00", out)) << out;
  EXPECT_TRUE(Has(out, "  - the receive has not succeeded since 02.03.2026 (5 days)")) << out;
  EXPECT_EQ(0, site.Status("07.03.2026 08:00:00", out, " --stale-days 5")) << out;

  // A date that is no date reads as never run; a package the head office
  // has decided on is still waiting: both need someone to look.
  site.Set("RecvDate", "eilen");
  WriteFile(site.Home + "FtpSiirto/Zuze01_20260302220000.Zip", "");
  EXPECT_EQ(1, site.Status("07.03.2026 08:00:00", out, " --stale-days 5")) << out;
  for (const char* line : {
           "receive  on, daily after 23:30; last success never; retries 0 of 3: waiting until 07.03.2026 23:30\n",
           "Sorvel.ini: Asetus [Internet] RecvDate=\"eilen\" ei kelpaa (",
           "  - package Zuze01_20260302220000.Zip in FtpSiirtoDir was not taken back at the last receive",
       })
    EXPECT_TRUE(Has(out, line)) << line << "\nin:\n" << out;
}

TEST(AdminStatus, HeadOfficeListsEverySiteAndFlagsStaleAndFailedOnes) {
  TInstall office("master", "01");
  office.Set("SendDate", "03.03.2026");
  office.Set("RecvDate", "03.03.2026");
  office.Set("MasterFile", "Master_20260303230000.Zip");
  const std::string log = office.Home + "INet/Log/";
  WriteFile(log + "Masterissa_01.log", "Zuze01_20260302220000.Zip  Ok\nZuze01_20260303220000.Zip  Ok\n");
  WriteFile(log + "Masterissa_02.log", "Zuze02_20260227220000.Zip  Ok\n");
  WriteFile(log + "Masterissa_03.log", "Zuze03_20260302220000.Zip  Ok\nZuze03_20260303220000.Zip  ERROR01\n");
  WriteFile(log + "Masterissa_04.log", "Zuze04_20260302220000.Zip  ERROR01\nZuze04_20260303220000.Zip  ERROR02\n");
  WriteFile(log + "Masterissa_05.log", "Zuze05_20260302220000.Zip  ERROR01\nZuze05_20260303220000.Zip  Ok\n");
  WriteFile(office.Home + "INet/Tmp/Zuze03_20260303220000.Zip", "");

  std::string out;
  EXPECT_EQ(1, office.Status("04.03.2026 08:00:00", out)) << out;
  for (const char* line : {
           "role      head office",
           "(MasterFile): Master_20260303230000.Zip, made 03.03.2026 23:00:00, 0.4 days ago",
           "  01     Zuze01_20260303220000.Zip        Ok        03.03.2026 22:00:00  0.4\n",
           "  02     Zuze02_20260227220000.Zip        Ok        27.02.2026 22:00:00  4.4\n",
           "  03     Zuze03_20260303220000.Zip        ERROR01   03.03.2026 22:00:00  0.4\n",
           "  - site 02 has sent nothing for 4.4 days (last Zuze02_20260227220000.Zip)",
           "  - site 03: package Zuze03_20260303220000.Zip could not be unpacked (ERROR01)",
           "by the last receive (not taken in; the next receive deletes them):\n  Zuze03_20260303220000.Zip\n",
       })
    EXPECT_TRUE(Has(out, line)) << line << "\nin:\n" << out;
  // A package taken in after the failed one (also one whose backup copy
  // failed) brings its rows.
  EXPECT_FALSE(Has(out, "site 04")) << out;
  EXPECT_FALSE(Has(out, "site 05")) << out;
  EXPECT_FALSE(Has(out, "site 01")) << out;

  EXPECT_EQ(1, office.Status("04.03.2026 08:00:00", out, " --stale-days 5")) << out;
  EXPECT_FALSE(Has(out, "site 02 has sent nothing")) << out;

  std::remove((log + "Masterissa_03.log").c_str());
  EXPECT_EQ(0, office.Status("04.03.2026 08:00:00", out, " --stale-days 5")) << out;
}

TEST(AdminStatus, FlagsSettingsOthersCanReadAnEmptyPackagePasswordAndTheOldCipher) {
  TInstall site("client", "01");
  site.Set("SendDate", "03.03.2026");
  site.Set("RecvDate", "03.03.2026");
  const std::string ini = site.Home + "Sorvel.ini";
  const std::string readable = "  - " + ini + " can be read by other users (mode 0644) and holds the passwords";
  const std::string empty = "  - ZipPassword is empty: the packages go to the server unencrypted";
  const std::string old = "  - the packages use the traditional ZIP cipher (ZipEncryption=ZipCrypto)";
  struct {
    const char* Change;
    int Exit;
    std::vector<std::string> Present, Absent;
  } cases[] = {
      {"", 0, {}, {readable, empty, old}},
      {"chmod", 1, {readable}, {empty, old}},
      {"empty-password", 1, {empty}, {readable, old}},
      {"traditional", 1, {old}, {readable, empty}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Change);
    const std::string change = c.Change;
    site.Set("ZipEncryption", change == "traditional" ? "ZipCrypto" : "AES256");
    site.Set("ZipPassword", change == "empty-password" ? "" : "RSSsN4829R");
    if (change == "chmod") ::chmod(ini.c_str(), 0644);
    std::string out;
    EXPECT_EQ(c.Exit, site.Status("04.03.2026 08:00:00", out)) << out;
    for (const std::string& line : c.Present) EXPECT_TRUE(Has(out, line)) << line << "\nin:\n" << out;
    for (const std::string& line : c.Absent) EXPECT_FALSE(Has(out, line)) << line << "\nin:\n" << out;
  }
}
