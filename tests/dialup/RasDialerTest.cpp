#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "FakeNmcli.h"
#include "FtpTestKit.h"
#include "dialup/RasDialer.h"

using namespace trelvo;
using trelvo::test::FileExists;
using trelvo::test::ReadFile;
using trelvo::test::TFakeNmcli;
using trelvo::test::TNoNmcli;

namespace {

const std::vector<std::string> kProfiles = {
    "SorNet|gsm|site01|s3cr:et|ok",
    "Koti: vara|pppoe|koti|-|slow",
    "Rikki|gsm|rikki|pw|fail",
    "Jumissa|gsm|j|pw|hang",
};

const std::string kListActive = "-t -f NAME,TYPE,STATE,ACTIVE-PATH connection show --active";

// A dialler that counts its OnDisconnected events.
struct Dialler {
  int Disconnects = 0;
  TRasDialer Ras;
  Dialler() {
    trelvo::test::EnsureQtApp();
    Ras.OnDisconnected = [this](TRasDialer&) { ++Disconnects; };
  }
};

bool PumpUntil(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done() && std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  return done();
}

}  // namespace

TEST(RasDialer, ListsEntriesAndReadsTheirSecrets) {
  TFakeNmcli nm(kProfiles);
  Dialler d;
  std::vector<std::string> list{"left over"};
  ASSERT_EQ(d.Ras.ListEntries(list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"SorNet", "Koti: vara", "Rikki", "Jumissa"}));

  d.Ras.SetEntryName("SorNet");
  EXPECT_EQ(d.Ras.EntryName(), "SorNet");
  EXPECT_EQ(d.Ras.UserName, "site01");
  EXPECT_EQ(d.Ras.Password, "s3cr:et");
  EXPECT_EQ(d.Ras.PhoneNumber, "*99#");

  // No stored password: empty, not the previous entry's.
  d.Ras.SetEntryName("Koti: vara");
  EXPECT_EQ(d.Ras.UserName, "koti");
  EXPECT_EQ(d.Ras.Password, "");

  // An entry the tool does not know leaves the properties as they were.
  d.Ras.SetEntryName("Poissa");
  EXPECT_EQ(d.Ras.EntryName(), "Poissa");
  EXPECT_EQ(d.Ras.UserName, "koti");
  EXPECT_EQ(nm.Calls().back(), "-s -t connection show id Poissa");

  // The service down: the code, the tool's message and an empty list.
  nm.StopService();
  list = {"left over"};
  int code = d.Ras.ListEntries(list);
  EXPECT_EQ(code, 8);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(d.Ras.ErrorText(code), "Error: NetworkManager is not running.");
}

TEST(RasDialer, DialWaitsUntilUpAndHangupUntilDown) {
  TFakeNmcli nm(kProfiles);
  Dialler d;
  d.Ras.SetEntryName("Koti: vara");  // a second to come up
  nm.ClearCalls();
  ASSERT_EQ(d.Ras.Dial(), 0);
  EXPECT_EQ(nm.Active(), (std::vector<std::string>{"Koti: vara|pppoe|" + TFakeNmcli::Path(1)}));
  EXPECT_EQ(d.Ras.FindConnection(), 1);
  EXPECT_TRUE(d.Ras.WatchActive());
  EXPECT_EQ(d.Disconnects, 1);  // the hang-up before dialling
  EXPECT_EQ(nm.Calls(), (std::vector<std::string>{kListActive, "--wait 90 connection up id Koti: vara"}));

  nm.ClearCalls();
  d.Ras.Hangup();
  EXPECT_TRUE(nm.Active().empty());
  EXPECT_EQ(d.Ras.FindConnection(), 0);
  EXPECT_FALSE(d.Ras.WatchActive());
  EXPECT_EQ(d.Disconnects, 2);
  EXPECT_EQ(nm.Calls().front(), "--wait 10 connection down apath " + TFakeNmcli::Path(1));
}

TEST(RasDialer, FailedDialKeepsTheToolsMessageAndHangsUpAgain) {
  TFakeNmcli nm(kProfiles);
  Dialler d;
  d.Ras.SetEntryName("Rikki");
  int code = d.Ras.Dial();
  EXPECT_EQ(code, 4);
  EXPECT_EQ(d.Ras.ErrorText(code), "Error: Connection activation failed: The modem could not be found.");
  EXPECT_EQ(d.Disconnects, 2);
  EXPECT_FALSE(d.Ras.WatchActive());
  // Codes without a message of their own.
  EXPECT_EQ(d.Ras.ErrorText(10), "Connection, device, or access point does not exist");
  EXPECT_EQ(d.Ras.ErrorText(-1), "Function not Supported");
  EXPECT_EQ(d.Ras.ErrorText(4711), "Function not Supported");
}

TEST(RasDialer, ADialThatNeverAnswersIsCutOffWithWhatItStarted) {
  TFakeNmcli nm(kProfiles);
  Dialler d;
  d.Ras.SetEntryName("Jumissa");
  d.Ras.DialTimeoutSeconds = 1;
  const auto start = std::chrono::steady_clock::now();
  int code = d.Ras.Dial();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(code, 3);
  EXPECT_NE(d.Ras.ErrorText(code).find("did not finish"), std::string::npos);
  const std::string child = nm.HangingChild();
  ASSERT_FALSE(child.empty());
  // The tool's own child is gone too (at most a zombie waiting for init).
  std::string stat = FileExists("/proc/" + child + "/stat") ? ReadFile("/proc/" + child + "/stat") : "";
  for (int i = 0; i < 50 && !stat.empty() && stat.find(") Z") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stat = FileExists("/proc/" + child + "/stat") ? ReadFile("/proc/" + child + "/stat") : "";
  }
  EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}

TEST(RasDialer, TheWatchHangsUpAConnectionThatDropped) {
  TFakeNmcli nm(kProfiles);
  Dialler d;
  d.Ras.SetEntryName("SorNet");
  ASSERT_EQ(d.Ras.Dial(), 0);
  // Still up: the watch only looks.
  PumpUntil([] { return false; }, 1300);
  EXPECT_EQ(d.Disconnects, 1);
  EXPECT_TRUE(d.Ras.WatchActive());

  nm.SetActive({});
  EXPECT_TRUE(PumpUntil([&] { return d.Disconnects == 2; }, 3000));
  EXPECT_FALSE(d.Ras.WatchActive());
  EXPECT_EQ(d.Ras.FindConnection(), 0);
}

TEST(RasDialer, WithoutAnEntryNameOnlyADialUpLinkIsHungUp) {
  TFakeNmcli nm(kProfiles);
  nm.SetActive({"Wired connection 1|802-3-ethernet|" + TFakeNmcli::Path(3),
                "Mobiili|gsm|" + TFakeNmcli::Path(4)});
  Dialler d;
  EXPECT_EQ(d.Ras.FindConnection(), 4);
  d.Ras.Hangup();
  EXPECT_EQ(nm.Active(), (std::vector<std::string>{"Wired connection 1|802-3-ethernet|" + TFakeNmcli::Path(3)}));
  EXPECT_EQ(d.Ras.FindConnection(), 0);
}

TEST(RasDialer, DestroyingHangsUpWithoutTheEvent) {
  TFakeNmcli nm(kProfiles);
  int disconnects = 0;
  {
    trelvo::test::EnsureQtApp();
    TRasDialer ras;
    ras.OnDisconnected = [&](TRasDialer&) { ++disconnects; };
    ras.SetEntryName("SorNet");
    ASSERT_EQ(ras.Dial(), 0);
  }
  EXPECT_TRUE(nm.Active().empty());
  EXPECT_EQ(disconnects, 1);

  // A dialler never used leaves the system's links alone.
  nm.SetActive({"Mobiili|gsm|" + TFakeNmcli::Path(4)});
  nm.ClearCalls();
  { TRasDialer unused; }
  EXPECT_TRUE(nm.Calls().empty());
}

TEST(RasDialer, EveryOperationNeedsTheTool) {
  struct Case {
    const char* name;
    bool brokenTool;  // present, but cannot be started
  };
  for (const Case& c : {Case{"no nmcli on PATH", false}, Case{"nmcli whose interpreter is missing", true}}) {
    SCOPED_TRACE(c.name);
    TNoNmcli none;
    if (c.brokenTool) {
      trelvo::test::WriteFile(none.Dir() / "nmcli", "#!/nonexistent/sh\n");
      ::chmod((none.Dir() / "nmcli").c_str(), 0755);
    }
    Dialler d;
    std::vector<std::string> list;
    std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"ListEntries", [&] { d.Ras.ListEntries(list); }},
        {"SetEntryName", [&] { d.Ras.SetEntryName("SorNet"); }},
        {"Dial", [&] { d.Ras.Dial(); }},
        {"Hangup", [&] { d.Ras.Hangup(); }},
        {"FindConnection", [&] { d.Ras.FindConnection(); }},
    };
    // Looking a code up runs nothing, so only a tool that is not there shows.
    if (!c.brokenTool) ops.emplace_back("ErrorText", [&] { d.Ras.ErrorText(4); });
    for (const auto& [name, op] : ops) {
      try {
        op();
        ADD_FAILURE() << name << " did not throw";
      } catch (const ERasError& e) {
        EXPECT_STREQ(e.what(), "Failed to find/load nmcli") << name;
      }
    }
    EXPECT_EQ(d.Disconnects, 0);
  }
}
