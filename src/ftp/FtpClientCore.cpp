// The request machinery: sequences of steps, the starters of the requests
// and the end of a request.
#include "ftp/FtpClientCoreImpl.h"

#include <strings.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace trelvo {

namespace {

class TFtpMsg : public QEvent {
 public:
  TFtpMsg(int msg, int param) : QEvent(static_cast<QEvent::Type>(QEvent::User + msg)), Param(param) {}
  int Param;
};

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

std::string ExceptionClassName(const std::exception& e) {
  if (dynamic_cast<const ESocketException*>(&e)) return "ESocketException";
  if (dynamic_cast<const FtpException*>(&e)) return "FtpException";
  return "Exception";
}

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
  Control_->OnTlsDone = [this](TAsyncSocket*, uint16_t e) { Safe([&] { ControlTlsDone(e); }); };
  Data_->OnTlsDone = [this](TAsyncSocket*, uint16_t e) { Safe([&] { DataTlsDone(e); }); };
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
    s->OnTlsDone = nullptr;
  }
  Window_.reset();
}

int64_t TFtpClientCore::Tick() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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
  // The conversation is shown on screens and kept in logs; the password is not.
  if (::strncasecmp(cmd.c_str(), "PASS ", 5) == 0)
    Display("> PASS ****");
  else
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

}  // namespace trelvo
