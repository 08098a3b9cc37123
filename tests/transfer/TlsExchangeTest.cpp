// A head office and two sites exchanging their rows over FTP with TLS, on a
// vsftpd and a pure-ftpd that demand it for the login and every data
// connection (vsftpd also the session's reuse); and a
// site whose server shows a certificate it does not trust, which must leave
// everything as it was.
#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

struct TTlsCase {
  const char* Name;
  bool Pure;  // pure-ftpd, else vsftpd
  bool Implicit;
  bool Passive;
};

class TlsExchange : public ::testing::TestWithParam<TTlsCase> {
 protected:
  void SetUp() override {
    if (!TVsftpdServer::Available()) GTEST_SKIP() << "vsftpd needs root";
    EnsureQtApp();
    Cert = MakeTestCertificate(Keys.Path());
    const Lines dirs{"Sorvel", "Backup", "Log"};
    if (GetParam().Pure) {
      if (!TPureFtpdTlsServer::Available()) GTEST_SKIP() << "pure-ftpd could not be unpacked into the build";
      Pure = std::make_unique<TPureFtpdTlsServer>(Root.Path(), dirs, Cert);
      Port = Pure->Port();
      User = TPureFtpdTlsServer::TlsUser;
      Password = TPureFtpdTlsServer::TlsPassword;
    } else {
      Server = std::make_unique<TVsftpdTlsServer>(Root.Path(), dirs, Cert, GetParam().Implicit);
      Port = Server->Port();
      User = TVsftpdTlsServer::TlsUser;
      Password = TVsftpdTlsServer::TlsPassword;
    }
  }

  // An installation that logs in with a password over TLS, trusting the
  // server's certificate by the CA file or by its fingerprint.
  TInstallation& Make(const std::string& name, const std::string& role, const std::string& client, bool byFingerprint) {
    auto inst = std::make_unique<TInstallation>(Work / name, role, client, Port, Clock);
    inst->Set("FtpUser", User);
    inst->Set("FtpPassWord", EncipherSetting(Password));
    inst->Set("FtpTls", GetParam().Implicit ? "Implicit" : "Explicit");
    inst->Set(byFingerprint ? "FtpTlsFingerprint" : "FtpTlsCaFile", byFingerprint ? Cert.Fingerprint : Cert.CertFile);
    inst->Set("FtpPassive", GetParam().Passive ? "Yes" : "No");
    inst->Start();
    TInstallation& ref = *inst;
    Installations.push_back(std::move(inst));
    return ref;
  }

  static void Expect(const Lines& log, const std::string& line) { EXPECT_TRUE(HasPrefix(log, line)) << Joined(log); }

  TTempDir Keys, Root, Work;
  TTestCertificate Cert;
  std::unique_ptr<TVsftpdTlsServer> Server;
  std::unique_ptr<TPureFtpdTlsServer> Pure;
  int Port = 0;
  std::string User, Password;
  TFixedClock Clock{Day(2, 8)};
  std::vector<std::unique_ptr<TInstallation>> Installations;
};

TEST_P(TlsExchange, FullCycle) {
  TInstallation& m = Make("master", "master", "01", false);
  TInstallation& s1 = Make("site1", "client", "01", true);
  TInstallation& s2 = Make("site2", "client", "02", false);
  Clock.Set(Day(2, 20));
  s1.ChangeCustomer("A1", "Aino", Day(2, 20, 0));
  s1.Visit("K1", "HALLI", Day(2, 20, 10));
  s2.ChangeCustomer("A2", "Bertta", Day(2, 20, 1));
  s2.Visit("K9", "SALI", Day(2, 20, 12));

  Clock.Set(Day(2, 22, 0, 1));
  Expect(s1.Send(), "Siirto suoritettu onnistuneesti!");
  Clock.Set(Day(2, 22, 0, 2));
  Expect(s2.Send(), "Siirto suoritettu onnistuneesti!");
  Clock.Set(Day(2, 22, 30, 1));
  Expect(m.Receive(), "Siirto valmis : ");
  Clock.Set(Day(2, 23, 0, 1));
  Expect(m.Send(), "Siirto suoritettu onnistuneesti!");
  Clock.Set(Day(2, 23, 30, 1));
  Expect(s1.Receive(), "Siirto valmis : ");
  Clock.Set(Day(2, 23, 30, 2));
  Expect(s2.Receive(), "Siirto valmis : ");

  const Lines customers{"A1|Aino|02.03.2026 20:00:00", "A2|Bertta|02.03.2026 20:01:00"};
  const std::vector<std::string> fields{"AsNo", "AsNimi", "AikaLeima"};
  EXPECT_EQ(customers, m.Rows("Asiakas", "AsNo", fields));
  EXPECT_EQ(customers, s1.Rows("Asiakas", "AsNo", fields));
  EXPECT_EQ(customers, s2.Rows("Asiakas", "AsNo", fields));
  EXPECT_EQ(2, m.Count("TILASTO"));
  EXPECT_TRUE(ListDir(s1.Dir + "FtpSiirto").empty()) << "the head office confirmed the package";
  EXPECT_EQ((Lines{"Master_20260302230001.Zip"}), ListDir(Root / "Sorvel"));
}

// An untrusted certificate ends every step before the login: the site's
// send fails, nothing reaches the server and the rows wait for the next run.
TEST_P(TlsExchange, UntrustedServerTakesNothing) {
  TInstallation& s1 = Make("site1", "client", "01", true);
  std::string other = Cert.Fingerprint;
  other[0] = other[0] == 'A' ? 'B' : 'A';
  s1.Set("FtpTlsFingerprint", other);
  s1.Start();
  Clock.Set(Day(2, 20));
  s1.ChangeCustomer("A1", "Aino", Day(2, 20, 0));
  Clock.Set(Day(2, 22, 0, 1));
  Lines log = s1.Send();
  EXPECT_FALSE(Has(log, "Siirto suoritettu onnistuneesti!")) << Joined(log);
  EXPECT_TRUE(HasPrefix(log, "500 TLS certificate does not match the pinned fingerprint: CN=127.0.0.1")) << Joined(log);
  EXPECT_TRUE(HasPrefix(log, "FTP-siirto ei onnistunut: ")) << Joined(log);
  EXPECT_TRUE(ListDir(Root / "Sorvel").empty());
  EXPECT_TRUE(ListDir(Root / "Backup").empty());
  EXPECT_EQ(1, s1.Count("ZNetAsi")) << "the exchange table keeps its rows";
}

INSTANTIATE_TEST_SUITE_P(Modes, TlsExchange,
                         ::testing::Values(TTlsCase{"VsftpdExplicitActive", false, false, false},
                                           TTlsCase{"VsftpdImplicitPassive", false, true, true},
                                           TTlsCase{"PureFtpdExplicitActive", true, false, false},
                                           TTlsCase{"PureFtpdExplicitPassive", true, false, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace trelvo::test
