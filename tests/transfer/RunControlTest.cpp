// The scheduler's rules and the run control against the clock, at a site
// whose FTP server is not there: sends with nothing to send succeed, every
// receive fails at once.
#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

class TTitleCloser : public TProgramCloser {
 public:
  bool CloseWindowByTitle(const std::string& title) override { return title == "SORVEL"; }
};

class RunControl : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }
  TTempDir Work;
  TFixedClock Clock{Day(2, 8)};
  // Nothing listens on this port.
  TInstallation Site{Work / "site", "client", "01", FreeLoopbackPort(), Clock};
  TTrelvoCore& Core = *Site.Core;
  TTransfer& T = *Site.Transfer;

  bool Ran(const std::string& heading) { return Has(Site.View.All, heading); }
  void TickAt(TDateTime at) {
    Site.View.All.clear();
    Clock.Set(at);
    T.TimerRunTimer();
  }
  static constexpr const char* kReceiveHeading = "Haetaan internetistä master-kanta...";
};

TEST_F(RunControl, DueOnlyAfterItsTimeToTheSecond) {
  // init's schedule: send 22:00, receive 23:30.
  TickAt(Day(2, 22, 0, 0));
  EXPECT_FALSE(Ran("Client numero: 01"));
  TickAt(Day(2, 22, 0, 1));
  EXPECT_TRUE(Ran("Siirto suoritettu onnistuneesti!")) << Joined(Site.View.All);
  EXPECT_EQ("02.03.2026", DateToStr(Core.Live.DateSend));
  TickAt(Day(2, 22, 5));
  EXPECT_FALSE(Ran("Client numero: 01")) << "once a day";
  TickAt(Day(2, 23, 30, 0));
  EXPECT_FALSE(Ran(kReceiveHeading));
  TickAt(Day(2, 23, 30, 1));
  EXPECT_TRUE(Ran(kReceiveHeading));
  EXPECT_EQ("02.03.2026 23:30:01", Site.View.Fields["EdtNyt"]);
}

TEST_F(RunControl, ReceiveBeforeSendInOneTickAndTheLogShowsTheSend) {
  TickAt(Day(3, 23, 31));
  const Lines& all = Site.View.All;
  auto at = [&](const std::string& line) { return std::find(all.begin(), all.end(), line) - all.begin(); };
  EXPECT_LT(at(kReceiveHeading), at("Siirto suoritettu onnistuneesti!"));
  EXPECT_FALSE(Has(Core.MemoLog.Lines(), kReceiveHeading));
  EXPECT_EQ(1, Core.ClientRecvRetries);
  EXPECT_EQ("1", Site.View.Fields["EdtRecvCount"]);
  EXPECT_EQ("0", Site.View.Fields["EdtSendCount"]);
}

TEST_F(RunControl, RetriesStopAtTheLimitAndResetBeforeTheTimeNextDay) {
  Core.Settings.ReTryMaxCount = 3;
  int runs = 0;
  for (int m = 31; m <= 40; ++m) {
    TickAt(Day(2, 23, m));
    runs += Ran(kReceiveHeading);
  }
  EXPECT_EQ(3, runs);
  EXPECT_EQ(3, Core.ClientRecvRetries);
  TickAt(Day(3, 23, 0));  // before 23:30 on a later day
  EXPECT_EQ(0, Core.ClientRecvRetries);
  EXPECT_FALSE(Ran(kReceiveHeading));
  TickAt(Day(3, 23, 31));
  EXPECT_TRUE(Ran(kReceiveHeading));
}

// The head office's own counters hold its runs to ReTryMaxCount as well:
// with no server there, each direction fails at every tick.
TEST_F(RunControl, HeadOfficeRetriesStopAtTheLimitInBothDirections) {
  TInstallation office{Work / "office", "master", "master", FreeLoopbackPort(), Clock};
  TTrelvoCore& core = *office.Core;
  core.Settings.ReTryMaxCount = 3;
  struct TCase {
    const char* Name;
    int TTrelvoCore::*Retries;
    int Hour, FirstMinute;  // init's schedule: receive 22:30, send 23:00
  };
  for (const TCase& c : {TCase{"receive", &TTrelvoCore::MasterRecvRetries, 22, 31},
                         TCase{"send", &TTrelvoCore::MasterSendRetries, 23, 1}}) {
    SCOPED_TRACE(c.Name);
    // Only the direction under test is due.
    if (c.Retries == &TTrelvoCore::MasterSendRetries) core.Live.DateRecv = Day(2, 0);
    int runs = 0;
    for (int m = c.FirstMinute; m < c.FirstMinute + 10; ++m) {
      office.View.All.clear();
      Clock.Set(Day(2, c.Hour, m));
      office.Transfer->TimerRunTimer();
      runs += Has(office.View.All, "Siirto ei onnistunut!");
    }
    EXPECT_EQ(3, runs) << Joined(office.View.All);
    EXPECT_EQ(3, core.*c.Retries);
  }
}

TEST_F(RunControl, MidnightTimeNeverResetsAndAFutureDateSuppresses) {
  Core.Live.TimeRecv = 0;
  Core.ClientRecvRetries = 3;
  for (TDateTime t : {Day(3, 0, 0, 0), Day(3, 0, 0, 1), Day(4, 12)}) {
    TickAt(t);
    EXPECT_EQ(3, Core.ClientRecvRetries);
    EXPECT_FALSE(Ran(kReceiveHeading));
  }
  Core.Live.DateSend = EncodeDate(2026, 3, 10);
  TickAt(Day(10, 23));
  EXPECT_FALSE(Ran("Client numero: 01"));
  TickAt(Day(11, 22, 1));
  EXPECT_TRUE(Ran("Siirto suoritettu onnistuneesti!"));
}

// A last-success date someone mistyped reads as never run: the start goes
// on, the direction is due at its time, and its run names the key.
TEST_F(RunControl, DateThatIsNoDateIsNeverRunAndTheSchedulerGoesOn) {
  Site.Set("RecvDate", "2.3.26x");
  ASSERT_NO_THROW(Site.Start());
  TickAt(Day(2, 23, 29));
  EXPECT_FALSE(Ran(kReceiveHeading));
  TickAt(Day(2, 23, 31));
  EXPECT_TRUE(Ran(kReceiveHeading)) << Joined(Site.View.All);
  EXPECT_TRUE(HasPrefix(Site.View.All, "Asetus [Internet] RecvDate=\"2.3.26x\" ei kelpaa (")) << Joined(Site.View.All);
  EXPECT_TRUE(Site.Transfer->TimerRunEnabled());
}

TEST_F(RunControl, InactiveDirectionOnlyWritesItsLine) {
  Core.Live.ChkBoxSend = false;
  TickAt(Day(2, 22, 1));
  EXPECT_EQ((Lines{"Lähetys ei ole aktiivinen!"}), Core.MemoLog.Lines());
  EXPECT_EQ(0, Core.ClientSendRetries);
  Core.Live.ChkBoxRecv = false;
  T.SBReceiveClick();
  EXPECT_EQ((Lines{"Vastaanotto ei ole aktiivinen!"}), Core.MemoLog.Lines());
}

TEST_F(RunControl, ButtonsAndTimerOffDuringARunAndBackAfterOne) {
  Core.Settings.ReTryTime = 0;
  EXPECT_EQ(0, T.TimerRunInterval());
  Core.Settings.ReTryTime = 120;
  EXPECT_EQ(120000, T.TimerRunInterval());
  T.SetTimerRunEnabled(true);
  bool sawDisabled = false;
  Site.View.OnControls = [&] {
    sawDisabled = sawDisabled || (!T.SBSendEnabled() && !T.SBReceiveEnabled() && !T.TimerRunEnabled() && T.Running());
  };
  T.SBSendClick();
  EXPECT_TRUE(sawDisabled);
  EXPECT_TRUE(T.SBSendEnabled() && T.SBReceiveEnabled() && T.TimerRunEnabled());
  EXPECT_FALSE(T.Running());
}

TEST_F(RunControl, AnErrorEscapesOnlyAfterTheRestore) {
  // A receive that lists nothing saves its log as Master.Log; a directory of
  // that name, in BackupDir and in the log directory it falls back to, makes
  // the save fail.
  MakeDir(Site.Dir + "Backup/Master.Log");
  MakeDir(Site.Dir + "Log/Master.Log");
  T.SetTimerRunEnabled(true);
  EXPECT_THROW(T.SBReceiveClick(), std::exception);
  EXPECT_TRUE(T.SBSendEnabled() && T.SBReceiveEnabled() && T.TimerRunEnabled());
  EXPECT_EQ(1, Core.ClientRecvRetries);
  // In a tick the rest of the tick is skipped, and the timer comes back.
  Clock.Set(Day(2, 23, 31));
  EXPECT_THROW(T.TimerRunTimer(), std::exception);
  EXPECT_TRUE(T.TimerRunEnabled());
  EXPECT_EQ("01.01.2000", DateToStr(Core.Live.DateSend)) << "the send after the receive did not run";
}

TEST_F(RunControl, SiblingProgramsAskedToClose) {
  TTitleCloser closer;
  TTransfer transfer(Core, &closer);
  transfer.SBSendClick();
  const Lines& log = Core.MemoLog.Lines();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ("SORVEL-ohjelma suljettu!", log[0]);
  EXPECT_EQ("RAHVO-ohjelman sulkeminen ei onnistu!", log[1]);
}

TEST_F(RunControl, ResultLogKeepsItsLastHundredLines) {
  const std::string log = Site.Dir + "INet/Log/Masterissa_07.log";
  for (int i = 1; i <= 101; ++i) T.WriteClientLog("/x/Zuze07_" + std::to_string(1000 + i) + ".Zip", "Ok");
  const Lines lines = SplitString(ReadFile(log), '\n');
  ASSERT_EQ(101u, lines.size());  // 100 and the empty piece after the last line end
  EXPECT_EQ("Zuze07_1002.Zip  Ok", lines.front());
  EXPECT_EQ("Zuze07_1101.Zip  Ok", lines[99]);

  MakeDir(Site.Dir + "INet/Log/Masterissa_08.log");  // a directory where the log should be
  T.WriteClientLog("/x/Zuze08_1.Zip", "Ok");
  EXPECT_EQ((Lines{"Päivitys ei onnistu : " + Site.Dir + "INet/Log/Masterissa_08.log"}),
            Lines(Core.MemoLog.Lines().end() - 2, Core.MemoLog.Lines().end() - 1));
}

// Which packages the result log confirms, which go back to be sent again and
// which still wait for the head office.
TEST_F(RunControl, CheckOfEarlierPackagesByTheResultLog) {
  WriteFile(Site.Dir + "INet/Log/Masterissa_01.log",
            "Zuze01_20260301220000.Zip  ERROR01\n"
            "Zuze01_20260301220000.Zip  Ok\n"
            "zuze01_20260302220000.zip  ERROR02\n"
            "Zuze01_20260303220000.Zip  ERROR01\n"
            "Zuze01_20260304220000.Zip  Ok\n");
  for (const char* stamp : {"20260228220000", "20260301220000", "20260302220000", "20260303220000", "20260304220000",
                            "20260305220000"})
    WriteFile(Site.Dir + "FtpSiirto/Zuze01_" + stamp + ".Zip", "not a real package");
  Clock.Set(Day(5, 23, 30));
  Core.RefreshPendingCounts();
  T.CheckEarlierPackages();
  const Lines& log = Core.MemoLog.Lines();
  EXPECT_TRUE(Has(log, "Master sisältää: Zuze01_20260301220000.Zip=Zuze01_20260301220000.Zip  Ok")) << Joined(log);
  EXPECT_TRUE(Has(log, "Master sisältää: Zuze01_20260302220000.Zip=zuze01_20260302220000.zip  ERROR02"));
  EXPECT_TRUE(Has(log, "Päivitetään takaisin: Zuze01_20260228220000.Zip")) << "older than the newest named, no line";
  EXPECT_TRUE(Has(log, "Päivitetään takaisin: Zuze01_20260303220000.Zip")) << "ERROR01";
  EXPECT_TRUE(Has(log, "Odottaa Masterin käsittelyä: Zuze01_20260305220000.Zip"));
  // These packages cannot be unpacked: their rows are not back, so they stay
  // to be tried again rather than go with their rows.
  EXPECT_TRUE(Has(log, "Paketin rivejä ei saatu takaisin, paketti jää seuraavaan vastaanottoon: Zuze01_20260303220000.Zip"));
  EXPECT_EQ((Lines{"Zuze01_20260228220000.Zip", "Zuze01_20260303220000.Zip", "Zuze01_20260305220000.Zip"}),
            ListDir(Site.Dir + "FtpSiirto"));
  for (const char* stamp : {"20260228220000", "20260301220000", "20260302220000", "20260303220000", "20260304220000"})
    EXPECT_TRUE(FileExists(Site.Dir + "Backup/Zuze01_" + std::string(stamp) + ".Zip")) << stamp;

  // Left undecided for more than three days, it counts as lost on the way.
  Clock.Set(Day(9, 23, 30));
  Core.MemoLog.Clear();
  EXPECT_FALSE(T.CheckEarlierPackages());
  EXPECT_TRUE(Has(Core.MemoLog.Lines(), "Päivitetään takaisin: Zuze01_20260305220000.Zip"));
  EXPECT_EQ(3u, ListDir(Site.Dir + "FtpSiirto").size());
}

}  // namespace
}  // namespace trelvo::test
