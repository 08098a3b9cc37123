#include "ftp/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace trelvo {

namespace {

// Private messages of a socket, relative to QEvent::User like the original's
// window messages were relative to the first user message.
constexpr int MsgRead = QEvent::User + 1;
constexpr int MsgClose = QEvent::User + 4;
constexpr int MsgTestException = QEvent::User + 6;

class TSocketMsg : public QEvent {
 public:
  TSocketMsg(int type, uint64_t generation) : QEvent(static_cast<QEvent::Type>(type)), Generation(generation) {}
  uint64_t Generation;
};

std::string Format(const char* fmt, const std::string& a, int b) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, a.c_str(), b);
  return buf;
}

// Optional blanks, four decimal parts of at most 255 and exactly three dots,
// optional trailing blanks.
bool IsDottedLiteral(const std::string& s, uint32_t& addr) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  uint32_t parts[4];
  for (int p = 0; p < 4; ++p) {
    if (p > 0) {
      if (i >= s.size() || s[i] != '.') return false;
      ++i;
    }
    size_t start = i;
    unsigned v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 4) v = v * 10 + unsigned(s[i++] - '0');
    if (i == start || v > 255) return false;
    parts[p] = v;
  }
  while (i < s.size() && s[i] == ' ') ++i;
  if (i != s.size()) return false;
  addr = htonl((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
  return true;
}

std::string DottedAddr(uint32_t netAddr) {
  char buf[INET_ADDRSTRLEN];
  in_addr a{};
  a.s_addr = netAddr;
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

bool IsNumber(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    // A send to a peer that has gone: Winsock reports the reset.
    case EPIPE: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return err;
  }
}

std::string WSocketErrorDesc(int error) {
  switch (error) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
  }
}

// ---- TBuffer ----

TBuffer::TBuffer(int size) : Data_(size > 0 ? size : 1514) {}

int TBuffer::Write(const char* data, int len) {
  int room = BufSize() - WrCount_;
  int n = len < room ? len : room;
  if (n > 0) {
    std::memcpy(Data_.data() + WrCount_, data, n);
    WrCount_ += n;
  }
  return n > 0 ? n : 0;
}

const char* TBuffer::Peek(int& len) const {
  len = WrCount_ - RdCount_;
  return Data_.data() + RdCount_;
}

void TBuffer::Remove(int len) {
  RdCount_ += len;
  if (RdCount_ >= WrCount_) RdCount_ = WrCount_ = 0;
}

void TBuffer::SetBufSize(int size) {
  if (size <= 0) size = 1514;
  std::vector<char> data(size > WrCount_ - RdCount_ ? size : WrCount_ - RdCount_);
  int unread = WrCount_ - RdCount_;
  std::memcpy(data.data(), Data_.data() + RdCount_, unread);
  Data_.swap(data);
  RdCount_ = 0;
  WrCount_ = unread;
}

// ---- the socket's private event target ----

class TSocketWindow : public QObject {
 public:
  explicit TSocketWindow(TAsyncSocket* owner) : Owner_(owner) {}
  ~TSocketWindow() override { DropNotifiers(); }

  void Watch(int fd, bool watchWrite) {
    DropNotifiers();
    Read_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    Write_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    Write_->setEnabled(watchWrite);
    QObject::connect(Read_, &QSocketNotifier::activated, this, [this] { Owner_->Guarded([this] { Owner_->HandleReadReady(); }); });
    QObject::connect(Write_, &QSocketNotifier::activated, this, [this] { Owner_->Guarded([this] { Owner_->HandleWriteReady(); }); });
  }

  void WatchWrite(bool on) {
    if (Write_ && Write_->isEnabled() != on) Write_->setEnabled(on);
  }
  void WatchRead(bool on) {
    if (Read_ && Read_->isEnabled() != on) Read_->setEnabled(on);
  }

  // A notifier may be the one whose signal is running right now, so it is
  // disabled at once and deleted from the loop.
  void DropNotifiers() {
    for (QSocketNotifier* n : {Read_, Write_}) {
      if (!n) continue;
      n->setEnabled(false);
      n->disconnect();
      n->deleteLater();
    }
    Read_ = Write_ = nullptr;
  }

 protected:
  void customEvent(QEvent* event) override {
    auto* msg = static_cast<TSocketMsg*>(event);
    uint64_t generation = msg->Generation;
    switch (static_cast<int>(event->type())) {
      case MsgRead: Owner_->Guarded([&] { Owner_->HandlePostedRead(generation); }); break;
      case MsgClose: Owner_->Guarded([&] { Owner_->HandlePostedClose(generation); }); break;
      case MsgTestException:
        Owner_->Guarded([] { throw ESocketException("Test exception in AsyncSocket"); });
        break;
      default: break;
    }
  }

 private:
  TAsyncSocket* Owner_;
  QSocketNotifier* Read_ = nullptr;
  QSocketNotifier* Write_ = nullptr;
};

// ---- TAsyncSocket ----

std::deque<TAsyncSocket*>& TAsyncSocket::DueWrites() {
  thread_local std::deque<TAsyncSocket*> due;
  return due;
}

std::deque<TAsyncSocket*>& TAsyncSocket::DueReads() {
  thread_local std::deque<TAsyncSocket*> due;
  return due;
}

bool TAsyncSocket::DeliverDueEvents() {
  auto& writes = DueWrites();
  auto& reads = DueReads();
  size_t nw = writes.size(), nr = reads.size();
  // Events queued by the handlers below wait for the next pass.
  for (size_t i = 0; i < nw && !writes.empty(); ++i) {
    TAsyncSocket* s = writes.front();
    writes.pop_front();
    s->InDueList_ = false;
    s->Guarded([s] {
      if (s->State_ == ssConnected && !s->Paused_) s->HandleWriteReady();
    });
  }
  for (size_t i = 0; i < nr && !reads.empty(); ++i) {
    TAsyncSocket* s = reads.front();
    reads.pop_front();
    s->InDueReadList_ = false;
    s->Guarded([s] {
      if (s->State_ == ssConnected && !s->Paused_) s->HandleReadReady();
    });
  }
  return nw + nr > 0;
}

void TAsyncSocket::LeaveDueList() {
  for (auto [list, flag] : {std::pair{&DueWrites(), &InDueList_}, std::pair{&DueReads(), &InDueReadList_}}) {
    if (!*flag) continue;
    for (auto it = list->begin(); it != list->end(); ++it)
      if (*it == this) {
        list->erase(it);
        break;
      }
    *flag = false;
  }
}

TAsyncSocket::TAsyncSocket() : Window_(std::make_unique<TSocketWindow>(this)) {
  SendBuffers_.emplace_back(SendBlockSize);
  UsePlainTransport();
  ResetState();
}

TAsyncSocket::~TAsyncSocket() {
  Destroying_ = true;
  LeaveDueList();
  if (LookupId_ >= 0) {
    QHostInfo::abortHostLookup(LookupId_);
    LookupId_ = -1;
  }
  try {
    if (State_ != ssClosed || Handle_ >= 0) InternalClose(true, true);
  } catch (...) {
  }
  Window_.reset();
}

template <class F>
void TAsyncSocket::Guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    HandleBgException(e);
  } catch (...) {
    HandleBgException(ESocketException("Unknown exception"));
  }
}

void TAsyncSocket::HandleBgException(const std::exception& e) {
  bool canClose = true;
  if (OnBgException) {
    try {
      OnBgException(this, e, canClose);
    } catch (...) {
    }
  }
  if (canClose) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

void TAsyncSocket::ChangeState(TSocketState newState) {
  TSocketState old = State_;
  State_ = newState;
  if (OnChangeState) OnChangeState(this, old, newState);
}

void TAsyncSocket::RaiseException(const std::string& message) {
  if (OnError) {
    OnError(this);
    return;
  }
  throw ESocketException(message);
}

void TAsyncSocket::SocketError(const std::string& function, int error) {
  if (error < 0) error = WinsockErrorFromErrno(errno);
  if ((error == WSAECONNRESET || error == WSAENOTCONN) && Handle_ >= 0) {
    bool wasOpen = State_ != ssClosed;
    StopWatching();
    ::close(Handle_);
    Handle_ = -1;
    ++Generation_;
    ChangeState(ssClosed);
    if (wasOpen && !CloseInvoked_) {
      CloseInvoked_ = true;
      if (OnSessionClosed) OnSessionClosed(this, static_cast<uint16_t>(error));
    }
  }
  LastError_ = error;
  RaiseException("Error " + std::to_string(error) + " in function " + function + "\r\n" + WSocketErrorDesc(error));
}

void TAsyncSocket::ResetState() {
  AddrAssigned_ = PortAssigned_ = false;
  AddrResolved_ = PortResolved_ = LocalPortResolved_ = ProtoResolved_ = false;
  // Assigned from std::string, not from literals: g++ 12 at -O3 warns
  // falsely (-Wrestrict) about literal assignments inlined here.
  static const std::string tcp = "tcp", anyAddr = "0.0.0.0", zero = "0", five = "5";
  Proto_ = tcp;
  ProtoAssigned_ = true;
  LocalAddr_ = anyAddr;
  LocalPort_ = zero;
  LingerOnOff_ = lingerOn;
  LingerTimeout_ = 0;
  Handle_ = -1;
  State_ = ssClosed;
  AllSent_ = true;
  Paused_ = false;
  ReadCount_ = 0;
  CloseInvoked_ = false;
  FlushTimeout = 60;
  SocksLevel_ = five;
  SocksServer.clear();
  SocksPort.clear();
  CloseError_ = 0;
  CloseWhenFlushed_ = false;
  EofSeen_ = false;
  WriteEventWanted_ = false;
  LeaveDueList();
  UsePlainTransport();
}

void TAsyncSocket::UsePlainTransport() {
  if (!Tls_ && Transport_) return;
  Transport_ = std::make_unique<TSocketTransport>();
  Tls_ = nullptr;
  Handshaking_ = false;
  CloseAfterHandshake_ = false;
  ReadWantsWrite_ = WriteWantsRead_ = ReadRetryDue_ = false;
}

void TAsyncSocket::DeleteBufferedData() {
  Gathered_.clear();
  SendBuffers_.clear();
  SendBuffers_.emplace_back(SendBlockSize);
  AllSent_ = true;
}

// ---- properties ----

void TAsyncSocket::SetAddr(const std::string& value) {
  if (State_ != ssClosed) return RaiseException("Cannot change Addr if not closed");
  Addr_ = value;
  AddrAssigned_ = true;
  AddrResolved_ = false;
}

void TAsyncSocket::SetPort(const std::string& value) {
  if (State_ != ssClosed) return RaiseException("Cannot change Port if not closed");
  Port_ = value;
  PortAssigned_ = true;
  PortResolved_ = false;
}

void TAsyncSocket::SetProto(const std::string& value) {
  if (State_ != ssClosed) return RaiseException("Cannot change Proto if not closed");
  Proto_ = value;
  ProtoAssigned_ = true;
  ProtoResolved_ = false;
  PortResolved_ = false;
}

void TAsyncSocket::SetLocalAddr(const std::string& value) {
  if (State_ != ssClosed) return RaiseException("Cannot change LocalAddr if not closed");
  LocalAddr_ = value.empty() ? "0.0.0.0" : value;
}

void TAsyncSocket::SetLocalPort(const std::string& value) {
  if (State_ != ssClosed) return RaiseException("Cannot change LocalPort if not closed");
  LocalPort_ = value;
  LocalPortResolved_ = false;
}

void TAsyncSocket::SetLingerOnOff(TSocketLingerOnOff value) {
  LingerOnOff_ = value;
  if (Handle_ >= 0 && State_ == ssConnected) SetLingerOption();
}

void TAsyncSocket::SetLingerTimeout(int seconds) {
  LingerTimeout_ = seconds;
  if (Handle_ >= 0 && State_ == ssConnected) SetLingerOption();
}

void TAsyncSocket::SetSocksLevel(const std::string& value) {
  if (value != "4" && value != "4A" && value != "4a" && value != "5")
    return RaiseException("Invalid socks level. Must be 4, 4A or 5.");
  SocksLevel_ = value;
}

void TAsyncSocket::SetLineMode(bool value) {
  if (value) RaiseException("Line mode is not supported");
}

std::string TAsyncSocket::PeerAddr() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (State_ != ssConnected || ::getpeername(Handle_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "error";
  return DottedAddr(a.sin_addr.s_addr);
}

std::string TAsyncSocket::PeerPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (State_ != ssConnected || ::getpeername(Handle_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "error";
  return std::to_string(ntohs(a.sin_port));
}

int64_t TAsyncSocket::RcvdCount() const {
  int n = 0;
  if (Handle_ < 0 || ::ioctl(Handle_, FIONREAD, &n) != 0) return 0;
  return n + static_cast<int64_t>(Transport_->Buffered());
}

void TAsyncSocket::SetLingerOption() {
  if (LingerOnOff_ == lingerNoSet) return;
  if (Handle_ < 0) return RaiseException("Cannot set linger option at this time");
  linger l{};
  l.l_onoff = LingerOnOff_ == lingerOn ? 1 : 0;
  l.l_linger = LingerTimeout_;
  if (::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) SocketError("setsockopt(SO_LINGER)");
}

// ---- name lookup ----

void TAsyncSocket::DnsLookup(const std::string& hostName) {
  if (hostName.empty()) return RaiseException("DNS lookup: invalid host name.");
  if (!Window_) return RaiseException("DnsLookup: Window not assigned");
  if (LookupId_ >= 0) {
    QHostInfo::abortHostLookup(LookupId_);
    LookupId_ = -1;
  }
  DnsResult_.clear();
  DnsResultList_.clear();
  uint32_t addr;
  if (IsDottedLiteral(hostName, addr)) {
    DnsResult_ = DottedAddr(addr);
    DnsResultList_.push_back(DnsResult_);
    if (OnDnsLookupDone) OnDnsLookupDone(this, 0);
    return;
  }
  InLookupStart_ = true;
  HeldAnswer_ = false;
  int id = QHostInfo::lookupHost(QString::fromStdString(hostName), Window_.get(), [this](const QHostInfo& info) {
    int error = 0;
    std::vector<std::string> addresses;
    if (info.error() != QHostInfo::NoError) {
      error = WSAHOST_NOT_FOUND;
    } else {
      for (const auto& a : info.addresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol) addresses.push_back(a.toString().toStdString());
      if (addresses.empty()) error = 11004;
    }
    Guarded([&] { DnsAnswer(info.lookupId(), error, addresses); });
  });
  LookupId_ = id;
  InLookupStart_ = false;
  if (HeldAnswer_) {
    HeldAnswer_ = false;
    DnsAnswer(LookupId_, HeldError_, HeldAddresses_);
  }
}

void TAsyncSocket::DnsAnswer(int lookupId, int error, const std::vector<std::string>& addresses) {
  if (InLookupStart_) {
    HeldAnswer_ = true;
    HeldError_ = error;
    HeldAddresses_ = addresses;
    return;
  }
  if (lookupId != LookupId_) return;
  LookupId_ = -1;
  if (error == 0) {
    DnsResultList_ = addresses;
    DnsResult_ = addresses.front();
  }
  if (OnDnsLookupDone) OnDnsLookupDone(this, static_cast<uint16_t>(error));
}

void TAsyncSocket::CancelDnsLookup() {
  if (LookupId_ < 0) return SocketError("WSACancelAsyncRequest", WSAEINVAL);
  QHostInfo::abortHostLookup(LookupId_);
  LookupId_ = -1;
  if (!Destroying_ && OnDnsLookupDone) OnDnsLookupDone(this, WSAEINTR);
}

// ---- resolving ----

bool TAsyncSocket::Resolve(const char* op) {
  try {
    if (!ProtoResolved_) {
      if (Proto_.empty()) throw ESocketException("ResolveProto: Invalid Protocol.");
      if (IsNumber(Proto_)) {
        ProtoNumber_ = std::stoi(Proto_);
      } else {
        protoent* p = ::getprotobyname(Proto_.c_str());
        if (!p) throw ESocketException(Format("ResolveProto: Cannot convert protocol '%s', Error #%d", Proto_, 10043));
        ProtoNumber_ = p->p_proto;
      }
      SockType_ = ProtoNumber_ == IPPROTO_TCP ? SOCK_STREAM : ProtoNumber_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
      ProtoResolved_ = true;
    }
    auto resolvePort = [&](const std::string& port) -> uint16_t {
      if (port.empty() || port.size() >= 32) throw ESocketException("ResolvePort: Invalid Port.");
      if (Proto_.empty() || Proto_.size() >= 32) throw ESocketException("ResolvePort: Invalid Proto.");
      if (IsNumber(port)) return static_cast<uint16_t>(std::stoul(port));
      servent* s = ::getservbyname(port.c_str(), SockType_ == SOCK_DGRAM ? "udp" : "tcp");
      if (!s) throw ESocketException(Format("ResolvePort: Cannot convert port '%s', Error #%d", port, 10022));
      return ntohs(static_cast<uint16_t>(s->s_port));
    };
    if (!PortResolved_) {
      SinPort_ = resolvePort(Port_);
      PortResolved_ = true;
    }
    if (!LocalPortResolved_) {
      LocalSinPort_ = resolvePort(LocalPort_);
      LocalPortResolved_ = true;
    }
    if (!AddrResolved_) {
      if (Addr_.empty() || Addr_.size() > 256) throw ESocketException("ResolveHost: '" + Addr_ + "' Invalid Hostname.");
      uint32_t a;
      if (IsDottedLiteral(Addr_, a)) {
        SinAddr_ = a;
      } else {
        bool numeric = true;
        for (char c : Addr_) numeric = numeric && ((c >= '0' && c <= '9') || c == '.' || c == ' ');
        if (numeric) throw ESocketException("ResolveHost: '" + Addr_ + "' Invalid IP address.");
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (::getaddrinfo(Addr_.c_str(), nullptr, &hints, &res) != 0 || !res)
          throw ESocketException(Format("ResolveHost: Cannot convert host address '%s', Error #%d", Addr_, WSAHOST_NOT_FOUND));
        SinAddr_ = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
        ::freeaddrinfo(res);
      }
      AddrResolved_ = true;
    }
  } catch (const ESocketException& e) {
    RaiseException(std::string(op) + ": " + e.Message());
    return false;
  }
  return true;
}

// ---- connect, listen, accept ----

void TAsyncSocket::StartWatching(bool watchWrite) { Window_->Watch(Handle_, watchWrite); }

void TAsyncSocket::NewHandle(int handle) {
  UsePlainTransport();
  TlsFailure_.clear();
  Handle_ = handle;
  ++Generation_;
  CloseInvoked_ = false;
  CloseError_ = 0;
  EofSeen_ = false;
}

void TAsyncSocket::StopWatching() {
  if (Window_) Window_->DropNotifiers();
}

void TAsyncSocket::Connect() {
  if (Handle_ >= 0 && State_ != ssClosed) return RaiseException("Connect: Socket already in use");
  if (!PortAssigned_) return RaiseException("Connect: No Port Specified");
  if (!AddrAssigned_) return RaiseException("Connect: No IP Address Specified");
  if (!ProtoAssigned_) return RaiseException("Connect: No Protocol Specified");
  if (!SocksServer.empty()) {
    if (Proto_ != "tcp" && Proto_ != "6") return RaiseException("tcp is the only protocol supported thru socks server");
    return RaiseException("Connect: connecting thru a socks server is not supported");
  }
  if (!Resolve("connect")) return;
  DeleteBufferedData();
  int h = ::socket(AF_INET, SockType_ | SOCK_NONBLOCK | SOCK_CLOEXEC, ProtoNumber_);
  if (h < 0) return SocketError("socket");
  NewHandle(h);
  ChangeState(ssOpened);
  if (State_ != ssOpened) return RaiseException("Connect (Invalid operation in OnChangeState)");
  // A failure below leaves no half-made handle behind, so the next Connect
  // of the same object is not refused as "already in use".
  auto fail = [&](const std::string& function, int error) {
    ::close(Handle_);
    Handle_ = -1;
    ++Generation_;
    ChangeState(ssClosed);
    SocketError(function, error);
  };
  if (SockType_ == SOCK_STREAM) {
    int one = 1;
    if (::setsockopt(Handle_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
      return fail("setsockopt(SO_REUSEADDR)", WinsockErrorFromErrno(errno));
    if ((ComponentOptions & sockTcpNoDelay) && ::setsockopt(Handle_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
      return fail("setsockopt(IPPROTO_TCP, TCP_NODELAY)", WinsockErrorFromErrno(errno));
    if (LingerOnOff_ != lingerNoSet) {
      linger l{};
      l.l_onoff = LingerOnOff_ == lingerOn ? 1 : 0;
      l.l_linger = LingerTimeout_;
      if (::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        return fail("setsockopt(SO_LINGER)", WinsockErrorFromErrno(errno));
    }
    if (::setsockopt(Handle_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0)
      return fail("setsockopt(SO_KEEPALIVE)", WinsockErrorFromErrno(errno));
  }
  if (LocalSinPort_ != 0 || LocalAddr_ != "0.0.0.0") {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(LocalSinPort_);
    uint32_t a = INADDR_ANY;
    if (!IsDottedLiteral(LocalAddr_, a)) a = INADDR_ANY;
    local.sin_addr.s_addr = a;
    if (::bind(Handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      int e = WinsockErrorFromErrno(errno);
      ::close(Handle_);
      Handle_ = -1;
      ChangeState(ssClosed);
      return RaiseException("winsock.bind failed, error #" + std::to_string(e));
    }
    socklen_t len = sizeof local;
    if (::getsockname(Handle_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
      return RaiseException("winsock.getsockname failed, error #" + std::to_string(WinsockErrorFromErrno(errno)));
    LocalPort_ = std::to_string(ntohs(local.sin_port));
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(SinPort_);
  remote.sin_addr.s_addr = SinAddr_;
  StartWatching(true);
  if (::connect(Handle_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 || errno == EINPROGRESS) {
    ChangeState(ssConnecting);
    return;
  }
  int e = WinsockErrorFromErrno(errno);
  StopWatching();
  fail("Connect", e);
}

void TAsyncSocket::Listen() {
  if (!PortAssigned_) return RaiseException("listen: port not assigned");
  if (!ProtoAssigned_) return RaiseException("listen: protocol not assigned");
  if (!AddrAssigned_) return RaiseException("listen: address not assigned");
  if (!SocksServer.empty()) return RaiseException("Listening is not supported thru socks server");
  if (!Resolve("listen")) return;
  DeleteBufferedData();
  int h = ::socket(AF_INET, SockType_ | SOCK_NONBLOCK | SOCK_CLOEXEC, ProtoNumber_);
  if (h < 0) return SocketError("socket");
  NewHandle(h);
  // A failed listen leaves no handle behind.
  auto fail = [&](const char* function) {
    int e = WinsockErrorFromErrno(errno);
    ::close(Handle_);
    Handle_ = -1;
    ++Generation_;
    if (State_ != ssClosed) ChangeState(ssClosed);
    SocketError(function, e);
  };
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(SinPort_);
  local.sin_addr.s_addr = SinAddr_;
  if (::bind(Handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("Bind");
  ChangeState(ssBound);
  if (SockType_ == SOCK_STREAM) {
    if (::listen(Handle_, 5) != 0) return fail("Listen");
    ChangeState(ssListening);
  }
  StartWatching(false);
}

int TAsyncSocket::Accept() {
  if (State_ != ssListening) {
    SocketError("not a listening socket", WSAEINVAL);
    return -1;
  }
  int h = ::accept4(Handle_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (h < 0) {
    SocketError("Accept");
    return -1;
  }
  return h;
}

void TAsyncSocket::Dup(int newHandle) {
  if (newHandle < 0) return SocketError("Dup", WSAEINVAL);
  if (State_ != ssClosed && Handle_ >= 0) {
    StopWatching();
    if (::close(Handle_) != 0) {
      Handle_ = -1;
      return SocketError("Dup (closesocket)");
    }
    Handle_ = -1;
    ChangeState(ssClosed);
  }
  NewHandle(newHandle);
  int flags = ::fcntl(Handle_, F_GETFL);
  ::fcntl(Handle_, F_SETFL, flags | O_NONBLOCK);
  SetLingerOption();
  StartWatching(false);
  ChangeState(ssConnected);
}

int TAsyncSocket::GetSockName(sockaddr_in& addr, int& len) {
  socklen_t l = static_cast<socklen_t>(len);
  int rc = ::getsockname(Handle_, reinterpret_cast<sockaddr*>(&addr), &l);
  len = static_cast<int>(l);
  if (rc != 0) LastError_ = WinsockErrorFromErrno(errno);
  return rc;
}

// ---- sending ----

int TAsyncSocket::Send(const void* data, int len) {
  if (State_ != ssConnected) {
    SocketError("Send", WSAENOTCONN);
    return -1;
  }
  if (len <= 0) return 0;
  AllSent_ = false;
  const char* p = static_cast<const char*>(data);
  int left = len;
  // A block that would only pass through the send blocks on its way to the
  // gathering area goes there directly.
  int pending;
  SendBuffers_.front().Peek(pending);
  if (Gathering_ && SendBuffers_.size() == 1 && pending == 0 &&
      Gathered_.size() + static_cast<size_t>(len) <= static_cast<size_t>(SendBatchSize) && Handle_ >= 0) {
    Gathered_.insert(Gathered_.end(), p, p + len);
    left = 0;
  }
  while (left > 0) {
    int n = SendBuffers_.back().Write(p, left);
    if (n == 0) {
      SendBuffers_.emplace_back(SendBlockSize);
      continue;
    }
    p += n;
    left -= n;
  }
  // The write event is owed either way; it comes from the loop, never from
  // inside Send. Data that went out whole is also queued as due, so a pump
  // that knows the queue (the blocking FTP wait) can deliver the event
  // without asking the system whether the socket is writable; the notifier
  // delivers it under any other loop.
  WriteEventWanted_ = true;
  if (TryToSend()) {
    Window_->WatchWrite(true);
    if (!InDueList_) {
      InDueList_ = true;
      DueWrites().push_back(this);
    }
  }
  return len;
}

int TAsyncSocket::SendStr(const std::string& s) { return s.empty() ? 0 : Send(s.data(), static_cast<int>(s.size())); }

bool TAsyncSocket::TryToSend() {
  // During a handshake the blocks wait; its end asks for a write event.
  if (Handle_ < 0 || State_ != ssConnected || Handshaking_) return false;
  while (!SendBuffers_.empty()) {
    TBuffer& b = SendBuffers_.front();
    int len;
    const char* p = b.Peek(len);
    if (len <= 0 && SendBuffers_.size() > 1) {
      SendBuffers_.pop_front();
      continue;
    }
    int gathered = static_cast<int>(Gathered_.size());
    if (len > 0 && Gathering_ && gathered + len <= SendBatchSize) {
      Gathered_.insert(Gathered_.end(), p, p + len);
      b.Remove(len);
      continue;
    }
    if (len <= 0 && (Gathering_ || gathered == 0)) {
      AllSent_ = true;
      return true;
    }
    // Gathered bytes go first, in the same call as the block that follows.
    iovec iov[2];
    int parts = 0;
    if (gathered > 0) iov[parts++] = {Gathered_.data(), static_cast<size_t>(gathered)};
    if (len > 0) iov[parts++] = {const_cast<char*>(p), static_cast<size_t>(len)};
    TIoResult r = Transport_->Write(Handle_, iov, parts, SendFlags == sendUrgent);
    ssize_t n = r.Count;
    if (r.Status != TIoStatus::Done) {
      int e = r.Error;
      if (r.Status == TIoStatus::WantRead) {
        WriteWantsRead_ = true;  // the read notifier brings the next try
        return false;
      }
      if (r.Status == TIoStatus::WantWrite) {
        Window_->WatchWrite(true);
        return false;
      }
      if (e == WSAEINVAL || e == WSAENOTSOCK || e == WSAECONNABORTED || e == WSAECONNRESET || e == WSAENOTCONN) {
        LastError_ = e;
        StopWatching();
        ::close(Handle_);
        Handle_ = -1;
        ++Generation_;
        ChangeState(ssClosed);
        bool report = !CloseInvoked_;
        ResetState();
        CloseInvoked_ = true;
        DeleteBufferedData();
        if (report && OnSessionClosed) OnSessionClosed(this, static_cast<uint16_t>(e));
        return false;
      }
      SocketError("TryToSend failed", e);
      return false;
    }
    if (OnSendData) OnSendData(this, static_cast<int>(n));
    int fromGathered = n < gathered ? static_cast<int>(n) : gathered;
    Gathered_.erase(Gathered_.begin(), Gathered_.begin() + fromGathered);
    int fromBlock = static_cast<int>(n) - fromGathered;
    if (fromBlock > 0) b.Remove(fromBlock);
    if (!Gathered_.empty() || fromBlock < len) {
      Window_->WatchWrite(true);
      return false;
    }
  }
  return false;
}

void TAsyncSocket::FlushGatheredNow() {
  if (Gathered_.empty()) return;
  bool gathering = Gathering_;
  Gathering_ = false;
  TryToSend();
  Gathering_ = gathering;
}

bool TAsyncSocket::FlushGathered() {
  if (Gathered_.empty() || Handle_ < 0 || State_ != ssConnected) return true;
  // The bytes were reported as passed on, so the close waits for them as it
  // would for the system's own buffer: as long as the peer keeps taking them,
  // giving up after FlushTimeout seconds without any progress.
  using namespace std::chrono;
  auto limit = milliseconds(int64_t(FlushTimeout > 0 ? FlushTimeout : 0) * 1000);
  auto lastProgress = steady_clock::now();
  size_t done = 0;
  while (done < Gathered_.size()) {
    iovec part{Gathered_.data() + done, Gathered_.size() - done};
    TIoResult r = Transport_->Write(Handle_, &part, 1, false);
    ssize_t n = r.Count;
    if (r.Status == TIoStatus::Done && n > 0) {
      if (OnSendData) OnSendData(this, static_cast<int>(n));
      done += static_cast<size_t>(n);
      lastProgress = steady_clock::now();
      continue;
    }
    if (r.Status == TIoStatus::Failed && r.Error == WSAEINTR) continue;
    auto waited = steady_clock::now() - lastProgress;
    bool wait = r.Status == TIoStatus::WantWrite || r.Status == TIoStatus::WantRead;
    if (wait && waited < limit) {
      pollfd pfd{Handle_, static_cast<short>(r.Status == TIoStatus::WantRead ? POLLIN : POLLOUT), 0};
      ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(100, duration_cast<milliseconds>(limit - waited).count() + 1)));
      continue;
    }
    break;
  }
  bool delivered = done == Gathered_.size();
  Gathered_.clear();
  return delivered;
}

void TAsyncSocket::HandleWriteReady() {
  if (Paused_ || Handle_ < 0) return;
  if (State_ == ssConnecting || State_ == ssOpened) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(Handle_, SOL_SOCKET, SO_ERROR, &err, &len);
    int error = WinsockErrorFromErrno(err);
    Window_->WatchWrite(false);
    uint64_t generation = Generation_;
    if (State_ != ssConnected) {
      ChangeState(ssConnected);
      if (OnSessionConnected) OnSessionConnected(this, static_cast<uint16_t>(error));
    }
    if (generation != Generation_) return;
    if (error != 0 && State_ != ssClosed) Close();
    return;
  }
  if (Handshaking_) return ContinueHandshake();
  if (ReadWantsWrite_) {
    ReadWantsWrite_ = false;
    ReadRetryDue_ = true;
    PostRead();
  }
  // While a run of blocks goes on, the blocks are gathered (see
  // SendBatchSize); the run ends when a write event finds nothing owed or the
  // handler sends nothing more, and what is gathered then goes out.
  struct TGatherScope {
    bool& Flag;
    TGatherScope(bool& flag, bool on) : Flag(flag) { Flag = on; }
    ~TGatherScope() { Flag = false; }
  };
  uint64_t generation = Generation_;
  {
    TGatherScope scope(Gathering_, SendBatchSize > 0);
    if (!TryToSend()) return;
    if (WriteEventWanted_) {
      WriteEventWanted_ = false;
      if (OnDataSent) OnDataSent(this, 0);
      if (generation != Generation_ || WriteEventWanted_) return;
    }
  }
  if (!Gathered_.empty() && !TryToSend()) return;
  if (CloseWhenFlushed_) return Close();
  // The handler usually sends the next block at once; the notifier then
  // stays on instead of being switched off and on for every block.
  if (AllSent_) Window_->WatchWrite(false);
}

// ---- receiving ----

void TAsyncSocket::HandleReadReady() {
  if (Paused_ || Handle_ < 0 || InReadReady_) return;
  // A handler that lets the event loop run (a progress handler serving the
  // window) would otherwise be called again for the same bytes from inside
  // itself, once per chunk, until the stack runs out: the notifier reports
  // readable for as long as bytes wait. It reports again once this returns.
  InReadReady_ = true;
  Window_->WatchRead(false);
  struct TReadDone {
    TAsyncSocket& S;
    ~TReadDone() {
      S.InReadReady_ = false;
      if (S.Handle_ >= 0 && !S.Paused_) S.Window_->WatchRead(true);
    }
  } done{*this};
  uint64_t generation = Generation_;
  if (State_ == ssListening) {
    if (OnSessionAvailable) OnSessionAvailable(this, 0);
    return;
  }
  if (State_ == ssConnecting || State_ == ssOpened) {
    HandleWriteReady();  // the connect result comes first
    if (generation != Generation_ || State_ != ssConnected) return;
  }
  if (Handshaking_) return ContinueHandshake();
  if (WriteWantsRead_) {
    WriteWantsRead_ = false;
    Window_->WatchWrite(true);
  }
  // Linux reports data, end of stream and errors alike as "readable". The
  // read event is raised; a Receive that meets the end or an error marks the
  // close, and the close event follows once the handler has returned, so all
  // data is delivered before OnSessionClosed.
  EofSeen_ = false;
  ReceiveLoop(0, ComponentOptions);
  if (generation != Generation_ || Handle_ < 0) return;
  // A handler that left data unread is called again on the next pass: the
  // notifier stays ready while bytes wait. Bytes that TLS has already taken
  // from the system wake no notifier, so they are asked for again.
  if (!EofSeen_) {
    if (Transport_->Buffered() > 0) PostRead();
    return;
  }
  CloseEvent(static_cast<uint16_t>(CloseError_));
}

void TAsyncSocket::CloseEvent(uint16_t error) {
  uint64_t generation = Generation_;
  if (State_ != ssConnecting) {
    ReceiveLoop(error, ComponentOptions & ~sockNoReceiveLoop);
    if (generation != Generation_) return;
  }
  if (!CloseInvoked_) {
    CloseInvoked_ = true;
    if (OnSessionClosed) OnSessionClosed(this, error);
    if (generation != Generation_) return;
  }
  if (State_ != ssClosed) Close();
}

void TAsyncSocket::ReceiveLoop(uint16_t error, TSocketOptions options) {
  uint64_t generation = Generation_;
  for (;;) {
    LastError_ = 0;
    if (OnDataAvailable) {
      try {
        OnDataAvailable(this, error);
      } catch (...) {
        break;
      }
    } else {
      char buf[1024];
      if (Receive(buf, sizeof buf) < 0 && LastError_ == WSAEWOULDBLOCK) break;
    }
    if (generation != Generation_ || Handle_ < 0) return;
    if ((options & sockNoReceiveLoop) || LastError_ != 0 || EofSeen_ || RcvdCount() == 0) break;
  }
}

int TAsyncSocket::Receive(void* buffer, int size) {
  if (size <= 0 || Handle_ < 0) return 0;
  if (Handshaking_) {
    LastError_ = WSAEWOULDBLOCK;
    return -1;
  }
  TIoResult r = Transport_->Read(Handle_, buffer, static_cast<size_t>(size));
  if (r.Status == TIoStatus::WantRead || r.Status == TIoStatus::WantWrite) {
    LastError_ = WSAEWOULDBLOCK;
    if (r.Status == TIoStatus::WantWrite) {
      ReadWantsWrite_ = true;
      Window_->WatchWrite(true);
    }
    return -1;
  }
  if (r.Status == TIoStatus::Failed) {
    LastError_ = r.Error;
    if (Tls_) TlsFailure_ = Tls_->Failure();
    if (r.Error != WSAEINTR && !EofSeen_) {
      EofSeen_ = true;
      CloseError_ = LastError_;
    }
    return -1;
  }
  ssize_t n = r.Count;
  if (n == 0) {
    if (!EofSeen_) CloseError_ = 0;
    EofSeen_ = true;
    return 0;
  }
  ReadCount_ += n;
  // A read that filled the caller's buffer most likely left more behind: the
  // next read event is queued as due, like a write event (see Send).
  if ((n == size || Transport_->Buffered() > 0) && !InDueReadList_) {
    InDueReadList_ = true;
    DueReads().push_back(this);
  }
  return static_cast<int>(n);
}

// ---- closing ----

void TAsyncSocket::ShutDown(int how) {
  if (how != 0 && !FlushGathered() && Handle_ >= 0) {
    // No end of stream after lost bytes: the close will reset instead.
    linger l{1, 0};
    ::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (how == 1) return;
    how = 0;
  }
  if (Handle_ >= 0) ::shutdown(Handle_, how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR);
}

void TAsyncSocket::InternalClose(bool shutdownSend, bool fromDestructor) {
  if (Handle_ < 0) {
    if (!fromDestructor) {
      ChangeState(ssClosed);
      ResetState();
    }
    return;
  }
  bool wasOpen = State_ != ssClosed;
  if (shutdownSend && !FlushGathered()) {
    // A graceful end now would let the peer take a cut-off stream for a
    // whole one: the connection is reset instead.
    linger l{1, 0};
    ::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    shutdownSend = false;
  }
  if (shutdownSend && Tls_ && !SendTlsClose()) {
    linger l{1, 0};
    ::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    shutdownSend = false;
  }
  StopWatching();
  if (shutdownSend) ::shutdown(Handle_, SHUT_WR);
  int rc = ::close(Handle_);
  int e = rc != 0 ? WinsockErrorFromErrno(errno) : 0;
  Handle_ = -1;
  ++Generation_;
  if (fromDestructor) return;
  ChangeState(ssClosed);
  bool report = wasOpen && !CloseInvoked_;
  ResetState();
  CloseInvoked_ = true;  // until a new connection starts
  if (report && OnSessionClosed) OnSessionClosed(this, 0);
  if (e != 0 && e != WSAEWOULDBLOCK && e != WSANOTINITIALISED && e != 10004) SocketError("Disconnect (closesocket)", e);
}

void TAsyncSocket::Close() {
  if (State_ == ssClosed && Handle_ < 0) {
    ChangeState(ssClosed);
    bool reported = CloseInvoked_;
    ResetState();
    CloseInvoked_ = reported;
    return;
  }
  InternalClose(true, false);
}

void TAsyncSocket::Abort() {
  if (LookupId_ >= 0) {
    QHostInfo::abortHostLookup(LookupId_);
    LookupId_ = -1;
  }
  DeleteBufferedData();
  if (Handle_ >= 0 && State_ == ssConnected && SockType_ == SOCK_STREAM) {
    linger l{};
    ::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  InternalClose(false, false);
}

void TAsyncSocket::PostedClose() { QCoreApplication::postEvent(Window_.get(), new TSocketMsg(MsgClose, Generation_)); }

void TAsyncSocket::HandlePostedClose(uint64_t generation) {
  if (generation != Generation_) return;
  if (Handshaking_) {
    CloseAfterHandshake_ = true;
    return;
  }
  // Gathered bytes that the system cannot take yet are waited for in the
  // loop, not here: on a slow line that would freeze the thread. The write
  // event that sends the last of them closes the socket.
  FlushGatheredNow();
  if (!Gathered_.empty() && Handle_ >= 0 && State_ == ssConnected) {
    CloseWhenFlushed_ = true;
    Window_->WatchWrite(true);
    return;
  }
  Close();
}

void TAsyncSocket::PostTestException() { QCoreApplication::postEvent(Window_.get(), new TSocketMsg(MsgTestException, Generation_)); }

}  // namespace trelvo

namespace trelvo {

// ---- TLS ----

void TAsyncSocket::StartTls(std::shared_ptr<TTlsContext> context) {
  if (Handle_ < 0 || State_ != ssConnected) return RaiseException("StartTls: socket not connected");
  auto tls = std::make_unique<TTlsTransport>(std::move(context));
  Tls_ = tls.get();
  Transport_ = std::move(tls);
  TlsFailure_.clear();
  Handshaking_ = true;
  ContinueHandshake();
}

void TAsyncSocket::ContinueHandshake() {
  TIoResult r = Tls_->Handshake(Handle_);
  switch (r.Status) {
    case TIoStatus::WantRead:
      // The read notifier is on whenever no read handler runs.
      Window_->WatchWrite(false);
      return;
    case TIoStatus::WantWrite: Window_->WatchWrite(true); return;
    case TIoStatus::Failed: return HandshakeFailed(r.Error ? r.Error : WSAECONNABORTED);
    case TIoStatus::Done: break;
  }
  Handshaking_ = false;
  uint64_t generation = Generation_;
  if (OnTlsDone) OnTlsDone(this, 0);
  if (generation != Generation_ || Handle_ < 0) return;
  if (CloseAfterHandshake_) {
    CloseAfterHandshake_ = false;
    return HandlePostedClose(Generation_);
  }
  if (!AllSent_ || WriteEventWanted_) Window_->WatchWrite(true);
  if (Transport_->Buffered() > 0) PostRead();
}

void TAsyncSocket::HandshakeFailed(int error) {
  Handshaking_ = false;
  TlsFailure_ = Tls_->Failure();
  uint64_t generation = Generation_;
  if (OnTlsDone) OnTlsDone(this, static_cast<uint16_t>(error));
  if (generation != Generation_ || Handle_ < 0) return;
  if (!CloseInvoked_) {
    CloseInvoked_ = true;
    if (OnSessionClosed) OnSessionClosed(this, static_cast<uint16_t>(error));
    if (generation != Generation_ || Handle_ < 0) return;
  }
  DeleteBufferedData();
  linger l{1, 0};
  ::setsockopt(Handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  InternalClose(false, false);
}

bool TAsyncSocket::SendTlsClose() {
  using namespace std::chrono;
  auto limit = milliseconds(int64_t(FlushTimeout > 0 ? FlushTimeout : 0) * 1000);
  auto start = steady_clock::now();
  for (;;) {
    TIoResult r = Tls_->Shutdown(Handle_);
    if (r.Status == TIoStatus::Done) return true;
    auto waited = steady_clock::now() - start;
    if (r.Status != TIoStatus::WantWrite || waited >= limit) return false;
    pollfd pfd{Handle_, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(100, duration_cast<milliseconds>(limit - waited).count() + 1)));
  }
}

TTlsInfo TAsyncSocket::TlsInfo() const { return Tls_ ? Tls_->Info() : TTlsInfo{}; }

void TAsyncSocket::PostRead() {
  if (ReadPosted_) return;
  ReadPosted_ = true;
  QCoreApplication::postEvent(Window_.get(), new TSocketMsg(MsgRead, Generation_));
}

void TAsyncSocket::HandlePostedRead(uint64_t generation) {
  ReadPosted_ = false;
  if (generation != Generation_ || Handle_ < 0 || State_ != ssConnected || Paused_) return;
  // Only when bytes still wait or a read must be retried: a spurious read
  // event would cost the handler a progress call for nothing.
  bool retry = ReadRetryDue_;
  ReadRetryDue_ = false;
  if (!retry && Transport_->Buffered() == 0) return;
  HandleReadReady();
}

}  // namespace trelvo
