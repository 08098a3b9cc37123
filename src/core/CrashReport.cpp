#include "core/CrashReport.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>

namespace trelvo {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;

// What the signal handler may touch: fixed buffers filled while it was safe
// to allocate.
char gReportPath[4096];
long gUtcOffset = 0;  // seconds east of UTC when reporting was switched on

void WriteAll(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, text, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    size -= static_cast<size_t>(n);
  }
}
void WriteText(int fd, const char* text) { WriteAll(fd, text, std::strlen(text)); }

// Digits of value, zero-padded to width, into out; returns the end.
char* PutNumber(char* out, long value, int width) {
  char digits[24];
  int n = 0;
  if (value < 0) value = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n < width) digits[n++] = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// "dd.mm.yyyy hh:nn:ss" of a local time, without the C library's time
// conversions, which are not safe inside a signal handler.
void FormatStamp(std::time_t t, char* out) {
  long secs = static_cast<long>(t) + gUtcOffset;
  long days = secs / 86400, rem = secs % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  // Civil date from a day count (days since 1970-01-01).
  long z = days + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long y = yoe + era * 400;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long d = doy - (153 * mp + 2) / 5 + 1;
  long m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char* p = out;
  p = PutNumber(p, d, 2);
  *p++ = '.';
  p = PutNumber(p, m, 2);
  *p++ = '.';
  p = PutNumber(p, y, 4);
  *p++ = ' ';
  p = PutNumber(p, rem / 3600, 2);
  *p++ = ':';
  p = PutNumber(p, rem / 60 % 60, 2);
  *p++ = ':';
  p = PutNumber(p, rem % 60, 2);
  *p = 0;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

void FatalSignalHandler(int sig) {
  int saved = errno;
  if (gReportPath[0]) {
    int fd = ::open(gReportPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char stamp[32];
      FormatStamp(std::time(nullptr), stamp);
      char number[24];
      *PutNumber(number, sig, 1) = 0;
      WriteText(fd, "---- ");
      WriteText(fd, stamp);
      WriteText(fd, " ----\nSignal: ");
      WriteText(fd, number);
      WriteText(fd, " (");
      WriteText(fd, SignalName(sig));
      WriteText(fd, ")\nStack:\n");
      void* frames[kMaxFrames];
      int n = ::backtrace(frames, kMaxFrames);
      ::backtrace_symbols_fd(frames, n, fd);
      WriteText(fd, "\n");
      ::close(fd);
    }
  }
  errno = saved;
  // The handler was installed to run once: the default action (a core dump,
  // the end of the process) follows.
  ::raise(sig);
}

// "module(mangled+0x12) [0x...]" with the name demangled where it can be.
std::string Demangled(const char* symbol) {
  std::string line = symbol;
  size_t open = line.find('('), plus = line.find('+', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return line;
  std::string mangled = line.substr(open + 1, plus - open - 1);
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), std::free);
  if (status != 0 || !name) return line;
  return line.substr(0, open + 1) + name.get() + line.substr(plus);
}

}  // namespace

TCrashReporter& TCrashReporter::Instance() {
  static TCrashReporter reporter;
  return reporter;
}

void TCrashReporter::SetDirectory(const std::string& dir) {
  Dir_ = dir;
  if (!Dir_.empty() && Dir_.back() != '/') Dir_ += '/';
  std::string path = ReportFileName();
  if (path.size() >= sizeof gReportPath) path.clear();
  std::memcpy(gReportPath, path.c_str(), path.size() + 1);
}

void TCrashReporter::SetEnabled(bool enabled) {
  if (enabled == Enabled_) return;
  Enabled_ = enabled;
  static struct sigaction previous[std::size(kFatalSignals)];
  if (enabled) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    gUtcOffset = local.tm_gmtoff;
    // The first backtrace loads the unwinder, which may allocate: do it here.
    void* frames[4];
    (void)::backtrace(frames, 4);
  }
  for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
    if (!enabled) {
      // Whatever was there before reporting was switched on comes back.
      ::sigaction(kFatalSignals[i], &previous[i], nullptr);
      continue;
    }
    struct sigaction sa {};
    sa.sa_handler = FatalSignalHandler;
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&sa.sa_mask);
    ::sigaction(kFatalSignals[i], &sa, &previous[i]);
  }
}

bool TCrashReporter::ReportError(const std::string& message) {
  if (!Enabled_ || Dir_.empty()) return false;
  std::string report = "---- ";
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local)) gUtcOffset = local.tm_gmtoff;
  char stamp[32];
  FormatStamp(now, stamp);
  report += stamp;
  report += " ----\nError: " + message + "\nStack:\n";
  void* frames[kMaxFrames];
  int n = ::backtrace(frames, kMaxFrames);
  if (char** symbols = ::backtrace_symbols(frames, n)) {
    for (int i = 0; i < n; ++i) report += Demangled(symbols[i]) + "\n";
    std::free(symbols);
  }
  report += "\n";
  int fd = ::open(ReportFileName().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  WriteAll(fd, report.data(), report.size());
  return ::close(fd) == 0;
}

}  // namespace trelvo
