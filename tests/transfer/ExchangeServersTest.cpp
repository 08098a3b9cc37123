// The whole exchange of a head office and two sites through each of the
// real servers a head office may run, with a password login (vsftpd:
// anonymous), over active and passive data connections.
#include "ExchangeFixture.h"

namespace trelvo::test {
namespace {

class ExchangeServers : public TwoSitesFixture,
                        public ::testing::WithParamInterface<std::tuple<TFtpServerKind, bool>> {
 protected:
  TFtpServerKind ServerKind() const override { return std::get<0>(GetParam()); }
  void SetUp() override {
    TwoSitesFixture::SetUp();
    if (IsSkipped()) return;
    for (TInstallation* i : {M, S1, S2}) {
      i->Set("FtpPassive", std::get<1>(GetParam()) ? "Yes" : "No");
      i->Start();
    }
  }
  void Run(TInstallation& i, bool send, TDateTime at) {
    Clock.Set(at);
    const Lines log = send ? i.Send() : i.Receive();
    EXPECT_TRUE(send ? Has(log, "Siirto suoritettu onnistuneesti!") : HasPrefix(log, "Siirto valmis : ")) << Joined(log);
  }
};

TEST_P(ExchangeServers, FullCycle) {
  Clock.Set(Day(2, 20));
  S1->ChangeCustomer("A1", "Aino", Day(2, 20, 0));
  S1->ChangeCard("K1", "1001", "A1", Day(2, 20, 5));
  S1->Visit("K1", "HALLI", Day(2, 20, 10));
  S2->ChangeCard("K1", "2002", "A1", Day(2, 20, 30));
  S2->Visit("K9", "SALI", Day(2, 20, 12));

  Run(*S1, true, Day(2, 22, 0, 1));
  Run(*S2, true, Day(2, 22, 0, 2));
  Run(*M, false, Day(2, 22, 30, 1));
  Run(*M, true, Day(2, 23, 0, 1));
  Run(*S1, false, Day(2, 23, 30, 1));
  Run(*S2, false, Day(2, 23, 30, 2));

  EXPECT_EQ(2, M->Count("TILASTO")) << "each visit once";
  const std::vector<std::string> card{"KorttiLyh", "KorttiNro", "AsNo"};
  EXPECT_EQ(M->Rows("KORTTI", "KorttiLyh", card), Lines{"K1|2002|A1"}) << "the later change wins";
  for (TInstallation* site : {S1, S2}) {
    EXPECT_EQ(site->Rows("KORTTI", "KorttiLyh", card), Lines{"K1|2002|A1"});
    EXPECT_EQ(site->Rows("Asiakas", "AsNo", {"AsNo", "AsNimi"}), Lines{"A1|Aino"});
    EXPECT_TRUE(ListDir(site->Dir + "FtpSiirto").empty()) << "both packages confirmed";
    EXPECT_EQ("Master_20260302230001.Zip", site->Core->Live.EdtMaster);
  }
  EXPECT_EQ(ListDir(Root / "Sorvel"), Lines{"Master_20260302230001.Zip"});
}

INSTANTIATE_TEST_SUITE_P(Servers, ExchangeServers,
                         ::testing::Combine(::testing::Values(TFtpServerKind::Vsftpd, TFtpServerKind::PyFtpdlib,
                                                              TFtpServerKind::PureFtpd, TFtpServerKind::Proftpd),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(ServerName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "Passive" : "Active");
                         });

}  // namespace
}  // namespace trelvo::test
