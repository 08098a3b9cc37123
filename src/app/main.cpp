// trelvo: the tray program. It runs the scheduled transfers of the
// installation beside the program file (or in TRELVO_HOME) until "Sulje",
// SIGTERM or SIGINT ends it.
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstring>
#include <iostream>

#include "app/Application.h"
#include "app/MainWindow.h"
#include "app/ProgramCloser.h"
#include "app/SignalWatcher.h"

namespace {

// What --help prints; the manual page trelvo(1) is made from it at build time.
const char* const kHelp =
    "usage: trelvo [--help | --version] [Qt options]\n"
    "\n"
    "Runs the scheduled sends and receives of one installation until \"Sulje\" in the tray\n"
    "menu, \"Lopetus\" on the toolbar, or SIGTERM, SIGINT or SIGHUP ends it (a running transfer\n"
    "returns first). On a desktop it sits in the system tray and a double click opens its\n"
    "window; without one (no DISPLAY, or QT_QPA_PLATFORM=offscreen) it runs with the window\n"
    "hidden, as the service trelvo@NAME does. Its messages go to stderr, the run logs to the\n"
    "installation's BackupDir.\n"
    "\n"
    "The installation is the directory of TRELVO_HOME, else the directory of the program file:\n"
    "Sorvel.ini (the settings), DbServer.ini (the database's directories) and SorWin.ini (the\n"
    "window's position). Make one with trelvo-admin init.\n"
    "\n"
    "Exit codes: 0 ended by the operator or a signal; 1 the database could not be reached at\n"
    "the start.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n"
    "\n"
    "Environment:\n"
    "  TRELVO_HOME      the installation directory\n"
    "  QT_QPA_PLATFORM  offscreen runs without a desktop (chosen by itself when there is none)\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace trelvo;
  // Answered before Qt starts, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << "trelvo " << TRELVO_VERSION << "\n";
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kHelp;
      return 0;
    }
  }
  ChoosePlatformForService();
  TTrelvoApplication app(argc, argv);
  TSignalWatcher signalWatcher;
  TX11ProgramCloser closer;

  const QString platform = QGuiApplication::platformName();
  TfrmTrelvo::TOptions options;
  options.HomeDir = TTrelvoCore::DefaultHomeDir();
  options.Closer = &closer;
  options.Interactive = platform != "offscreen" && platform != "minimal" && QSystemTrayIcon::isSystemTrayAvailable();
  if (!options.Interactive)
    std::cerr << "trelvo: no system tray; running with the window hidden (" << options.HomeDir << ")\n";

  TfrmTrelvo window(options);
  app.ErrorReport = [&window](const std::string& message) { window.Core().GeneralErrorReport(message); };
  QObject::connect(&signalWatcher, &TSignalWatcher::Signalled, &window, [&window](int) { window.RequestEnd(); });
  QObject::connect(&window, &TfrmTrelvo::ProgramEnded, &app, &QCoreApplication::quit, Qt::QueuedConnection);

  window.FormCreate();
  if (window.Core().TerminateRequested) {
    // The end comes on the first return to the event loop, before any tick.
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    app.exec();
    return 1;
  }
  if (window.Ended()) return 0;  // a signal during the start
  const int rc = app.exec();
  app.ErrorReport = nullptr;
  return rc;
}
