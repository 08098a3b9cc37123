// FTP over TLS on the client core: AUTH TLS after the greeting (or TLS from
// the first byte), PBSZ and PROT after the login, and every data connection
// protected. The sockets do the TLS itself; the core only asks them to
// protect a connection and hears when that has succeeded or failed.
#include <cctype>

#include "ftp/FtpClientCore.h"

namespace trelvo {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// A command that continues the request in progress (AUTH after the
// greeting, PBSZ and PROT after the login): no readiness check, and the
// request keeps its kind and step.
void TFtpClientCore::SendFollowUp(const std::string& command, std::initializer_list<int> accepted,
                                  void (TFtpClientCore::*afterReply)()) {
  Accepted_.assign(accepted.begin(), accepted.end());
  RequestDone_ = false;
  ReplyHandler_ = &TFtpClientCore::HandleCommandReply;
  AfterReply_ = afterReply;
  SetState(fcsAwaitReply);
  WriteCommand(command);
}

std::string TFtpClientCore::ControlPort() const {
  if (Tls == ftpTlsImplicit && Lower(Port) == "ftp") return "990";
  return Port;
}

// Every session starts without a TLS session to resume: data connections
// resume the ones this control connection brings.
void TFtpClientCore::NewTlsSession() {
  ProtectData_ = false;
  TlsContext_.reset();
  if (Tls == ftpTlsNone) return;
  TTlsSettings settings;
  settings.CaFile = TlsCaFile;
  settings.Fingerprint = TlsFingerprint;
  settings.PeerName = HostName;
  settings.HighestVersion = TlsHighestVersion;
  TlsContext_ = std::make_shared<TTlsContext>(settings);
}

// The greeting has come. Without explicit TLS the open ends here; with it,
// the open ends once the handshake after AUTH TLS has passed.
bool TFtpClientCore::Greeted() {
  if (Tls != ftpTlsExplicit) return true;
  SendFollowUp("AUTH TLS", {234}, &TFtpClientCore::AuthReply);
  return false;
}

void TFtpClientCore::AuthReply() {
  if (RequestError_ != 0) {
    // Nothing more goes over this connection in clear, the login least of all.
    ErrorMessage_ = "500 TLS refused by the server: " + ReplyLine_;
    Control_->Close();
    FinishRequest(RequestError_);
    return;
  }
  // Whatever followed the 234 in clear text is no reply of this server's:
  // it could only be injected before the protection starts.
  RecvLen_ = 0;
  RecvBuffer_[0] = '\0';
  ReplyAwaited_ = true;  // the handshake's end stands for the reply
  Control_->StartTls(TlsContext_);
}

void TFtpClientCore::ControlTlsDone(uint16_t error) {
  if (error != 0) {
    // The socket closes the connection next; its close ends the request.
    ErrorMessage_ = "500 " + Control_->TlsFailure();
    RequestError_ = 500;
    return;
  }
  if (Tls == ftpTlsImplicit) return;  // the greeting comes now, protected
  ReplyAwaited_ = false;
  FinishRequest(0);
}

void TFtpClientCore::AfterUser() {
  if (RequestError_ == 0 && ReplyCode_ == 230 && Tls != ftpTlsNone) return ProtectData();
  FinishRequest(RequestError_);
}

void TFtpClientCore::AfterPass() {
  if (RequestError_ == 0 && Tls != ftpTlsNone) return ProtectData();
  FinishRequest(RequestError_);
}

// Logged in over TLS: the data connections are protected too, or there is
// no session at all (a server refusing PROT P would get the files in clear).
void TFtpClientCore::ProtectData() { SendFollowUp("PBSZ 0", {200}, &TFtpClientCore::PbszReply); }

void TFtpClientCore::PbszReply() {
  if (RequestError_ != 0) return FinishRequest(RequestError_);
  SendFollowUp("PROT P", {200}, &TFtpClientCore::ProtReply);
}

void TFtpClientCore::ProtReply() {
  ProtectData_ = RequestError_ == 0;
  FinishRequest(RequestError_);
}

// The data connection is up (accepted or connected): TLS over it, as the
// client of the handshake whichever side connected. Bytes sent meanwhile and
// a close after the last block wait in the socket for the handshake's end.
void TFtpClientCore::ProtectDataConnection() {
  if (ProtectData_) Data_->StartTls(TlsContext_);
}

// A failed handshake closes the data connection with an error, which fails
// the transfer whatever the server answers; the reason is kept here.
void TFtpClientCore::DataTlsDone(uint16_t error) {
  if (error != 0 && ErrorMessage_.empty()) ErrorMessage_ = "500 Data connection: " + Data_->TlsFailure();
}

}  // namespace trelvo
