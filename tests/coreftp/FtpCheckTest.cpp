// trelvo-admin ftp-check against vsftpd: an operator's check of a site's
// FTP settings, good and bad.
#include <gtest/gtest.h>

#include <map>

#include "StepsFixture.h"
#include "core/Settings.h"

namespace trelvo::test {
namespace {

class FtpCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TVsftpdServer::Available()) GTEST_SKIP() << "vsftpd needs root";
    Server = std::make_unique<TVsftpdServer>(Root.Path(), Lines{"Sorvel", "Backup", "Log"});
    WriteFile(Root / "Sorvel/Zuze01_20260101220000.Zip", "x");
    WriteFile(Root / "Sorvel/Master_20260101230000.Zip", "y");
  }
  // Runs the tool on an installation whose [Internet] section holds the
  // connection settings, with the keys of changes in place of those given
  // here; stdout and stderr apart.
  int Check(const std::map<std::string, std::string>& changes, std::string* out, std::string* err) {
    std::map<std::string, std::string> keys = {{"FtpHost", "127.0.0.1"},
                                               {"FtpPort", std::to_string(Server ? Server->Port() : FreeLoopbackPort())},
                                               {"FtpUser", "anonymous"},
                                               {"FtpPassWord", EncipherSetting("site@example.com")}};
    for (const auto& [key, value] : changes) keys[key] = value;
    std::string ini = "[Internet]\n";
    for (const auto& [key, value] : keys) ini += key + "=" + value + "\n";
    WriteFile(Home / "Sorvel.ini", ini);
    int rc = RunCommand(BinaryDir() + "/tools/trelvo-admin ftp-check --home " + Home.Path() + " 2>" + Home / "err", out);
    *err = ReadFile(Home / "err");
    return rc;
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

  TTempDir Root, Home;
  std::unique_ptr<TVsftpdServer> Server;
};

TEST_F(FtpCheck, GoodSettingsInBothModes) {
  for (const char* passive : {"No", "Yes"}) {
    SCOPED_TRACE(passive);
    std::string out, err;
    EXPECT_EQ(Check({{"FtpPassive", passive}}, &out, &err), 0) << out << err;
    EXPECT_EQ(err, "");
    EXPECT_TRUE(Has(out, std::string("FTP-yhteys anonymous@127.0.0.1:") + std::to_string(Server->Port()) +
                             (passive[0] == 'Y' ? ", passiivinen tila\n" : ", aktiivinen tila\n")))
        << out;
    EXPECT_TRUE(Has(out, "FtpHostDir /Sorvel: entered (250 ")) << out;
    EXPECT_TRUE(Has(out, "FtpHostBackupDir /Backup: entered (250 ")) << out;
    EXPECT_TRUE(Has(out, "FtpHostLogDir /Log: entered (250 ")) << out;
    EXPECT_TRUE(Has(out, "FtpHostDir /Sorvel lists 2 names:\n  Master_20260101230000.Zip\n  Zuze01_20260101220000.Zip\n"))
        << out;
    EXPECT_FALSE(Has(out, "site@example.com")) << "the password is not shown";
  }
}

TEST_F(FtpCheck, BadSettingsSayWhatFailed) {
  std::string out, err;
  // A relative directory is entered from the login directory, as the steps do.
  EXPECT_EQ(Check({{"FtpHostDir", "Sorvel"}, {"FtpHostBackupDir", "/Backups"}, {"FtpHostLogDir", "Log"}}, &out, &err), 1);
  EXPECT_TRUE(Has(out, "FtpHostDir Sorvel: entered")) << out;
  EXPECT_TRUE(Has(out, "FtpHostBackupDir /Backups: FAILED: 550 Failed to change directory.\n")) << out;
  EXPECT_TRUE(Has(out, "FtpHostLogDir Log: entered")) << out;
  EXPECT_TRUE(Has(out, "FTP-hakemisto /Backups ei onnistu: 550 Failed to change directory.\n")) << out;
  EXPECT_EQ(err, "trelvo-admin ftp-check: cannot enter FtpHostBackupDir /Backups: 550 Failed to change directory.\n");

  EXPECT_EQ(Check({{"FtpUser", "site01"}}, &out, &err), 1);
  EXPECT_TRUE(Has(out, "FTP-yhteys ei onnistunut!\n530 This FTP server is anonymous only.\n")) << out;
  EXPECT_TRUE(Has(out, "FtpHostDir /Sorvel: not checked\n")) << out;
  EXPECT_EQ(err, "trelvo-admin ftp-check: cannot log in to 127.0.0.1:" + std::to_string(Server->Port()) +
                     " as site01: 530 This FTP server is anonymous only.\n");

  Server.reset();
  EXPECT_EQ(Check({}, &out, &err), 1);
  EXPECT_TRUE(Has(err, "(Winsock error #10061)")) << err;
}

// With TLS the check shows what the handshake agreed on; without trust it
// names the certificate, so the operator can pin its fingerprint.
TEST_F(FtpCheck, TlsShowsTheCertificateToPin) {
  TTempDir keys, tlsRoot;
  TTestCertificate cert = MakeTestCertificate(keys.Path());
  TVsftpdTlsServer tls(tlsRoot.Path(), Lines{"Sorvel", "Backup", "Log"}, cert, false);
  std::map<std::string, std::string> keysOf = {{"FtpPort", std::to_string(tls.Port())},
                                               {"FtpUser", TVsftpdTlsServer::TlsUser},
                                               {"FtpPassWord", EncipherSetting(TVsftpdTlsServer::TlsPassword)},
                                               {"FtpTls", "Explicit"}};
  std::string out, err;
  EXPECT_EQ(Check(keysOf, &out, &err), 1);
  EXPECT_TRUE(Has(err, "TLS certificate not trusted (self-signed certificate): CN=127.0.0.1,O=Trelvo test, SHA-256 " +
                           cert.Fingerprint))
      << err;

  keysOf["FtpTlsFingerprint"] = cert.Fingerprint;
  EXPECT_EQ(Check(keysOf, &out, &err), 0) << out << err;
  EXPECT_TRUE(Has(out, "TLS TLSv1.3, cipher TLS_")) << out;
  EXPECT_TRUE(Has(out, "certificate CN=127.0.0.1,O=Trelvo test\n")) << out;
  EXPECT_TRUE(Has(out, "SHA-256 fingerprint " + cert.Fingerprint + "\n")) << out;
  EXPECT_TRUE(Has(out, "FtpHostDir /Sorvel: entered (250 ")) << out;

  keysOf["FtpTls"] = "Yes";
  EXPECT_EQ(Check(keysOf, &out, &err), 1);
  EXPECT_TRUE(Has(err, "FtpTls=Yes in Sorvel.ini: use No, Explicit or Implicit")) << err;
}

}  // namespace
}  // namespace trelvo::test
