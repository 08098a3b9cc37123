// The data connection: PORT or PASV, the accept or connect, and the
// transfers of files and listings over it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ftp/FtpClientCoreImpl.h"

namespace trelvo {


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
  // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)."
  std::string s = PasvReply_;
  size_t paren = s.find('(');
  s = paren == std::string::npos ? "" : s.substr(paren + 1);
  std::vector<std::string> parts;
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    size_t comma = s.find(',', pos);
    parts.push_back(s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    pos = comma == std::string::npos ? s.size() : comma + 1;
  }
  size_t close = s.find(')', pos);
  parts.push_back(s.substr(pos, close == std::string::npos ? std::string::npos : close - pos));
  std::string address = parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
  int port = (std::atoi(parts[4].c_str()) * 256 + std::atoi(parts[5].c_str())) & 0xffff;
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
  ProtectDataConnection();
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
    return;
  }
  ProtectDataConnection();
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
  if (DisplayFileFlag && OnDisplayFile) DisplayListingLines(buf, n);
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
  ProtectDataConnection();
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
  ProtectDataConnection();
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
