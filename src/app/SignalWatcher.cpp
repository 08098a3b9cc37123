#include "app/SignalWatcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <stdexcept>

namespace trelvo {

namespace {
int gFds[2] = {-1, -1};
struct sigaction gOldTerm {}, gOldInt {}, gOldHup {};

void Handler(int sig) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  // A full pipe means an earlier signal is still unread: that one ends the
  // program all the same.
  (void)!::write(gFds[1], &byte, 1);
  errno = saved;
}
}  // namespace

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent) {
  if (gFds[0] >= 0) throw std::logic_error("TSignalWatcher: only one at a time");
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gFds) != 0)
    throw std::runtime_error("TSignalWatcher: socketpair failed");
  Notifier_ = new QSocketNotifier(gFds[0], QSocketNotifier::Read, this);
  connect(Notifier_, &QSocketNotifier::activated, this, &TSignalWatcher::ReadPending);
  struct sigaction sa {};
  sa.sa_handler = Handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, &gOldTerm);
  ::sigaction(SIGINT, &sa, &gOldInt);
  // A closed terminal would otherwise end the program in the middle of a run.
  ::sigaction(SIGHUP, &sa, &gOldHup);
}

TSignalWatcher::~TSignalWatcher() {
  ::sigaction(SIGTERM, &gOldTerm, nullptr);
  ::sigaction(SIGINT, &gOldInt, nullptr);
  ::sigaction(SIGHUP, &gOldHup, nullptr);
  delete Notifier_;
  ::close(gFds[0]);
  ::close(gFds[1]);
  gFds[0] = gFds[1] = -1;
}

void TSignalWatcher::ReadPending() {
  unsigned char buf[16];
  ssize_t n;
  while ((n = ::read(gFds[0], buf, sizeof buf)) > 0)
    for (ssize_t i = 0; i < n; ++i) emit Signalled(buf[i]);
}

}  // namespace trelvo
