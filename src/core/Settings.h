#pragma once
// The settings file Sorvel.ini held in memory, and what belongs to it: the
// directory normaliser, the settings cipher and the role-derived values.
#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace trelvo {

// Transport kinds of the database connection ([DataBase] Engine).
enum TTransportKind : int { tkTcpIp = 1, tkNamedPipe = 2, tkCom = 3 };

struct TSettings {
  // [DataBase]
  std::string Alias = "SORVEL";  // the main alias
  int TransportKind = tkCom;
  std::string ServerName = "VELMORA";
  std::string ServerAddress;
  std::uint16_t Port = 16000;
  int CompressLimit = 512;
  bool SecuredTransport = false;
  std::string Key;
  // [Directory]
  std::string Log;
  // [Internet]
  std::string Dir;        // InternetDir, normalised
  std::string INetAlias = "INet";
  bool IsMaster = false;  // Master
  std::string MasterStatistics;
  std::string MasterLog = "Masterissa";
  std::string MasterArchive = "Master";
  std::string MasterFiles = "Kortti*.Nx1;Asiakas.Nx1;AsLuokka.Nx1";
  std::string MasterClients = "Zuze";
  std::string ClientArchive = "01";
  std::string BackupDir;
  std::string FtpSiirtoDir;
  int ReTryTime = 120;
  int ReTryMaxCount = 3;
  std::string ZipPassword;
  bool ZipAes256 = false;       // an addition: [Internet] ZipEncryption=AES256, packages written with AES-256
  std::string FtpUser = "anonymous";
  std::string FtpPassWord;
  std::string FtpHost;
  std::string FtpHostDir = "/Sorvel";
  std::string FtpHostBackupDir = "/Backup";
  std::string FtpHostLogDir = "/Log";
  std::string FtpPort = "ftp";  // an addition: the FTP control port, number or service name
  bool FtpPassive = false;      // an addition: passive data connections (sites behind NAT)
  bool FtpTempUpload = true;    // an addition: store as ".in." + name, then rename
  // Additions: FTP over TLS ("No", "Explicit" or "Implicit"), the PEM file of
  // the certificates to trust (empty: the system's), the one certificate to
  // accept by its SHA-256 fingerprint (empty: any trusted one).
  std::string FtpTls = "No";
  std::string FtpTlsCaFile;
  std::string FtpTlsFingerprint;
  bool Ras = false;
  std::string RasEntryName = "SorNet";
  bool RasSameAsFtp = true;
  std::string RunHook;  // an addition: a command started after every run
  // [Defaults]
  bool UseErrorLog = false;

  std::string ClientPrefix;  // MasterClients + ClientArchive, formed during the load
};

// Values that the settings page's controls hold; the rest of the program reads
// them from here, so an edit takes effect at once.
struct TLiveValues {
  TDateTime TimeRecv = 0;
  TDateTime DateRecv = 0;
  TDateTime TimeSend = 0;
  TDateTime DateSend = 0;
  std::string EdtMaster;
  bool ChkBoxSend = false;
  bool ChkBoxRecv = false;
};

// The text fields and check boxes of the settings page, which take effect
// only through "Talleta".
struct TSettingsPage {
  std::string EdtZipPw;
  std::string EdtFtpHost;
  std::string EdtFtpHostDir;
  std::string EdtFtpBackupDir;
  std::string EdtFtpLogDir;
  std::string EdtFtpUser;
  std::string EdtFtpPw;
  bool ChkBoxRas = false;
  bool ChkBoxSama = false;
  bool CBoxRasEntEnabled = false;
  std::vector<std::string> CBoxRasEnt;  // the dial-up entries listed
  int CBoxRasEntIndex = -1;             // the selected one, -1 for none
  std::string EdtRecvCount = "0";
  std::string EdtSendCount = "0";
};

// An empty text stays empty; a text naming no existing directory becomes
// empty; otherwise exactly one trailing "/" is ensured.
void NormalizeDir(std::string& directory);

// The settings cipher for passwords: reversible, and every printable text
// deciphers, so values typed into the file by hand still load.
std::string EncipherSetting(const std::string& plain);
std::string DecipherSetting(const std::string& stored);

// "YES" in any letter case is true; anything else false.
bool YesTest(const std::string& value);
inline const char* YesNo(bool value) { return value ? "Yes" : "No"; }

}  // namespace trelvo
