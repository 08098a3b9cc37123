#pragma once
// An asynchronous TCP socket driven by the Qt event loop of the thread that
// created it. Nothing blocks: readiness is watched with socket notifiers and
// the component's own "messages" are events posted to a private object, so
// every callback runs on the owner's thread, one at a time, and only while
// that thread runs its loop (the blocking FTP wait pumps it).
//
// Error numbers are the classic Winsock numbers (errno is mapped), because the
// FTP client's texts and the run log quote them.
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "ftp/TlsTransport.h"

struct sockaddr_in;

namespace trelvo {

class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

enum TSocketState { ssInvalidState, ssOpened, ssBound, ssConnecting, ssConnected, ssAccepting, ssListening, ssClosed };
enum TSocketLingerOnOff { lingerOff, lingerOn, lingerNoSet };
enum TSocketSendFlags { sendNormal, sendUrgent };
enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

// ComponentOptions bits.
enum TSocketOption : unsigned { sockNoReceiveLoop = 1u, sockTcpNoDelay = 2u };
using TSocketOptions = unsigned;

// Winsock numbers the code tests for by name.
enum : int {
  WSAEINTR = 10004,
  WSAEINVAL = 10022,
  WSAEWOULDBLOCK = 10035,
  WSAENOTSOCK = 10038,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOTCONN = 10057,
  WSANOTINITIALISED = 10093,
  WSAHOST_NOT_FOUND = 11001,
};

// The Winsock number for an errno value (unknown values pass through).
int WinsockErrorFromErrno(int err);
// The description of a Winsock number ("Not a WinSock error" for others).
std::string WSocketErrorDesc(int error);

// One send block: a fixed byte area with a write and a read position.
class TBuffer {
 public:
  explicit TBuffer(int size);
  int Write(const char* data, int len);  // appends what fits, returns that number
  const char* Peek(int& len) const;      // unread bytes
  void Remove(int len);
  void SetBufSize(int size);
  int BufSize() const { return static_cast<int>(Data_.size()); }

 private:
  std::vector<char> Data_;
  int WrCount_ = 0;
  int RdCount_ = 0;
};

class TSocketWindow;

class TAsyncSocket {
 public:
  using TSessionEvent = std::function<void(TAsyncSocket* sender, uint16_t error)>;
  using TChangeStateEvent = std::function<void(TAsyncSocket* sender, TSocketState oldState, TSocketState newState)>;
  using TSendDataEvent = std::function<void(TAsyncSocket* sender, int bytesSent)>;
  using TNotifyEvent = std::function<void(TAsyncSocket* sender)>;
  using TBgExceptionEvent = std::function<void(TAsyncSocket* sender, const std::exception& e, bool& canClose)>;

  static constexpr int SendBlockSize = 1460;

  TAsyncSocket();
  virtual ~TAsyncSocket();
  TAsyncSocket(const TAsyncSocket&) = delete;
  TAsyncSocket& operator=(const TAsyncSocket&) = delete;

  // ---- properties ----
  const std::string& Addr() const { return Addr_; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return Port_; }
  void SetPort(const std::string& value);
  const std::string& Proto() const { return Proto_; }
  void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return LocalAddr_; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return LocalPort_; }
  void SetLocalPort(const std::string& value);
  TSocketState State() const { return State_; }
  int LastError() const { return LastError_; }
  int64_t ReadCount() const { return ReadCount_; }
  const std::string& DnsResult() const { return DnsResult_; }
  const std::vector<std::string>& DnsResultList() const { return DnsResultList_; }
  TSocketLingerOnOff LingerOnOff() const { return LingerOnOff_; }
  void SetLingerOnOff(TSocketLingerOnOff value);
  int LingerTimeout() const { return LingerTimeout_; }
  void SetLingerTimeout(int seconds);
  TSocketOptions ComponentOptions = 0;
  bool MultiThreaded = false;
  int FlushTimeout = 60;
  bool ReuseAddr = false;
  TSocketSendFlags SendFlags = sendNormal;
  // Bytes the socket may gather from its OnDataSent handler before passing
  // them to the system in one call; 0 passes every block as it comes. A
  // handler that answers each write event with one more small block (the
  // FTP upload) would otherwise cost one system call per block. Gathered
  // bytes count as passed on: OnDataSent follows at once, they leave as soon
  // as the gathering area is full or the handler sends nothing more, and a
  // close delivers them before shutting down; when the peer takes nothing for
  // FlushTimeout seconds, the close resets the connection instead, so that a
  // cut-off stream never looks complete (FlushTimeout 0: no waiting).
  int SendBatchSize = 0;
  std::string PeerAddr() const;  // "error" when not connected
  std::string PeerPort() const;
  int64_t RcvdCount() const;  // bytes waiting in the system's receive queue
  int Handle() const { return Handle_; }

  // SOCKS and line mode are not used by the FTP client; the properties exist,
  // and the operations that would need them are refused.
  const std::string& SocksLevel() const { return SocksLevel_; }
  void SetSocksLevel(const std::string& value);
  std::string SocksServer, SocksPort, SocksUsercode, SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  bool LineMode() const { return false; }
  void SetLineMode(bool value);

  // ---- operations ----
  void DnsLookup(const std::string& hostName);
  void CancelDnsLookup();
  void Connect();
  void Listen();
  int Accept();
  void Dup(int newHandle);
  int GetSockName(sockaddr_in& addr, int& len);
  int Send(const void* data, int len);
  // Passes gathered bytes (see SendBatchSize) to the system now; what it
  // does not take at once follows with the next write event.
  void FlushGatheredNow();
  int SendStr(const std::string& s);
  int Receive(void* buffer, int size);
  void ShutDown(int how);
  void Close();
  void PostedClose();
  void Abort();
  void PostTestException();  // the "+6" message: proves background-exception handling

  // Protects the connected socket with TLS, as the client of the handshake.
  // The handshake runs on the loop; OnTlsDone(0) follows when it and the
  // trust check have passed, and from then on the same events carry the
  // protected bytes. A failure raises OnTlsDone(error) with TlsFailure()
  // saying why, then OnSessionClosed(error), and the socket closes. Bytes
  // sent meanwhile wait for the handshake; a posted close waits as well.
  void StartTls(std::shared_ptr<TTlsContext> context);
  bool Secure() const { return Tls_ != nullptr; }
  bool Handshaking() const { return Handshaking_; }
  TTlsInfo TlsInfo() const;
  // The reason of the last TLS failure; kept after the close it caused.
  const std::string& TlsFailure() const { return TlsFailure_; }

  // Delivers the write events of sockets whose data went out whole, and the
  // read events of sockets whose last read filled the buffer, without a
  // round through the system's poll; true when there were any. Called by the
  // blocking FTP wait on every pass of its loop.
  static bool DeliverDueEvents();

  // ---- events ----
  TSessionEvent OnSessionAvailable;
  TSessionEvent OnSessionConnected;
  TSessionEvent OnSessionClosed;
  TSessionEvent OnDataAvailable;
  TSessionEvent OnDataSent;
  TSessionEvent OnDnsLookupDone;
  TSessionEvent OnTlsDone;
  TSendDataEvent OnSendData;
  TChangeStateEvent OnChangeState;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

 private:
  friend class TSocketWindow;
  void ChangeState(TSocketState newState);
  void SocketError(const std::string& function, int error = -1);  // -1: from errno
  void RaiseException(const std::string& message);
  void ResetState();
  void DeleteBufferedData();
  bool TryToSend();
  bool FlushGathered();  // before a graceful close or shutdown; false: bytes lost
  void ReceiveLoop(uint16_t error, TSocketOptions options);
  void InternalClose(bool shutdownSend, bool fromDestructor);
  void StartWatching(bool watchWrite);
  void StopWatching();
  void NewHandle(int handle);
  static std::deque<TAsyncSocket*>& DueWrites();
  static std::deque<TAsyncSocket*>& DueReads();
  void LeaveDueList();
  void SetLingerOption();
  bool Resolve(const char* op);  // false when OnError took the report
  void DnsAnswer(int lookupId, int error, const std::vector<std::string>& addresses);
  // Handlers of the private messages and notifications.
  void HandleReadReady();
  void HandleWriteReady();
  void CloseEvent(uint16_t error);
  void HandlePostedClose(uint64_t generation);
  void HandleBgException(const std::exception& e);
  void ContinueHandshake();
  void HandshakeFailed(int error);
  bool SendTlsClose();  // before a graceful close; false: close_notify not sent
  void PostRead();
  void HandlePostedRead(uint64_t generation);
  void UsePlainTransport();
  template <class F>
  void Guarded(F&& f);

  std::unique_ptr<TSocketWindow> Window_;
  int Handle_ = -1;
  uint64_t Generation_ = 0;  // changes with every new handle; stale notices are ignored
  std::string Addr_, Port_, Proto_ = "tcp", LocalAddr_ = "0.0.0.0", LocalPort_ = "0";
  bool AddrAssigned_ = false, PortAssigned_ = false, ProtoAssigned_ = true;
  bool AddrResolved_ = false, PortResolved_ = false, LocalPortResolved_ = false, ProtoResolved_ = false;
  uint32_t SinAddr_ = 0;  // network order
  uint16_t SinPort_ = 0;  // host order
  uint16_t LocalSinPort_ = 0;
  int ProtoNumber_ = 6;
  int SockType_ = 0;
  TSocketState State_ = ssClosed;
  int LastError_ = 0;
  int64_t ReadCount_ = 0;
  std::string DnsResult_;
  std::vector<std::string> DnsResultList_;
  TSocketLingerOnOff LingerOnOff_ = lingerOn;
  int LingerTimeout_ = 0;
  std::string SocksLevel_ = "5";
  std::deque<TBuffer> SendBuffers_;
  std::vector<char> Gathered_;  // see SendBatchSize
  bool Gathering_ = false;      // the OnDataSent handler is running
  bool CloseWhenFlushed_ = false;  // a posted close waits for gathered bytes
  bool AllSent_ = true;
  bool Paused_ = false;
  bool CloseInvoked_ = false;  // OnSessionClosed already raised for this connection
  bool InDueList_ = false;
  bool InDueReadList_ = false;
  bool WriteEventWanted_ = false;  // a Send went out whole and awaits its write event
  bool EofSeen_ = false;  // a Receive met the end of the stream or a connection error
  bool InReadReady_ = false;  // the read event's handler is running
  int CloseError_ = 0;    // the error the close event reports
  bool Destroying_ = false;
  int LookupId_ = -1;
  bool InLookupStart_ = false;
  bool HeldAnswer_ = false;
  int HeldError_ = 0;
  std::vector<std::string> HeldAddresses_;
  std::unique_ptr<TSocketTransport> Transport_;
  TTlsTransport* Tls_ = nullptr;  // Transport_ when the connection is protected
  bool Handshaking_ = false;
  bool CloseAfterHandshake_ = false;  // a posted close came during the handshake
  bool ReadWantsWrite_ = false;       // TLS must write before a read can go on
  bool WriteWantsRead_ = false;       // TLS must read before a write can go on
  bool ReadPosted_ = false;           // a read for TLS-buffered bytes is on its way
  bool ReadRetryDue_ = false;         // the posted read retries one that waited for a write
  std::string TlsFailure_;
};

}  // namespace trelvo
