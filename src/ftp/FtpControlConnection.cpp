// The control connection: open, login, quit, and the reply reader that
// hands each final reply to the waiting handler.
#include <cstring>

#include "ftp/FtpClientCoreImpl.h"

namespace trelvo {


void TFtpClientCore::DoOpen() {
  if (!CheckReady()) return;
  if (IsConnected_) return UsageError("FTP component already connected");
  if (!InSequence_) RequestKind_ = rqOpen;
  RequestDone_ = false;
  RecvLen_ = 0;
  RequestError_ = 0;
  ReplyAwaited_ = false;
  NewTlsSession();
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
    Control_->SetPort(ConnectionType_ == ftpProxy ? "ftp" : ControlPort());
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
  if (Tls == ftpTlsImplicit) Control_->StartTls(TlsContext_);
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
  SendRequestCommand(rqUser, command, {331, 230}, Tls != ftpTlsNone ? &TFtpClientCore::AfterUser : nullptr);
}

void TFtpClientCore::DoPass() {
  if (PassWord.empty()) return UsageError("Password empty");
  CurrentStep_ = stPass;
  SendRequestCommand(rqPass, "PASS " + PassWord, {230}, Tls != ftpTlsNone ? &TFtpClientCore::AfterPass : nullptr);
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
    int limit = static_cast<int>(std::strlen(RecvBuffer_));
    int lineLen = -1, consumed = 0;
    if (Options & ftpAcceptLF) {
      const char* lf = static_cast<const char*>(std::memchr(RecvBuffer_, '\n', limit));
      if (lf) {
        lineLen = static_cast<int>(lf - RecvBuffer_);
        consumed = lineLen + 1;
      }
    } else {
      for (int i = 0; i + 1 < limit; ++i)
        if (RecvBuffer_[i] == '\r' && RecvBuffer_[i + 1] == '\n') {
          lineLen = i;
          consumed = i + 2;
          break;
        }
    }
    if (lineLen < 0) break;
    std::string line(RecvBuffer_, lineLen);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    ReplyLine_ = line;
    std::memmove(RecvBuffer_, RecvBuffer_ + consumed, RecvLen_ - consumed + 1);
    RecvLen_ -= consumed;
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
      if (Greeted()) FinishRequest(0);
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
      size_t i = 0;
      while (i < ReplyLine_.size() && ReplyLine_[i] >= '0' && ReplyLine_[i] <= '9') ++i;
      RemoteSize_ = std::strtoll(ReplyLine_.c_str() + i, nullptr, 10);
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
    // A TLS failure says more than the socket error it closed with.
    const std::string tls = Control_->TlsFailure();
    SetSocketFailure(tls.empty() ? "500 Control connection closed. " : "500 Control connection closed. " + tls + ". ", error);
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

}  // namespace trelvo
