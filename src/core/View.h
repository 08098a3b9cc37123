#pragma once
// How the core shows what it does. The Qt window implements this with its
// widgets; tools and tests use THeadlessView. Every method has a harmless
// default so a view only overrides what it shows.
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace trelvo {

class TTrelvoView {
 public:
  virtual ~TTrelvoView() = default;
  virtual void LogAppended(const std::string& /*line*/) {}
  virtual void LogCleared() {}
  virtual void MeterChanged(int /*percent*/) {}
  // A read-only field of the window got new text; field is the control's
  // name ("EdtSend", "EdtAsiKpl", ...).
  virtual void FieldTextChanged(const std::string& /*field*/, const std::string& /*text*/) {}
  // The settings page's values in the core were refilled (FillSettingsPage).
  virtual void SettingsPageChanged() {}
  // The send and receive buttons or the scheduler timer were enabled or
  // disabled (TTransfer's run control); a timer going from disabled to
  // enabled starts its interval anew.
  virtual void RunControlsChanged() {}
  // Let the event loop run (repaints, timer ticks, button clicks).
  virtual void ProcessMessages() {}
  // The program's general error report.
  virtual void ShowError(const std::string& /*message*/) {}
  // The start's message box when the main database cannot be connected: one
  // Abort button; the program ends after it.
  virtual void ShowAbortMessage(const std::string& /*text*/) {}
  // The inspection grid (TTrelvoCore::SGrid) was filled or resized.
  virtual void InspectionGridChanged() {}
  // A run changed a live value of the settings page (a date field after a
  // successful run, the master file name).
  virtual void LiveValuesChanged() {}
};

// For tools and tests: remembers everything, optionally echoes log lines.
class THeadlessView : public TTrelvoView {
 public:
  explicit THeadlessView(std::ostream* echo = nullptr) : Echo_(echo) {}
  void LogAppended(const std::string& line) override;
  void MeterChanged(int percent) override { Meters.push_back(percent); }
  void FieldTextChanged(const std::string& field, const std::string& text) override { Fields[field] = text; }
  void ProcessMessages() override { ++ProcessMessagesCalls; }
  void ShowError(const std::string& message) override { Errors.push_back(message); }
  void ShowAbortMessage(const std::string& text) override { AbortMessages.push_back(text); }

  std::vector<int> Meters;
  std::map<std::string, std::string> Fields;
  std::vector<std::string> Errors;
  std::vector<std::string> AbortMessages;
  int ProcessMessagesCalls = 0;

 private:
  std::ostream* Echo_;
};

}  // namespace trelvo
