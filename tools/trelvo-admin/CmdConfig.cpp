// trelvo-admin config: the settings an installation really runs with.
#include <iostream>

#include "Admin.h"
#include "common/DateTime.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"

namespace trelvo::admin {
namespace {

int RunConfig(const TArgs& args) {
  args.Expect(0, 0);
  TTrelvoCore core(HomeDir(args));
  try {
    core.LoadSettings();
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin config: " << core.SettingsFileName() << ": " << e.what() << "\n";
    return 1;
  }
  const TSettings& s = core.Settings;
  const TLiveValues& l = core.Live;
  auto yn = [](bool b) { return std::string(YesNo(b)); };
  const char* engines[] = {"", "TCPIP", "NAMEDPIPE", "COM"};
  std::cout << "# " << core.SettingsFileName() << "\n";
  std::cout << "[DataBase]\n"
            << "Alias=" << s.Alias << "\n"
            << "Engine=" << engines[s.TransportKind] << "\n"
            << "ServerName=" << s.ServerName << "\n"
            << "ServerAddress=" << s.ServerAddress << "\n"
            << "Port=" << s.Port << "\n"
            << "CompressLimit=" << s.CompressLimit << "\n"
            << "SecuredTransport=" << yn(s.SecuredTransport) << "\n"
            << "Key=" << (s.Key.empty() ? "" : "***") << "\n"
            << "\n[Directory]\n"
            << "Log=" << s.Log << "\n"
            << "\n[Internet]\n"
            << "Dir=" << s.Dir << "\n"
            << "Alias=" << s.INetAlias << "\n"
            << "Master=" << yn(s.IsMaster) << "\n"
            << "MasterStatistics=" << s.MasterStatistics << "\n"
            << "MasterLog=" << s.MasterLog << "\n"
            << "MasterArchive=" << s.MasterArchive << "\n"
            << "MasterFiles=" << s.MasterFiles << "\n"
            << "MasterClients=" << s.MasterClients << "\n"
            << "ClientArchive=" << s.ClientArchive << "\n"
            << "BackupDir=" << s.BackupDir << "\n"
            << "FtpSiirtoDir=" << s.FtpSiirtoDir << "\n"
            << "ReTryTime=" << s.ReTryTime << "\n"
            << "ReTryMaxCount=" << s.ReTryMaxCount << "\n"
            << "ZipPassword=***\n"
            << "FtpUser=" << s.FtpUser << "\n"
            << "FtpPassWord=***\n"
            << "FtpHost=" << s.FtpHost << "\n"
            << "FtpPort=" << s.FtpPort << "\n"
            << "FtpPassive=" << yn(s.FtpPassive) << "\n"
            << "FtpTempUpload=" << yn(s.FtpTempUpload) << "\n"
            << "FtpHostDir=" << s.FtpHostDir << "\n"
            << "FtpHostBackupDir=" << s.FtpHostBackupDir << "\n"
            << "FtpHostLogDir=" << s.FtpHostLogDir << "\n"
            << "Ras=" << yn(s.Ras) << "\n"
            << "RasEntryName=" << s.RasEntryName << "\n"
            << "RasSameAsFtp=" << yn(s.RasSameAsFtp) << "\n"
            << "RecvTime=" << TimeToShortStr(l.TimeRecv) << "\n"
            << "SendTime=" << TimeToShortStr(l.TimeSend) << "\n"
            << "RecvDate=" << DateToStr(l.DateRecv) << "\n"
            << "SendDate=" << DateToStr(l.DateSend) << "\n"
            << "MasterFile=" << l.EdtMaster << "\n"
            << "SendFiles=" << yn(l.ChkBoxSend) << "\n"
            << "RecvFiles=" << yn(l.ChkBoxRecv) << "\n"
            << "\n[Defaults]\n"
            << "UseErrorLog=" << yn(s.UseErrorLog) << "\n"
            << "\n# derived\nClientPrefix=" << s.ClientPrefix << "\n";
  return 0;
}

TRELVO_ADMIN_COMMAND("config", "config [--home DIR]  print the effective settings (passwords as ***)", {}, RunConfig);

}  // namespace
}  // namespace trelvo::admin
