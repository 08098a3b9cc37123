#include "core/TrelvoCore.h"

#include <unistd.h>

#include <cstdlib>

#include "common/IniFile.h"
#include "common/Text.h"
#include "core/SettingsKeys.h"

namespace trelvo {

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
  SettingsProblems.clear();
  // Every package the runs and the viewer write goes through this archiver,
  // so the choice is made here once (also when a later key fails to load);
  // reading takes both kinds regardless.
  struct TApplyEncryption {
    TTrelvoCore& Core;
    ~TApplyEncryption() { Core.ZipArchiver.Encryption = Core.Settings.ZipAes256 ? zcAes256 : zcZipCrypto; }
  } applyEncryption{*this};
  bool databaseApplied = false;
  for (const TSettingKey& key : SettingKeys()) {
    // The data module holds the [DataBase] values; they reach it even when a
    // later key fails to load.
    if (!databaseApplied && !SameText(key.Section, "DataBase")) {
      ApplyDatabaseSettings();
      databaseApplied = true;
    }
    const std::string text = ini.ReadString(key.Section, key.Key, key.Default);
    try {
      key.Load(key, text, Settings, Live);
    } catch (const std::exception& e) {
      // A value someone mistyped must not stop the program, or a service
      // would run on without its scheduler: the default stands in, and the
      // run log and trelvo-admin status say which key to mend.
      key.Load(key, key.Default, Settings, Live);
      std::string line = std::string("Asetus [") + key.Section + "] " + key.Key + "=\"" + text + "\" ei kelpaa (" +
                         e.what() + "), käytetään arvoa " + key.Default;
      if (key.Kind == TKeyKind::Date) line += " (siirtoa ei ole vielä tehty)";
      SettingsProblems.push_back(line);
    }
  }
  if (!databaseApplied) ApplyDatabaseSettings();
}

void TTrelvoCore::LogSettingsProblems() {
  for (const std::string& line : SettingsProblems) Log(line);
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
  for (const TSettingKey& key : SettingKeys())
    if (key.Talleta) ini.WriteString(key.Section, key.Key, key.Store(Settings, Live));
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
