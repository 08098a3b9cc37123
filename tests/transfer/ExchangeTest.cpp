// A head office and two sites exchanging their rows through a real vsftpd,
// run by run as the scheduler and the buttons start them.
#include <sys/stat.h>

#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

class Exchange : public TwoSitesFixture {
 protected:

  // A day's changes: the same card changed at both sites, site 2 later.
  void DayOfChanges(int day) {
    Clock.Set(Day(day, 20));
    S1->ChangeCustomer("A1", "Aino", Day(day, 20, 0));
    S1->ChangeCard("K1", "1001", "A1", Day(day, 20, 5));
    S1->ChangeCardPlace("K1", "HALLI", 10, Day(day, 20, 6));
    S1->Visit("K1", "HALLI", Day(day, 20, 10));
    S1->Visit("K1", "HALLI", Day(day, 20, 11));
    S2->ChangeCustomer("A2", "Bertta", Day(day, 20, 1));
    S2->ChangeCard("K1", "2002", "A2", Day(day, 20, 30));
    S2->Visit("K9", "SALI", Day(day, 20, 12));
  }

  void SendAt(TInstallation& i, TDateTime at, const char* expect = "Siirto suoritettu onnistuneesti!") {
    Clock.Set(at);
    Lines log = i.Send();
    EXPECT_TRUE(Has(log, expect)) << Joined(log);
  }
  void ReceiveAt(TInstallation& i, TDateTime at, const char* expect = "Siirto valmis : ") {
    Clock.Set(at);
    Lines log = i.Receive();
    EXPECT_TRUE(HasPrefix(log, expect)) << Joined(log);
  }
  void Cycle(int day) {
    SendAt(*S1, Day(day, 22, 0, 1));
    RestOfCycle(day);
  }
  void RestOfCycle(int day) {
    SendAt(*S2, Day(day, 22, 0, 2));
    ReceiveAt(*M, Day(day, 22, 30, 1));
    SendAt(*M, Day(day, 23, 0, 1));
    ReceiveAt(*S1, Day(day, 23, 30, 1));
    ReceiveAt(*S2, Day(day, 23, 30, 2));
  }

  void ExpectSameMasterTables() {
    for (TInstallation* site : {S1, S2}) {
      EXPECT_EQ(M->Rows("Asiakas", "AsNo", kCustomerFields), site->Rows("Asiakas", "AsNo", kCustomerFields));
      EXPECT_EQ(M->Rows("KORTTI", "KorttiLyh", kCardFields), site->Rows("KORTTI", "KorttiLyh", kCardFields));
      EXPECT_EQ(M->Rows("KORTTIPA", "KorttiLyh;Paikka", kPlaceFields),
                site->Rows("KORTTIPA", "KorttiLyh;Paikka", kPlaceFields));
    }
  }

  std::string ResultLog(TInstallation& i, const std::string& client) {
    return ReadFile(i.Dir + "INet/Log/Masterissa_" + client + ".log");
  }

};

TEST_F(Exchange, FullCycleDeliversEverySiteChangeOnce) {
  DayOfChanges(2);
  Cycle(2);

  // The head office: newest stamp wins for the card changed at both sites.
  EXPECT_EQ((Lines{"A1|Aino|02.03.2026 20:00:00", "A2|Bertta|02.03.2026 20:01:00"}),
            M->Rows("Asiakas", "AsNo", kCustomerFields));
  EXPECT_EQ((Lines{"K1|2002|A2|02.03.2026 20:30:00"}), M->Rows("KORTTI", "KorttiLyh", kCardFields));
  EXPECT_EQ(3, M->Count("TILASTO"));
  EXPECT_EQ(0, M->Count("ZNetKo"));
  ExpectSameMasterTables();

  // The sites: packages confirmed and retired, exchange tables empty.
  for (auto [site, client] : {std::pair{S1, "01"}, std::pair{S2, "02"}}) {
    EXPECT_TRUE(ListDir(site->Dir + "FtpSiirto").empty());
    EXPECT_EQ((std::vector<std::string>{"Master_20260302230001.Log", "Zuze" + std::string(client) + "_2026030222000" +
                                                                         (site == S1 ? "1" : "2") + ".Zip"}),
              ListDir(site->Dir + "Backup"))
        << "the retired package and this receive's log; older logs went to the server";
    EXPECT_NE(std::string::npos, ResultLog(*site, client).find("  Ok")) << ResultLog(*site, client);
    for (const char* t : {"ZNetAsi", "ZNetKo", "ZNetKoPa", "ZNetTila"}) EXPECT_EQ(0, site->Count(t)) << t;
    EXPECT_EQ("Master_20260302230001.Zip", site->Core->Live.EdtMaster);
  }
  EXPECT_EQ(2, S1->Count("TILASTO")) << "a site keeps its own statistics";

  // The server: one master package; backups of both packages; run logs.
  EXPECT_EQ((std::vector<std::string>{"Master_20260302230001.Zip"}), ServerFiles("Sorvel"));
  EXPECT_EQ(2u, Matching(ServerFiles("Backup"), "Zuze").size());
  auto logs = ServerFiles("Log");
  EXPECT_EQ(1u, Matching(logs, "MLogs_").size());
  EXPECT_EQ(1u, Matching(logs, "CLogs01_").size());
  EXPECT_EQ(1u, Matching(logs, "CLogs02_").size());
  // The head office keeps the packages; its receive's log went to the server.
  EXPECT_EQ((std::vector<std::string>{"Master_20260302230001.Log", "Zuze01_20260302220001.Zip",
                                      "Zuze02_20260302220002.Zip"}),
            ListDir(M->Dir + "Backup"));
}

TEST_F(Exchange, ChangeAfterSendSurvivesTheMasterTablesAndGoesOutNext) {
  DayOfChanges(2);
  Cycle(2);
  // Day 3: the head office collects before site 1 sends, so site 1's package
  // is not in the evening's master package.
  Clock.Set(Day(3, 21));
  S1->ChangeCard("K1", "1111", "A1", Day(3, 21));
  SendAt(*S2, Day(3, 22, 0, 2));
  ReceiveAt(*M, Day(3, 22, 30, 1));
  SendAt(*S1, Day(3, 22, 40));
  Clock.Set(Day(3, 22, 45));
  S1->ChangeCard("K2", "3003", "A1", Day(3, 22, 45));
  SendAt(*M, Day(3, 23, 0, 1));
  Clock.Set(Day(3, 23, 30, 1));
  Lines log = S1->Receive();
  // Not yet decided at the head office: kept for the next check, its rows
  // shown but not sent again.
  EXPECT_TRUE(Has(log, "Odottaa Masterin käsittelyä: Zuze01_20260303224000.Zip")) << Joined(log);
  EXPECT_EQ((Lines{"Zuze01_20260303224000.Zip"}), ListDir(S1->Dir + "FtpSiirto"));
  // Site 1's own K1 and K2, though neither is in the master tables.
  EXPECT_EQ((Lines{"K1|1111|A1|03.03.2026 21:00:00", "K2|3003|A1|03.03.2026 22:45:00"}),
            S1->Rows("KORTTI", "KorttiLyh", kCardFields));
  EXPECT_EQ((Lines{"K2|3003|A1|03.03.2026 22:45:00"}), S1->Rows("ZNetKo", "AikaLeima", kCardFields))
      << "only the change made after the send waits to go out";

  // Next evening everything reaches the head office and the other site.
  Cycle(4);
  EXPECT_EQ((Lines{"K1|1111|A1|03.03.2026 21:00:00", "K2|3003|A1|03.03.2026 22:45:00"}),
            M->Rows("KORTTI", "KorttiLyh", kCardFields));
  ExpectSameMasterTables();
  EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty());
}

TEST_F(Exchange, RowWrittenDuringASendGoesOutWithTheNext) {
  DayOfChanges(2);
  bool written = false;
  S1->View.OnProcessMessages = [&] {
    if (written || !Has(S1->Core->MemoLog.Lines(), "FTP-Siirto alkaa...")) return;
    written = true;
    S1->ChangeCard("K7", "7007", "A1", Day(2, 22, 0, 30));
  };
  SendAt(*S1, Day(2, 22, 0, 1));
  S1->View.OnProcessMessages = nullptr;
  ASSERT_TRUE(written);
  EXPECT_EQ((Lines{"K7|7007|A1|02.03.2026 22:00:30"}), S1->Rows("ZNetKo", "AikaLeima", kCardFields));
  EXPECT_EQ(0, S1->Count("ZNetTila")) << "what was sent is gone";
  RestOfCycle(2);
  Cycle(3);
  EXPECT_EQ(1u, M->Rows("KORTTI", "KorttiLyh", kCardFields).size() - 1) << "K1 and K7";
  EXPECT_EQ("K7|7007|A1|02.03.2026 22:00:30", M->Rows("KORTTI", "KorttiLyh", kCardFields).back());
  EXPECT_EQ(3, M->Count("TILASTO")) << "no visit counted twice";
}

TEST_F(Exchange, DamagedPackageIsErrorOneAndSentAgain) {
  DayOfChanges(2);
  SendAt(*S1, Day(2, 22, 0, 1));
  SendAt(*S2, Day(2, 22, 0, 2));
  WriteFile(Root / "Sorvel/Zuze02_20260302220002.Zip", "not a package");
  Clock.Set(Day(2, 22, 30, 1));
  Lines log = M->Receive();
  EXPECT_TRUE(Has(log, "Paketin purku ei onnistunut!")) << Joined(log);
  EXPECT_TRUE(M->Transfer->LastRunSucceeded()) << "the other package was processed";
  EXPECT_EQ("Zuze01_20260302220001.Zip  Ok\n", ResultLog(*M, "01"));
  EXPECT_EQ("Zuze02_20260302220002.Zip  ERROR01\n", ResultLog(*M, "02"));
  SendAt(*M, Day(2, 23, 0, 1));
  ReceiveAt(*S2, Day(2, 23, 30, 2));
  EXPECT_GT(S2->Count("ZNetKo"), 0) << "the rows are back for the next send";
  Cycle(3);
  EXPECT_EQ((Lines{"K1|2002|A2|02.03.2026 20:30:00"}), M->Rows("KORTTI", "KorttiLyh", kCardFields));
  EXPECT_EQ(3, M->Count("TILASTO"));
}

TEST_F(Exchange, PackageWithoutItsTablesIsNotTakenIn) {
  DayOfChanges(2);
  SendAt(*S1, Day(2, 22, 0, 1));
  // An empty file where the package should be: nothing in it may count as
  // merged, or site 1 would retire rows the head office never saw.
  WriteFile(Root / "Sorvel/Zuze01_20260302220001.Zip", "");
  ReceiveAt(*M, Day(2, 22, 30, 1));
  EXPECT_EQ("Zuze01_20260302220001.Zip  ERROR01\n", ResultLog(*M, "01"));
  EXPECT_TRUE(Has(M->Core->MemoLog.Lines(), "Virhe : Paketista puuttuu ZNetAsi.Nx1")) << Joined(M->Core->MemoLog.Lines());
  EXPECT_EQ(0, M->Count("TILASTO"));
  SendAt(*M, Day(2, 23, 0, 1));
  ReceiveAt(*S1, Day(2, 23, 30, 1));
  EXPECT_EQ(2, S1->Count("ZNetTila")) << "put back to be sent again";
}

TEST_F(Exchange, FailedBackupCopyIsErrorTwoAndConfirms) {
  DayOfChanges(2);
  SendAt(*S1, Day(2, 22, 0, 1));
  // A directory of the package's name in the head office's BackupDir makes
  // the backup copy fail.
  MakeDir(M->Dir + "Backup/Zuze01_20260302220001.Zip");
  Clock.Set(Day(2, 22, 30, 1));
  Lines log = M->Receive();
  EXPECT_TRUE(Has(log, "Siirto varmistushakemistoon ei onnistu (Zuze01_20260302220001.Zip)!")) << Joined(log);
  EXPECT_EQ("Zuze01_20260302220001.Zip  ERROR02\n", ResultLog(*M, "01"));
  EXPECT_EQ(2, M->Count("TILASTO")) << "the rows were merged";
  EXPECT_FALSE(M->Transfer->LastRunSucceeded()) << "no package fully processed, and the last one failed";
  SendAt(*M, Day(2, 23, 0, 1));
  ReceiveAt(*S1, Day(2, 23, 30, 1));
  EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty()) << "ERROR02 confirms";
}

TEST_F(Exchange, SameMasterPackageTwiceIsRefused) {
  DayOfChanges(2);
  Cycle(2);
  Clock.Set(Day(3, 23, 30, 1));
  Lines log = S1->Receive();
  EXPECT_TRUE(Has(log, "Saatiin takaisin jo aikaisemmin siirretty Master-kanta!")) << Joined(log);
  EXPECT_TRUE(Has(log, "Edellinen : Master_20260302230001.Zip"));
  EXPECT_TRUE(Has(log, "Siirretty : Master_20260302230001.Zip"));
  EXPECT_TRUE(HasPrefix(log, "Siirto EI onnistunut : "));
  EXPECT_EQ(1, S1->Core->ClientRecvRetries);
}

TEST_F(Exchange, ServerDownBlocksAfterRetriesAndTheNextDayDelivers) {
  DayOfChanges(2);
  for (TInstallation* i : {M, S1, S2}) i->Set("ReTryMaxCount", "3");
  const int port = Server->Port();
  Server.reset();  // stopped for the whole evening
  int sendRuns = 0;
  for (int minute = 1; minute <= 12; ++minute) {
    Clock.Set(Day(2, 22, minute));
    Lines log = S1->Tick();
    sendRuns += HasPrefix(log, "Siirto alkaa : ");
  }
  EXPECT_EQ(3, sendRuns);
  EXPECT_EQ(3, S1->Core->ClientSendRetries);
  EXPECT_GT(S1->Count("ZNetKo"), 0) << "nothing lost";
  EXPECT_EQ("01.01.2000", DateToStr(S1->Core->Live.DateSend));

  // Next day, before the send time, the counters are set back.
  Clock.Set(Day(3, 8));
  S1->Tick();
  EXPECT_EQ(0, S1->Core->ClientSendRetries);

  Server = std::make_unique<TVsftpdServer>(Root.Path());
  for (TInstallation* i : {M, S1, S2}) {
    i->Set("FtpPort", std::to_string(Server->Port()));
    i->Core->LoadSettings();
  }
  (void)port;
  // The evening of day 3 on the schedule init wrote, by ticks alone.
  for (TDateTime t : {Day(3, 22, 1), Day(3, 22, 31), Day(3, 23, 1), Day(3, 23, 31)})
    for (TInstallation* i : {S1, S2, M}) {
      Clock.Set(t);
      i->Tick();
    }
  EXPECT_EQ((Lines{"K1|2002|A2|02.03.2026 20:30:00"}), M->Rows("KORTTI", "KorttiLyh", kCardFields));
  EXPECT_EQ(3, M->Count("TILASTO"));
  ExpectSameMasterTables();
}

TEST_F(Exchange, StatisticsPackageReachesTheSites) {
  for (TInstallation* i : {M, S1, S2}) {
    i->Set("MasterStatistics", "Tilastot");
    i->Core->LoadSettings();
  }
  DayOfChanges(2);
  Cycle(2);
  EXPECT_EQ(3, M->Count("TILASTO"));
  EXPECT_TRUE(FileExists(Root / "Sorvel/Tilastot.Zip"));
  Lines log = S1->Core->MemoLog.Lines();
  EXPECT_TRUE(Has(log, "Tilastopaketin purku onnistui.")) << Joined(log);
  EXPECT_EQ(3, S1->Count("TILASTO")) << "the head office's statistics replace the site's";
}

TEST_F(Exchange, TwoSendsInOneSecondGetTwoPackages) {
  DayOfChanges(2);
  Clock.Set(Day(2, 22, 0, 1));
  S1->Send();
  S1->ChangeCard("K8", "8008", "A1", Day(2, 22, 0, 1));
  S1->Send();
  EXPECT_EQ((Lines{"Zuze01_20260302220001.Zip", "Zuze01_20260302220002.Zip"}), ListDir(S1->Dir + "FtpSiirto"));
  EXPECT_EQ(2u, Matching(ServerFiles("Sorvel"), "Zuze01_").size());
}

TEST_F(Exchange, NothingToSendSucceedsWithALogOfItsOwn) {
  Clock.Set(Day(2, 22, 1));
  Lines first = S1->Send();
  EXPECT_TRUE(Has(first, "Siirto suoritettu onnistuneesti!")) << Joined(first);
  EXPECT_FALSE(HasPrefix(first, "FTP-Siirto alkaa"));
  S1->Send();  // the same second: still two logs
  auto logs = Matching(ListDir(S1->Dir + "Backup"), "Zuze01_");
  EXPECT_EQ(2u, logs.size());
  EXPECT_EQ("02.03.2026", DateToStr(S1->Core->Live.DateSend));
  EXPECT_TRUE(ServerFiles("Sorvel").empty());
}

TEST_F(Exchange, MissingBackupDirFailsTheRunAndTouchesNothing) {
  DayOfChanges(2);
  RunCommand("rm -rf '" + S1->Dir + "Backup'");
  S1->Core->LoadSettings();
  Clock.Set(Day(2, 22, 1));
  Lines log = S1->Send();
  EXPECT_TRUE(Has(log, "Siirtohakemisto puuttuu tai sitä ei ole asetettu: [Internet] BackupDir")) << Joined(log);
  EXPECT_TRUE(Has(log, "Siirto ei onnistunut!"));
  EXPECT_EQ(1, S1->Core->ClientSendRetries);
  EXPECT_EQ(1, S1->Count("ZNetKo"));
  EXPECT_TRUE(ServerFiles("Sorvel").empty());
  EXPECT_TRUE(ListDir(S1->Dir + "INet/Tmp").empty());
  EXPECT_EQ(1u, Matching(ListDir(S1->Dir + "Log"), "Zuze01_").size()) << "the log went to the log directory";
}

}  // namespace
}  // namespace trelvo::test
