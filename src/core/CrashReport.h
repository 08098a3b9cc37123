#pragma once
// The crash reporter: with UseErrorLog on, an error that escaped to the
// event loop and a fatal signal each leave a report (time, message or
// signal, stack trace) in the [Directory] Log directory, in the file
// TrelvoError.log. Reports are appended, so a crash loop does not hide the
// first one.
#include <string>

namespace trelvo {

class TCrashReporter {
 public:
  // One per process: the fatal-signal handlers need a place to find it.
  static TCrashReporter& Instance();

  // dir: the normalised Log directory; empty means no report can be written.
  void SetDirectory(const std::string& dir);
  const std::string& Directory() const { return Dir_; }
  // On installs the handlers of SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT;
  // off puts back the ones that were there before.
  void SetEnabled(bool enabled);
  bool Enabled() const { return Enabled_; }
  std::string ReportFileName() const { return Dir_.empty() ? std::string() : Dir_ + "TrelvoError.log"; }

  // Appends a report of an error that escaped; false when off, without a
  // directory, or the file could not be written.
  bool ReportError(const std::string& message);

 private:
  TCrashReporter() = default;
  std::string Dir_;
  bool Enabled_ = false;
};

}  // namespace trelvo
