#pragma once
// The blocking FTP client the transfer procedures use: each operation starts
// the asynchronous request of TFtpClientCore and pumps the Qt event loop of
// the calling thread until the request has ended or made no progress for
// Timeout seconds. Operations return true or false and never throw; after a
// failure ErrorMessage says why.
#include <functional>

#include "ftp/FtpClientCore.h"

namespace trelvo {

class TFtpClient : public TFtpClientCore {
 public:
  TFtpClient();

  int Timeout = 15;  // seconds without progress; 0 or less: no limit
  bool MultiThreaded = false;

  bool Connect() { return ExecuteBlocking([this] { ConnectAsync(); }); }
  bool Open() { return ExecuteBlocking([this] { OpenAsync(); }); }
  bool User() { return ExecuteBlocking([this] { UserAsync(); }); }
  bool Pass() { return ExecuteBlocking([this] { PassAsync(); }); }
  bool Cwd() { return ExecuteBlocking([this] { CwdAsync(); }); }
  bool Cdup() { return ExecuteBlocking([this] { CdupAsync(); }); }
  bool Pwd() { return ExecuteBlocking([this] { PwdAsync(); }); }
  bool SetBinaryType() { return ExecuteBlocking([this] { TypeBinaryAsync(); }); }
  bool SetAsciiType() { return ExecuteBlocking([this] { TypeAsciiAsync(); }); }
  bool TypeSet() { return ExecuteBlocking([this] { TypeAsync(); }); }
  bool Ls() { return ExecuteBlocking([this] { NlstAsync(); }); }
  bool Mlsd() { return ExecuteBlocking([this] { MlsdAsync(); }); }
  bool Feat() { return ExecuteBlocking([this] { FeatAsync(); }); }
  bool Dir() { return ExecuteBlocking([this] { ListAsync(); }); }
  bool Retr() { return ExecuteBlocking([this] { RetrAsync(); }); }
  bool Stor() { return ExecuteBlocking([this] { StorAsync(); }); }
  bool Appe() { return ExecuteBlocking([this] { AppeAsync(); }); }
  bool Dele() { return ExecuteBlocking([this] { DeleAsync(); }); }
  bool Mkd() { return ExecuteBlocking([this] { MkdAsync(); }); }
  bool Rmd() { return ExecuteBlocking([this] { RmdAsync(); }); }
  bool Rnfr() { return ExecuteBlocking([this] { RnfrAsync(); }); }
  bool Rnto() { return ExecuteBlocking([this] { RntoAsync(); }); }
  bool Rename() { return ExecuteBlocking([this] { RenameAsync(); }); }
  bool Syst() { return ExecuteBlocking([this] { SystAsync(); }); }
  bool Size() { return ExecuteBlocking([this] { SizeAsync(); }); }
  bool Quote() { return ExecuteBlocking([this] { QuoteAsync(); }); }
  bool Abor() { return ExecuteBlocking([this] { AborAsync(); }); }
  bool Rest() { return ExecuteBlocking([this] { RestAsync(); }); }
  bool RestRetr() { return ExecuteBlocking([this] { RestRetrAsync(); }); }
  bool RestStor() { return ExecuteBlocking([this] { RestStorAsync(); }); }
  bool Quit() { return ExecuteBlocking([this] { QuitAsync(); }); }
  bool DownloadFile() { return ExecuteBlocking([this] { DownloadFileAsync(); }); }
  bool UploadFile() { return ExecuteBlocking([this] { UploadFileAsync(); }); }
  bool AppendFile() { return ExecuteBlocking([this] { AppendFileAsync(); }); }
  bool RestartDownloadFile() { return ExecuteBlocking([this] { RestartDownloadAsync(); }); }
  bool RestartUploadFile() { return ExecuteBlocking([this] { RestartUploadAsync(); }); }
  bool ListOneCall() { return ExecuteBlocking([this] { ListOneCallAsync(); }); }
  bool NlstOneCall() { return ExecuteBlocking([this] { NlstOneCallAsync(); }); }
  bool SystOneCall() { return ExecuteBlocking([this] { SystOneCallAsync(); }); }
  bool SizeOneCall() { return ExecuteBlocking([this] { SizeOneCallAsync(); }); }
  bool MkdOneCall() { return ExecuteBlocking([this] { MkdOneCallAsync(); }); }
  bool RmdOneCall() { return ExecuteBlocking([this] { RmdOneCallAsync(); }); }
  bool DeleOneCall() { return ExecuteBlocking([this] { DeleOneCallAsync(); }); }
  bool RenameOneCall() { return ExecuteBlocking([this] { RenameOneCallAsync(); }); }
  bool QuoteOneCall() { return ExecuteBlocking([this] { QuoteOneCallAsync(); }); }

  // Starts a request and waits for its end; false when the starter refused.
  bool ExecuteBlocking(const std::function<void()>& starter);
  bool WaitForRequest();

 protected:
  bool Progress() override;

 private:
  int64_t Deadline_ = 0;
  int64_t PassMs_ = 0;  // clock of the wait's latest full pass
};

}  // namespace trelvo
