// The head office's receive: every site's package collected, merged in
// batches under one durable commit each, backed up, and answered in its
// site's result log.
//
// What tells a site that its rows are safe is its result line, and what
// removes the last copy of a package is its deletion from Tmp. So each batch
// of packages is merged in one transaction over the main database's tables
// (kept open for the batch), committed durably once, the batch's backup
// copies synced once, and only then are its result lines written and its
// packages deleted. A crash before that leaves the packages in Tmp, and the
// next receive merges them again: keyed rows land the same, and a visit
// already in TILASTO is not added twice.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <fstream>

#include "common/Text.h"
#include "core/MemoLog.h"
#include "data/Merge.h"
#include "db/DbError.h"
#include "transfer/RunFiles.h"
#include "transfer/Transfer.h"

namespace trelvo {

using runfiles::IsFile;
using runfiles::ReadLines;

namespace {

std::string ErrorText(const std::exception& e) {
  if (auto* db = dynamic_cast<const EDatabaseError*>(&e)) return db->Description();
  return e.what();
}

// sync (syncfs or fsync) on the directory dir; 0 or the errno.
int SyncThrough(const std::string& dir, int (*sync)(int)) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = sync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

// The whole file system of dir written to its disk: one sync for every
// backup copy of a batch.
int SyncFileSystemOf(const std::string& dir) { return SyncThrough(dir, ::syncfs); }

// A directory's entries written to disk (a deleted journal stays deleted).
int SyncDirectory(const std::string& dir) { return SyncThrough(dir, ::fsync); }

}  // namespace

void TTransfer::MasterReceive() {
  TTrelvoCore& c = Core;
  LastRunSucceeded_ = false;
  const TSettings& s = c.Settings;
  Protected(
      [&] {
        Log("Siirto alkaa : " + NowText());
        c.LogSettingsProblems();
        if (!DirectoriesReady()) {
          c.TransferOk = false;
          Log("Siirto ei onnistunut!");
          CountRun(c.MasterRecvRetries, false);
          Log("Siirto valmis : " + NowText());
          return;
        }
        // Packages left in Tmp by an earlier receive are not removed: the
        // collection deleted them on the server, so this copy is the only
        // one. They are processed below with the new ones.
        const std::string tmp = c.InternetDir() + "Tmp/";
        c.TransferOk = true;
        Log("Haetaan internetistä Clientien tiedot...");
        c.ConnectionPhase([&] {
          c.DialUp(true);
          if (c.TransferOk) c.TransferOk = c.CollectClientPackages();
        });
        if (c.TransferOk) Checkpoint("master-collected");
        Processed_ = 0;
        StoreFailed_ = false;
        if (!c.TransferOk) {
          Log("Siirto ei onnistunut!");
        } else {
          c.FindFiles(tmp + s.MasterClients + "*.Zip");
          // The file operations below search again and reuse FoundFiles.
          const std::vector<std::string> packages = c.FoundFiles;
          bool lastOk = true;
          for (const std::string& path : packages) {
            if (!IsFile(path)) continue;
            if (!Batch_.Open && !BeginBatch()) {
              lastOk = false;
              break;
            }
            lastOk = ProcessClientPackage(ExtractFileName(path));
            if (BatchDue()) EndBatch();
          }
          EndBatch();
          for (TDbTable* t : BatchTables()) t->Close();
          // The run's result as the last package left it, unless its result
          // line or deletion came to nothing.
          c.TransferOk = lastOk && !StoreFailed_;
        }
        if ((c.TransferOk || Processed_ > 0) && !StoreFailed_) {
          c.SetField("EdtRecv", NowText());
          c.WriteRecvDate();
          CountRun(c.MasterRecvRetries, true);
        } else {
          CountRun(c.MasterRecvRetries, false);
        }
        Log("Siirto valmis : " + NowText());
      },
      [&] { return s.BackupDir + "Haku_" + FormatDateTime("yyyymmddhhnn", c.Now()) + ".Log"; });
}

// ---- batches ----

std::array<TDbTable*, 8> TTransfer::BatchTables() {
  TTables& t = Core.Tables;
  return {&t.TblZNetTi, &t.TblTilasto, &t.TblZNetKo, &t.TblKortti,
          &t.TblZNetKoPa, &t.TblKorttiPa, &t.TblZNetAsi, &t.TblAsiakas};
}

TDbDatabase& TTransfer::MainDatabase() { return Core.Tables.TblKortti.Database(); }

bool TTransfer::BeginBatch() {
  TTrelvoCore& c = Core;
  c.MergeRunning = true;
  Batch_ = TBatch();
  Batch_.Open = true;
  Batch_.Started = std::chrono::steady_clock::now();
  for (TDbTable* t : BatchTables()) {
    try {
      t->Open();
    } catch (const std::exception& e) {
      Log("Taulun " + t->TableName() + " avaus ei onnistu: " + ErrorText(e));
      CloseBatch();
      StoreFailed_ = true;
      return false;
    }
  }
  try {
    // The batch's commit is made durable by one sync of the tables'
    // directory after it, not by one for each of the eight files.
    for (TDbTable* t : BatchTables()) t->SetCommitSyncsDirectory(false);
    MainDatabase().StartTransaction();
  } catch (const std::exception& e) {
    Log("Virhe : " + ErrorText(e));
    CloseBatch();
    StoreFailed_ = true;
    return false;
  }
  return true;
}

bool TTransfer::BatchDue() const {
  return Batch_.Open && (static_cast<int>(Batch_.Results.size()) >= BatchPackages ||
                         std::chrono::steady_clock::now() - Batch_.Started >= std::chrono::milliseconds(BatchMs));
}

void TTransfer::CloseBatch(bool keepTablesOpen) {
  TTrelvoCore& c = Core;
  TDbDatabase& db = MainDatabase();
  bool rolledBack = true;
  try {
    if (db.InTransaction()) db.Rollback();
  } catch (const std::exception&) {
    // Closing the tables below lets go of the files in any case.
    rolledBack = false;
  }
  // Between the batches of a run the tables stay open, their statements
  // and page caches with them: opening eight table files again costs a
  // batch more than its commit. Without a transaction they hold no lock.
  if (!keepTablesOpen || !rolledBack)
    for (TDbTable* t : BatchTables()) t->Close();
  Batch_.Open = false;
  c.MergeRunning = false;
  if (c.CountsWanted) {
    c.CountsWanted = false;
    c.RefreshPendingCounts();
  }
}

// The rows of the batch's packages so far are gone with the transaction that
// the storage undid: none of them may be answered; all wait in Tmp.
void TTransfer::LoseBatchRows() {
  for (TBatchResult& r : Batch_.Results) {
    if (r.Status == "ERROR01") continue;
    r.Status.clear();
    Log("Paketti jää käsiteltäväksi seuraavassa haussa: " + ExtractFileName(r.Package));
  }
  StoreFailed_ = true;
}

void TTransfer::EndBatch() {
  if (!Batch_.Open) return;
  TTrelvoCore& c = Core;
  TDbDatabase& db = MainDatabase();
  bool committed = true;
  try {
    if (db.InTransaction()) db.Commit();
  } catch (const std::exception& e) {
    Log("Taulujen tallennus ei onnistu: " + ErrorText(e));
    LoseBatchRows();
    committed = false;
  }
  // Until the journals' deletions are on disk, a power cut would take the
  // commit back: nothing may be answered before. The table files are in one
  // directory, so one sync of it does for all of them.
  const std::string data = IncludeTrailingPathDelimiter(db.Directory());
  if (committed) {
    if (int err = SyncDirectory(data); err != 0) {
      Log("Taulujen tallennus ei onnistu: " + data);
      Log("Virhe : " + SysErrorMessage(err));
      LoseBatchRows();
      committed = false;
    }
  }
  CloseBatch(committed);
  Checkpoint("master-batch-committed");
  if (!Batch_.Copies.empty()) {
    if (int err = SyncFileSystemOf(c.Settings.BackupDir); err != 0) {
      Log("Varmistuskopioiden tallennus ei onnistu : " + c.Settings.BackupDir);
      Log("Virhe : " + SysErrorMessage(err));
      for (TBatchResult& r : Batch_.Results)
        if (r.Status == "Ok") r.Status = "ERROR02";
      StoreFailed_ = true;
    }
  }
  for (const TBatchResult& r : Batch_.Results) {
    c.CurrentPackage = r.Package;
    if (r.Status.empty()) continue;
    if (r.Status == "ERROR01") {
      RefusePackage();
      continue;
    }
    // The line first: a package deleted before its line was written would
    // leave its site waiting days for a confirmation that never comes.
    if (!WriteClientLog(r.Package, r.Status)) {
      KeepPackage();
      continue;
    }
    Checkpoint("master-result-written");
    if (r.Status == "Ok") {
      c.DeleteFiles(r.Package);
      ++Processed_;
    }
  }
  Batch_ = TBatch();
}

// One site's package at the head office, merged into the batch; true when
// it is on its way to "Ok". A package whose rows could not be stored (a
// table, the emptying of the exchange tables) stays in Tmp for the next
// receive, and the run counts as failed so that it is retried.
bool TTransfer::ProcessClientPackage(const std::string& fileName) {
  TTrelvoCore& c = Core;
  const TSettings& s = c.Settings;
  c.TransferOk = true;
  Log("Käsitellään : " + fileName);
  c.CurrentPackage = c.InternetDir() + "Tmp/" + fileName;
  if (!UnpackSitePackage(c.CurrentPackage)) c.TransferOk = false;
  if (!c.TransferOk) {
    Log("Paketin purku ei onnistunut!");
    Batch_.Results.push_back({c.CurrentPackage, "ERROR01"});
    return false;
  }
  TDbDatabase& db = MainDatabase();
  const std::string savepoint = "package";
  // A package that fails leaves nothing of its own in the batch; the
  // packages merged before it stay.
  auto undo = [&](bool refused) {
    c.TransferOk = false;
    if (!db.InTransaction()) {
      LoseBatchRows();
      // The batch goes on in a fresh transaction for the packages after.
      try {
        db.StartTransaction();
      } catch (const std::exception& e) {
        Log("Virhe : " + ErrorText(e));
      }
    } else {
      try {
        db.RollbackToSavepoint(savepoint);
        db.ReleaseSavepoint(savepoint);
      } catch (const std::exception& e) {
        Log("Virhe : " + ErrorText(e));
        LoseBatchRows();
      }
    }
    if (refused) {
      Log("Paketin purku ei onnistunut!");
      Batch_.Results.push_back({c.CurrentPackage, "ERROR01"});
    } else {
      KeepPackage();
    }
    return false;
  };
  try {
    db.Savepoint(savepoint);
  } catch (const std::exception& e) {
    Log("Virhe : " + ErrorText(e));
    return undo(false);
  }
  try {
    c.AppendExchangeRows();
    c.UpdData();
  } catch (const EMergeError& e) {
    Log("Taulun " + e.Table() + " päivitys ei onnistu: " + e.Description());
    return undo(e.PackageTable());
  }
  Checkpoint("master-merged");
  try {
    for (TDbTable* t : {&c.Tables.TblZNetTi, &c.Tables.TblZNetKo, &c.Tables.TblZNetKoPa, &c.Tables.TblZNetAsi})
      t->EmptyTable();
    db.ReleaseSavepoint(savepoint);
  } catch (const std::exception& e) {
    // The rows would stay to be merged with the next package again, and the
    // backup copy must not hide that as a success.
    Log("Siirtotaulujen tyhjennys ei onnistu!");
    Log("Virhe : " + ErrorText(e));
    return undo(false);
  }
  c.TransferOk = c.CopyFiles(c.CurrentPackage, s.BackupDir, false, &Batch_.Copies);
  if (!c.TransferOk) {
    Log("Siirto varmistushakemistoon ei onnistu (" + fileName + ")!");
    Batch_.Results.push_back({c.CurrentPackage, "ERROR02"});
    // Its site takes ERROR02 as confirmed; the retry makes the copy.
    StoreFailed_ = true;
    return false;
  }
  Log("Tiedot varmistettu: " + fileName);
  Batch_.Results.push_back({c.CurrentPackage, "Ok"});
  return true;
}

// A package that could not be read: ERROR01 makes its site send the rows
// again, so it leaves Tmp (kept in BackupDir for the operator) instead of
// getting another ERROR01 at every receive.
void TTransfer::RefusePackage() {
  TTrelvoCore& c = Core;
  if (WriteClientLog(c.CurrentPackage, "ERROR01") && c.CopyFiles(c.CurrentPackage, c.Settings.BackupDir, false))
    c.DeleteFiles(c.CurrentPackage);
}

void TTransfer::KeepPackage() {
  StoreFailed_ = true;
  Log("Paketti jää käsiteltäväksi seuraavassa haussa: " + ExtractFileName(Core.CurrentPackage));
}

// ---- result logs ----

std::string TTransfer::ClientLogName(const std::string& packagePath) const {
  const TSettings& s = Core.Settings;
  const std::string name = ExtractFileName(packagePath);
  const std::string number =
      name.size() > s.MasterClients.size() ? name.substr(s.MasterClients.size(), s.ClientArchive.size()) : "";
  return Core.InternetDir() + "Log/" + s.MasterLog + "_" + number + ".log";
}

bool TTransfer::WriteClientLog(const std::string& packagePath, const std::string& status) {
  const std::string path = ClientLogName(packagePath);
  try {
    std::vector<std::string> lines;
    if (IsFile(path)) lines = ReadLines(path);
    lines.push_back(ExtractFileName(packagePath) + "  " + status);
    const size_t kKept = 100;
    if (lines.size() > kKept) lines.erase(lines.begin(), lines.end() - kKept);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    WriteFileAtomically(path, text);
  } catch (const std::exception& e) {
    Log("Päivitys ei onnistu : " + path);
    Log("Virhe : " + std::string(e.what()));
    return false;
  }
  return true;
}

}  // namespace trelvo
