#include "app/Application.h"

#include <cstdlib>
#include <exception>
#include <iostream>

namespace trelvo {

TTrelvoApplication::TTrelvoApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("Trelvo");
  // The window hides to the tray; only "Sulje" ends the program.
  setQuitOnLastWindowClosed(false);
}

bool TTrelvoApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    if (ErrorReport) ErrorReport(e.what());
    else std::cerr << "trelvo: " << e.what() << "\n";
  } catch (...) {
    if (ErrorReport) ErrorReport("Unknown error");
    else std::cerr << "trelvo: unknown error\n";
  }
  return false;
}

void ChoosePlatformForService() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  if (!set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace trelvo
