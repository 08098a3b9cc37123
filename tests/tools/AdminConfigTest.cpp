#include <gtest/gtest.h>

#include "TestSupport.h"
#include "core/Settings.h"

using namespace trelvo::test;

namespace {
std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }
}  // namespace

TEST(AdminConfig, FreshDirectoryPrintsTheDefaults) {
  TTempDir home;
  std::string out;
  ASSERT_EQ(RunCommand(Admin() + " config --home " + home.Path(), &out), 0);
  for (const char* line : {"[DataBase]\nAlias=SORVEL\nEngine=COM\nServerName=VELMORA\n", "Port=16000\n",
                           "[Internet]\nDir=\nAlias=INet\nMaster=No\n", "BackupDir=\nFtpSiirtoDir=\n",
                           "ZipPassword=***\nZipEncryption=ZipCrypto\n", "FtpPassWord=***\n", "RecvTime=22:30\nSendTime=22:00\n",
                           "MasterFile=Master_20000101120000.zip\n", "[Defaults]\nUseErrorLog=No\n",
                           "ClientPrefix=Zuze01\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;
}

TEST(AdminConfig, ShowsTheFileAndHidesPasswords) {
  TTempDir home;
  MakeDir(home / "inet");
  WriteFile(home / "Sorvel.ini", "[internet]\nmaster=yes\nDir=" + home / "inet" + "\nZipPassword=" +
                                     trelvo::EncipherSetting("topsecret") + "\n");
  setenv("TRELVO_HOME", home.Path().c_str(), 1);
  std::string out;
  ASSERT_EQ(RunCommand(Admin() + " config", &out), 0);
  unsetenv("TRELVO_HOME");
  EXPECT_NE(out.find("Master=Yes\n"), std::string::npos);
  EXPECT_NE(out.find("Dir=" + home / "inet/\n"), std::string::npos);
  EXPECT_EQ(out.find("topsecret"), std::string::npos);
}

// A date that is no date reads as never run: config shows the default
// instead of failing (status names the key).
TEST(AdminConfig, BadSettingReadsAsItsDefaultAndUsageErrorsExit2) {
  TTempDir home;
  WriteFile(home / "Sorvel.ini", "[Internet]\nSendDate=someday\n");
  std::string out;
  EXPECT_EQ(RunCommand(Admin() + " config --home " + home.Path() + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("SendDate=01.01.2000\n"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(Admin() + " config extra 2>/dev/null"), 2);
  EXPECT_EQ(RunCommand(Admin() + " no-such-command 2>/dev/null"), 2);
}

// init writes the TLS settings, config shows them; a mode init does not know
// is a usage error, not a plain-text installation.
TEST(AdminConfig, InitTakesTheTlsSettings) {
  TTempDir home;
  std::string out;
  ASSERT_EQ(RunCommand(Admin() + " init " + home / "site" + " --role client --ftp-tls implicit --ftp-tls-ca /etc/ca.pem" +
                           " --ftp-tls-fingerprint AB:CD 2>&1",
                       &out),
            0)
      << out;
  ASSERT_EQ(RunCommand(Admin() + " config --home " + home / "site", &out), 0);
  EXPECT_NE(out.find("FtpTls=Implicit\nFtpTlsCaFile=/etc/ca.pem\nFtpTlsFingerprint=AB:CD\n"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(Admin() + " init " + home / "other" + " --role client --ftp-tls yes 2>&1", &out), 2) << out;
  EXPECT_NE(out.find("--ftp-tls needs explicit or implicit"), std::string::npos) << out;
}
