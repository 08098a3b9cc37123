#pragma once
// How the bytes of a socket cross its connection. The socket (AsyncSocket.h)
// keeps its events, buffers and states, and passes every read and write
// through its transport: the plain one hands them to the system as they are,
// the TLS one (TlsTransport.h) wraps them. Above the socket nothing changes.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace trelvo {

enum class TIoStatus {
  Done,       // Count bytes moved (0 from a read: the peer ended the stream)
  WantRead,   // try again once the connection is readable
  WantWrite,  // try again once the connection is writable
  Failed,     // Error holds the Winsock number
};

struct TIoResult {
  ssize_t Count = 0;
  TIoStatus Status = TIoStatus::Done;
  int Error = 0;
};

class TSocketTransport {
 public:
  virtual ~TSocketTransport() = default;
  virtual TIoResult Read(int fd, void* buffer, size_t size);
  // Writes the parts in order; a partial write reports what was taken.
  virtual TIoResult Write(int fd, const iovec* parts, int count, bool urgent);
  // Bytes already taken from the system that a read would return now.
  virtual size_t Buffered() const { return 0; }
  virtual bool Secure() const { return false; }
};

}  // namespace trelvo
