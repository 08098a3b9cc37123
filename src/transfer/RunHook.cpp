// The operator's command after each run, and the words it is split into.
#include "transfer/RunHook.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/Text.h"
#include "transfer/Transfer.h"

extern char** environ;

namespace trelvo {

bool SplitCommandWords(const std::string& text, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '\'') {
      const size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) {
        error = "unterminated ' in the command";
        return false;
      }
      word += text.substr(i + 1, close - i - 1);
      inWord = true;
      i = close;
    } else if (c == '"') {
      inWord = true;
      for (++i;; ++i) {
        if (i >= text.size()) {
          error = "unterminated \" in the command";
          return false;
        }
        const char d = text[i];
        if (d == '"') break;
        if (d == '\\' && i + 1 < text.size() && std::strchr("\"\\$`\n", text[i + 1])) {
          if (text[i + 1] != '\n') word += text[i + 1];
          ++i;
        } else {
          word += d;
        }
      }
    } else if (c == '\\') {
      if (i + 1 >= text.size()) {
        error = "the command ends with a backslash";
        return false;
      }
      ++i;
      if (text[i] != '\n') {
        word += text[i];
        inWord = true;
      }
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  error.clear();
  return true;
}

namespace {

// The environment of the program without the hook's own names, and those
// set for this run.
std::vector<std::string> HookEnvironment(const std::vector<std::pair<std::string, std::string>>& own) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : own) replaced = replaced || StartsWith(entry, name + "=");
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : own) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (auto& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

void TTransfer::AfterRun(bool send) noexcept {
  try {
    const std::string command = Trim(Core.Settings.RunHook);
    if (command.empty()) return;
    // The hook's own lines go where its output goes, and on the screen.
    int out = -1;
    if (!LastRunLog_.empty()) out = ::open(LastRunLog_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (out < 0) out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    auto note = [&](const std::string& line) {
      Core.Log(line);
      const std::string text = line + "\n";
      if (out >= 0 && ::write(out, text.data(), text.size()) < 0) {
        // The line is on the screen; a log that takes no more is no reason to stop.
      }
    };
    struct TCloser {
      int& Fd;
      ~TCloser() {
        if (Fd >= 0) ::close(Fd);
      }
    } closer{out};

    std::vector<std::string> words;
    std::string error;
    if (!SplitCommandWords(command, words, error) || words.empty()) {
      note("RunHook ei käynnisty: " + (error.empty() ? std::string("tyhjä komento") : error));
      return;
    }

    const bool master = Core.IsMaster();
    const int retries = send ? (master ? Core.MasterSendRetries : Core.ClientSendRetries)
                             : (master ? Core.MasterRecvRetries : Core.ClientRecvRetries);
    const char* result = LastRunSucceeded_                               ? "ok"
                         : retries >= Core.Settings.ReTryMaxCount ? "blocked"
                                                                          : "failed";
    std::vector<std::string> env = HookEnvironment({{"TRELVO_HOME", Core.HomeDir()},
                                                    {"TRELVO_ROLE", master ? "master" : "client"},
                                                    {"TRELVO_DIRECTION", send ? "send" : "receive"},
                                                    {"TRELVO_RESULT", result},
                                                    {"TRELVO_RETRIES", IntToStr(retries)},
                                                    {"TRELVO_LOG", LastRunLog_}});
    std::vector<char*> argv = Pointers(words), envp = Pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out >= 0) {
      posix_spawn_file_actions_adddup2(&actions, out, 1);
      posix_spawn_file_actions_adddup2(&actions, out, 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own, so that a hook that overruns is ended with every
    // process it started (a shell's children too).
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
      note("RunHook ei käynnisty: " + words[0] + ": " + SysErrorMessage(rc));
      return;
    }

    // The event loop goes on while the hook works (the tray stays alive);
    // the run control keeps its buttons and timer off until the hook is done.
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto waitUntil = [&](Clock::time_point deadline, int& status) {
      for (;;) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) return true;
        if (w < 0 && errno != EINTR) {
          status = 0;  // reaped elsewhere: nothing left to wait for
          return true;
        }
        if (Clock::now() >= deadline) return false;
        Core.ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    };
    int status = 0;
    if (!waitUntil(started + std::chrono::milliseconds(RunHookTimeoutMs), status)) {
      ::kill(-pid, SIGTERM);
      if (!waitUntil(Clock::now() + std::chrono::milliseconds(RunHookKillGraceMs), status)) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      }
      note("RunHook ei päättynyt " + IntToStr((RunHookTimeoutMs + 999) / 1000) + " sekunnissa ja lopetettiin");
      return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      note("RunHook päättyi koodiin " + IntToStr(WEXITSTATUS(status)));
    else if (WIFSIGNALED(status))
      note("RunHook päättyi signaaliin " + IntToStr(WTERMSIG(status)));
  } catch (...) {
    // The hook only reports on the run; nothing of it may change the run.
  }
}

}  // namespace trelvo
