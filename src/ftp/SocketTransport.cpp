#include "ftp/SocketTransport.h"

#include <sys/socket.h>

#include <cerrno>

#include "ftp/AsyncSocket.h"

namespace trelvo {

TIoResult TSocketTransport::Read(int fd, void* buffer, size_t size) {
  ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
  if (n >= 0) return {n, TIoStatus::Done, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {0, TIoStatus::WantRead, WSAEWOULDBLOCK};
  return {0, TIoStatus::Failed, WinsockErrorFromErrno(errno)};
}

TIoResult TSocketTransport::Write(int fd, const iovec* parts, int count, bool urgent) {
  int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (urgent ? MSG_OOB : 0);
  ssize_t n;
  if (count == 1) {
    n = ::send(fd, parts[0].iov_base, parts[0].iov_len, flags);
  } else {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = static_cast<size_t>(count);
    n = ::sendmsg(fd, &msg, flags);
  }
  if (n >= 0) return {n, TIoStatus::Done, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {0, TIoStatus::WantWrite, WSAEWOULDBLOCK};
  return {0, TIoStatus::Failed, WinsockErrorFromErrno(errno)};
}

}  // namespace trelvo
