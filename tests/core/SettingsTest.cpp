#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"
#include "common/Errors.h"
#include "common/IniFile.h"
#include "core/TrelvoCore.h"

using namespace trelvo;
using trelvo::test::ReadFile;
using trelvo::test::TTempDir;
using trelvo::test::WriteFile;

namespace {

// A core over a fresh installation directory whose Sorvel.ini holds text.
struct Installation {
  TTempDir Dir;
  THeadlessView View;
  TFixedClock Clock{EncodeDate(2026, 12, 9) + EncodeTime(22, 15, 0)};
  std::unique_ptr<TTrelvoCore> Core;
  explicit Installation(const std::string& ini) {
    if (!ini.empty()) WriteFile(Dir / "Sorvel.ini", ini);
    Core = std::make_unique<TTrelvoCore>(Dir.Path(), &View, &Clock);
  }
};

}  // namespace

TEST(Settings, DefaultsWithoutAFile) {
  Installation inst("");
  inst.Core->LoadSettings();
  const TSettings& s = inst.Core->Settings;
  EXPECT_EQ(s.Alias, "SORVEL");
  EXPECT_EQ(s.TransportKind, tkCom);
  EXPECT_EQ(s.Port, 16000);
  EXPECT_EQ(s.Dir, "");  // C:\VelWin\INet does not exist here
  EXPECT_FALSE(s.IsMaster);
  EXPECT_EQ(s.ClientPrefix, "Zuze01");
  EXPECT_EQ(s.ReTryTime, 120);
  EXPECT_EQ(s.ReTryMaxCount, 3);
  EXPECT_EQ(s.ZipPassword, DecipherSetting("QQrrM3819Q"));
  EXPECT_EQ(s.FtpPassWord.find('@') != std::string::npos, true);
  EXPECT_EQ(s.FtpHostDir, "/Sorvel");
  EXPECT_TRUE(s.RasSameAsFtp);
  EXPECT_EQ(TimeToShortStr(inst.Core->Live.TimeRecv), "22:30");
  EXPECT_EQ(TimeToShortStr(inst.Core->Live.TimeSend), "22:00");
  EXPECT_EQ(DateToStr(inst.Core->Live.DateRecv), "01.01.2000");
  EXPECT_EQ(inst.Core->Live.EdtMaster, "Master_20000101120000.zip");
  EXPECT_FALSE(inst.Core->Live.ChkBoxSend);
}

TEST(Settings, ValueKinds) {
  struct Case {
    const char* section;
    const char* key;
    const char* value;
    std::function<void(const TTrelvoCore&)> check;
  };
  const Case cases[] = {
      {"Internet", "Master", "YES", [](auto& c) { EXPECT_TRUE(c.IsMaster()); }},
      {"Internet", "Master", "Yes", [](auto& c) { EXPECT_TRUE(c.IsMaster()); }},
      {"Internet", "Master", "yes", [](auto& c) { EXPECT_TRUE(c.IsMaster()); }},
      {"Internet", "Master", "Y", [](auto& c) { EXPECT_FALSE(c.IsMaster()); }},
      {"Internet", "Master", "True", [](auto& c) { EXPECT_FALSE(c.IsMaster()); }},
      {"Internet", "Master", "1", [](auto& c) { EXPECT_FALSE(c.IsMaster()); }},
      {"DataBase", "Engine", "tcpip", [](auto& c) { EXPECT_EQ(c.Settings.TransportKind, tkTcpIp); }},
      {"DataBase", "Engine", "NamedPipe", [](auto& c) { EXPECT_EQ(c.Settings.TransportKind, tkNamedPipe); }},
      {"DataBase", "Engine", "TCP", [](auto& c) { EXPECT_EQ(c.Settings.TransportKind, tkCom); }},
      {"DataBase", "Engine", "", [](auto& c) { EXPECT_EQ(c.Settings.TransportKind, tkCom); }},
      {"DataBase", "Port", "65536", [](auto& c) { EXPECT_EQ(c.Settings.Port, 0); }},
      {"DataBase", "Port", "70000", [](auto& c) { EXPECT_EQ(c.Settings.Port, 70000 - 65536); }},
      {"DataBase", "Port", "16k", [](auto& c) { EXPECT_EQ(c.Settings.Port, 16000); }},
      {"Internet", "ReTryTime", "abc", [](auto& c) { EXPECT_EQ(c.Settings.ReTryTime, 120); }},
      {"Internet", "ReTryMaxCount", " 5 ", [](auto& c) { EXPECT_EQ(c.Settings.ReTryMaxCount, 5); }},
      {"Internet", "MasterLog", "Log  ", [](auto& c) { EXPECT_EQ(c.Settings.MasterLog, "Log"); }},
      {"Internet", "MasterClients", "Abc", [](auto& c) { EXPECT_EQ(c.ClientPrefix(), "Abc01"); }},
      {"Internet", "SendDate", "24.12.2026 18:00", [](auto& c) { EXPECT_EQ(DateToStr(c.Live.DateSend), "24.12.2026"); }},
      {"Internet", "RecvTime", "7:05", [](auto& c) { EXPECT_EQ(TimeToShortStr(c.Live.TimeRecv), "07:05"); }},
      {"Internet", "RecvTime", "late", [](auto& c) { EXPECT_EQ(TimeToShortStr(c.Live.TimeRecv), "22:30"); }},
      {"Internet", "RecvFiles", "yes", [](auto& c) { EXPECT_TRUE(c.Live.ChkBoxRecv); }},
      // The archiver the runs and the viewer pack with takes the choice.
      {"Internet", "ZipEncryption", "aes256 ", [](auto& c) { EXPECT_EQ(c.ZipArchiver.Encryption, zcAes256); }},
      {"Internet", "ZipEncryption", "AES-256", [](auto& c) { EXPECT_EQ(c.ZipArchiver.Encryption, zcZipCrypto); }},
      {"Internet", "ZipEncryption", "", [](auto& c) { EXPECT_EQ(c.ZipArchiver.Encryption, zcZipCrypto); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    Installation inst(std::string("[") + c.section + "]\n" + c.key + "=" + c.value + "\n");
    inst.Core->LoadSettings();
    c.check(*inst.Core);
  }
}

TEST(Settings, DirectoriesAreNormalised) {
  TTempDir cwd;
  Installation inst("");
  test::MakeDir(inst.Dir / "inet");
  test::MakeDir(inst.Dir / "backup");
  WriteFile(inst.Dir / "Sorvel.ini", "[Internet]\nDir=" + inst.Dir / "inet" + "\nBackupDir=" + inst.Dir / "backup/" +
                                         "\nFtpSiirtoDir=" + inst.Dir / "missing" + "\n[Directory]\nLog=" +
                                         inst.Dir / "Sorvel.ini" + "\n");
  inst.Core->LoadSettings();
  EXPECT_EQ(inst.Core->Settings.Dir, inst.Dir / "inet/");
  EXPECT_EQ(inst.Core->Settings.BackupDir, inst.Dir / "backup/");
  EXPECT_EQ(inst.Core->Settings.FtpSiirtoDir, "");
  EXPECT_EQ(inst.Core->Settings.Log, "");  // a file is no directory

  // The default "sDir" is relative to the working directory.
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old));
  ASSERT_EQ(chdir(cwd.Path().c_str()), 0);
  test::MakeDir(cwd / "sDir");
  Installation defaults("");
  defaults.Core->LoadSettings();
  EXPECT_EQ(defaults.Core->Settings.BackupDir, "sDir/");
  ASSERT_EQ(chdir(old), 0);
}

// A mistyped value never stops the start: the key's default stands in, the
// keys after it still load, and one line names the key and the value.
TEST(Settings, BadValuesReadAsTheirDefaultsWithALine) {
  struct Case {
    const char* key;
    const char* value;
    std::function<void(const TTrelvoCore&)> check;
  };
  const Case cases[] = {
      {"RecvDate", "yesterday", [](auto& c) { EXPECT_EQ(DateToStr(c.Live.DateRecv), "01.01.2000"); }},
      {"SendDate", "31.02.2026", [](auto& c) { EXPECT_EQ(DateToStr(c.Live.DateSend), "01.01.2000"); }},
      {"RecvDate", "", [](auto& c) { EXPECT_EQ(DateToStr(c.Live.DateRecv), "01.01.2000"); }},
      {"RecvTime", "late", [](auto& c) { EXPECT_EQ(TimeToShortStr(c.Live.TimeRecv), "22:30"); }},
      {"ReTryTime", "abc", [](auto& c) { EXPECT_EQ(c.Settings.ReTryTime, 120); }},
      {"ReTryTime", "-5", [](auto& c) { EXPECT_EQ(c.Settings.ReTryTime, 120); }},
      {"ReTryTime", "9999999", [](auto& c) { EXPECT_EQ(c.Settings.ReTryTime, 120); }},
      {"ReTryMaxCount", "0", [](auto& c) { EXPECT_EQ(c.Settings.ReTryMaxCount, 3); }},
      {"ReTryMaxCount", "many", [](auto& c) { EXPECT_EQ(c.Settings.ReTryMaxCount, 3); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    Installation inst(std::string("[Internet]\n") + c.key + "=" + c.value +
                      "\nSendFiles=Yes\n[Defaults]\nUseErrorLog=Yes\n[DataBase]\nAlias=MAIN\n");
    EXPECT_NO_THROW(inst.Core->LoadSettings());
    c.check(*inst.Core);
    EXPECT_EQ(inst.Core->Settings.Alias, "MAIN");
    EXPECT_TRUE(inst.Core->Live.ChkBoxSend) << "keys after the bad one still load";
    EXPECT_TRUE(inst.Core->Settings.UseErrorLog);
    ASSERT_EQ(inst.Core->SettingsProblems.size(), 1u);
    EXPECT_EQ(inst.Core->SettingsProblems[0].rfind(std::string("Asetus [Internet] ") + c.key + "=\"" + c.value + "\" ei kelpaa (", 0), 0u)
        << inst.Core->SettingsProblems[0];
  }
  Installation good("[Internet]\nRecvDate=01.12.2026\nReTryTime=0\nReTryMaxCount=1\n");
  good.Core->LoadSettings();
  EXPECT_TRUE(good.Core->SettingsProblems.empty()) << good.Core->SettingsProblems[0];
  EXPECT_EQ(good.Core->Settings.ReTryTime, 0) << "0 stops the scheduler on purpose";
}

TEST(Settings, CipherRoundTripsAndEveryPrintableTextDeciphers) {
  for (const std::string& plain : std::vector<std::string>{"", "secret", "Pa ss\"w'rd=;[x]", "ääkköset", "QQrrM3819Q", std::string(300, '~')}) {
    std::string stored = EncipherSetting(plain);
    EXPECT_EQ(DecipherSetting(stored), plain);
    for (char c : stored) {
      EXPECT_TRUE(static_cast<unsigned char>(c) >= 128 || (c >= ' ' && c < 127));
    }
  }
  std::string all;
  for (int c = 32; c < 127; ++c) all += static_cast<char>(c);
  EXPECT_EQ(EncipherSetting(DecipherSetting(all)), all);
  EXPECT_NE(EncipherSetting("secret"), "secret");
}

TEST(Settings, TalletaWritesThePageKeysOnly) {
  const std::string before =
      "; hand-written\n[DataBase]\nAlias=MAIN\n[Internet]\nMaster=No\nDir=/nowhere\nMasterFile=Keep.zip\n"
      "SendTime=21:00\n";
  Installation inst(before);
  inst.Core->LoadSettings();
  inst.Core->Live.TimeRecv = EncodeTime(6, 5, 0);
  inst.Core->Live.DateRecv = EncodeDate(2026, 12, 1);
  inst.Core->Live.ChkBoxSend = true;
  inst.Core->Live.EdtMaster = "NotWritten.zip";
  TSettingsPage page;
  page.EdtZipPw = "zip pw";
  page.EdtFtpHost = "127.0.0.1";
  page.EdtFtpHostDir = "/Siirto";
  page.EdtFtpBackupDir = "/B";
  page.EdtFtpLogDir = "/L";
  page.EdtFtpUser = "site1";
  page.EdtFtpPw = "ftp pw";
  page.ChkBoxRas = true;
  page.ChkBoxSama = false;
  inst.Core->BBtnSaveClick(page);
  EXPECT_EQ(inst.Core->Settings.FtpUser, "site1");
  EXPECT_EQ(ReadFile(inst.Dir / "Sorvel.ini"),
            "; hand-written\n[DataBase]\nAlias=MAIN\n[Internet]\nMaster=No\nDir=/nowhere\nMasterFile=Keep.zip\n"
            "SendTime=21:00\nZipPassword=" +
                EncipherSetting("zip pw") +
                "\nFtpUser=site1\nFtpPassWord=" + EncipherSetting("ftp pw") +
                "\nFtpHost=127.0.0.1\nFtpHostDir=/Siirto\nFtpHostBackupDir=/B\nFtpHostLogDir=/L\nRas=Yes\n"
                "RasEntryName=SorNet\nRasSameAsFtp=No\nRecvTime=06:05\nRecvDate=01.12.2026\nSendDate=01.01.2000\n"
                "SendFiles=Yes\nRecvFiles=No\n");
  // What was saved loads back the same.
  Installation again(ReadFile(inst.Dir / "Sorvel.ini"));
  again.Core->LoadSettings();
  EXPECT_EQ(again.Core->Settings.ZipPassword, "zip pw");
  EXPECT_EQ(again.Core->Settings.FtpPassWord, "ftp pw");
  EXPECT_TRUE(again.Core->Settings.Ras);
  EXPECT_FALSE(again.Core->Settings.RasSameAsFtp);
  EXPECT_EQ(TimeToShortStr(again.Core->Live.TimeRecv), "06:05");
}

TEST(Settings, FillPageShowsMemoryAndTheRolesCounters) {
  // Dial-up off: the entry list is the dialler's, tested with it.
  Installation inst("[Internet]\nMaster=Yes\nRas=No\n");
  inst.Core->LoadSettings();
  inst.Core->MasterRecvRetries = 2;
  inst.Core->ClientRecvRetries = 9;
  inst.Core->Page.EdtFtpHost = "unsaved edit";
  inst.Core->FillSettingsPage();
  EXPECT_EQ(inst.Core->Page.EdtFtpHost, inst.Core->Settings.FtpHost);
  EXPECT_EQ(inst.Core->Page.EdtRecvCount, "2");
  EXPECT_EQ(inst.Core->Page.EdtSendCount, "0");
  EXPECT_FALSE(inst.Core->Page.CBoxRasEntEnabled);
}

TEST(Settings, RunsWriteTheirDates) {
  Installation inst("[Internet]\nRecvDate=01.01.2000\n");
  inst.Core->LoadSettings();
  inst.Core->Live.EdtMaster = "Master_20261209221500.Zip";
  inst.Core->WriteRecvDate(true);
  inst.Core->WriteSendDate();
  TIniFile ini(inst.Dir / "Sorvel.ini");
  EXPECT_EQ(ini.ReadString("Internet", "RecvDate", ""), "09.12.2026");
  EXPECT_EQ(ini.ReadString("Internet", "SendDate", ""), "09.12.2026");
  EXPECT_EQ(ini.ReadString("Internet", "MasterFile", ""), "Master_20261209221500.Zip");
  EXPECT_EQ(inst.Core->Live.DateRecv, EncodeDate(2026, 12, 9));

  // A refused write names the file; the keys written before it stay.
  Installation ro("[Internet]\n");
  ro.Core->LoadSettings();
  ::chmod((ro.Dir / "Sorvel.ini").c_str(), 0444);
  try {
    ro.Core->WriteSendDate();
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_NE(std::string(e.what()).find("Sorvel.ini"), std::string::npos);
  }
}
