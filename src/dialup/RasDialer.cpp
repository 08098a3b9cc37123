#include "dialup/RasDialer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "common/Text.h"

extern char** environ;

namespace trelvo {

namespace {

constexpr const char* kToolMissing = "Failed to find/load nmcli";
constexpr const char* kNotSupported = "Function not Supported";
constexpr size_t kMaxErrorText = 256;
// Queries answer at once; a hang-up gets nmcli's own wait plus a margin.
constexpr int kQueryLimitMs = 15000;
constexpr int kDownWaitSeconds = 10;
constexpr int kGoneLimitMs = 15000;
constexpr int kPollMs = 100;
// Past nmcli's own --wait, the child is killed after this much more.
constexpr int kKillMarginMs = 2000;
// nmcli's exit status for "Timeout expired".
constexpr int kTimeoutStatus = 3;

// nmcli's documented exit statuses, for codes whose message was not kept.
const std::map<int, std::string>& ExitStatusTexts() {
  static const std::map<int, std::string> texts = {
      {1, "Unknown or unspecified error"},
      {2, "Invalid user input, wrong nmcli invocation"},
      {3, "Timeout expired"},
      {4, "Connection activation failed"},
      {5, "Connection deactivation failed"},
      {6, "Disconnecting device failed"},
      {7, "Connection deletion failed"},
      {8, "NetworkManager is not running"},
      {10, "Connection, device, or access point does not exist"},
  };
  return texts;
}

// Connection kinds that are dial-up links: the ones an empty entry name may hang up.
bool IsDialUpType(const std::string& type) { return type == "gsm" || type == "cdma" || type == "pppoe"; }

struct TToolResult {
  int Status = 0;  // the exit status; non-zero also when killed
  std::string Out, Err;
  std::string Message;  // why it failed, for ErrorText
};

// The directory entries of PATH, searched now: tests and installations may
// put another nmcli first at any time.
std::string FindTool() {
  const char* env = std::getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/nmcli";
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  throw ERasError(kToolMissing);
}

// Non-empty lines, without the CR of a CRLF end.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (auto& line : SplitString(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string FirstLine(const std::string& text) {
  for (const auto& line : Lines(text))
    if (std::string t = TrimRight(line); !t.empty()) return t;
  return "";
}

// Runs nmcli with args (no shell) and collects its output. The child leads a
// process group of its own, so that on overrunning limitMs the group is
// killed whole and nothing is left holding the pipes.
TToolResult RunTool(const std::vector<std::string>& args, int limitMs) {
  const std::string exe = FindTool();
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) throw ERasError(kToolMissing);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    throw ERasError(kToolMissing);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argvText{"nmcli"};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (rc != 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    throw ERasError(kToolMissing);
  }

  TToolResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.Out, &result.Err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  bool exited = false, timedOut = false;
  // Reads what is there within waitMs; false when nothing came.
  auto drain = [&](int waitMs) {
    if (fds[0].fd < 0 && fds[1].fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
      return false;
    }
    if (::poll(fds, 2, waitMs) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    return true;
  };
  bool lost = false;
  while (!exited) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      timedOut = true;
      break;
    }
    drain(20);
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    lost = w < 0 && errno != EINTR;  // reaped elsewhere: the status is gone
    exited = w == pid || lost;
  }
  // What the tool wrote before it ended; a child of its own that lingers
  // holding the pipes must not keep us here.
  for (int i = 0; i < 64 && drain(0); ++i) {
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);

  if (timedOut) {
    result.Status = kTimeoutStatus;
    result.Message = "nmcli did not finish within " + std::to_string((limitMs + 999) / 1000) + " s";
  } else if (lost) {
    result.Status = 1;
    result.Message = "nmcli's exit status was lost";
  } else if (WIFEXITED(status)) {
    result.Status = WEXITSTATUS(status);
  } else {
    result.Status = 1;
    result.Message = "nmcli ended by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  if (result.Status != 0 && result.Message.empty()) {
    result.Message = FirstLine(result.Err);
    if (result.Message.empty()) result.Message = FirstLine(result.Out);
  }
  return result;
}

// One line of nmcli's terse output split at the colons it did not escape
// (it writes "\:" and "\\" for a colon and a backslash inside a value). The
// last of maxFields fields takes the rest of the line.
std::vector<std::string> SplitTerse(const std::string& line, size_t maxFields) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      fields.back() += line[++i];
    } else if (c == ':' && fields.size() < maxFields) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

int HandleOfPath(const std::string& path) {
  size_t digits = path.find_last_not_of("0123456789");
  std::string tail = digits == std::string::npos ? path : path.substr(digits + 1);
  if (tail.empty() || tail.size() > 9) return 1;  // still a handle: the path itself is what counts
  int n = std::atoi(tail.c_str());
  return n > 0 ? n : 1;
}

struct TActive {
  std::string Name, Type, State, Path;
};

}  // namespace

struct TRasDialer::TImpl {
  std::string ActivePath;  // the path Handle_ stands for
  std::map<int, std::string> Messages;
  std::unique_ptr<QTimer> Watch;
  bool Busy = false;  // an operation runs: the watch keeps still
  bool Used = false;  // given an entry, dialled or hung up: the destructor may hang up

  void Keep(const TToolResult& r) {
    std::string text = r.Message;
    if (text.size() > kMaxErrorText) {
      size_t cut = kMaxErrorText;
      while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
      text.resize(cut);
    }
    Messages[r.Status] = text;
  }

  // Active connections that are not going away.
  std::vector<TActive> ListActive() {
    TToolResult r = RunTool({"-t", "-f", "NAME,TYPE,STATE,ACTIVE-PATH", "connection", "show", "--active"}, kQueryLimitMs);
    std::vector<TActive> list;
    if (r.Status != 0) return list;
    for (const auto& line : Lines(r.Out)) {
      auto f = SplitTerse(line, 4);
      if (f.size() < 4 || f[3].empty() || f[2] == "deactivated") continue;
      list.push_back({f[0], f[1], f[2], f[3]});
    }
    return list;
  }

  // The active path of the dialler's connection (see FindConnection); "" when none.
  std::string Find(const TRasDialer& d) {
    if (d.Handle_ != 0) return ActivePath;
    for (const auto& a : ListActive())
      if (d.EntryName_.empty() ? IsDialUpType(a.Type) : a.Name == d.EntryName_) return a.Path;
    return "";
  }

  bool IsActive(const std::string& path) {
    for (const auto& a : ListActive())
      if (a.Path == path) return true;
    return false;
  }
};

namespace {
// Marks the dialler busy for the length of an operation, so the watch,
// should the event loop turn inside a callback, does not act in between.
class TBusy {
 public:
  explicit TBusy(bool& flag) : Flag_(flag), Old_(flag) { Flag_ = true; }
  ~TBusy() { Flag_ = Old_; }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

 private:
  bool& Flag_;
  bool Old_;
};
}  // namespace

TRasDialer::TRasDialer() : Impl_(std::make_unique<TImpl>()) {}

TRasDialer::~TRasDialer() {
  Destroying_ = true;
  if (Impl_->Watch) Impl_->Watch->stop();
  if (!HangupOnDestroy || !Impl_->Used) return;
  try {
    Hangup();
  } catch (...) {
    // Nothing to be done at the end of the program about a connection that
    // cannot be taken down.
  }
}

int TRasDialer::ListEntries(std::vector<std::string>& list) {
  list.clear();
  TToolResult r = RunTool({"-t", "-f", "NAME", "connection", "show"}, kQueryLimitMs);
  if (r.Status != 0) {
    Impl_->Keep(r);
    return r.Status;
  }
  for (const auto& line : Lines(r.Out)) list.push_back(SplitTerse(line, 1).front());
  return 0;
}

void TRasDialer::SetEntryName(const std::string& name) {
  FindTool();
  EntryName_ = name;
  if (name.empty()) return;
  Impl_->Used = true;
  TToolResult r = RunTool({"-s", "-t", "connection", "show", "id", name}, kQueryLimitMs);
  if (r.Status != 0) {
    Impl_->Keep(r);
    return;
  }
  std::map<std::string, std::string> values;
  for (const auto& line : Lines(r.Out)) {
    auto f = SplitTerse(line, 2);
    if (f.size() == 2) values.emplace(f[0], f[1]);  // the profile comes first; keep its values
  }
  const std::string type = values["connection.type"];
  auto value = [&](const char* key) {
    auto it = values.find(type + "." + key);
    return it == values.end() ? std::string() : it->second;
  };
  PhoneNumber = value("number");
  CallBackNumber.clear();
  UserName = value("username");
  Password = value("password");
  // Without the secret at hand nmcli shows a placeholder, not a password.
  if (Password == "<hidden>") Password.clear();
  Domain.clear();
}

int TRasDialer::Dial() {
  FindTool();
  Impl_->Used = true;
  Hangup();
  int code;
  {
    TBusy busy(Impl_->Busy);
    // "--wait 0" would not wait for the link at all.
    const int wait = std::max(1, DialTimeoutSeconds);
    TToolResult r = RunTool({"--wait", std::to_string(wait), "connection", "up", "id", EntryName_},
                            wait * 1000 + kKillMarginMs);
    code = r.Status;
    if (code == 0) {
      // "Connection successfully activated (D-Bus active path: /org/.../ActiveConnection/N)"
      const std::string marker = "active path: ";
      size_t at = r.Out.find(marker);
      std::string path;
      if (at != std::string::npos) {
        at += marker.size();
        size_t end = r.Out.find_first_of(")\n", at);
        path = r.Out.substr(at, end == std::string::npos ? std::string::npos : end - at);
      }
      if (path.empty()) {
        for (const auto& a : Impl_->ListActive())
          if (a.Name == EntryName_) {
            path = a.Path;
            break;
          }
      }
      Impl_->ActivePath = path;
      Handle_ = path.empty() ? 0 : HandleOfPath(path);
    } else {
      Impl_->Keep(r);
    }
  }
  if (code != 0) {
    Hangup();
    return code;
  }
  if (!Impl_->Watch) {
    Impl_->Watch = std::make_unique<QTimer>();
    Impl_->Watch->setInterval(1000);
    QObject::connect(Impl_->Watch.get(), &QTimer::timeout, [this] { WatchTick(); });
  }
  Impl_->Watch->start();
  return 0;
}

void TRasDialer::Hangup() {
  FindTool();
  Impl_->Used = true;
  {
    TBusy busy(Impl_->Busy);
    const std::string path = Impl_->Find(*this);
    if (!path.empty()) {
      RunTool({"--wait", std::to_string(kDownWaitSeconds), "connection", "down", "apath", path},
              kDownWaitSeconds * 1000 + kKillMarginMs);
      // nmcli may return before the link is gone, or fail because it already
      // went; either way what counts is that it is no longer listed.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGoneLimitMs);
      while (Impl_->IsActive(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
  }
  Disconnected();
}

void TRasDialer::Disconnected() {
  Handle_ = 0;
  Impl_->ActivePath.clear();
  if (Destroying_) return;
  if (Impl_->Watch) Impl_->Watch->stop();
  if (OnDisconnected) OnDisconnected(*this);
}

std::string TRasDialer::ErrorText(int code) const {
  FindTool();
  if (auto it = Impl_->Messages.find(code); it != Impl_->Messages.end() && !it->second.empty()) return it->second;
  if (auto it = ExitStatusTexts().find(code); it != ExitStatusTexts().end()) return it->second;
  return kNotSupported;
}

int TRasDialer::FindConnection() {
  FindTool();
  if (Handle_ != 0) return Handle_;
  std::string path = Impl_->Find(*this);
  return path.empty() ? 0 : HandleOfPath(path);
}

bool TRasDialer::WatchActive() const { return Impl_->Watch && Impl_->Watch->isActive(); }

void TRasDialer::WatchTick() {
  if (Impl_->Busy) return;
  bool up;
  try {
    TBusy busy(Impl_->Busy);
    up = Handle_ != 0 && Impl_->IsActive(Impl_->ActivePath);
  } catch (const ERasError&) {
    up = false;  // the tool itself went: nothing can tell the link is still there
  }
  if (up) return;
  try {
    Hangup();
  } catch (const ERasError&) {
    Disconnected();
  }
}

}  // namespace trelvo
