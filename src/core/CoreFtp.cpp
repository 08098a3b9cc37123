// The FTP steps of the transfer runs.
#include "core/TrelvoCore.h"

namespace trelvo {

std::unique_ptr<TFtpClient> TTrelvoCore::NewFtpClient(const std::string& serverDir) {
  auto ftp = std::make_unique<TFtpClient>();
  ftp->UserName = Settings.FtpUser;
  ftp->PassWord = Settings.FtpPassWord;
  ftp->HostName = Settings.FtpHost;
  ftp->Port = Settings.FtpPort;
  ftp->HostDirName = serverDir;
  ftp->SetPassive(Settings.FtpPassive);
  ftp->OnProgress = [this](TFtpClientCore* sender, int64_t count, bool& abort) { FtpClientProgress(sender, count, abort); };
  return ftp;
}

bool TTrelvoCore::UploadPackage(const std::string&, const std::string&) { return false; }
bool TTrelvoCore::DownloadPackage(const std::string&) { return false; }
bool TTrelvoCore::DownloadMasterPackages(std::string&) { return false; }
bool TTrelvoCore::ReplaceMasterPackages(const std::string&) { return false; }
bool TTrelvoCore::CollectClientPackages() { return false; }
void TTrelvoCore::FtpClientProgress(TFtpClientCore*, int64_t, bool& abort) { abort = false; }

}  // namespace trelvo
