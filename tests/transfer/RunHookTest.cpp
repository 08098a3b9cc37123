// The operator's command after each run: what it is told, where its output
// goes, and that neither a hook that hangs nor one that is missing changes
// the run. The site's FTP server is not there: a send with nothing to send
// succeeds, every receive fails.
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "ExchangeFixture.h"
#include "common/Text.h"
#include "transfer/RunHook.h"

namespace trelvo::test {
namespace {

class RunHook : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }
  TTempDir Work;
  TFixedClock Clock{Day(2, 8)};
  TInstallation Site{Work / "site", "client", "01", FreeLoopbackPort(), Clock};
  TTrelvoCore& Core = *Site.Core;
  TTransfer& T = *Site.Transfer;

  // The hook's environment as it printed it into the run's log.
  std::string EnvironmentAfter(bool send) {
    if (send)
      T.SBSendClick();
    else
      T.SBReceiveClick();
    EXPECT_FALSE(T.LastRunLog().empty());
    return ReadFile(T.LastRunLog());
  }
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A process that is gone, or only waits to be reaped.
bool Ended(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    if (!(stat >> pidText >> name >> state) || state == "Z") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(RunHookWords, SplitAsAShellWouldWithoutExpanding) {
  struct {
    const char* Text;
    std::vector<std::string> Words;
  } cases[] = {
      {"  /usr/bin/hook  a\tb ", {"/usr/bin/hook", "a", "b"}},
      {"sh -c 'tail -n 20 \"$TRELVO_LOG\" | mail -s x ops'", {"sh", "-c", "tail -n 20 \"$TRELVO_LOG\" | mail -s x ops"}},
      {"echo \"a \\\"b\\\" \\$HOME \\x\" c", {"echo", "a \"b\" $HOME \\x", "c"}},
      {"a\\ b 'x'\"y\"z ''", {"a b", "xyz", ""}},
      {"$HOME ~ *", {"$HOME", "~", "*"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_TRUE(SplitCommandWords(c.Text, words, error)) << c.Text << ": " << error;
    EXPECT_EQ(words, c.Words) << c.Text;
  }
  for (const char* bad : {"sh -c 'echo", "echo \"a", "echo a\\"}) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_FALSE(SplitCommandWords(bad, words, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST_F(RunHook, ToldTheOutcomeOfAGoodAFailedAndABlockedRun) {
  Core.Settings.ReTryMaxCount = 2;
  Core.Settings.RunHook = "sh -c 'env | grep ^TRELVO_ | sort; echo to-stderr >&2' hook";
  const std::string home = "TRELVO_HOME=" + Site.Dir + "\n";

  std::string log = EnvironmentAfter(true);
  EXPECT_TRUE(T.LastRunSucceeded());
  // The run's own lines stay; the hook's output follows them.
  const size_t done = log.find("Siirto suoritettu onnistuneesti!");
  ASSERT_NE(done, std::string::npos) << log;
  for (const std::string& line : {home, std::string("TRELVO_ROLE=client\n"), std::string("TRELVO_DIRECTION=send\n"),
                                  std::string("TRELVO_RESULT=ok\n"), std::string("TRELVO_RETRIES=0\n"),
                                  "TRELVO_LOG=" + T.LastRunLog() + "\n", std::string("to-stderr\n")})
    EXPECT_GT(log.find(line), done) << line << "in:\n" << log;

  log = EnvironmentAfter(false);
  EXPECT_FALSE(T.LastRunSucceeded());
  EXPECT_TRUE(Contains(log, "TRELVO_DIRECTION=receive\nTRELVO_HOME=")) << log;
  EXPECT_TRUE(Contains(log, "TRELVO_RESULT=failed\nTRELVO_RETRIES=1\n")) << log;

  log = EnvironmentAfter(false);
  EXPECT_TRUE(Contains(log, "TRELVO_RESULT=blocked\nTRELVO_RETRIES=2\n")) << log;
  EXPECT_EQ(2, Core.ClientRecvRetries);
}

TEST_F(RunHook, HungMissingOrFailingHookLeavesTheRunAsItWas) {
  T.RunHookTimeoutMs = 300;
  T.RunHookKillGraceMs = 300;
  const std::string pidFile = Work / "hook.pid";
  struct {
    std::string Command;
    std::string Line;
    bool Hangs;
  } cases[] = {
      {"sh -c 'sleep 20 & echo $! > \"$0\"; wait' " + pidFile, "RunHook ei päättynyt 1 sekunnissa ja lopetettiin",
       true},
      // Deaf to SIGTERM, so only the kill that follows ends it.
      {"sh -c 'trap \"\" TERM; sleep 20 & echo $! > \"$0\"; wait' " + pidFile,
       "RunHook ei päättynyt 1 sekunnissa ja lopetettiin", true},
      {Work / "no-such-hook --now", "RunHook ei käynnisty: " + Work / "no-such-hook: No such file or directory", false},
      {"sh -c 'exit 3'", "RunHook päättyi koodiin 3", false},
      {"sh -c 'kill -9 $$'", "RunHook päättyi signaaliin 9", false},
      {"sh -c 'echo", "RunHook ei käynnisty: unterminated ' in the command", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Command);
    std::remove(pidFile.c_str());
    Core.Settings.RunHook = c.Command;
    const int pumped = Site.View.ProcessMessagesCalls;
    const auto started = std::chrono::steady_clock::now();
    T.SBSendClick();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(T.LastRunSucceeded());
    EXPECT_EQ(0, Core.ClientSendRetries);
    EXPECT_TRUE(T.SBSendEnabled() && T.SBReceiveEnabled());
    EXPECT_TRUE(Has(Core.MemoLog.Lines(), c.Line)) << Joined(Core.MemoLog.Lines());
    EXPECT_TRUE(Contains(ReadFile(T.LastRunLog()), c.Line + "\n"));
    if (!c.Hangs) continue;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_GT(Site.View.ProcessMessagesCalls, pumped + 5) << "the event loop waited for the hook";
    const pid_t child = static_cast<pid_t>(StrToInt64Def(Trim(ReadFile(pidFile)), 0));
    ASSERT_GT(child, 0);
    EXPECT_TRUE(Ended(child)) << "what the hook started was ended with it";
  }
}

TEST_F(RunHook, AdminRunStartsItToo) {
  const std::string out = Work / "hook.out";
  Site.Set("RunHook", "sh -c 'echo \"$TRELVO_DIRECTION $TRELVO_RESULT\" > \"$0\"' " + out);
  std::string printed;
  EXPECT_EQ(0, RunCommand(AdminPath() + " run send --home '" + Site.Dir + "' 2>&1", &printed)) << printed;
  EXPECT_EQ("send ok\n", ReadFile(out)) << printed;
}

}  // namespace
}  // namespace trelvo::test
