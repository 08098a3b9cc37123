// trelvo: the tray program. It runs the scheduled transfers of the
// installation beside the program file (or in TRELVO_HOME) until "Sulje",
// SIGTERM or SIGINT ends it.
#include <QSystemTrayIcon>
#include <QTimer>
#include <iostream>

#include "app/Application.h"
#include "app/MainWindow.h"
#include "app/ProgramCloser.h"
#include "app/SignalWatcher.h"

int main(int argc, char** argv) {
  using namespace trelvo;
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
