#include "core/SettingsKeys.h"

#include <limits>

#include "common/Errors.h"
#include "common/Text.h"

namespace trelvo {

namespace {

// The packages' password as the original file holds it when the key is
// missing: an enciphered text, so it deciphers to the cipher's own default.
constexpr const char* kDefaultZipPasswordStored = "QQrrM3819Q";
// Placeholders that every installation replaces in its file.
constexpr const char* kDefaultFtpHost = "ftp.example.com";
constexpr const char* kDefaultFtpMail = "trelvo@example.com";

constexpr long long kMaxInt = std::numeric_limits<int>::max();

using K = TKeyKind;
using S = TSettings;
using L = TLiveValues;

std::string Dir(const std::string& text) {
  std::string d = text;
  NormalizeDir(d);
  return d;
}

// A text that is no number, or one outside [low, high], is refused; the
// load then takes the key's default and says so.
long long Number(const std::string& text, long long low, long long high) {
  constexpr long long kNone = std::numeric_limits<long long>::min();
  const long long value = StrToInt64Def(text, kNone);
  if (value == kNone) throw EConvertError("ei ole luku");
  if (value < low || value > high)
    throw EConvertError("sallittu " + IntToStr(low) + (high < kMaxInt ? ".." + IntToStr(high) : " tai enemmän"));
  return value;
}

// A time the field cannot show is refused rather than read as midnight, so
// a typo does not move the run to the small hours: the default comes in.
TDateTime Time(const std::string& text) {
  TDateTime value = 0;
  if (!TryStrToDateTime(text, value)) throw EConvertError("ei ole kellonaika");
  return TimeOf(value);
}

std::string Yn(bool b) { return YesNo(b); }
std::string Hidden(const std::string& secret) { return secret.empty() ? "" : "***"; }

std::vector<TSettingKey> Build() {
  const std::string ftpMailStored = EncipherSetting(kDefaultFtpMail);
  return {
      // ---- [DataBase] ----
      {"DataBase", "Alias", "SORVEL", K::Text, false, false, false,
       "Alias of the main database (main and exchange tables); its directory is the alias's entry in `DbServer.ini`.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.Alias = t; }, nullptr, [](const S& s, const L&) { return s.Alias; }},
      {"DataBase", "Engine", "Com", K::Engine, false, false, false,
       "Transport to the database engine: `TCPIP`, `NAMEDPIPE` or `COM` in any letter case; anything else is COM. "
       "`trelvo-admin init` writes `TCPIP`.",
       nullptr,
       [](auto&, auto& t, S& s, L&) {
         const std::string engine = UpperCase(t);
         s.TransportKind = engine == "TCPIP" ? tkTcpIp : engine == "NAMEDPIPE" ? tkNamedPipe : tkCom;
       },
       nullptr,
       [](const S& s, const L&) {
         return std::string(s.TransportKind == tkTcpIp ? "TCPIP" : s.TransportKind == tkNamedPipe ? "NAMEDPIPE" : "COM");
       }},
      {"DataBase", "ServerName", "VELMORA", K::Text, false, false, false,
       "Database server of `DbServer.ini`. Over TCP/IP it is used together with ServerAddress; with an empty "
       "ServerAddress the transport looks for the servers itself and asks which one when it finds several.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.ServerName = t; }, nullptr,
       [](const S& s, const L&) { return s.ServerName; }},
      {"DataBase", "ServerAddress", "", K::Text, false, false, false,
       "Address of the database server over TCP/IP; it must be this machine (`127.0.0.1`).", nullptr,
       [](auto&, auto& t, S& s, L&) { s.ServerAddress = t; }, nullptr,
       [](const S& s, const L&) { return s.ServerAddress; }},
      {"DataBase", "Port", "16000", K::Integer, false, false, false,
       "TCP port of the database server; only the low 16 bits are kept.", nullptr,
       [](auto&, auto& t, S& s, L&) {
         s.Port = static_cast<std::uint16_t>(Number(t, std::numeric_limits<long long>::min() + 1, std::numeric_limits<long long>::max()));
       },
       nullptr, [](const S& s, const L&) { return IntToStr(s.Port); }},
      {"DataBase", "CompressLimit", "512", K::Integer, false, false, false,
       "Compression limit of the TCP/IP transport.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.CompressLimit = static_cast<int>(Number(t, 0, kMaxInt)); }, nullptr,
       [](const S& s, const L&) { return IntToStr(s.CompressLimit); }},
      {"DataBase", "SecuredTransport", "No", K::YesNo, false, false, false,
       "TCP/IP through the secured transport, with Key.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.SecuredTransport = YesTest(t); }, nullptr,
       [](const S& s, const L&) { return Yn(s.SecuredTransport); }},
      {"DataBase", "Key", "", K::Enciphered, false, false, false, "Key of the secured transport.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.Key = DecipherSetting(t); }, nullptr,
       [](const S& s, const L&) { return Hidden(s.Key); }},

      // ---- [Directory] ----
      {"Directory", "Log", "", K::Directory, false, false, false,
       "Directory of the crash reports (`TrelvoError.log`, with UseErrorLog) and of the run logs of runs whose "
       "BackupDir is missing.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.Log = Dir(t); }, nullptr, [](const S& s, const L&) { return s.Log; }},

      // ---- [Internet] ----
      {"Internet", "Dir", "C:\\VelWin\\INet", K::Directory, false, false, false,
       "Transfer working directory, holding `Tmp/`, `Empty/` (one empty file per exchange table) and `Log/` (the "
       "result logs). The default names no directory on Linux, so it reads as empty and every run fails until it is "
       "set.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.Dir = Dir(t); }, nullptr, [](const S& s, const L&) { return s.Dir; }},
      {"Internet", "Alias", "INet", K::Text, false, false, false,
       "Alias of the INet database, where received packages are unpacked.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.INetAlias = t; }, nullptr, [](const S& s, const L&) { return s.INetAlias; }},
      {"Internet", "Master", "No", K::YesNo, false, false, false,
       "The role: `Yes` for the head office, anything else for a site.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.IsMaster = YesTest(t); }, nullptr,
       [](const S& s, const L&) { return Yn(s.IsMaster); }},
      {"Internet", "MasterStatistics", "", K::Trimmed, false, false, false,
       "Name (without `.Zip`) of the statistics package that the head office publishes with its `TILASTO` table and "
       "the sites fetch with the master package; empty: no statistics package. With it set, a site also merges its "
       "own statistics rows into the head office's table it received.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.MasterStatistics = TrimRight(t); }, nullptr,
       [](const S& s, const L&) { return s.MasterStatistics; }},
      {"Internet", "MasterLog", "Masterissa", K::Trimmed, false, false, false,
       "First part of the result logs' names: `MasterLog_NN.log` per site, in `Dir` + `Log/`.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.MasterLog = TrimRight(t); }, nullptr,
       [](const S& s, const L&) { return s.MasterLog; }},
      {"Internet", "MasterArchive", "Master", K::Text, false, false, false,
       "First part of the master package's name: `MasterArchive_yyyymmddhhnnss.Zip`.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.MasterArchive = t; }, nullptr,
       [](const S& s, const L&) { return s.MasterArchive; }},
      {"Internet", "MasterFiles", "Kortti*.Nx1;Asiakas.Nx1;AsLuokka.Nx1", K::Text, false, false, false,
       "The head office's table files in the master package, masks separated by `;`. A file that two masks match "
       "fails the packing.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.MasterFiles = t; }, nullptr,
       [](const S& s, const L&) { return s.MasterFiles; }},
      {"Internet", "MasterClients", "Zuze", K::Text, false, false, false,
       "First part of every site package's name; the head office collects `MasterClients*.Zip`.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.MasterClients = t; }, nullptr,
       [](const S& s, const L&) { return s.MasterClients; }},
      {"Internet", "ClientArchive", "01", K::Text, false, false, false,
       "The site's number, second part of its package names (`Zuze01_yyyymmddhhnnss.Zip`). Every site's number has "
       "the width of the head office's own ClientArchive, which tells the head office where the number ends.",
       nullptr,
       [](auto&, auto& t, S& s, L&) {
         s.ClientArchive = t;
         s.ClientPrefix = s.MasterClients + s.ClientArchive;
       },
       nullptr, [](const S& s, const L&) { return s.ClientArchive; }},
      {"Internet", "BackupDir", "sDir", K::Directory, false, false, false,
       "Local directory of the run logs and of package copies: at the head office every processed site package, at "
       "a site its confirmed packages. The default is `sDir` under the working directory, empty unless that exists.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.BackupDir = Dir(t); }, nullptr,
       [](const S& s, const L&) { return s.BackupDir; }},
      {"Internet", "FtpSiirtoDir", "sDir", K::Directory, false, false, false,
       "A site's copies of the packages it sent that the head office has not confirmed yet. Default as BackupDir.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpSiirtoDir = Dir(t); }, nullptr,
       [](const S& s, const L&) { return s.FtpSiirtoDir; }},
      {"Internet", "ReTryTime", "120", K::Integer, false, false, false,
       "Seconds between the scheduler's ticks, and so between retries of a failed run; 0 stops the scheduler (the "
       "buttons still work). Up to 86400; anything else gives the default, with a line in the run log.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.ReTryTime = static_cast<int>(Number(t, 0, 86400)); }, nullptr,
       [](const S& s, const L&) { return IntToStr(s.ReTryTime); }},
      {"Internet", "ReTryMaxCount", "3", K::Integer, false, false, false,
       "Failed runs in a row after which the scheduler leaves a direction alone until the next day, or until a run "
       "started by hand succeeds. At least 1; anything else gives the default, with a line in the run log.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.ReTryMaxCount = static_cast<int>(Number(t, 1, kMaxInt)); }, nullptr,
       [](const S& s, const L&) { return IntToStr(s.ReTryMaxCount); }},
      {"Internet", "ZipPassword", kDefaultZipPasswordStored, K::Enciphered, true, false, false,
       "Password of every package; the same at every installation. Empty: packages without encryption.",
       "`QQrrM3819Q` as stored (enciphered)",
       [](auto&, auto& t, S& s, L&) { s.ZipPassword = DecipherSetting(t); },
       [](const S& s, const L&) { return EncipherSetting(s.ZipPassword); },
       [](const S&, const L&) { return std::string("***"); }},
      {"Internet", "ZipEncryption", "ZipCrypto", K::Encryption, false, false, true,
       "How the packages this installation writes are encrypted: `ZipCrypto`, the traditional ZIP cipher that "
       "every installation reads, or `AES256` (in any letter case): AES-256 entries (AE-2), authenticated and "
       "far stronger, which installations older than this version cannot read. Anything else is ZipCrypto. "
       "Every installation reads both kinds, whatever it writes.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.ZipAes256 = SameText(Trim(t), "AES256"); }, nullptr,
       [](const S& s, const L&) { return std::string(s.ZipAes256 ? "AES256" : "ZipCrypto"); }},
      {"Internet", "FtpUser", "anonymous", K::Text, true, false, false, "FTP user name.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.FtpUser = t; }, [](const S& s, const L&) { return s.FtpUser; },
       [](const S& s, const L&) { return s.FtpUser; }},
      {"Internet", "FtpPassWord", ftpMailStored, K::Enciphered, true, false, false, "FTP password.",
       "`trelvo@example.com`", [](auto&, auto& t, S& s, L&) { s.FtpPassWord = DecipherSetting(t); },
       [](const S& s, const L&) { return EncipherSetting(s.FtpPassWord); },
       [](const S&, const L&) { return std::string("***"); }},
      {"Internet", "FtpHost", kDefaultFtpHost, K::Text, true, false, false, "Host name or address of the FTP server.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpHost = t; }, [](const S& s, const L&) { return s.FtpHost; },
       [](const S& s, const L&) { return s.FtpHost; }},
      {"Internet", "FtpHostDir", "/Sorvel", K::Text, true, false, false,
       "Transfer directory on the server: the sites' packages, the master package and the statistics package.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpHostDir = t; }, [](const S& s, const L&) { return s.FtpHostDir; },
       [](const S& s, const L&) { return s.FtpHostDir; }},
      {"Internet", "FtpHostBackupDir", "/Backup", K::Text, true, false, false,
       "Backup directory on the server: a second copy of every site package.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.FtpHostBackupDir = t; },
       [](const S& s, const L&) { return s.FtpHostBackupDir; }, [](const S& s, const L&) { return s.FtpHostBackupDir; }},
      {"Internet", "FtpHostLogDir", "/Log", K::Text, true, false, false,
       "Log directory on the server: the packages of run logs.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.FtpHostLogDir = t; }, [](const S& s, const L&) { return s.FtpHostLogDir; },
       [](const S& s, const L&) { return s.FtpHostLogDir; }},
      {"Internet", "FtpPort", "ftp", K::Text, false, false, true,
       "Control port of the FTP server, a number or a service name.", "`ftp` (21)",
       [](auto&, auto& t, S& s, L&) { s.FtpPort = t; }, nullptr, [](const S& s, const L&) { return s.FtpPort; }},
      {"Internet", "FtpPassive", "No", K::YesNo, false, false, true,
       "`Yes`: passive data connections, for a site behind a NAT router that the server cannot connect back to. "
       "`No`: active connections, the server connects to this machine.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpPassive = YesTest(t); }, nullptr,
       [](const S& s, const L&) { return Yn(s.FtpPassive); }},
      {"Internet", "FtpTempUpload", "Yes", K::YesNo, false, false, true,
       "`Yes`: an upload is stored as `.in.` + its name and renamed when complete, so no one lists a half-written "
       "package; a server that refuses the name or the rename gets the plain upload. `No`: always the final name.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpTempUpload = YesTest(t); }, nullptr,
       [](const S& s, const L&) { return Yn(s.FtpTempUpload); }},
      {"Internet", "FtpTls", "No", K::Trimmed, false, false, true,
       "FTP over TLS. `Explicit`: every session starts with `AUTH TLS` on the control port and protects the "
       "login and every data connection (`PBSZ 0`, `PROT P`). `Implicit`: TLS from the first byte (port 990 "
       "unless FtpPort says otherwise). `No`: plain FTP. A server that refuses TLS or a certificate that is "
       "not trusted ends the session before the login; there is never a fall back to plain text, and any "
       "other value fails every FTP step.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpTls = t; }, nullptr, [](const S& s, const L&) { return s.FtpTls; }},
      {"Internet", "FtpTlsCaFile", "", K::Trimmed, false, false, true,
       "PEM file of the certificates to trust for FTP over TLS, for a server with its own CA or a self-signed "
       "certificate. Empty: the system's certificate authorities.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpTlsCaFile = t; }, nullptr,
       [](const S& s, const L&) { return s.FtpTlsCaFile; }},
      {"Internet", "FtpTlsFingerprint", "", K::Trimmed, false, false, true,
       "SHA-256 fingerprint of the FTP server's certificate (hex, with or without colons, as the run log's "
       "refusal line shows it). When set, exactly that certificate is accepted and nothing else.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.FtpTlsFingerprint = t; }, nullptr,
       [](const S& s, const L&) { return s.FtpTlsFingerprint; }},
      {"Internet", "Ras", "No", K::YesNo, true, false, false,
       "Dial a connection around the network part of every run (NetworkManager's `nmcli`).", nullptr,
       [](auto&, auto& t, S& s, L&) { s.Ras = YesTest(t); }, [](const S& s, const L&) { return Yn(s.Ras); },
       [](const S& s, const L&) { return Yn(s.Ras); }},
      {"Internet", "RasEntryName", "SorNet", K::Text, true, false, false, "Name of that connection.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.RasEntryName = t; }, [](const S& s, const L&) { return s.RasEntryName; },
       [](const S& s, const L&) { return s.RasEntryName; }},
      {"Internet", "RasSameAsFtp", "Yes", K::YesNo, true, false, false,
       "Take the FTP user name and password from the connection's stored secrets.", nullptr,
       [](auto&, auto& t, S& s, L&) { s.RasSameAsFtp = YesTest(t); },
       [](const S& s, const L&) { return Yn(s.RasSameAsFtp); }, [](const S& s, const L&) { return Yn(s.RasSameAsFtp); }},
      {"Internet", "RecvTime", "22:30", K::Time, true, false, false,
       "Time of day after which the daily receive is due. `trelvo-admin init` writes 23:30 at a site and 22:30 at "
       "the head office. A text that is no time gives the default, with a line in the run log.",
       nullptr, [](auto&, auto& t, S&, L& l) { l.TimeRecv = Time(t); },
       [](const S&, const L& l) { return TimeToShortStr(l.TimeRecv); },
       [](const S&, const L& l) { return TimeToShortStr(l.TimeRecv); }},
      {"Internet", "SendTime", "22:00", K::Time, true, false, false,
       "Time of day after which the daily send is due. `trelvo-admin init` writes 22:00 at a site and 23:00 at the "
       "head office.",
       nullptr, [](auto&, auto& t, S&, L& l) { l.TimeSend = Time(t); },
       [](const S&, const L& l) { return TimeToShortStr(l.TimeSend); },
       [](const S&, const L& l) { return TimeToShortStr(l.TimeSend); }},
      {"Internet", "RecvDate", "01.01.2000", K::Date, true, true, false,
       "Date of the last successful receive; the receive is due again on a later day. A text that is no date reads "
       "as never run (the receive is due at its time), with a line in the run log and in `trelvo-admin status`.",
       nullptr, [](auto&, auto& t, S&, L& l) { l.DateRecv = StrToDate(t); },
       [](const S&, const L& l) { return DateToStr(l.DateRecv); },
       [](const S&, const L& l) { return DateToStr(l.DateRecv); }},
      {"Internet", "SendDate", "01.01.2000", K::Date, true, true, false,
       "Date of the last successful send, likewise.", nullptr,
       [](auto&, auto& t, S&, L& l) { l.DateSend = StrToDate(t); },
       [](const S&, const L& l) { return DateToStr(l.DateSend); },
       [](const S&, const L& l) { return DateToStr(l.DateSend); }},
      {"Internet", "MasterFile", "Master_20000101120000.zip", K::Text, false, true, false,
       "The newest master package accepted (at a site) or sent (at the head office). A site refuses a master "
       "package whose name does not sort after it.",
       nullptr, [](auto&, auto& t, S&, L& l) { l.EdtMaster = t; }, nullptr,
       [](const S&, const L& l) { return l.EdtMaster; }},
      {"Internet", "SendFiles", "No", K::YesNo, true, false, false,
       "Sending is active (\"Lähetä tiedostot\"). `trelvo-admin init` writes Yes.", nullptr,
       [](auto&, auto& t, S&, L& l) { l.ChkBoxSend = YesTest(t); },
       [](const S&, const L& l) { return Yn(l.ChkBoxSend); }, [](const S&, const L& l) { return Yn(l.ChkBoxSend); }},
      {"Internet", "RecvFiles", "No", K::YesNo, true, false, false,
       "Receiving is active (\"Vastaanota tiedostot\"). `trelvo-admin init` writes Yes.", nullptr,
       [](auto&, auto& t, S&, L& l) { l.ChkBoxRecv = YesTest(t); },
       [](const S&, const L& l) { return Yn(l.ChkBoxRecv); }, [](const S&, const L& l) { return Yn(l.ChkBoxRecv); }},
      {"Internet", "RunHook", "", K::Text, false, false, true,
       "Command started after every send and receive, split into words as a shell would but run without one "
       "(write `sh -c '...'` for a shell). Its environment has TRELVO_HOME, TRELVO_ROLE (`master`, `client`), "
       "TRELVO_DIRECTION (`send`, `receive`), TRELVO_RESULT (`ok`, `failed`, or `blocked` when the retries are "
       "spent), TRELVO_RETRIES and TRELVO_LOG (the run's saved log, empty when there is none); its output is "
       "appended to that log. It is ended after 60 s, and its failure never changes the run's result. Empty: none.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.RunHook = t; }, nullptr, [](const S& s, const L&) { return s.RunHook; }},

      // ---- [Defaults] ----
      {"Defaults", "UseErrorLog", "No", K::YesNo, false, false, false,
       "Append a report of every error that reaches the event loop and of a fatal signal to `TrelvoError.log` in "
       "[Directory] Log.",
       nullptr, [](auto&, auto& t, S& s, L&) { s.UseErrorLog = YesTest(t); }, nullptr,
       [](const S& s, const L&) { return Yn(s.UseErrorLog); }},
  };
}

const char* KindText(TKeyKind kind) {
  switch (kind) {
    case K::Text: return "text";
    case K::Trimmed: return "text";
    case K::YesNo: return "Yes/No";
    case K::Integer: return "number";
    case K::Engine: return "engine";
    case K::Encryption: return "encryption";
    case K::Directory: return "directory";
    case K::Enciphered: return "enciphered";
    case K::Time: return "hh:nn";
    case K::Date: return "dd.mm.yyyy";
  }
  return "";
}

std::string WrittenBy(const TSettingKey& k) {
  if (k.Talleta && k.Runs) return "Talleta, runs";
  if (k.Talleta) return "Talleta";
  if (k.Runs) return "runs";
  return "hand";
}

}  // namespace

const std::vector<TSettingKey>& SettingKeys() {
  static const std::vector<TSettingKey> keys = Build();
  return keys;
}

std::string SettingKeysMarkdown() {
  std::string out;
  std::string section;
  for (const TSettingKey& k : SettingKeys()) {
    if (k.Section != section) {
      section = k.Section;
      if (!out.empty()) out += "\n";
      out += "`[" + section + "]`\n\n| Key | Default | Kind | Written by | Meaning |\n|---|---|---|---|---|\n";
    }
    const std::string def = k.DefaultNote ? k.DefaultNote : k.Default.empty() ? "(empty)" : "`" + k.Default + "`";
    out += std::string("| ") + k.Key + (k.Addition ? " (Linux)" : "") + " | " + def + " | " + KindText(k.Kind) + " | " +
           WrittenBy(k) + " | " + k.Meaning + " |\n";
  }
  return out;
}

}  // namespace trelvo
