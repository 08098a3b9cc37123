#pragma once
// SIGTERM, SIGINT and SIGHUP as a Qt signal: the handler only writes a byte
// into a socket pair and the event loop reads it, so nothing of the program
// runs inside the handler and a run is never cut off in the middle.
#include <QObject>

class QSocketNotifier;

namespace trelvo {

class TSignalWatcher : public QObject {
  Q_OBJECT
 public:
  // One at a time per process; the previous handlers come back when it goes.
  explicit TSignalWatcher(QObject* parent = nullptr);
  ~TSignalWatcher() override;

 signals:
  void Signalled(int signalNumber);

 private:
  void ReadPending();
  QSocketNotifier* Notifier_ = nullptr;
};

}  // namespace trelvo
