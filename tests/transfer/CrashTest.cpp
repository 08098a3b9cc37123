// Runs ended by SIGKILL at their most delicate points (trelvo-admin run with
// TRELVO_TEST_EXIT_AT), then normal days: no row lost, no visit counted
// twice.
#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

class Crash : public TwoSitesFixture {
 protected:

  // A run in a process of its own, as the program or the tool would do it;
  // the exit status as the shell reports it (137 for SIGKILL).
  int Admin(TInstallation& inst, const std::string& direction, TDateTime at, const std::string& exitAt = "") {
    std::string out;
    const std::string env = exitAt.empty() ? "" : "TRELVO_TEST_EXIT_AT=" + exitAt + " ";
    int status = RunCommand(env + AdminPath() + " run " + direction + " --home '" + inst.Dir + "' --at '" +
                                DateTimeToStr(at) + "' >/dev/null 2>&1",
                            &out);
    inst.Start();  // the in-process view of the installation reads what the run left
    return status;
  }

  void Changes(int day) {
    Clock.Set(Day(day, 20));
    S1->ChangeCard("K1_" + std::to_string(day), "1", "A1", Day(day, 20, 1));
    S1->Visit("K1", "HALLI", Day(day, 20, 2));
    S1->Visit("K1", "HALLI", Day(day, 20, 3));
    S2->ChangeCard("K2_" + std::to_string(day), "2", "A2", Day(day, 20, 4));
    S2->Visit("K2", "SALI", Day(day, 20, 5));
    Visits += 3;
  }

  void Cycle(int day) {
    for (TInstallation* s : {S1, S2}) {
      Clock.Set(Day(day, 22, 0, s == S1 ? 1 : 2));
      s->Send();
    }
    Clock.Set(Day(day, 22, 30, 1));
    M->Receive();
    Clock.Set(Day(day, 23, 0, 1));
    M->Send();
    for (TInstallation* s : {S1, S2}) {
      Clock.Set(Day(day, 23, 30, s == S1 ? 1 : 2));
      s->Receive();
    }
  }

  void ExpectInvariant(int days) {
    EXPECT_EQ(Visits, M->Count("TILASTO")) << "every visit once";
    for (TInstallation* i : {M, S1, S2}) EXPECT_EQ(2 * days, i->Count("KORTTI")) << i->Dir;
  }

  int Visits = 0;
};

TEST_F(Crash, SiteKilledBetweenItsUploadsAndEmptyingItsTables) {
  Changes(2);
  EXPECT_EQ(137, Admin(*S1, "send", Day(2, 22, 0, 1), "client-send-uploaded"));
  EXPECT_EQ(1, S1->Count("ZNetKo")) << "the rows are still waiting";
  EXPECT_EQ(1u, ListDir(S1->Dir + "FtpSiirto").size());
  // The scheduler tries again: a second package with the same rows.
  EXPECT_EQ(0, Admin(*S1, "send", Day(2, 22, 2, 1)));
  EXPECT_EQ(0, S1->Count("ZNetKo"));
  EXPECT_EQ(2u, ListDir(S1->Dir + "FtpSiirto").size());
  Clock.Set(Day(2, 22, 0, 2));
  S2->Send();
  Clock.Set(Day(2, 22, 30, 1));
  M->Receive();
  Clock.Set(Day(2, 23, 0, 1));
  M->Send();
  Clock.Set(Day(2, 23, 30, 1));
  S1->Receive();
  EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty()) << "both packages confirmed";
  Changes(3);
  Cycle(3);
  ExpectInvariant(2);
}

TEST_F(Crash, HeadOfficeKilledAfterMergingOnePackage) {
  Changes(2);
  for (TInstallation* s : {S1, S2}) {
    Clock.Set(Day(2, 22, 0, s == S1 ? 1 : 2));
    s->Send();
  }
  EXPECT_EQ(137, Admin(*M, "receive", Day(2, 22, 30, 1), "master-merged"));
  EXPECT_TRUE(ServerFiles("Sorvel").empty()) << "both packages were collected before the kill";
  // The evening goes on: the head office publishes what it has.
  Clock.Set(Day(2, 23, 0, 1));
  M->Send();
  for (TInstallation* s : {S1, S2}) {
    Clock.Set(Day(2, 23, 30, s == S1 ? 1 : 2));
    s->Receive();
  }
  for (int day = 3; day <= 5; ++day) {
    Changes(day);
    Cycle(day);
  }
  ExpectInvariant(4);
  EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty());
  EXPECT_TRUE(ListDir(S2->Dir + "FtpSiirto").empty());
}

// Killed at a point of the head office's receive, retried at once: every
// package is merged and answered by the retry, without any site's resend.
class CrashInReceive : public Crash, public ::testing::WithParamInterface<const char*> {};

TEST_P(CrashInReceive, RetryMergesEveryPackageOnce) {
  Changes(2);
  for (TInstallation* s : {S1, S2}) {
    Clock.Set(Day(2, 22, 0, s == S1 ? 1 : 2));
    s->Send();
  }
  EXPECT_EQ(137, Admin(*M, "receive", Day(2, 22, 30, 1), GetParam()));
  EXPECT_TRUE(ServerFiles("Sorvel").empty()) << "the packages exist only in the head office's Tmp";
  // The scheduler's retry: the packages waiting in Tmp are merged now, not
  // a cycle later when their sites notice the missing result lines.
  EXPECT_EQ(0, Admin(*M, "receive", Day(2, 22, 32, 1)));
  EXPECT_EQ(Visits, M->Count("TILASTO"));
  EXPECT_EQ(2, M->Count("KORTTI"));
  EXPECT_TRUE(ListDir(M->Dir + "INet/Tmp").empty());
  for (const char* client : {"01", "02"})
    EXPECT_TRUE(EndsWith(ReadFile(M->Dir + "INet/Log/Masterissa_" + std::string(client) + ".log"), "  Ok\n"))
        << client;
  Clock.Set(Day(2, 23, 0, 1));
  M->Send();
  for (TInstallation* s : {S1, S2}) {
    Clock.Set(Day(2, 23, 30, s == S1 ? 1 : 2));
    s->Receive();
    EXPECT_TRUE(ListDir(s->Dir + "FtpSiirto").empty()) << "confirmed the same evening: " << s->Dir;
  }
  Changes(3);
  Cycle(3);
  ExpectInvariant(2);
}

INSTANTIATE_TEST_SUITE_P(, CrashInReceive,
                         ::testing::Values("master-collected", "master-merged", "master-batch-committed",
                                           "master-result-written"),
                         [](const auto& info) {
                           std::string name;
                           for (const char* p = info.param; *p; ++p)
                             if (*p != '-') name += *p;
                           return name;
                         });

TEST_F(Crash, SiteKilledAfterAcceptingTheMasterPackage) {
  Changes(2);
  Cycle(2);
  Changes(3);
  for (TInstallation* s : {S1, S2}) {
    Clock.Set(Day(3, 22, 0, s == S1 ? 1 : 2));
    s->Send();
  }
  Clock.Set(Day(3, 22, 30, 1));
  M->Receive();
  Clock.Set(Day(3, 23, 0, 1));
  M->Send();
  EXPECT_EQ(137, Admin(*S1, "receive", Day(3, 23, 30, 1), "client-receive-accepted"));
  Clock.Set(Day(3, 23, 30, 2));
  S2->Receive();
  for (int day = 4; day <= 5; ++day) {
    Changes(day);
    Cycle(day);
  }
  ExpectInvariant(4);
}

}  // namespace
}  // namespace trelvo::test
