#pragma once
// The asynchronous FTP client: control connection, reply reader, request
// state machine and data transfers. Every request returns at once; its end
// is signalled by a posted message (OnRequestDone) and its outcome is left in
// RequestError, ReplyCode, ReplyLine and ErrorMessage. TFtpClient (FtpClient.h)
// turns the requests into blocking calls.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "ftp/AsyncSocket.h"

namespace trelvo {

class FtpException : public Exception {
 public:
  using Exception::Exception;
};

enum TFtpClientState {
  fcsNotConnected = 0,
  fcsReady = 1,
  fcsStepReady = 2,
  fcsLookup = 3,
  fcsConnected = 4,
  fcsAborting = 5,
  fcsAwaitGreeting = 7,
  fcsAwaitReply = 8,
  fcsPassiveReady = 9,
};

// The kind of a request, as OnRequestDone reports it.
enum TFtpRequest {
  rqNone = 0,
  rqOpen = 1,
  rqUser = 2,
  rqPass = 3,
  rqCwd = 4,
  rqConnect = 5,
  rqDownload = 6,
  rqList = 7,
  rqNlst = 8,
  rqPort = 9,
  rqRetr = 10,
  rqListOneCall = 11,
  rqNlstOneCall = 12,
  rqSystOneCall = 13,
  rqSyst = 14,
  rqQuit = 15,
  rqAbor = 16,
  rqSize = 17,
  rqStor = 18,
  rqAppe = 19,
  rqMkd = 22,
  rqRmd = 23,
  rqRenameOneCall = 24,
  rqDele = 25,
  rqRename = 26,
  rqRnto = 27,
  rqRnfr = 28,
  rqDeleOneCall = 29,
  rqMkdOneCall = 30,
  rqRmdOneCall = 31,
  rqPwd = 32,
  rqQuote = 33,
  rqCdup = 34,
  rqQuoteOneCall = 35,
  rqUpload = 36,
  rqType = 37,
  rqRest = 38,
  rqRestRetr = 39,
  rqRestartDownload = 40,
  rqRestStor = 41,
  rqRestartUpload = 42,
};

enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

// FTP over TLS: none; explicit (AUTH TLS after the greeting, then the login
// and every data connection protected); implicit (TLS from the first byte).
enum TFtpTls { ftpTlsNone, ftpTlsExplicit, ftpTlsImplicit };

// Stored as the file-open sharing flag of the original platform.
enum TFtpShareMode {
  ftpShareCompat = 0,
  ftpShareExclusive = 16,
  ftpShareDenyWrite = 32,
  ftpShareDenyRead = 48,
  ftpShareDenyNone = 64,
};

enum TFtpOption : unsigned { ftpAcceptLF = 1u, ftpNoAutoResumeAt = 2u };
using TFtpOptions = unsigned;

// The steps a sequence is made of. Their order here is the order in which a
// sequence runs them.
enum TFtpStep : uint32_t {
  stOpen = 1u << 0,
  stUser = 1u << 1,
  stPass = 1u << 2,
  stCwd = 1u << 3,
  stCdup = 1u << 4,
  stType = 1u << 5,
  stPort = 1u << 6,
  stRest = 1u << 7,
  stRetr = 1u << 8,
  stStor = 1u << 9,
  stAppe = 1u << 10,
  stList = 1u << 11,
  stNlst = 1u << 12,
  stSyst = 1u << 13,
  stMkd = 1u << 14,
  stRmd = 1u << 15,
  stRnfr = 1u << 16,
  stRnto = 1u << 17,
  stSize = 1u << 18,
  stDele = 1u << 19,
  stPwd = 1u << 20,
  stAbor = 1u << 21,
  stQuote = 1u << 22,
  stQuit = 1u << 23,
};

class TFtpWindow;

class TFtpClientCore {
 public:
  using TDisplayEvent = std::function<void(TFtpClientCore* sender, std::string& msg)>;
  using TNotifyEvent = std::function<void(TFtpClientCore* sender)>;
  using TProgressEvent = std::function<void(TFtpClientCore* sender, int64_t count, bool& abort)>;
  using TSessionEvent = std::function<void(TFtpClientCore* sender, uint16_t error)>;
  using TRequestDoneEvent = std::function<void(TFtpClientCore* sender, TFtpRequest rqType, uint16_t error)>;
  using TReadyToTransmitEvent = std::function<void(TFtpClientCore* sender, bool& cancel)>;
  using TBgExceptionEvent = std::function<void(TFtpClientCore* sender, const std::exception& e, bool& canClose)>;

  static constexpr int ReceiveBufferSize = 4096;
  static constexpr int DataReadSize = 4096;
  static constexpr int SendBlockSize = 1460;
  // What the data socket may gather of an upload's blocks before one system
  // call passes them on (see TAsyncSocket::SendBatchSize).
  static constexpr int SendBatchBytes = 64 * 1024;

  TFtpClientCore();
  virtual ~TFtpClientCore();
  TFtpClientCore(const TFtpClientCore&) = delete;
  TFtpClientCore& operator=(const TFtpClientCore&) = delete;

  // ---- settings ----
  std::string HostName;
  std::string Port = "ftp";
  std::string LocalAddr = "0.0.0.0";
  std::string UserName;
  std::string PassWord;
  std::string HostDirName;
  std::string HostFileName;
  std::string LocalFileName;
  bool DisplayFileFlag = false;
  TFtpOptions Options = ftpAcceptLF;
  std::string ProxyServer;
  std::string ProxyPort;  // control port of the proxy; empty means "ftp"
  // TLS and whom it trusts (see TlsTransport.h). Implicit TLS with Port left
  // at "ftp" connects to port 990. A refused AUTH TLS, a failed handshake or
  // an untrusted certificate ends the session before USER.
  TFtpTls Tls = ftpTlsNone;
  std::string TlsCaFile;
  std::string TlsFingerprint;
  std::string TlsHighestVersion;
  // What the control connection's handshake agreed on (empty without TLS).
  TTlsInfo TlsInfo() const { return Control_->TlsInfo(); }

  bool Binary() const { return TypeLetter_ == 'I'; }
  void SetBinary(bool value) { TypeLetter_ = value ? 'I' : 'A'; }
  TFtpShareMode ShareMode() const;
  void SetShareMode(TFtpShareMode mode) { ShareFlag_ = static_cast<int>(mode); }
  TFtpConnectionType ConnectionType() const { return ConnectionType_; }
  void SetConnectionType(TFtpConnectionType type);
  // Passive data connections for a direct connection too (the operator tool's
  // --passive); proxy and SOCKS connection types select them by themselves.
  bool Passive() const { return Passive_; }
  void SetPassive(bool value) { Passive_ = value; }
  std::string SocksServer() const { return Control_->SocksServer; }
  void SetSocksServer(const std::string& v) { Control_->SocksServer = Data_->SocksServer = v; }
  std::string SocksPort() const { return Control_->SocksPort; }
  void SetSocksPort(const std::string& v) { Control_->SocksPort = Data_->SocksPort = v; }
  std::string SocksUserCode() const { return Control_->SocksUsercode; }
  void SetSocksUserCode(const std::string& v) { Control_->SocksUsercode = Data_->SocksUsercode = v; }
  std::string SocksPassword() const { return Control_->SocksPassword; }
  void SetSocksPassword(const std::string& v) { Control_->SocksPassword = Data_->SocksPassword = v; }

  // ---- results and state ----
  const std::string& ErrorMessage() const { return ErrorMessage_; }
  TFtpClientState ClientState() const { return State_; }
  bool IsConnected() const { return IsConnected_; }
  TFtpRequest RequestKind() const { return RequestKind_; }
  int RequestError() const { return RequestError_; }
  int ReplyCode() const { return ReplyCode_; }
  const std::string& ReplyLine() const { return ReplyLine_; }
  const std::string& PasvReply() const { return PasvReply_; }
  int64_t RemoteSize() const { return RemoteSize_; }
  const std::string& RemoteDir() const { return RemoteDir_; }
  int64_t ByteCount() const { return ByteCount_; }
  int64_t RestartOffset = 0;
  TAsyncSocket& ControlSocket() { return *Control_; }
  TAsyncSocket& DataSocket() { return *Data_; }

  // ---- events ----
  TDisplayEvent OnDisplay;
  TDisplayEvent OnDisplayFile;
  TDisplayEvent OnCommand;
  TNotifyEvent OnResponse;
  TProgressEvent OnProgress;
  TSessionEvent OnSessionConnected;
  TSessionEvent OnSessionClosed;
  TRequestDoneEvent OnRequestDone;
  TNotifyEvent OnStateChange;
  TReadyToTransmitEvent OnReadyToTransmit;
  TBgExceptionEvent OnBgException;
  TDisplayEvent OnUsageError;  // unassigned: usage errors raise FtpException

  // ---- asynchronous requests ----
  virtual void OpenAsync();
  virtual void UserAsync();
  virtual void PassAsync();
  virtual void ConnectAsync();
  virtual void QuitAsync();
  virtual void AbortAsync() { AbortClient(); }
  virtual void RetrAsync();
  virtual void DownloadFileAsync();
  virtual void StorAsync();
  virtual void UploadFileAsync();
  virtual void AppeAsync();
  virtual void AppendFileAsync();
  virtual void ListAsync();
  virtual void NlstAsync();
  virtual void TypeAsync();
  virtual void TypeBinaryAsync();
  virtual void TypeAsciiAsync();
  virtual void PwdAsync();
  virtual void CwdAsync();
  virtual void CdupAsync();
  virtual void ListOneCallAsync();
  virtual void NlstOneCallAsync();
  virtual void SystAsync();
  virtual void SystOneCallAsync();
  virtual void SizeAsync();
  virtual void SizeOneCallAsync();
  virtual void MkdAsync();
  virtual void MkdOneCallAsync();
  virtual void RmdAsync();
  virtual void RmdOneCallAsync();
  virtual void DeleAsync();
  virtual void DeleOneCallAsync();
  virtual void RnfrAsync();
  virtual void RntoAsync();
  virtual void RenameAsync();
  virtual void RenameOneCallAsync();
  virtual void QuoteAsync();
  virtual void QuoteOneCallAsync();
  virtual void AborAsync();
  virtual void RestAsync();
  virtual void RestRetrAsync();
  virtual void RestartDownloadAsync();
  virtual void RestStorAsync();
  virtual void RestartUploadAsync();
  // Closes both connections and the local file at once, without QUIT.
  virtual void AbortClient();

 protected:
  virtual void WriteCommand(const std::string& command);
  virtual void Display(const std::string& msg);
  // Returns true to go on with the transfer.
  virtual bool Progress();
  // Reports a usage error: to OnUsageError, else as FtpException.
  void UsageError(const std::string& msg);
  void SetErrorMessage(const std::string& msg) { ErrorMessage_ = msg; }
  void SetReplyCode(int code) { ReplyCode_ = code; }
  void SetRequestError(int code) { RequestError_ = code; }
  bool IsReady() const { return State_ == fcsReady || State_ == fcsStepReady; }
  // Set by UsageError; lets a caller see a usage error that a handler took.
  bool UsageErrorRaised_ = false;

 private:
  friend class TFtpWindow;
  using TReplyHandler = void (TFtpClientCore::*)();
  enum { msgRequestDone = 1, msgStartSend = 2 };

  void SetState(TFtpClientState state);
  bool CheckReady();
  void SendRequestCommand(TFtpRequest kind, const std::string& command, std::initializer_list<int> accepted,
                          void (TFtpClientCore::*afterReply)() = nullptr);
  void StartSequence(TFtpRequest kind, uint32_t steps);
  void RunNextStep();
  void AbandonSequence();
  void FinishRequest(int error);
  void PostMessage(int msg, int param);
  void HandleMessage(int msg, int param);
  void FailFromException(const std::exception& e);
  template <class F>
  void Safe(F&& f);

  // Control connection.
  void DoOpen();
  void DoUser();
  void DoPass();
  void DoQuit();
  void CloseControlAfterQuit();
  void ControlDnsLookupDone(uint16_t error);
  void ControlSessionConnected(uint16_t error);
  void ControlDataAvailable();
  void ControlSessionClosed(uint16_t error);
  void HandleCommandReply();
  bool FinalReplyOutstanding() const;
  void SetSocketFailure(const std::string& prefix, int error);

  // TLS (FtpClientTls.cpp).
  void SendFollowUp(const std::string& command, std::initializer_list<int> accepted, void (TFtpClientCore::*afterReply)());
  std::string ControlPort() const;
  void NewTlsSession();
  bool Greeted();  // false: the open goes on with AUTH TLS
  void AuthReply();
  void ControlTlsDone(uint16_t error);
  void AfterUser();
  void AfterPass();
  void ProtectData();
  void PbszReply();
  void ProtReply();
  void ProtectDataConnection();
  void DataTlsDone(uint16_t error);

  // Data connection and transfers.
  void OpenDataPort();
  void DoRest();
  void StartReceive(const std::string& dataCommand);
  void StartSend(bool append);
  bool ConnectPassive(bool forReceive);
  void AcceptForReceive();
  void AcceptForSend();
  void ReceiveConnected(uint16_t error);
  void SendConnected(uint16_t error);
  void DropDataConnection();
  void CorkDataConnection();
  void RefuseTransfer(int code);
  void FirstReceiveReply();
  void FinalReceiveReply();
  void FirstSendReply();
  void FinalSendReply();
  void ReceiveData();
  void ReceiveClosed(uint16_t error);
  void EndReceive();
  void DrainData();
  void SendNextBlock(uint16_t error);
  void SendClosed(uint16_t error);
  void EndSend();
  void EndTransfer(int defaultError);
  void DisplayStatistics();
  void CloseLocalFile();
  bool OpenLocalFileForReceive();
  bool OpenLocalFileForSend();
  static int64_t Tick();

  // Listings.
  void DisplayListingLines(const char* buf, int n);

  std::unique_ptr<TAsyncSocket> Control_;
  std::unique_ptr<TAsyncSocket> Data_;
  std::unique_ptr<TFtpWindow> Window_;
  std::shared_ptr<TTlsContext> TlsContext_;  // one per session: trust and the newest TLS session
  bool ProtectData_ = false;                 // PROT P accepted: every data connection is TLS

  TFtpClientState State_ = fcsReady;
  bool IsConnected_ = false;
  TFtpRequest RequestKind_ = rqNone;
  int RequestError_ = 0;
  int ReplyCode_ = 0;
  std::string ReplyLine_;
  std::string ErrorMessage_;
  std::string SavedErrorMessage_;
  std::string PasvReply_;
  int64_t RemoteSize_ = 0;
  std::string RemoteDir_;
  char TypeLetter_ = 'I';
  int ShareFlag_ = ftpShareExclusive;
  TFtpConnectionType ConnectionType_ = ftpDirect;
  bool Passive_ = false;

  std::vector<int> Accepted_;
  TReplyHandler ReplyHandler_ = nullptr;
  void (TFtpClientCore::*AfterReply_)() = nullptr;
  uint32_t PendingSteps_ = 0;
  uint32_t CurrentStep_ = 0;
  bool HasNextStep_ = false;
  int SequenceError_ = 0;
  bool InSequence_ = false;
  std::string SavedReplyLine_;
  int SavedReplyCode_ = -1;
  bool RequestDone_ = true;
  bool ReplyAwaited_ = false;  // a command was written and its final reply has not come
  bool RestAccepted_ = false;  // the REST step just before was answered 350
  char RecvBuffer_[ReceiveBufferSize];
  int RecvLen_ = 0;

  std::FILE* LocalFile_ = nullptr;
  bool LocalFileWriting_ = false;
  std::string DataCommand_;
  bool Append_ = false;
  int64_t ByteCount_ = 0;
  char SendBlock_[SendBlockSize];
  bool TransferRunning_ = false;
  bool FinalReplySeen_ = false;
  bool DataClosedRecv_ = false;
  bool DataClosedSend_ = false;
  uint16_t DataCloseError_ = 0;
  bool StorAccepted_ = false;
  bool DataSessionOpen_ = false;
  bool SendEof_ = false;
  int LocalIoError_ = 0;  // a local read or write failed, or the transfer was aborted
  int TransferSerial_ = 0;
  int64_t StartTick_ = 0;
  int64_t StopTick_ = 0;
  std::vector<char> FileBuffer_;
};

}  // namespace trelvo
