#pragma once
// The application object. An error that no command caught and that reaches
// the event loop goes to the general error report instead of ending the
// program.
#include <QApplication>
#include <functional>
#include <string>

namespace trelvo {

class TTrelvoApplication : public QApplication {
 public:
  TTrelvoApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  std::function<void(const std::string&)> ErrorReport;
};

// Without a desktop (no DISPLAY or WAYLAND_DISPLAY and no platform chosen)
// the program runs on Qt's offscreen platform, as a service does.
void ChoosePlatformForService();

}  // namespace trelvo
