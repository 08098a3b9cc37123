#include "ftp/FtpClient.h"

#include <QCoreApplication>
#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <chrono>

namespace trelvo {

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TFtpClient::TFtpClient() { Timeout = 15; }

bool TFtpClient::ExecuteBlocking(const std::function<void()>& starter) {
  UsageErrorRaised_ = false;
  try {
    starter();
  } catch (...) {
    return false;
  }
  // A usage error that OnUsageError took did not start the request either.
  if (UsageErrorRaised_) {
    UsageErrorRaised_ = false;
    return false;
  }
  return WaitForRequest();
}

bool TFtpClient::WaitForRequest() {
  PassMs_ = NowMs();
  Deadline_ = PassMs_ + int64_t(Timeout) * 1000;
  // The loop sleeps in the event dispatcher instead of spinning; the timer
  // only makes sure the time limit is looked at while nothing else happens.
  QTimer tick;
  tick.setInterval(50);
  tick.start();
  int quickPasses = 0;
  for (;;) {
    if (IsReady()) return RequestError() == 0;
    bool terminating = !QCoreApplication::instance() || QCoreApplication::closingDown();
    if (terminating || (Timeout > 0 && PassMs_ > Deadline_)) {
      AbortClient();
      SetErrorMessage("426 Timeout");
      SetReplyCode(426);
      SetRequestError(426);
      return false;
    }
    // Socket events that need no system call are served first; the whole
    // loop still runs at least every few hundred passes and whenever none
    // are due. The clock is read only then: during a transfer it would be
    // read for every block, and the limit does not need that precision.
    if (TAsyncSocket::DeliverDueEvents() && ++quickPasses < 256) continue;
    quickPasses = 0;
    // MultiThreaded: serve only the calling thread's own queue.
    if (MultiThreaded && QThread::currentThread()->eventDispatcher())
      QThread::currentThread()->eventDispatcher()->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    else
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    PassMs_ = NowMs();
  }
}

bool TFtpClient::Progress() {
  bool goOn = TFtpClientCore::Progress();
  if (Timeout > 0) Deadline_ = PassMs_ + int64_t(Timeout) * 1000;
  return goOn;
}

}  // namespace trelvo
