#include "ftp/FtpClientCore.h"

#include "ftp/FtpReply.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <cstring>

namespace trelvo {

namespace {

class TFtpMsg : public QEvent {
 public:
  TFtpMsg(int msg, int param) : QEvent(static_cast<QEvent::Type>(QEvent::User + msg)), Param(param) {}
  int Param;
};

std::string ExceptionClassName(const std::exception& e) {
  if (dynamic_cast<const ESocketException*>(&e)) return "ESocketException";
  if (dynamic_cast<const FtpException*>(&e)) return "FtpException";
  return "Exception";
}

// The step a single command stands for, where its reply carries a value.
uint32_t StepOfCommand(const std::string& command) {
  std::string verb = command.substr(0, command.find(' '));
  if (verb == "CWD") return stCwd;
  if (verb == "CDUP") return stCdup;
  if (verb == "PWD") return stPwd;
  if (verb == "MKD") return stMkd;
  if (verb == "SIZE") return stSize;
  if (verb == "REST") return stRest;
  return 0;
}

}  // namespace

// The client's private event target: request done and start sending.
class TFtpWindow : public QObject {
 public:
  explicit TFtpWindow(TFtpClientCore* owner) : Owner_(owner) {}

 protected:
  void customEvent(QEvent* event) override {
    int msg = static_cast<int>(event->type()) - QEvent::User;
    int param = static_cast<TFtpMsg*>(event)->Param;
    try {
      Owner_->HandleMessage(msg, param);
    } catch (const std::exception& e) {
      bool canClose = true;
      if (Owner_->OnBgException) {
        try {
          Owner_->OnBgException(Owner_, e, canClose);
        } catch (...) {
        }
      }
    } catch (...) {
    }
  }

 private:
  TFtpClientCore* Owner_;
};

TFtpClientCore::TFtpClientCore()
    : Control_(std::make_unique<TAsyncSocket>()),
      Data_(std::make_unique<TAsyncSocket>()),
      Window_(std::make_unique<TFtpWindow>(this)) {
  Control_->OnDnsLookupDone = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ControlDnsLookupDone(e); }); };
  Control_->OnSessionConnected = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ControlSessionConnected(e); }); };
  Control_->OnDataAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { ControlDataAvailable(); }); };
  Control_->OnSessionClosed = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ControlSessionClosed(e); }); };
}

TFtpClientCore::~TFtpClientCore() {
  CloseLocalFile();
  // The sockets close their connections; their events must not reach a
  // half-destroyed client.
  for (TAsyncSocket* s : {Control_.get(), Data_.get()}) {
    s->OnSessionClosed = nullptr;
    s->OnDataAvailable = nullptr;
    s->OnDnsLookupDone = nullptr;
    s->OnSessionConnected = nullptr;
    s->OnSessionAvailable = nullptr;
    s->OnDataSent = nullptr;
  }
  Window_.reset();
}

int64_t TFtpClientCore::Tick() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Everything the sockets call back runs through here: an exception (a usage
// error of a step that a reply started, a socket refusal) ends the running
// request as failed instead of vanishing in the socket layer.
template <class F>
void TFtpClientCore::Safe(F&& f) {
  UsageErrorRaised_ = false;
  try {
    f();
  } catch (const FtpException&) {
    FailFromException(FtpException(""));
    return;
  } catch (const std::exception& e) {
    FailFromException(e);
    return;
  }
  if (UsageErrorRaised_) FailFromException(FtpException(""));
}

void TFtpClientCore::FailFromException(const std::exception& e) {
  UsageErrorRaised_ = false;
  // Between two steps of a sequence the request has not ended, although the
  // previous step has.
  if (!InSequence_ && (RequestDone_ || IsReady())) return;
  if (dynamic_cast<const FtpException*>(&e)) {
    // A usage error leaves the message the caller had before the request.
    ErrorMessage_ = SavedErrorMessage_;
    RequestError_ = 500;
  } else {
    ReplyLine_ = "500 " + ExceptionClassName(e) + ": " + e.what();
    ReplyCode_ = RequestError_ = 500;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
  }
  CloseLocalFile();
  HasNextStep_ = false;
  PendingSteps_ = 0;
  RequestDone_ = false;
  FinishRequest(RequestError_);
}

void TFtpClientCore::UsageError(const std::string& msg) {
  UsageErrorRaised_ = true;
  if (OnUsageError) {
    std::string m = msg;
    OnUsageError(this, m);
    return;
  }
  throw FtpException(msg);
}

void TFtpClientCore::SetState(TFtpClientState state) {
  if (state == State_) return;
  State_ = state;
  if (OnStateChange) OnStateChange(this);
}

TFtpShareMode TFtpClientCore::ShareMode() const {
  switch (ShareFlag_) {
    case 0: return ftpShareCompat;
    case 32: return ftpShareDenyWrite;
    case 48: return ftpShareDenyRead;
    case 64: return ftpShareDenyNone;
    default: return ftpShareExclusive;
  }
}

void TFtpClientCore::SetConnectionType(TFtpConnectionType type) {
  if (IsConnected_) return UsageError("FTP component connected");
  ConnectionType_ = type;
  switch (type) {
    case ftpDirect:
      Control_->SocksAuthentication = Data_->SocksAuthentication = socksNoAuthentication;
      break;
    case ftpProxy:
      Passive_ = true;
      Control_->SocksAuthentication = Data_->SocksAuthentication = socksNoAuthentication;
      break;
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5: {
      Passive_ = true;
      const char* level = type == ftpSocks4 ? "4" : type == ftpSocks4A ? "4A" : "5";
      Control_->SetSocksLevel(level);
      Data_->SetSocksLevel(level);
      Control_->SocksAuthentication = Data_->SocksAuthentication = socksAuthenticateUsercode;
      break;
    }
  }
}

bool TFtpClientCore::CheckReady() {
  if (!IsReady()) {
    UsageError("FTP component not ready");
    return false;
  }
  return true;
}

// ---- requests and sequences ----

void TFtpClientCore::SendRequestCommand(TFtpRequest kind, const std::string& command, std::initializer_list<int> accepted,
                                        void (TFtpClientCore::*afterReply)()) {
  if (command != "ABOR" && command != "STAT" && command != "QUIT") {
    // A step after PASV (REST before RETR) finds the client passive-ready:
    // that is between two steps of the same request, not busy.
    bool betweenSteps = InSequence_ && State_ == fcsPassiveReady;
    if (!betweenSteps && !CheckReady()) return;
    if (!IsConnected_) return UsageError("FTP component not connected");
  }
  if (!InSequence_) {
    RequestKind_ = kind;
    CurrentStep_ = StepOfCommand(command);
  }
  Accepted_.assign(accepted.begin(), accepted.end());
  if (Accepted_.size() > 16) Accepted_.resize(16);
  RequestDone_ = false;
  ReplyHandler_ = &TFtpClientCore::HandleCommandReply;
  AfterReply_ = afterReply;
  ErrorMessage_.clear();
  SetState(fcsAwaitReply);
  WriteCommand(command);
}

void TFtpClientCore::WriteCommand(const std::string& command) {
  std::string cmd = command;
  if (OnCommand) OnCommand(this, cmd);
  Display("> " + cmd);
  ReplyAwaited_ = true;
  if (Control_->State() == ssConnected) Control_->SendStr(cmd + "\r\n");
}

void TFtpClientCore::Display(const std::string& msg) {
  if (!OnDisplay) return;
  std::string m = msg;
  OnDisplay(this, m);
}

void TFtpClientCore::StartSequence(TFtpRequest kind, uint32_t steps) {
  UsageErrorRaised_ = false;
  if (IsConnected_ && (steps & stOpen)) return UsageError("FTP component already connected");
  if (!CheckReady()) return;
  SavedErrorMessage_ = ErrorMessage_;
  SavedReplyLine_ = ReplyLine_;
  SavedReplyCode_ = -1;
  RequestKind_ = kind;
  RequestError_ = 0;
  PendingSteps_ = steps;
  CurrentStep_ = 0;
  SequenceError_ = 0;
  InSequence_ = true;
  ReplyLine_.clear();
  ErrorMessage_.clear();
  HasNextStep_ = false;
  try {
    RunNextStep();
  } catch (...) {
    AbandonSequence();
    throw;
  }
  if (UsageErrorRaised_) AbandonSequence();
}

// The first step refused to start: the request never ran.
void TFtpClientCore::AbandonSequence() {
  InSequence_ = false;
  HasNextStep_ = false;
  PendingSteps_ = 0;
  ErrorMessage_ = SavedErrorMessage_;
  if (Data_->State() != ssClosed) Data_->Close();
}

void TFtpClientCore::RunNextStep() {
  if (State_ == fcsAborting) {
    PendingSteps_ = 0;
    SequenceError_ = 426;
    ErrorMessage_ = "426 Operation aborted.";
  }
  HasNextStep_ = true;
  if (RequestError_ != 0) {
    SequenceError_ = RequestError_;
    PendingSteps_ = ((PendingSteps_ & stQuit) && CurrentStep_ != stQuit) ? uint32_t(stQuit) : 0u;
  }
  uint32_t previous = CurrentStep_;
  for (uint32_t step = stOpen; step <= stQuit; step <<= 1) {
    if (!(PendingSteps_ & step)) continue;
    PendingSteps_ &= ~step;
    if (step == stPass && previous == stUser && ReplyCode_ != 331) continue;
    if (step == stCwd && HostDirName.empty()) continue;
    CurrentStep_ = step;
    switch (step) {
      case stOpen: DoOpen(); break;
      case stUser: DoUser(); break;
      case stPass: DoPass(); break;
      case stCwd: SendRequestCommand(rqCwd, "CWD " + HostDirName, {200, 250, 257}); break;
      case stCdup: SendRequestCommand(rqCdup, "CDUP", {200, 250, 257}); break;
      case stType: SendRequestCommand(rqType, std::string("TYPE ") + TypeLetter_, {200}); break;
      case stPort: OpenDataPort(); break;
      case stRest: DoRest(); break;
      case stRetr:
        if (!(previous == stRest && RestAccepted_)) RestartOffset = 0;
        StartReceive("RETR");
        break;
      case stStor:
        RequestKind_ = rqStor;
        StartSend(false);
        break;
      case stAppe:
        RequestKind_ = rqAppe;
        StartSend(true);
        break;
      case stList: StartReceive("LIST"); break;
      case stNlst: StartReceive("NLST"); break;
      case stSyst: SendRequestCommand(rqSyst, "SYST", {215}); break;
      case stMkd: SendRequestCommand(rqMkd, "MKD " + HostFileName, {250, 257}); break;
      case stRmd: SendRequestCommand(rqRmd, "RMD " + HostFileName, {250, 257}); break;
      case stRnfr: SendRequestCommand(rqRnfr, "RNFR " + HostFileName, {350}); break;
      case stRnto: SendRequestCommand(rqRnto, "RNTO " + LocalFileName, {200, 250, 257}); break;
      case stSize: SendRequestCommand(rqSize, "SIZE " + HostFileName, {213}); break;
      case stDele: SendRequestCommand(rqDele, "DELE " + HostFileName, {250, 257}); break;
      case stPwd: SendRequestCommand(rqPwd, "PWD", {250, 257}); break;
      case stAbor: SendRequestCommand(rqAbor, "ABOR", {}); break;
      case stQuote: SendRequestCommand(rqQuote, LocalFileName, {}); break;
      case stQuit:
        SavedReplyLine_ = ReplyLine_;
        SavedReplyCode_ = ReplyCode_;
        DoQuit();
        break;
      default: break;
    }
    return;
  }
  PendingSteps_ = 0;
  HasNextStep_ = false;
  RequestDone_ = false;
  FinishRequest(SequenceError_);
}

void TFtpClientCore::FinishRequest(int error) {
  if (RequestDone_) return;
  RequestDone_ = true;
  if (error == 0 && HasNextStep_) {
    if (State_ != fcsAborting && State_ != fcsPassiveReady) SetState(fcsStepReady);
    RunNextStep();
    return;
  }
  SetState(fcsReady);
  TransferRunning_ = false;
  if (Data_->State() != ssClosed) DropDataConnection();
  if (InSequence_ && SavedReplyCode_ >= 0) {
    ReplyLine_ = SavedReplyLine_;
    ReplyCode_ = SavedReplyCode_;
  }
  InSequence_ = false;
  HasNextStep_ = false;
  PostMessage(msgRequestDone, error);
}

void TFtpClientCore::PostMessage(int msg, int param) { QCoreApplication::postEvent(Window_.get(), new TFtpMsg(msg, param)); }

void TFtpClientCore::HandleMessage(int msg, int param) {
  if (msg == msgRequestDone) {
    if (OnRequestDone) OnRequestDone(this, RequestKind_, static_cast<uint16_t>(param));
  } else if (msg == msgStartSend) {
    if (param != TransferSerial_ || StartTick_ != 0) return;
    StartTick_ = Tick();
    Safe([&] { SendNextBlock(0); });
  }
}

// ---- starters ----

void TFtpClientCore::OpenAsync() {
  if (!CheckReady()) return;
  if (IsConnected_) return UsageError("FTP component already connected");
  DoOpen();
}

void TFtpClientCore::UserAsync() { DoUser(); }
void TFtpClientCore::PassAsync() { DoPass(); }
void TFtpClientCore::ConnectAsync() { StartSequence(rqConnect, stOpen | stUser | stPass); }
void TFtpClientCore::QuitAsync() { DoQuit(); }
void TFtpClientCore::RetrAsync() { StartSequence(rqRetr, stPort | stRetr); }
void TFtpClientCore::DownloadFileAsync() {
  StartSequence(rqDownload, stOpen | stUser | stPass | stCwd | stType | stPort | stRetr | stQuit);
}
void TFtpClientCore::StorAsync() { StartSequence(rqStor, stPort | stStor); }
void TFtpClientCore::UploadFileAsync() {
  StartSequence(rqUpload, stOpen | stUser | stPass | stCwd | stType | stPort | stStor | stQuit);
}
void TFtpClientCore::AppeAsync() { StartSequence(rqAppe, stPort | stAppe); }
void TFtpClientCore::AppendFileAsync() {
  StartSequence(rqUpload, stOpen | stUser | stPass | stCwd | stType | stPort | stAppe | stQuit);
}
void TFtpClientCore::ListAsync() { StartSequence(rqList, stPort | stList); }
void TFtpClientCore::NlstAsync() { StartSequence(rqNlst, stPort | stNlst); }
void TFtpClientCore::TypeAsync() { SendRequestCommand(rqType, std::string("TYPE ") + TypeLetter_, {200}); }
void TFtpClientCore::TypeBinaryAsync() {
  SetBinary(true);
  TypeAsync();
}
void TFtpClientCore::TypeAsciiAsync() {
  SetBinary(false);
  TypeAsync();
}
void TFtpClientCore::PwdAsync() { SendRequestCommand(rqPwd, "PWD", {250, 257}); }
void TFtpClientCore::CwdAsync() {
  if (HostDirName.empty()) return UsageError("HostDirName empty");
  SendRequestCommand(rqCwd, "CWD " + HostDirName, {200, 250, 257});
}
void TFtpClientCore::CdupAsync() {
  SendRequestCommand(rqCdup, "CDUP", {200, 250, 257});
}
void TFtpClientCore::ListOneCallAsync() {
  StartSequence(rqListOneCall, stOpen | stUser | stPass | stCwd | stType | stPort | stList | stQuit);
}
void TFtpClientCore::NlstOneCallAsync() {
  StartSequence(rqNlstOneCall, stOpen | stUser | stPass | stCwd | stType | stPort | stNlst | stQuit);
}
void TFtpClientCore::SystAsync() { SendRequestCommand(rqSyst, "SYST", {215}); }
void TFtpClientCore::SystOneCallAsync() { StartSequence(rqSystOneCall, stOpen | stUser | stPass | stSyst | stQuit); }
void TFtpClientCore::SizeAsync() {
  SendRequestCommand(rqSize, "SIZE " + HostFileName, {213});
}
void TFtpClientCore::SizeOneCallAsync() { StartSequence(rqSize, stOpen | stUser | stPass | stCwd | stSize | stQuit); }
void TFtpClientCore::MkdAsync() {
  SendRequestCommand(rqMkd, "MKD " + HostFileName, {250, 257});
}
void TFtpClientCore::MkdOneCallAsync() { StartSequence(rqMkdOneCall, stOpen | stUser | stPass | stCwd | stMkd | stQuit); }
void TFtpClientCore::RmdAsync() { SendRequestCommand(rqRmd, "RMD " + HostFileName, {250, 257}); }
void TFtpClientCore::RmdOneCallAsync() { StartSequence(rqRmdOneCall, stOpen | stUser | stPass | stCwd | stRmd | stQuit); }
void TFtpClientCore::DeleAsync() { SendRequestCommand(rqDele, "DELE " + HostFileName, {250, 257}); }
void TFtpClientCore::DeleOneCallAsync() { StartSequence(rqDeleOneCall, stOpen | stUser | stPass | stCwd | stDele | stQuit); }
void TFtpClientCore::RnfrAsync() { SendRequestCommand(rqRnfr, "RNFR " + HostFileName, {350}); }
void TFtpClientCore::RntoAsync() { SendRequestCommand(rqRnto, "RNTO " + LocalFileName, {200, 250, 257}); }
void TFtpClientCore::RenameAsync() { StartSequence(rqRename, stRnfr | stRnto); }
void TFtpClientCore::RenameOneCallAsync() {
  StartSequence(rqRenameOneCall, stOpen | stUser | stPass | stCwd | stRnfr | stRnto | stQuit);
}
void TFtpClientCore::QuoteAsync() { SendRequestCommand(rqQuote, LocalFileName, {}); }
void TFtpClientCore::QuoteOneCallAsync() { StartSequence(rqQuoteOneCall, stOpen | stUser | stPass | stCwd | stQuote | stQuit); }
void TFtpClientCore::AborAsync() { SendRequestCommand(rqAbor, "ABOR", {}); }
void TFtpClientCore::RestAsync() {
  if (!CheckReady()) return;
  if (!IsConnected_) return UsageError("FTP component not connected");
  if (!InSequence_) RequestKind_ = rqRest;
  CurrentStep_ = stRest;
  DoRest();
}
void TFtpClientCore::RestRetrAsync() { StartSequence(rqRestRetr, stRest | stPort | stRetr); }
void TFtpClientCore::RestartDownloadAsync() {
  StartSequence(rqRestartDownload, stOpen | stUser | stPass | stCwd | stType | stRest | stPort | stRetr | stQuit);
}
void TFtpClientCore::RestStorAsync() { StartSequence(rqRestStor, stRest | stPort | stStor); }
void TFtpClientCore::RestartUploadAsync() {
  StartSequence(rqRestartUpload, stOpen | stUser | stPass | stCwd | stType | stRest | stPort | stStor | stQuit);
}

// ---- control connection ----

void TFtpClientCore::DoOpen() {
  if (!CheckReady()) return;
  if (IsConnected_) return UsageError("FTP component already connected");
  if (!InSequence_) RequestKind_ = rqOpen;
  RequestDone_ = false;
  RecvLen_ = 0;
  RequestError_ = 0;
  ReplyAwaited_ = false;
  SetState(fcsLookup);
  Control_->DnsLookup(ConnectionType_ == ftpProxy ? ProxyServer : HostName);
}

void TFtpClientCore::SetSocketFailure(const std::string& prefix, int error) {
  ReplyLine_ = prefix + WSocketErrorDesc(error) + " (Winsock error #" + std::to_string(error) + ")";
  ReplyCode_ = RequestError_ = 500;
  if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
}

void TFtpClientCore::ControlDnsLookupDone(uint16_t error) {
  if (State_ != fcsLookup && State_ != fcsAborting) return;
  if (error != 0) {
    SetSocketFailure("500 ", error);
    FinishRequest(error);
    return;
  }
  Control_->SetAddr(Control_->DnsResult());
  Control_->SetLocalAddr(LocalAddr);
  Control_->SetProto("tcp");
  if (ConnectionType_ == ftpProxy && !ProxyPort.empty())
    Control_->SetPort(ProxyPort);
  else
    Control_->SetPort(ConnectionType_ == ftpProxy ? "ftp" : Port);
  SetState(fcsAwaitGreeting);
  try {
    Control_->Connect();
  } catch (const std::exception& e) {
    ReplyLine_ = "500 " + ExceptionClassName(e) + ": " + e.what();
    ReplyCode_ = RequestError_ = 500;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
    FinishRequest(500);
  }
}

void TFtpClientCore::ControlSessionConnected(uint16_t error) {
  if (error != 0) {
    SetSocketFailure("500 ", error);
    HasNextStep_ = false;
    FinishRequest(error);
    Control_->Close();
    SetState(fcsReady);
    return;
  }
  IsConnected_ = true;
  ReplyAwaited_ = true;  // the greeting
}

void TFtpClientCore::DoUser() {
  if (UserName.empty()) return UsageError("UserName empty");
  std::string command = "USER " + UserName;
  if (ConnectionType_ == ftpProxy) {
    command += "@" + HostName;
    std::string p = Port;
    for (char& c : p) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (p != "ftp" && p != "21") command += ":" + Port;
  }
  CurrentStep_ = stUser;
  SendRequestCommand(rqUser, command, {331, 230});
}

void TFtpClientCore::DoPass() {
  if (PassWord.empty()) return UsageError("Password empty");
  CurrentStep_ = stPass;
  SendRequestCommand(rqPass, "PASS " + PassWord, {230});
}

void TFtpClientCore::DoQuit() {
  CloseLocalFile();
  CurrentStep_ = stQuit;
  SendRequestCommand(rqQuit, "QUIT", {221}, &TFtpClientCore::CloseControlAfterQuit);
}

void TFtpClientCore::CloseControlAfterQuit() { Control_->Close(); }

void TFtpClientCore::ControlDataAvailable() {
  int room = ReceiveBufferSize - 1 - RecvLen_;
  // A full buffer asks for 0 bytes, which reads as a closed connection: a
  // reply line longer than the buffer cannot be taken.
  int n = Control_->Receive(RecvBuffer_ + RecvLen_, room);
  if (n == 0) {
    Control_->Close();
    return;
  }
  if (n < 0) return;
  RecvLen_ += n;
  RecvBuffer_[RecvLen_] = '\0';
  while (RecvLen_ > 0) {
    std::string line;
    if (!TakeReplyLine(RecvBuffer_, RecvLen_, Options & ftpAcceptLF, line)) break;
    ReplyLine_ = line;
    if (OnResponse) OnResponse(this);

    bool final;
    int code = ReplyStatus(line, &final);
    if (State_ == fcsAwaitGreeting) {
      Display("< " + line);
      if (!final) continue;
      ReplyCode_ = code;
      ReplyAwaited_ = false;
      if (code != 220) {
        if (ErrorMessage_.empty()) ErrorMessage_ = line;
        RequestError_ = code;
        Control_->Close();
        return;
      }
      SetState(fcsConnected);
      if (OnSessionConnected) OnSessionConnected(this, 0);
      FinishRequest(0);
    } else if (State_ == fcsAwaitReply) {
      Display("< " + line);
      if (!final) continue;
      if (!ReplyHandler_) return UsageError("Program error: no reply handler");
      (this->*ReplyHandler_)();
    } else {
      Display("< " + line);
    }
    if (Control_->State() == ssClosed) {
      RecvLen_ = 0;
      return;
    }
  }
}

void TFtpClientCore::HandleCommandReply() {
  bool final;
  ReplyCode_ = ReplyStatus(ReplyLine_, &final);
  ReplyAwaited_ = false;
  bool ok;
  if (Accepted_.empty()) {
    ok = ReplyCode_ < 500;
  } else {
    ok = false;
    for (int c : Accepted_) ok = ok || c == ReplyCode_;
  }
  if (ok) {
    RequestError_ = 0;
  } else {
    RequestError_ = ReplyCode_;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
  }
  if (Passive_ && ReplyCode_ == 227) {
    SetState(fcsPassiveReady);
    PasvReply_ = ReplyLine_;
  }
  if (RequestError_ == 0) {
    if (CurrentStep_ == stSize) {
      RemoteSize_ = ReplySize(ReplyLine_);
    } else if (CurrentStep_ == stCwd || CurrentStep_ == stMkd || CurrentStep_ == stPwd || CurrentStep_ == stCdup) {
      RemoteDir_ = QuotedName(ReplyLine_);
    } else if (CurrentStep_ == stRest) {
      RestAccepted_ = ReplyCode_ == 350;
    }
  }
  if (AfterReply_) {
    auto hook = AfterReply_;
    AfterReply_ = nullptr;
    (this->*hook)();
  } else {
    FinishRequest(RequestError_);
  }
}

bool TFtpClientCore::FinalReplyOutstanding() const {
  if (RequestDone_) return false;
  if (ReplyAwaited_) return true;
  return TransferRunning_ && !(FinalReplySeen_ && (DataClosedRecv_ || DataClosedSend_));
}

void TFtpClientCore::ControlSessionClosed(uint16_t error) {
  if (IsConnected_) {
    IsConnected_ = false;
    if (State_ != fcsAborting) SetState(fcsNotConnected);
    if (OnSessionClosed) OnSessionClosed(this, error);
  }
  if (State_ != fcsAborting) SetState(fcsStepReady);
  if (error != 0) {
    SetSocketFailure("500 Control connection closed. ", error);
  } else if (FinalReplyOutstanding()) {
    ReplyLine_ = "500 Control connection closed.";
    ReplyCode_ = RequestError_ = 500;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
  }
  ReplyAwaited_ = false;
  FinishRequest(RequestError_);
}

void TFtpClientCore::AbortClient() {
  bool wasLookup = State_ == fcsLookup;
  SetState(fcsAborting);
  CloseLocalFile();
  if (wasLookup) {
    try {
      Control_->CancelDnsLookup();
    } catch (...) {
    }
  }
  // The control close may already end the request and with it the data
  // connection, so the data socket is told first not to wait.
  Data_->FlushTimeout = 0;
  if (Control_->State() != ssClosed) Control_->Close();
  if (Data_->State() != ssClosed) DropDataConnection();
  CloseLocalFile();
  IsConnected_ = false;
  TransferRunning_ = false;
  ReplyAwaited_ = false;
  SetState(fcsReady);
}

// ---- data connection ----

void TFtpClientCore::OpenDataPort() {
  Data_->SetProto("tcp");
  Data_->SetAddr("0.0.0.0");
  Data_->SetPort("0");
  Data_->OnSessionAvailable = nullptr;
  Data_->OnSessionClosed = nullptr;
  Data_->OnDataAvailable = nullptr;
  Data_->OnDataSent = nullptr;
  Data_->OnSessionConnected = nullptr;
  sockaddr_in addr{};
  int len = sizeof addr;
  uint16_t listenPort = 0;
  if (!Passive_) {
    if (PendingSteps_ & (stRetr | stList | stNlst))
      Data_->OnSessionAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { AcceptForReceive(); }); };
    else if (PendingSteps_ & (stStor | stAppe))
      Data_->OnSessionAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { AcceptForSend(); }); };
    Data_->Listen();
    Data_->GetSockName(addr, len);
    listenPort = ntohs(addr.sin_port);
  }
  len = sizeof addr;
  addr = {};
  Control_->GetSockName(addr, len);
  uint32_t local = ntohl(addr.sin_addr.s_addr);
  std::string command;
  if (Passive_) {
    command = "PASV";
  } else {
    char buf[64];
    if (Control_->Addr() == "127.0.0.1")
      std::snprintf(buf, sizeof buf, "PORT 127,0,0,1,%d,%d", listenPort >> 8, listenPort & 0xff);
    else
      std::snprintf(buf, sizeof buf, "PORT %u,%u,%u,%u,%d,%d", local >> 24, (local >> 16) & 0xff, (local >> 8) & 0xff,
                    local & 0xff, listenPort >> 8, listenPort & 0xff);
    command = buf;
  }
  ByteCount_ = 0;
  DataSessionOpen_ = false;
  CurrentStep_ = stPort;
  SendRequestCommand(rqPort, command, {200, 227});
}

void TFtpClientCore::DoRest() {
  bool restUpload = RequestKind_ == rqRestStor || RequestKind_ == rqRestartUpload;
  if (!restUpload && !(Options & ftpNoAutoResumeAt)) {
    std::FILE* f = std::fopen(LocalFileName.c_str(), "rb");
    if (f) {
      std::fseek(f, 0, SEEK_END);
      RestartOffset = std::ftell(f);
      std::fclose(f);
    } else {
      RestartOffset = -1;
    }
  }
  RestAccepted_ = false;
  if (RestartOffset <= 0) {
    RequestDone_ = false;
    FinishRequest(0);
    return;
  }
  SendRequestCommand(rqRest, "REST " + std::to_string(RestartOffset), {});
}

void TFtpClientCore::CloseLocalFile() {
  if (!LocalFile_) return;
  bool failed = std::fclose(LocalFile_) != 0;
  if (failed && LocalFileWriting_ && LocalIoError_ == 0) LocalIoError_ = 550;
  LocalFile_ = nullptr;
}

bool TFtpClientCore::OpenLocalFileForReceive() {
  CloseLocalFile();
  LocalFileWriting_ = true;
  // Linux has no mandatory sharing modes; ShareMode is kept for the callers
  // that set it and the file is opened plainly.
  if (RestartOffset > 0) {
    LocalFile_ = std::fopen(LocalFileName.c_str(), "r+b");
    if (LocalFile_ && std::fseek(LocalFile_, RestartOffset, SEEK_SET) != 0) CloseLocalFile();
  } else {
    LocalFile_ = std::fopen(LocalFileName.c_str(), "wb");
  }
  if (LocalFile_) {
    FileBuffer_.resize(64 * 1024);
    std::setvbuf(LocalFile_, FileBuffer_.data(), _IOFBF, FileBuffer_.size());
  }
  return LocalFile_ != nullptr;
}

bool TFtpClientCore::OpenLocalFileForSend() {
  CloseLocalFile();
  LocalFileWriting_ = false;
  LocalFile_ = std::fopen(LocalFileName.c_str(), "rb");
  if (!LocalFile_) return false;
  FileBuffer_.resize(64 * 1024);
  std::setvbuf(LocalFile_, FileBuffer_.data(), _IOFBF, FileBuffer_.size());
  return true;
}

bool TFtpClientCore::ConnectPassive(bool forReceive) {
  std::string address;
  int port = 0;
  PassiveAddress(PasvReply_, address, port);
  try {
    Data_->SetPort(std::to_string(port));
    Data_->SetAddr(address);
    Data_->SetLocalAddr(LocalAddr);
    Data_->SetLingerOnOff(lingerOff);
    Data_->ComponentOptions = sockNoReceiveLoop;
    if (forReceive)
      Data_->OnSessionConnected = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ReceiveConnected(e); }); };
    else
      Data_->OnSessionConnected = [this](TAsyncSocket*, uint16_t e) { Safe([&] { SendConnected(e); }); };
    Data_->Connect();
  } catch (const std::exception& e) {
    ReplyLine_ = std::string(forReceive ? "550 " : "426 ") + ExceptionClassName(e) + ": " + e.what();
    ReplyCode_ = RequestError_ = forReceive ? 550 : 426;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
    Data_->Close();
    CloseLocalFile();
    FinishRequest(RequestError_);
    return false;
  }
  return true;
}

void TFtpClientCore::StartReceive(const std::string& dataCommand) {
  if (!IsConnected_) return UsageError(dataCommand + ": not connected");
  if (LocalFileName.empty() && !DisplayFileFlag) return UsageError("LocalFileName empty");
  if (!InSequence_) RequestKind_ = dataCommand == "RETR" ? rqRetr : dataCommand == "LIST" ? rqList : rqNlst;
  CurrentStep_ = dataCommand == "RETR" ? stRetr : dataCommand == "LIST" ? stList : stNlst;
  DataCommand_ = dataCommand;
  FinalReplySeen_ = false;
  DataClosedRecv_ = false;
  DataClosedSend_ = false;
  RequestDone_ = false;
  ByteCount_ = 0;
  DataCloseError_ = 0;
  LocalIoError_ = 0;
  StartTick_ = StopTick_ = Tick();
  TransferRunning_ = true;
  if (!Passive_) Data_->OnSessionAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { AcceptForReceive(); }); };
  if (!DisplayFileFlag && !OpenLocalFileForReceive()) {
    ReplyLine_ = "Unable to open local file " + LocalFileName;
    ReplyCode_ = 550;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
    Data_->Close();
    RequestError_ = 550;
    FinishRequest(550);
    return;
  }
  if (Passive_ && !ConnectPassive(true)) return;
  SetState(fcsAwaitReply);
  ReplyHandler_ = &TFtpClientCore::FirstReceiveReply;
  WriteCommand(HostFileName.empty() ? dataCommand : dataCommand + " " + HostFileName);
}

void TFtpClientCore::AcceptForReceive() {
  int h = Data_->Accept();
  Data_->Close();
  Data_->OnSessionClosed = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ReceiveClosed(e); }); };
  Data_->OnDataAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { ReceiveData(); }); };
  Data_->OnDataSent = nullptr;
  Data_->Dup(h);
  Data_->ComponentOptions = sockNoReceiveLoop;
  StartTick_ = Tick();
}

void TFtpClientCore::ReceiveConnected(uint16_t error) {
  Data_->OnSessionClosed = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ReceiveClosed(e); }); };
  Data_->OnDataAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { ReceiveData(); }); };
  Data_->OnDataSent = nullptr;
  StartTick_ = Tick();
  if (error != 0) {
    ReplyLine_ = "Unable to establish data connection, error #" + std::to_string(error);
    ReplyCode_ = RequestError_ = 550;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
    CloseLocalFile();
    FinishRequest(550);
  }
}

// The server would not start the transfer: the request ends with its reply.
void TFtpClientCore::RefuseTransfer(int code) {
  ReplyAwaited_ = false;
  if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
  ReplyHandler_ = nullptr;
  Data_->Close();
  CloseLocalFile();
  RestartOffset = 0;
  RequestError_ = code;
  FinishRequest(code);
}

void TFtpClientCore::FirstReceiveReply() {
  int code = ReplyCode_ = ReplyStatus(ReplyLine_, nullptr);
  if (code == 125 || (code >= 150 && code <= 159)) {
    ReplyHandler_ = &TFtpClientCore::FinalReceiveReply;
    return;
  }
  RefuseTransfer(code);
}

void TFtpClientCore::FinalReceiveReply() {
  int code = ReplyCode_ = ReplyStatus(ReplyLine_, nullptr);
  ReplyAwaited_ = false;
  if (code == 125 || code == 226 || code == 250) {
    FinalReplySeen_ = true;
    EndReceive();
    return;
  }
  if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
  CloseLocalFile();
  Data_->Close();
  Display("! RETR/LIST/NLST Failed");
  RequestError_ = code;
  FinishRequest(code);
}

void TFtpClientCore::ReceiveData() {
  if (!Progress()) return;
  char buf[DataReadSize];
  int n = Data_->Receive(buf, sizeof buf);
  if (n < 0) {
    int e = Data_->LastError();
    if (Data_->State() == ssConnected && e != WSAEWOULDBLOCK) {
      Display("! Data: Receive error " + std::to_string(e));
      if (LocalIoError_ == 0) LocalIoError_ = e;
      Data_->ShutDown(2);
    }
    return;
  }
  if (n == 0) return;
  ByteCount_ += n;
  if (LocalFile_ && std::fwrite(buf, 1, n, LocalFile_) != static_cast<size_t>(n)) {
    Display("! Error writing local file");
    if (LocalIoError_ == 0) LocalIoError_ = 550;
    Data_->ShutDown(2);
    return;
  }
  if (DisplayFileFlag && OnDisplayFile) {
    int i = 0;
    while (i < n) {
      int start = i;
      while (i < n && buf[i] != '\r' && buf[i] != '\n') ++i;
      if (i > start) {
        std::string piece(buf + start, i - start);
        OnDisplayFile(this, piece);
      }
      while (i < n && (buf[i] == '\r' || buf[i] == '\n')) ++i;
    }
  }
}

void TFtpClientCore::ReceiveClosed(uint16_t error) {
  CloseLocalFile();
  DataClosedRecv_ = true;
  DataCloseError_ = error;
  EndReceive();
}

void TFtpClientCore::EndReceive() {
  if (!(FinalReplySeen_ && DataClosedRecv_)) return;
  EndTransfer(550);
}

// Ends a transfer once both its final reply and its data close have come.
// A local read or write failure (or a requested abort) fails it even when
// the server was content: the local file is not what the server holds.
void TFtpClientCore::EndTransfer(int defaultError) {
  DisplayStatistics();
  RestartOffset = 0;
  TransferRunning_ = false;
  int error = DataCloseError_;
  if (error == 0 && LocalIoError_ != 0) {
    error = LocalIoError_ == 426 || LocalIoError_ == 550 ? LocalIoError_ : defaultError;
    if (ErrorMessage_.empty()) {
      if (LocalIoError_ == 426)
        ErrorMessage_ = "426 Abort requested";
      else if (defaultError == 550)
        ErrorMessage_ = LocalIoError_ == 550 ? "550 Error writing local file"
                                             : "550 Data: Receive error " + std::to_string(LocalIoError_);
      else
        ErrorMessage_ = "426 Error reading file";
    }
  }
  RequestError_ = error;
  FinishRequest(error);
}

void TFtpClientCore::DisplayStatistics() {
  StopTick_ = Tick();
  int64_t elapsed = StopTick_ - StartTick_;
  std::string text = std::to_string(ByteCount_) + " bytes received/sent in " + std::to_string(elapsed / 1000) + " seconds";
  if (elapsed != 0) {
    int64_t rate = ByteCount_ <= 32767 ? ByteCount_ * 1000 / elapsed : (ByteCount_ / elapsed) * 1000;
    text += " (" + std::to_string(rate) + " Bytes/sec)";
  }
  Display("! " + text);
}

void TFtpClientCore::StartSend(bool append) {
  if (!IsConnected_) return UsageError("STOR/APPE: not connected");
  if (LocalFileName.empty()) return UsageError("LocalFileName empty");
  CurrentStep_ = append ? stAppe : stStor;
  Append_ = append;
  FinalReplySeen_ = false;
  DataClosedSend_ = false;
  DataClosedRecv_ = false;
  RequestDone_ = false;
  // Some servers (pyftpdlib) connect to the PORT address as soon as PORT is
  // answered, so the data connection may already be up: forgetting that
  // would leave the transfer waiting for an accept that has happened.
  DataSessionOpen_ = !Passive_ && DataSessionOpen_ && Data_->State() == ssConnected;
  StorAccepted_ = false;
  StartTick_ = 0;
  ByteCount_ = 0;
  DataCloseError_ = 0;
  LocalIoError_ = 0;
  ++TransferSerial_;
  bool cancel = false;
  if (OnReadyToTransmit) OnReadyToTransmit(this, cancel);
  if (cancel) {
    ErrorMessage_ = "426 Transmit cancelled by application";
    ReplyCode_ = 426;
    Display("! " + ErrorMessage_);
    RequestError_ = 426;
    FinishRequest(426);
    return;
  }
  TransferRunning_ = true;
  if (!Passive_) Data_->OnSessionAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { AcceptForSend(); }); };
  if (!OpenLocalFileForSend()) {
    ErrorMessage_ = "426 Unable to open local file " + LocalFileName;
    ReplyCode_ = 426;
    Display("! " + ErrorMessage_);
    Data_->Close();
    RequestError_ = 426;
    TransferRunning_ = false;
    FinishRequest(426);
    return;
  }
  SendEof_ = false;
  if (RestartOffset > 0) std::fseek(LocalFile_, RestartOffset, SEEK_SET);
  if (Passive_) {
    ConnectPassive(false);
    return;
  }
  SetState(fcsAwaitReply);
  ReplyHandler_ = &TFtpClientCore::FirstSendReply;
  WriteCommand((append ? "APPE " : "STOR ") + HostFileName);
}

void TFtpClientCore::AcceptForSend() {
  int h = Data_->Accept();
  Data_->Close();
  Data_->OnSessionClosed = [this](TAsyncSocket*, uint16_t e) { Safe([&] { SendClosed(e); }); };
  Data_->OnDataAvailable = [this](TAsyncSocket*, uint16_t) { Safe([&] { DrainData(); }); };
  Data_->OnDataSent = [this](TAsyncSocket*, uint16_t e) { Safe([&] { SendNextBlock(e); }); };
  Data_->Dup(h);
  Data_->ComponentOptions = sockNoReceiveLoop;
  int size = 0;
  socklen_t len = sizeof size;
  if (::getsockopt(Data_->Handle(), SOL_SOCKET, SO_SNDBUF, &size, &len) != 0)
    return UsageError("winsock.getsockopt(SO_SNDBUF) failed");
  Data_->SetLingerOnOff(lingerOff);
  CorkDataConnection();
  DataSessionOpen_ = true;
  if (StorAccepted_ && StartTick_ == 0) PostMessage(msgStartSend, TransferSerial_);
}

void TFtpClientCore::SendConnected(uint16_t error) {
  Data_->OnSessionClosed = [this](TAsyncSocket*, uint16_t e) { Safe([&] { SendClosed(e); }); };
  Data_->OnDataAvailable = nullptr;
  Data_->OnDataSent = nullptr;
  DataSessionOpen_ = true;
  StartTick_ = Tick();
  if (error == 0) CorkDataConnection();
  if (error != 0) {
    ReplyLine_ = "Unable to establish data connection, error #" + std::to_string(error);
    ReplyCode_ = RequestError_ = 550;
    if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
    CloseLocalFile();
    TransferRunning_ = false;
    FinishRequest(550);
    return;
  }
  SetState(fcsAwaitReply);
  ReplyHandler_ = &TFtpClientCore::FirstSendReply;
  WriteCommand((Append_ ? "APPE " : "STOR ") + HostFileName);
}

// The blocks stay 1460 bytes and one at a time, but the system may join
// them into full segments: a server then reads the file in large pieces
// instead of waking up for every block. The close sends what is left.
void TFtpClientCore::CorkDataConnection() {
  Data_->SendBatchSize = SendBatchBytes;
  int one = 1;
  ::setsockopt(Data_->Handle(), IPPROTO_TCP, TCP_CORK, &one, sizeof one);
}

void TFtpClientCore::FirstSendReply() {
  int code = ReplyCode_ = ReplyStatus(ReplyLine_, nullptr);
  if (code == 150 || code == 125) {
    StorAccepted_ = true;
    ReplyHandler_ = &TFtpClientCore::FinalSendReply;
    if (Passive_) {
      Data_->OnDataSent = [this](TAsyncSocket*, uint16_t e) { Safe([&] { SendNextBlock(e); }); };
      SendNextBlock(0);
    } else if (DataSessionOpen_ && StartTick_ == 0) {
      PostMessage(msgStartSend, TransferSerial_);
    }
    return;
  }
  RefuseTransfer(code);
}

void TFtpClientCore::FinalSendReply() {
  int code = ReplyCode_ = ReplyStatus(ReplyLine_, nullptr);
  ReplyAwaited_ = false;
  if (code == 226 || code == 250) {
    FinalReplySeen_ = true;
    EndSend();
    return;
  }
  if (ErrorMessage_.empty()) ErrorMessage_ = ReplyLine_;
  CloseLocalFile();
  DropDataConnection();
  Display("! STOR Failed");
  RequestError_ = code;
  FinishRequest(code);
}

// Every close of a running transfer except the one after the last block is
// a failure: the peer may not be reading, and the bytes the socket gathered
// do not matter any more, so the close does not wait for them.
void TFtpClientCore::DropDataConnection() {
  Data_->FlushTimeout = 0;
  Data_->Close();
}

void TFtpClientCore::DrainData() {
  char buf[2048];
  Data_->Receive(buf, sizeof buf);
}

void TFtpClientCore::SendNextBlock(uint16_t error) {
  if (!LocalFile_ || !Progress()) return;
  if (error != 0) {
    Display("! Error #" + std::to_string(error) + " sending data");
    DropDataConnection();
    return;
  }
  if (SendEof_ || !StorAccepted_ || !DataSessionOpen_) return;
  size_t n = std::fread(SendBlock_, 1, SendBlockSize, LocalFile_);
  if (n == 0) {
    if (std::ferror(LocalFile_)) {
      Display("! Error reading file");
      LocalIoError_ = 1;
      DropDataConnection();
      return;
    }
    // Lets the last blocks leave before the close is requested.
    Data_->FlushGatheredNow();
    ::usleep(100 * 1000);
    Data_->PostedClose();
    SendEof_ = true;
    return;
  }
  ByteCount_ += static_cast<int64_t>(n);
  Data_->Send(SendBlock_, static_cast<int>(n));
}

void TFtpClientCore::SendClosed(uint16_t error) {
  CloseLocalFile();
  DataClosedSend_ = true;
  DataCloseError_ = error;
  EndSend();
}

void TFtpClientCore::EndSend() {
  if (!(FinalReplySeen_ && DataClosedSend_)) return;
  EndTransfer(426);
}

bool TFtpClientCore::Progress() {
  bool abort = false;
  if (OnProgress) OnProgress(this, ByteCount_ + RestartOffset, abort);
  if (abort) {
    Display("! Abort requested");
    LocalIoError_ = 426;
    DropDataConnection();
    return false;
  }
  return true;
}

}  // namespace trelvo
