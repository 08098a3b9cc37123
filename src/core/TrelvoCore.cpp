#include "core/TrelvoCore.h"

#include <unistd.h>

#include <cstdlib>

#include "common/IniFile.h"
#include "common/Text.h"

namespace trelvo {

namespace {
constexpr const char* kDefaultZipPasswordStored = "QQrrM3819Q";
constexpr const char* kDefaultFtpHost = "ftp.example.com";
constexpr const char* kDefaultFtpMail = "trelvo@example.com";
}  // namespace

TTrelvoCore::TTrelvoCore(std::string homeDir, TTrelvoView* view, const TClock* clock)
    : HomeDir_(IncludeTrailingPathDelimiter(homeDir.empty() ? std::string(".") : homeDir)) {
  if (!view) OwnView_ = std::make_unique<TTrelvoView>();
  if (!clock) OwnClock_ = std::make_unique<TSystemClock>();
  View_ = view ? view : OwnView_.get();
  Clock_ = clock ? clock : OwnClock_.get();
  MemoLog.SetView(View_);
  FileFinder.SearchOptions = sfLookForArchiveFile | sfLookForAnyFile;
  FileFinder.OnFileFound = [this](const TFoundFileInfo& info) { FileFinderFileFound(info); };
  WireArchiver();
  RasDialer.OnDisconnected = [this](TRasDialer&) { Log("Disconnected"); };
}

TTrelvoCore::~TTrelvoCore() = default;

std::string TTrelvoCore::DefaultHomeDir() {
  if (const char* home = std::getenv("TRELVO_HOME"); home && *home) return IncludeTrailingPathDelimiter(home);
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  buf[n] = 0;
  return ExtractFilePath(buf);
}

void TTrelvoCore::SetMeter(int percent) {
  Meter_ = percent;
  View_->MeterChanged(percent);
}

void TTrelvoCore::LoadSettings() {
  TIniFile ini(SettingsFileName());
  auto text = [&](const char* section, const char* key, const std::string& def) {
    return ini.ReadString(section, key, def);
  };
  auto dir = [&](const char* section, const char* key, const std::string& def) {
    std::string d = text(section, key, def);
    NormalizeDir(d);
    return d;
  };
  auto yes = [&](const char* section, const char* key, const char* def) { return YesTest(text(section, key, def)); };
  auto integer = [&](const char* section, const char* key, long long def) { return ini.ReadInteger(section, key, def); };
  TSettings& s = Settings;

  s.Alias = text("DataBase", "Alias", "SORVEL");
  {
    std::string engine = UpperCase(text("DataBase", "Engine", "Com"));
    s.TransportKind = engine == "TCPIP" ? tkTcpIp : engine == "NAMEDPIPE" ? tkNamedPipe : tkCom;
  }
  s.ServerName = text("DataBase", "ServerName", "VELMORA");
  s.ServerAddress = text("DataBase", "ServerAddress", "");
  s.Port = static_cast<std::uint16_t>(integer("DataBase", "Port", 16000));
  s.CompressLimit = static_cast<int>(integer("DataBase", "CompressLimit", 512));
  s.SecuredTransport = yes("DataBase", "SecuredTransport", "No");
  s.Key = DecipherSetting(text("DataBase", "Key", ""));
  // The data module holds these; they reach it even when a later key fails to load.
  ApplyDatabaseSettings();

  s.Log = dir("Directory", "Log", "");

  s.Dir = dir("Internet", "Dir", "C:\\VelWin\\INet");
  s.INetAlias = text("Internet", "Alias", "INet");
  s.IsMaster = yes("Internet", "Master", "No");
  s.MasterStatistics = TrimRight(text("Internet", "MasterStatistics", ""));
  s.MasterLog = TrimRight(text("Internet", "MasterLog", "Masterissa"));
  s.MasterArchive = text("Internet", "MasterArchive", "Master");
  s.MasterFiles = text("Internet", "MasterFiles", "Kortti*.Nx1;Asiakas.Nx1;AsLuokka.Nx1");
  s.MasterClients = text("Internet", "MasterClients", "Zuze");
  s.ClientArchive = text("Internet", "ClientArchive", "01");
  s.ClientPrefix = s.MasterClients + s.ClientArchive;
  s.BackupDir = dir("Internet", "BackupDir", "sDir");
  s.FtpSiirtoDir = dir("Internet", "FtpSiirtoDir", "sDir");
  s.ReTryTime = static_cast<int>(integer("Internet", "ReTryTime", 120));
  s.ReTryMaxCount = static_cast<int>(integer("Internet", "ReTryMaxCount", 3));
  s.ZipPassword = DecipherSetting(text("Internet", "ZipPassword", kDefaultZipPasswordStored));
  s.FtpUser = text("Internet", "FtpUser", "anonymous");
  s.FtpPassWord = DecipherSetting(text("Internet", "FtpPassWord", EncipherSetting(kDefaultFtpMail)));
  s.FtpHost = text("Internet", "FtpHost", kDefaultFtpHost);
  s.FtpHostDir = text("Internet", "FtpHostDir", "/Sorvel");
  s.FtpHostBackupDir = text("Internet", "FtpHostBackupDir", "/Backup");
  s.FtpHostLogDir = text("Internet", "FtpHostLogDir", "/Log");
  s.FtpPort = text("Internet", "FtpPort", "ftp");
  s.FtpPassive = yes("Internet", "FtpPassive", "No");
  s.FtpTempUpload = yes("Internet", "FtpTempUpload", "Yes");
  s.Ras = yes("Internet", "Ras", "No");
  s.RasEntryName = text("Internet", "RasEntryName", "SorNet");
  s.RasSameAsFtp = yes("Internet", "RasSameAsFtp", "Yes");
  // A time the field cannot show falls back to the key's default rather than
  // midnight, so a typo does not move the run to the small hours.
  auto time = [&](const char* key, const char* def) {
    TDateTime value = 0;
    if (!TryStrToDateTime(text("Internet", key, def), value)) TryStrToDateTime(def, value);
    return TimeOf(value);
  };
  Live.TimeRecv = time("RecvTime", "22:30");
  Live.TimeSend = time("SendTime", "22:00");
  Live.DateRecv = StrToDate(text("Internet", "RecvDate", "01.01.2000"));
  Live.DateSend = StrToDate(text("Internet", "SendDate", "01.01.2000"));
  Live.EdtMaster = text("Internet", "MasterFile", "Master_20000101120000.zip");
  Live.ChkBoxSend = yes("Internet", "SendFiles", "No");
  Live.ChkBoxRecv = yes("Internet", "RecvFiles", "No");

  s.UseErrorLog = yes("Defaults", "UseErrorLog", "No");
}

void TTrelvoCore::BBtnSaveClick(const TSettingsPage& page) {
  TSettings& s = Settings;
  s.ZipPassword = page.EdtZipPw;
  s.FtpHost = page.EdtFtpHost;
  s.FtpHostDir = page.EdtFtpHostDir;
  s.FtpHostBackupDir = page.EdtFtpBackupDir;
  s.FtpHostLogDir = page.EdtFtpLogDir;
  s.FtpUser = page.EdtFtpUser;
  s.FtpPassWord = page.EdtFtpPw;
  s.Ras = page.ChkBoxRas;
  s.RasSameAsFtp = page.ChkBoxSama;
  Page = page;

  TIniFile ini(SettingsFileName());
  ini.WriteString("Internet", "ZipPassword", EncipherSetting(s.ZipPassword));
  ini.WriteString("Internet", "FtpUser", s.FtpUser);
  ini.WriteString("Internet", "FtpPassWord", EncipherSetting(s.FtpPassWord));
  ini.WriteString("Internet", "FtpHost", s.FtpHost);
  ini.WriteString("Internet", "FtpHostDir", s.FtpHostDir);
  ini.WriteString("Internet", "FtpHostBackupDir", s.FtpHostBackupDir);
  ini.WriteString("Internet", "FtpHostLogDir", s.FtpHostLogDir);
  ini.WriteString("Internet", "Ras", YesNo(s.Ras));
  ini.WriteString("Internet", "RasEntryName", s.RasEntryName);
  ini.WriteString("Internet", "RasSameAsFtp", YesNo(s.RasSameAsFtp));
  ini.WriteString("Internet", "RecvTime", TimeToShortStr(Live.TimeRecv));
  ini.WriteString("Internet", "SendTime", TimeToShortStr(Live.TimeSend));
  ini.WriteString("Internet", "RecvDate", DateToStr(Live.DateRecv));
  ini.WriteString("Internet", "SendDate", DateToStr(Live.DateSend));
  ini.WriteString("Internet", "SendFiles", YesNo(Live.ChkBoxSend));
  ini.WriteString("Internet", "RecvFiles", YesNo(Live.ChkBoxRecv));
}

void TTrelvoCore::FillSettingsPage() {
  const TSettings& s = Settings;
  Page.EdtZipPw = s.ZipPassword;
  Page.EdtFtpHost = s.FtpHost;
  Page.EdtFtpHostDir = s.FtpHostDir;
  Page.EdtFtpBackupDir = s.FtpHostBackupDir;
  Page.EdtFtpLogDir = s.FtpHostLogDir;
  Page.EdtFtpUser = s.FtpUser;
  Page.EdtFtpPw = s.FtpPassWord;
  Page.ChkBoxRas = s.Ras;
  Page.ChkBoxSama = s.RasSameAsFtp;
  Page.CBoxRasEntEnabled = s.Ras;
  FillRasEntries();
  Page.EdtRecvCount = IntToStr(s.IsMaster ? MasterRecvRetries : ClientRecvRetries);
  Page.EdtSendCount = IntToStr(s.IsMaster ? MasterSendRetries : ClientSendRetries);
  View_->SettingsPageChanged();
}

void TTrelvoCore::WriteDates(bool send, bool withMasterFile) {
  TDateTime& date = send ? Live.DateSend : Live.DateRecv;
  date = Clock_->Today();
  View_->LiveValuesChanged();
  TIniFile ini(SettingsFileName());
  ini.WriteString("Internet", send ? "SendDate" : "RecvDate", DateToStr(date));
  if (withMasterFile) ini.WriteString("Internet", "MasterFile", Live.EdtMaster);
}

void TTrelvoCore::WriteSendDate(bool withMasterFile) { WriteDates(true, withMasterFile); }
void TTrelvoCore::WriteRecvDate(bool withMasterFile) { WriteDates(false, withMasterFile); }

}  // namespace trelvo
