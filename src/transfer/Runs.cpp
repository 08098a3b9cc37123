// The four transfer runs, the result logs of the head office and the check of
// earlier packages at a site.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <exception>
#include <fstream>

#include "common/Text.h"
#include "core/MemoLog.h"
#include "data/SentRows.h"
#include "transfer/StagedFiles.h"
#include "transfer/RunFiles.h"
#include "transfer/Transfer.h"

namespace trelvo {

using runfiles::IsFile;
using runfiles::ReadLines;
using runfiles::IsDirectory;

namespace {

// A site's package holds its four exchange tables. One that lacks any (an
// empty file left by a broken download, a damaged or foreign archive) must
// not count as taken in: the INet directory would still hold the tables of
// the package before it, and the site would take the result line as
// confirmation of rows that never arrived.
void RequireExchangeTables(const TZipArchiver& zip) {
  for (const char* table : {"ZNetAsi.Nx1", "ZNetKo.Nx1", "ZNetKoPa.Nx1", "ZNetTila.Nx1"}) {
    bool found = false;
    for (const TZipItem& item : zip.Items()) found = found || SameText(item.FileName, table);
    if (!found) throw EInOutError("Paketista puuttuu " + std::string(table));
  }
}

// The master package brings at least one table; an empty one would replace
// nothing and yet move MasterFile on.
void RequireTables(const TZipArchiver& zip) {
  for (const TZipItem& item : zip.Items())
    if (SameText(ExtractFileExt(item.FileName), ".Nx1")) return;
  throw EInOutError("Paketissa ei ole tauluja");
}

bool ContainsText(const std::string& haystack, const std::string& needle) {
  return UpperCase(haystack).find(UpperCase(needle)) != std::string::npos;
}

}  // namespace

std::string TTransfer::Stamp() const { return FormatDateTime("yyyymmddhhnnss", Core.Now()); }
std::string TTransfer::NowText() const { return DateTimeToStr(Core.Now()); }

void TTransfer::Log(const std::string& line) { Core.Log(line); }

bool TTransfer::WithArchive(const std::string& path, bool unpack, const std::function<void(TZipArchiver&)>& work) {
  TZipArchiver& zip = Core.ZipArchiver;
  auto failed = [&](const std::string& message) {
    Log(unpack ? "Tiedoston purku ei onnistu (Zip-rikki)!" : "Tiedoston pakkaus ei onnistu (Zip-rikki)!");
    Log("Virhe : " + message);
    return false;
  };
  try {
    // Opening a missing file would make an empty new package of it.
    if (unpack && !IsFile(path)) throw EInOutError("Tiedostoa ei löydy: " + path);
    zip.OpenArchive(path);
    work(zip);
  } catch (const std::exception& e) {
    try {
      zip.CloseArchive();
    } catch (...) {
      // The first error is the one worth reporting.
    }
    return failed(e.what());
  }
  try {
    zip.CloseArchive();
  } catch (const std::exception& e) {
    return failed(e.what());
  }
  return true;
}

std::vector<std::string> TTransfer::MissingDirectories() const {
  const TSettings& s = Core.Settings;
  std::vector<std::string> missing;
  auto need = [&](const std::string& dir, const std::string& what) {
    if (!IsDirectory(dir)) missing.push_back(what);
  };
  need(s.Dir, "[Internet] Dir");
  if (IsDirectory(s.Dir)) {
    need(s.Dir + "Tmp/", "[Internet] Dir + Tmp/");
    need(s.Dir + "Empty/", "[Internet] Dir + Empty/");
    need(s.Dir + "Log/", "[Internet] Dir + Log/");
  }
  need(s.BackupDir, "[Internet] BackupDir");
  if (!s.IsMaster) need(s.FtpSiirtoDir, "[Internet] FtpSiirtoDir");
  return missing;
}

// A site's package into the INet database's directory, where its rows are
// read from; false (with the lines of a failed unpack) when it could not be.
bool TTransfer::UnpackSitePackage(const std::string& path) {
  return WithArchive(path, true, [&](TZipArchiver& zip) {
    RequireExchangeTables(zip);
    zip.SetBaseDirectory(Core.INetAliasDir);
    zip.SetPassword(Core.Settings.ZipPassword);
    zip.ExtractFiles("*.Nx1");
  });
}

bool TTransfer::DirectoriesReady() {
  std::vector<std::string> missing = MissingDirectories();
  for (const std::string& what : missing) Log("Siirtohakemisto puuttuu tai sitä ei ole asetettu: " + what);
  return missing.empty();
}

void TTransfer::SaveRunLog(const std::string& fileName) {
  // A run without its directories still leaves its log somewhere an operator
  // looks: the program's log directory.
  std::string target = fileName;
  if (!IsDirectory(ExtractFilePath(target))) {
    if (Core.Settings.Log.empty()) return;
    target = Core.Settings.Log + ExtractFileName(target);
  }
  try {
    Core.MemoLog.SaveToFile(target);
  } catch (const std::exception& e) {
    // A full or failing BackupDir must not take the run's log with it.
    const std::string fallback = Core.Settings.Log + ExtractFileName(target);
    if (Core.Settings.Log.empty() || fallback == target) throw;
    Log("Lokin tallennus ei onnistu : " + target);
    Log("Virhe : " + std::string(e.what()));
    Core.MemoLog.SaveToFile(fallback);
    target = fallback;
  }
  LastRunLog_ = target;
}

void TTransfer::Protected(const std::function<void()>& body, const std::function<std::string()>& logName) {
  try {
    body();
  } catch (...) {
    try {
      SaveRunLog(logName());
    } catch (...) {
      // The run's own error is the one the operator needs to see.
    }
    throw;
  }
  SaveRunLog(logName());
}

std::string TTransfer::RunLogNameOf(const std::string& package) const {
  return Core.Settings.BackupDir + ChangeFileExt(ExtractFileName(package), ".Log");
}

std::string TTransfer::UniqueRunLogName(const std::string& base) const {
  // A send that had nothing to ship has no package name of its own; its log
  // gets a name no other run uses, and never replaces an earlier one.
  std::string name = Core.Settings.BackupDir + base + ".Log";
  for (int i = 2; IsFile(name) || IsFile(Core.Settings.Log + ExtractFileName(name)); ++i)
    name = Core.Settings.BackupDir + base + "_" + IntToStr(i) + ".Log";
  return name;
}

void TTransfer::CountRun(int& retries, bool success) {
  if (success)
    retries = 0;
  else
    ++retries;
  LastRunSucceeded_ = success;
}

// ---------------------------------------------------------------------------

void TTransfer::ClientSend() {
  TTrelvoCore& c = Core;
  LastRunSucceeded_ = false;
  const TSettings& s = c.Settings;
  c.TransferOk = true;
  c.LastItemName.clear();
  bool packageMade = false;
  std::string emptyLogName;  // a run without a package of its own
  Protected(
      [&] {
        Log("Siirto alkaa : " + NowText());
        c.LogSettingsProblems();
        Log("Client numero: " + s.ClientArchive);
        if (!DirectoriesReady()) {
          c.TransferOk = false;
          Log("Siirto ei onnistunut!");
          CountRun(c.ClientSendRetries, false);
          Log("Siirto valmis : " + NowText());
          return;
        }
        c.RefreshPendingCounts();
        bool pending = false;
        for (int n : c.PendingCounts) pending = pending || n > 0;
        if (c.TransferOk && pending) {
          packageMade = ShipPackage();
          if (c.TransferOk) Checkpoint("client-send-uploaded");
        } else if (c.TransferOk) {
          emptyLogName = UniqueRunLogName(c.ClientPrefix() + "_" + Stamp() + "_tyhja");
        }
        if (c.TransferOk) {
          c.TransferOk = EmptySentExchangeTables(packageMade);
          if (!c.TransferOk) Log("Tyhjien tiedostojen kopiointi ei onnistu!");
        }
        if (c.TransferOk) {
          Log("Siirto suoritettu onnistuneesti!");
          c.SetField("EdtSend", NowText());
          c.WriteSendDate();
        } else {
          Log("Siirto ei onnistunut!");
        }
        CountRun(c.ClientSendRetries, c.TransferOk);
        if (packageMade) c.TransferOk = c.DeleteFiles(c.CurrentPackage);
        c.RefreshPendingCounts();
        Log("Siirto valmis : " + NowText());
      },
      [&] {
        if (packageMade) return RunLogNameOf(c.CurrentPackage);
        if (emptyLogName.empty()) emptyLogName = UniqueRunLogName(c.ClientPrefix() + "_" + Stamp() + "_virhe");
        return emptyLogName;
      });
}

// A site's package made, uploaded twice and kept in FtpSiirtoDir. True when
// the run got a package name of its own (CurrentPackage), whatever followed.
bool TTransfer::ShipPackage() {
  TTrelvoCore& c = Core;
  const TSettings& s = c.Settings;
  const std::string tmp = c.InternetDir() + "Tmp/";
  c.TransferOk = c.CopyFiles(c.MainAliasDir + "ZNet*.Nx1", c.InternetDir() + "Tmp", false);
  if (!c.TransferOk) {
    Log("Tiedostojen kopiointi ei onnistu!");
    return false;
  }
  c.CurrentPackage = tmp + UnusedPackageName();
  Log("Pakataan : " + c.CurrentPackage);
  if (!WithArchive(c.CurrentPackage, false, [&](TZipArchiver& zip) {
        zip.SetBaseDirectory(tmp);
        zip.SetPassword(s.ZipPassword);
        zip.AddFiles("ZNet*.Nx1", 0);
      }))
    c.TransferOk = false;
  if (!c.TransferOk) {
    Log("Pakkasus ei onnistunut!");
    return true;
  }
  Log("Pakkaus valmis.");
  c.TransferOk = c.DeleteFiles(tmp + "ZNet*.Nx1");
  if (!c.TransferOk) {
    Log("Tiedostojen poisto ei onnistu!");
    return true;
  }
  c.ConnectionPhase([&] {
    c.DialUp();
    if (c.TransferOk) {
      c.TransferOk = c.UploadPackage(c.CurrentPackage, s.FtpHostBackupDir);
      if (c.TransferOk) c.TransferOk = c.UploadPackage(c.CurrentPackage, s.FtpHostDir);
    }
    if (c.TransferOk) {
      c.TransferOk = c.CopyFiles(c.CurrentPackage, s.FtpSiirtoDir, false);
      if (c.TransferOk)
        Log("Tiedot varmistettu: " + s.FtpSiirtoDir + ExtractFileName(c.CurrentPackage));
      else
        Log("Siirto varmistushakemistoon ei onnistu!");
    }
  });
  return true;
}

std::array<int, 4> TTransfer::ExchangeCounts() {
  TTables& t = Core.Tables;
  TDbTable* tables[4] = {&t.TblZNetAsi, &t.TblZNetKo, &t.TblZNetKoPa, &t.TblZNetTi};
  std::array<int, 4> counts{};
  for (int i = 0; i < 4; ++i) {
    tables[i]->Open();
    TTableCloser closer(*tables[i]);
    counts[i] = tables[i]->RecordCount();
  }
  return counts;
}

// The suite's main program may write exchange rows while a send is on its
// way, and copying empty files over the tables would lose them. So the
// tables are emptied whole only when they hold just what was counted before
// the copy; otherwise exactly the package's rows are taken out, and a send
// that found nothing leaves rows that came meanwhile alone.
bool TTransfer::EmptySentExchangeTables(bool packageMade) {
  TTrelvoCore& c = Core;
  std::array<int, 4> now{};
  try {
    now = ExchangeCounts();
  } catch (const std::exception& e) {
    Log("Virhe : " + std::string(e.what()));
    return false;
  }
  bool unchanged = true, empty = true;
  for (int i = 0; i < 4; ++i) {
    unchanged = unchanged && now[i] == c.PendingCounts[i];
    empty = empty && now[i] == 0;
  }
  if (unchanged || empty) return EmptyExchangeTables();
  if (!packageMade) {
    Log("Siirtotauluihin tuli rivejä siirron aikana; ne lähtevät seuraavassa siirrossa.");
    return true;
  }
  Log("Siirtotauluihin tuli rivejä siirron aikana; poistetaan vain lähetetyt rivit.");
  if (!UnpackSitePackage(c.CurrentPackage))
    return false;
  if (!c.TransferOk) return false;
  try {
    const long long kept = RemoveSentExchangeRows(c.Tables, c);
    Log("Seuraavaan siirtoon jäi " + IntToStr(kept) + " riviä.");
  } catch (const std::exception& e) {
    Log("Virhe : " + std::string(e.what()));
    return false;
  }
  return true;
}

// Two sends within one second would make two packages of one name, and the
// second would replace the first on the server before the head office has
// it. A name this site has used already moves on by a second.
std::string TTransfer::UnusedPackageName() const {
  const TSettings& s = Core.Settings;
  TDateTime at = Core.Now();
  for (;;) {
    const std::string name = Core.ClientPrefix() + "_" + FormatDateTime("yyyymmddhhnnss", at) + ".Zip";
    if (!IsFile(s.FtpSiirtoDir + name) && !IsFile(s.BackupDir + name)) return name;
    at += 1.0 / 86400.0;
  }
}

bool TTransfer::EmptyExchangeTables() {
  return Core.CopyFiles(Core.InternetDir() + "Empty/ZNet*.Nx1", Core.MainAliasDir, false);
}

// ---------------------------------------------------------------------------

void TTransfer::ClientReceive() {
  TTrelvoCore& c = Core;
  LastRunSucceeded_ = false;
  const TSettings& s = c.Settings;
  c.TransferOk = true;
  std::string statistics;
  Protected(
      [&] {
        Log("Siirto alkaa : " + NowText());
        c.LogSettingsProblems();
        Log("Client numero: " + s.ClientArchive);
        Log("Haetaan internetistä master-kanta...");
        const std::string tmp = c.InternetDir() + "Tmp/";
        c.CurrentPackage = tmp + s.MasterArchive + ".Zip";
        if (!DirectoriesReady()) {
          c.TransferOk = false;
          CountRun(c.ClientRecvRetries, false);
          Log("Siirto EI onnistunut : " + NowText());
          return;
        }
        if (!FinishTableSwap()) {
          c.TransferOk = false;
          CountRun(c.ClientRecvRetries, false);
          Log("Siirto EI onnistunut : " + NowText());
          return;
        }
        statistics = tmp + s.MasterStatistics + ".Zip";
        const bool withStatistics = !s.MasterStatistics.empty();
        std::string name;
        const std::string logPackage = tmp + "CLogs" + s.ClientArchive + "_" + Stamp() + ".Zip";
        bool logsShipped = false;
        c.ConnectionPhase([&] {
          Log("Pakataan logit: " + logPackage);
          const bool logsPacked = WithArchive(logPackage, false, [&](TZipArchiver& zip) {
            zip.SetBaseDirectory(s.BackupDir);
            zip.SetPassword(s.ZipPassword);
            zip.AddFiles("*.Log", 0);
          });
          c.DialUp();
          if (c.TransferOk) c.TransferOk = c.DownloadMasterPackages(c.CurrentPackage);
          if (c.TransferOk) {
            name = ExtractFileName(c.CurrentPackage);
            if (StartsWith(name, "./")) name = name.substr(2);
            if (!AcceptedMasterName(name)) {
              Log("Saatiin takaisin jo aikaisemmin siirretty Master-kanta!");
              Log("Edellinen : " + c.Live.EdtMaster);
              Log("Siirretty : " + name);
              c.TransferOk = false;
            }
          }
          if (c.TransferOk && withStatistics) c.TransferOk = c.DownloadPackage(statistics);
          if (IsFile(logPackage)) logsShipped = c.UploadPackage(logPackage, s.FtpHostLogDir) && logsPacked;
        });
        if (c.TransferOk) {
          if (IsFile(logPackage)) {
            c.DeleteFiles(logPackage);
            // Logs whose package did not reach the server stay and go with
            // the next run's package.
            if (logsShipped)
              c.DeleteFiles(s.BackupDir + "*.Log");
            else
              Log("Lokit jäävät seuraavaan siirtoon: " + s.BackupDir);
          }
          // Both packages are unpacked beside the tables and checked whole
          // first: a damaged entry must not leave the site with some tables
          // new and the rest old.
          TStagedFiles staged;
          std::string tablesStage;
          Log("Puretaan : " + c.CurrentPackage);
          if (!WithArchive(c.CurrentPackage, true, [&](TZipArchiver& zip) {
                RequireTables(zip);
                tablesStage = staged.Stage(c.MainAliasDir);
                const std::string logsStage = staged.Stage(c.InternetDir() + "Log/");
                zip.SetBaseDirectory(tablesStage);
                zip.SetPassword(s.ZipPassword);
                zip.ExtractFiles("*.Nx1");
                zip.SetBaseDirectory(logsStage);
                zip.ExtractFiles(s.MasterLog + "_*.log");
              }))
            c.TransferOk = false;
          if (c.TransferOk) {
            Log("Paketin purku onnistui.");
            if (withStatistics) {
              Log("Puretaan : " + statistics);
              if (!WithArchive(statistics, true, [&](TZipArchiver& zip) {
                    zip.SetBaseDirectory(tablesStage);
                    zip.SetPassword(s.ZipPassword);
                    zip.ExtractFiles("*.Nx1");
                  }))
                c.TransferOk = false;
              if (c.TransferOk) Log("Tilastopaketin purku onnistui.");
            }
          }
          // The archive checks its base directory at the next open; the
          // staging folder is about to go.
          c.ZipArchiver.SetBaseDirectory(c.MainAliasDir);
          if (c.TransferOk) {
            try {
              staged.Commit();
            } catch (const std::exception& e) {
              Log("Master-kannan taulujen vaihto ei onnistu!");
              Log("Virhe : " + std::string(e.what()));
              c.TransferOk = false;
            }
          } else {
            staged.Discard();
            Log("Master-kannan tauluja ei vaihdettu.");
          }
        }
        if (c.TransferOk) {
          c.Live.EdtMaster = name;
          c.SetField("EdtMaster", name);
          c.SetField("EdtRecv", NowText());
          c.WriteRecvDate(true);
          Checkpoint("client-receive-accepted");
          // Each step's failure is logged where it happens and fails the
          // run, so its counter and last line say so; nothing escapes.
          bool stepsOk = CheckEarlierPackages();
          try {
            c.UpdData();
          } catch (const std::exception& e) {
            Log("Virhe : " + std::string(e.what()));
            stepsOk = false;
          }
          Checkpoint("client-receive-merged");
          stepsOk = TakeBackUndecided() && stepsOk;
          if (!stepsOk) c.TransferOk = false;
          CountRun(c.ClientRecvRetries, stepsOk);
        } else {
          CountRun(c.ClientRecvRetries, false);
        }
        c.TransferOk = c.DeleteFiles(c.CurrentPackage);
        if (withStatistics) c.TransferOk = c.DeleteFiles(statistics);
        if (c.TransferOk)
          Log("Siirto valmis : " + NowText());
        else
          Log("Siirto EI onnistunut : " + NowText());
      },
      [&] { return RunLogNameOf(c.CurrentPackage); });
}

// A receive cut off while it put the new master tables in place finishes
// that first, so the site never works on a mix of two packages' tables.
bool TTransfer::FinishTableSwap() {
  try {
    TStagedFiles::Recover({Core.MainAliasDir, Core.InternetDir() + "Log/"}, Core);
    return true;
  } catch (const std::exception& e) {
    Log("Master-kannan taulujen vaihto ei onnistu!");
    Log("Virhe : " + std::string(e.what()));
    return false;
  }
}

bool TTransfer::AcceptedMasterName(const std::string& name) const {
  const std::string& previous = Core.Live.EdtMaster;
  // Byte order on purpose: the names carry the head office's time stamp.
  return previous.empty() || previous.compare(name) < 0;
}

// ---------------------------------------------------------------------------

void TTransfer::MasterSend() {
  TTrelvoCore& c = Core;
  LastRunSucceeded_ = false;
  const TSettings& s = c.Settings;
  c.TransferOk = true;
  c.LastItemName.clear();
  Protected(
      [&] {
        Log("Siirto alkaa : " + NowText());
        c.LogSettingsProblems();
        const std::string tmp = c.InternetDir() + "Tmp/";
        c.CurrentPackage = tmp + s.MasterArchive + "_" + Stamp() + ".Zip";
        if (!DirectoriesReady()) {
          c.TransferOk = false;
          Log("Siirto ei onnistunut!");
          CountRun(c.MasterSendRetries, false);
          Log("Siirto valmis : " + NowText());
          return;
        }
        const std::string name = ExtractFileName(c.CurrentPackage);
        const bool withStatistics = !s.MasterStatistics.empty();
        const std::string statistics = tmp + s.MasterStatistics + ".Zip";
        Log("Pakataan : " + c.CurrentPackage);
        if (!WithArchive(c.CurrentPackage, false, [&](TZipArchiver& zip) {
              zip.SetBaseDirectory(c.MainAliasDir);
              zip.SetPassword(s.ZipPassword);
              for (const std::string& mask : SplitString(s.MasterFiles, ';'))
                if (!mask.empty()) zip.AddFiles(mask, 0);
              zip.SetBaseDirectory(c.InternetDir() + "Log/");
              zip.AddFiles(s.MasterLog + "_*.log", 0);
            }))
          c.TransferOk = false;
        if (!c.TransferOk) {
          Log("Pakkaus ei onnistunut!");
        } else {
          Log("Pakkaus valmis.");
          if (withStatistics) {
            Log("Pakataan : " + statistics);
            if (!WithArchive(statistics, false, [&](TZipArchiver& zip) {
                  zip.SetBaseDirectory(c.MainAliasDir);
                  zip.SetPassword(s.ZipPassword);
                  zip.AddFiles("Tilasto.Nx1", 0);
                }))
              c.TransferOk = false;
            if (c.TransferOk) Log("Tilastotiedoston pakkaus valmis.");
          }
          const std::string logPackage = tmp + "MLogs_" + Stamp() + ".Zip";
          Log("Pakataan : " + logPackage);
          const bool logsPacked = WithArchive(logPackage, false, [&](TZipArchiver& zip) {
            zip.SetBaseDirectory(s.BackupDir);
            zip.SetPassword(s.ZipPassword);
            zip.AddFiles("*.Log", 0);
          });
          c.ConnectionPhase([&] {
            c.DialUp();
            if (!c.TransferOk) return;
            c.TransferOk = c.ReplaceMasterPackages(c.CurrentPackage);
            if (!c.TransferOk) return;
            c.Live.EdtMaster = name;
            c.SetField("EdtMaster", name);
            if (withStatistics) c.TransferOk = c.UploadPackage(statistics, s.FtpHostDir);
            if (IsFile(logPackage)) {
              const bool shipped = c.UploadPackage(logPackage, s.FtpHostLogDir) && logsPacked;
              c.DeleteFiles(logPackage);
              if (shipped)
                c.DeleteFiles(s.BackupDir + "*.Log");
              else
                Log("Lokit jäävät seuraavaan siirtoon: " + s.BackupDir);
            }
          });
        }
        if (c.TransferOk) {
          Log("Siirto suoritettu onnistuneesti!");
          c.SetField("EdtSend", NowText());
          c.WriteSendDate(true);
        } else {
          Log("Siirto ei onnistunut!");
        }
        CountRun(c.MasterSendRetries, c.TransferOk);
        c.TransferOk = c.DeleteFiles(c.CurrentPackage);
        if (withStatistics) c.TransferOk = c.DeleteFiles(statistics);
        Log("Siirto valmis : " + NowText());
      },
      [&] { return RunLogNameOf(c.CurrentPackage); });
}

// ---------------------------------------------------------------------------

// The head office's receive is in MasterReceive.cpp.

// ---------------------------------------------------------------------------

bool TTransfer::CheckEarlierPackages() {
  TTrelvoCore& c = Core;
  const TSettings& s = c.Settings;
  Undecided_.clear();
  bool allBack = true;
  Log("Tarkistetaan aikaisemmin siirretyt tiedostot...");
  const std::string logPath = c.InternetDir() + "Log/" + s.MasterLog + "_" + s.ClientArchive + ".log";
  try {
    if (!IsFile(logPath)) return true;
    const std::vector<std::string> lines = ReadLines(logPath);
    const std::string mask = s.FtpSiirtoDir + c.ClientPrefix() + "*.Zip";

    c.FindFiles(mask);
    for (const std::string& found : std::vector<std::string>(c.FoundFiles)) {
      if (!IsFile(found)) continue;
      const std::string name = ExtractFileName(found);
      Log("Tarkistetaan : " + name);
      const std::string path = s.FtpSiirtoDir + name;
      for (const std::string& line : lines) {
        if (!ContainsText(line, name) || ContainsText(line, "ERROR01")) continue;
        Log("Master sisältää: " + name + "=" + line);
        if (c.CopyFiles(path, s.BackupDir, false) && !c.DeleteFiles(path))
          Log("Tiedoston poisto ei onnistu: " + path);
        break;
      }
    }

    const std::string newestNamed = NewestNamedPackage(lines);
    c.FindFiles(mask);
    for (const std::string& found : std::vector<std::string>(c.FoundFiles)) {
      if (!IsFile(found)) continue;
      const std::string name = ExtractFileName(found);
      const std::string path = s.FtpSiirtoDir + name;
      if (Undecided(name, newestNamed)) {
        // Sent after the head office made this result log: it may still be
        // waiting on the server. Sending its rows again would make every
        // package carry all the days before it.
        Log("Odottaa Masterin käsittelyä: " + name);
        if (PutBackPackage(path)) Undecided_.push_back(path);
        continue;
      }
      Log("Päivitetään takaisin: " + name);
      if (!c.CopyFiles(path, s.BackupDir, false)) {
        Log("Kopiointi Backup-kansioon ei onnistunut!");
        allBack = false;
        continue;
      }
      // The copy in FtpSiirtoDir is the only one the site puts back from: it
      // goes only once its rows are in the exchange tables again.
      if (!PutBackPackage(path)) {
        Log("Paketin rivejä ei saatu takaisin, paketti jää seuraavaan vastaanottoon: " + name);
        allBack = false;
        continue;
      }
      if (!c.DeleteFiles(path)) Log("Tiedoston poisto ei onnistu: " + path);
    }
  } catch (const std::exception& e) {
    Log("Käsittely ei onnistu : " + logPath);
    Log("Virhe : " + std::string(e.what()));
    return false;
  }
  return allBack;
}

// The last of this site's packages that the result log names (in name
// order, which is the order of their time stamps); "" when it names none.
std::string TTransfer::NewestNamedPackage(const std::vector<std::string>& lines) const {
  const std::string prefix = UpperCase(Core.ClientPrefix() + "_");
  std::string newest;
  for (const std::string& line : lines) {
    std::string name = UpperCase(line.substr(0, line.find(' ')));
    if (StartsWith(name, prefix) && name > newest) newest = name;
  }
  return newest;
}

bool TTransfer::Undecided(const std::string& name, const std::string& newestNamed) const {
  if (UpperCase(name) <= newestNamed) return false;
  // A package the head office has left without a word for days is sent
  // again, so nothing waits for ever on a package lost on the way.
  const std::string stamp = name.substr(std::min(name.size(), Core.ClientPrefix().size() + 1), 14);
  TDateTime sent = 0;
  if (!TryStampToDate(stamp, sent)) return false;
  return Core.Now() - sent < kUndecidedDays;
}

// After the receive's UpdData: the rows of the undecided packages have been
// laid over the fresh tables and now leave the exchange tables again.
bool TTransfer::TakeBackUndecided() {
  TTrelvoCore& c = Core;
  const TSettings& s = c.Settings;
  bool allTaken = true;
  for (const std::string& path : Undecided_) {
    const std::string name = ExtractFileName(path);
    const bool before = c.TransferOk;
    c.TransferOk = true;
    const bool unpacked = UnpackSitePackage(path) && c.TransferOk;
    c.TransferOk = before;
    if (!unpacked) {
      // Its rows are in the exchange tables again and cannot be told apart:
      // they go out with the next send, and the package stops waiting, as
      // one the head office did not confirm.
      Log("Odottavan paketin rivit lähtevät uudelleen: " + name);
      allTaken = false;
      if (c.CopyFiles(path, s.BackupDir, false) && !c.DeleteFiles(path)) Log("Tiedoston poisto ei onnistu: " + path);
      continue;
    }
    try {
      RemoveSentExchangeRows(c.Tables, c);
    } catch (const std::exception& e) {
      // Some rows may be out already and the rest still there: the package
      // keeps waiting, so nothing is lost whatever its result line says.
      Log("Odottavan paketin rivien poisto ei onnistu: " + name);
      Log("Virhe : " + std::string(e.what()));
      allTaken = false;
    }
  }
  Undecided_.clear();
  return allTaken;
}
// An unconfirmed package's rows back into the exchange tables of the main
// database. An entry that fails to extract leaves the INet table of an
// earlier unpack in place, so then nothing is appended: only rows of this
// package may ever go back.
bool TTransfer::PutBackPackage(const std::string& path) {
  TTrelvoCore& c = Core;
  Log("Käsitellään : " + ExtractFileName(path));
  const bool before = c.TransferOk;
  c.TransferOk = true;
  const bool unpacked = UnpackSitePackage(path);
  const bool entriesOk = c.TransferOk;
  c.TransferOk = before && entriesOk;
  if (!unpacked || !entriesOk) return false;
  // A row that fails is logged by the append and the work goes on; the
  // package then still counts as not back, so it is tried again whole.
  const size_t linesBefore = c.MemoLog.Lines().size();
  try {
    c.AppendExchangeRows();
  } catch (const std::exception& e) {
    Log("Virhe : " + std::string(e.what()));
    return false;
  }
  const std::vector<std::string>& lines = c.MemoLog.Lines();
  for (size_t i = linesBefore; i < lines.size(); ++i)
    if (StartsWith(lines[i], "Virhe : ")) return false;
  return true;
}

}  // namespace trelvo
