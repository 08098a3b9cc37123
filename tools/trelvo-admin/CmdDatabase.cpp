// trelvo-admin init, counts and dump: make an installation, show its pending
// counts, list a table.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "Admin.h"
#include "AdminDb.h"
#include "common/IniFile.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"
#include "data/Schema.h"
#include "db/DbServer.h"

namespace trelvo::admin {

TDbDatabase& ConnectedDatabase(TTrelvoCore& core, bool inet) {
  core.LoadSettings();
  core.DbModule.ConnectDatabase(core.Settings.TransportKind, core.Settings.Alias);
  if (!inet) return core.DbModule.MainDatabase;
  core.DBINet.SetAliasName(core.Settings.INetAlias);
  return core.DBINet;
}

TFieldValues FieldValuePairs(const std::vector<std::string>& words) {
  TFieldValues pairs;
  for (const std::string& pair : words) {
    const size_t eq = pair.find('=');
    if (eq == std::string::npos || eq == 0) throw EUsage("'" + pair + "' is not FIELD=VALUE");
    pairs.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
  }
  return pairs;
}

namespace {

void MakeDirs(const std::string& path) {
  std::string partial;
  for (const std::string& part : SplitString(path, '/')) {
    partial += part + "/";
    if (part.empty()) continue;
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
      throw EInOutError("Cannot create directory " + partial + ": " + SysErrorMessage(errno));
    struct stat st {};
    if (::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw EInOutError("Cannot create directory " + partial + ": a file of that name exists");
  }
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

int RunInit(const TArgs& args) {
  args.Expect(1, 1);
  std::string role = LowerCase(args.Option("role"));
  if (role != "master" && role != "client") throw EUsage("--role must be master or client");
  std::string client = args.Option("client", "01");
  if (client.empty() || client.size() > 8 || client.find_first_of("/\\ \t") != std::string::npos)
    throw EUsage("--client must be a short site number such as 01");
  bool force = args.Has("force");
  std::string zipEncryption = LowerCase(args.Option("zip-encryption", "zipcrypto"));
  if (zipEncryption != "zipcrypto" && zipEncryption != "aes256")
    throw EUsage("--zip-encryption must be zipcrypto or aes256");
  zipEncryption = zipEncryption == "aes256" ? "AES256" : "ZipCrypto";

  MakeDirs(args.At(0));
  char real[PATH_MAX];
  if (!::realpath(args.At(0).c_str(), real)) throw EInOutError("Cannot resolve " + args.At(0) + ": " + SysErrorMessage(errno));
  const std::string home = IncludeTrailingPathDelimiter(real);
  if (!force && (Exists(home + "Sorvel.ini") || Exists(home + "DbServer.ini"))) {
    std::cerr << "trelvo-admin init: " << home << " already holds an installation (use --force to overwrite it)\n";
    return 1;
  }

  const std::string dataDir = home + "Data/", inetDataDir = home + "INetData/", inetDir = home + "INet/";
  const std::string backupDir = home + "Backup/", siirtoDir = home + "FtpSiirto/", logDir = home + "Log/";
  for (const std::string& d : {dataDir, inetDataDir, inetDir, inetDir + "Tmp/", inetDir + "Empty/", inetDir + "Log/", backupDir,
                               siirtoDir, logDir})
    MakeDirs(d);

  TDbServerConfig servers;
  // Alias directories relative to DbServer.ini keep the installation movable.
  servers.Servers.push_back({"VELMORA", "127.0.0.1", {{"SORVEL", "Data"}, {"INet", "INetData"}}});
  if (force) ::unlink((home + "DbServer.ini").c_str());
  servers.Save(home + "DbServer.ini");

  TIniFile ini(home + "Sorvel.ini");
  ini.WriteString("DataBase", "Alias", "SORVEL");
  ini.WriteString("DataBase", "Engine", "TCPIP");
  ini.WriteString("DataBase", "ServerName", "VELMORA");
  ini.WriteString("DataBase", "ServerAddress", "127.0.0.1");
  ini.WriteString("DataBase", "Port", "16000");
  ini.WriteString("Directory", "Log", logDir);
  ini.WriteString("Internet", "Dir", inetDir);
  ini.WriteString("Internet", "Alias", "INet");
  ini.WriteString("Internet", "Master", role == "master" ? "Yes" : "No");
  ini.WriteString("Internet", "ClientArchive", client);
  ini.WriteString("Internet", "BackupDir", backupDir);
  ini.WriteString("Internet", "FtpSiirtoDir", siirtoDir);
  // The sites' packages must be on the server before the head office
  // collects them, and the master package made after that before the sites
  // fetch it.
  const bool master = role == "master";
  ini.WriteString("Internet", "SendTime", master ? "23:00" : "22:00");
  ini.WriteString("Internet", "RecvTime", master ? "22:30" : "23:30");
  ini.WriteString("Internet", "SendFiles", "Yes");
  ini.WriteString("Internet", "RecvFiles", "Yes");
  if (args.Has("ftp")) {
    std::string host = args.Option("ftp");
    if (size_t colon = host.rfind(':'); colon != std::string::npos) {
      ini.WriteString("Internet", "FtpPort", host.substr(colon + 1));
      host = host.substr(0, colon);
    }
    if (host.empty()) throw EUsage("--ftp needs HOST or HOST:PORT");
    ini.WriteString("Internet", "FtpHost", host);
  }
  if (args.Has("ftp-user")) ini.WriteString("Internet", "FtpUser", args.Option("ftp-user"));
  if (args.Has("ftp-password")) ini.WriteString("Internet", "FtpPassWord", EncipherSetting(args.Option("ftp-password")));
  if (args.Has("zip-password")) ini.WriteString("Internet", "ZipPassword", EncipherSetting(args.Option("zip-password")));
  if (args.Has("ftp-tls")) {
    const std::string tls = args.Option("ftp-tls");
    if (tls != "explicit" && tls != "implicit") throw EUsage("--ftp-tls needs explicit or implicit");
    ini.WriteString("Internet", "FtpTls", tls == "explicit" ? "Explicit" : "Implicit");
  }
  if (args.Has("ftp-tls-ca")) ini.WriteString("Internet", "FtpTlsCaFile", args.Option("ftp-tls-ca"));
  if (args.Has("ftp-tls-fingerprint")) ini.WriteString("Internet", "FtpTlsFingerprint", args.Option("ftp-tls-fingerprint"));
  if (args.Has("zip-encryption")) ini.WriteString("Internet", "ZipEncryption", zipEncryption);

  CreateMainTables(dataDir, force);
  CreateExchangeTables(inetDataDir, force);
  CreateExchangeTables(inetDir + "Empty/", force);
  std::cout << "Installation (" << role << (role == "client" ? " " + client : std::string()) << ") made in " << home << "\n";
  return 0;
}

int RunCounts(const TArgs& args) {
  args.Expect(0, 0);
  THeadlessView view(&std::cout);
  TTrelvoCore core(HomeDir(args), &view);
  core.LoadSettings();
  core.TransferOk = true;
  core.RefreshPendingCounts();
  std::cout << core.PendingCounts[0] << " " << core.PendingCounts[1] << " " << core.PendingCounts[2] << " "
            << core.PendingCounts[3] << "\n";
  for (const std::string& line : core.MemoLog.Lines()) {
    if (StartsWith(line, "Virhe")) {
      std::cerr << "trelvo-admin counts: " << line << "\n";
      return 1;
    }
  }
  return core.TransferOk ? 0 : 1;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

int RunDump(const TArgs& args) {
  args.Expect(1, 1);
  TTrelvoCore core(HomeDir(args));
  TDbDatabase& db = ConnectedDatabase(core, args.Has("inet"));
  const std::string& name = args.At(0);
  // The program's own table objects give their index order; any other table
  // of the database is listed in the order its rows were written.
  TDbTable* table = nullptr;
  for (TDbTable* t : core.Tables.All())
    if (&t->Database() == &db && SameText(t->TableName(), name)) table = t;
  std::unique_ptr<TDbTable> adhoc;
  if (!table) {
    adhoc = std::make_unique<TDbTable>(db, name, "");
    table = adhoc.get();
  }
  table->Open();
  TTableCloser closer(*table);
  for (int i = 0; i < table->FieldCount(); ++i) std::cout << (i ? "\t" : "") << table->Fields(i).FieldName();
  std::cout << "\n";
  for (table->First(); !table->Eof(); table->Next()) {
    for (int i = 0; i < table->FieldCount(); ++i) std::cout << (i ? "\t" : "") << Escaped(table->Fields(i).AsString());
    std::cout << "\n";
  }
  return 0;
}

TRELVO_ADMIN_COMMAND("init",
                     "init DIR --role master|client [--client NN] [--ftp HOST[:PORT]] [--ftp-user U] "
                     "[--ftp-password P] [--ftp-tls explicit|implicit] [--ftp-tls-ca FILE] [--ftp-tls-fingerprint HEX] "
                     "[--zip-password Z] [--zip-encryption zipcrypto|aes256] [--force]",
                     {"force"}, RunInit,
                     "Makes a working installation in DIR (created when missing).\n"
                     "It writes Sorvel.ini (the role, the directories below, both directions on, and the\n"
                     "schedule: a site sends at 22:00 and receives at 23:30, the head office receives at 22:30\n"
                     "and sends at 23:00), DbServer.ini (server VELMORA, aliases SORVEL -> Data/ and\n"
                     "INet -> INetData/), the directories INet/Tmp, INet/Empty, INet/Log, Backup, FtpSiirto\n"
                     "and Log, and empty tables.\n"
                     "\n"
                     "  --role          master for the head office, client for a site\n"
                     "  --client NN     the site's number (default 01); all numbers have the width of the\n"
                     "                  head office's own\n"
                     "  --ftp HOST[:PORT]  the FTP server (FtpHost, FtpPort)\n"
                     "  --ftp-user U, --ftp-password P  the FTP login (the password stored enciphered)\n"
                     "  --ftp-tls explicit|implicit  FTP over TLS (FtpTls; implicit: port 990 unless --ftp\n"
                     "                  names one)\n"
                     "  --ftp-tls-ca FILE  PEM certificates to trust instead of the system's (FtpTlsCaFile)\n"
                     "  --ftp-tls-fingerprint HEX  accept exactly the certificate of this SHA-256\n"
                     "                  fingerprint (FtpTlsFingerprint)\n"
                     "  --zip-password Z   the packages' password, the same at every installation\n"
                     "  --zip-encryption E  zipcrypto (default) or aes256: how this installation's packages\n"
                     "                  are encrypted (ZipEncryption); every installation reads both\n"
                     "  --force         make it again over an existing installation: its tables are emptied\n"
                     "\n"
                     "A directory that holds Sorvel.ini or DbServer.ini already is refused without --force\n"
                     "(exit 1). Other settings keep their defaults: trelvo-admin config lists them.",
                     {"role", "client", "ftp", "ftp-user", "ftp-password", "zip-password", "zip-encryption", "ftp-tls",
                      "ftp-tls-ca", "ftp-tls-fingerprint"});
TRELVO_ADMIN_COMMAND("counts", "counts [--home DIR]", {}, RunCounts,
                     "Prints the pending rows of the four exchange tables: ZNetAsi ZNetKo ZNetKoPa ZNetTila.\n"
                     "The last line holds the four numbers; the lines before it are the alias lines of the\n"
                     "refresh, as the run log shows them. Exit 1 when the database cannot be reached.",
                     {});
TRELVO_ADMIN_COMMAND("dump", "dump TABLE [--inet] [--home DIR]", {"inet"}, RunDump,
                     "Prints a table's rows, tab-separated, after a line of its field names.\n"
                     "The program's tables come in the order of its index (Asiakas by AsNo, KORTTI by\n"
                     "KorttiLyh, KORTTIPA by KorttiLyh and Paikka, TILASTO by TapPvm and TapAika, the\n"
                     "exchange tables by AikaLeima); any other table in the order its rows were written.\n"
                     "Tabs, line ends and backslashes in values are written as \\t, \\n, \\r and \\\\.\n"
                     "\n"
                     "  --inet  the table of the INet database (what the last unpacked package held)",
                     {});

}  // namespace
}  // namespace trelvo::admin
