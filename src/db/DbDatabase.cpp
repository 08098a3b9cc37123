#include "db/DbDatabase.h"

#include <sys/stat.h>

#include <algorithm>

#include "common/Text.h"
#include "db/DbError.h"
#include "db/DbServer.h"
#include "db/DbTable.h"
#include "db/Sqlite.h"

namespace trelvo {

TDbDatabase::TDbDatabase(TDbSession& session, std::string aliasName) : Session_(&session), AliasName_(std::move(aliasName)) {
  Session_->Attach(this);
}

TDbDatabase::~TDbDatabase() {
  Close();
  Session_->Detach(this);
}

void TDbDatabase::SetAliasName(const std::string& alias) {
  if (alias == AliasName_) return;
  if (Connected()) throw EDatabaseError(dbeDatabaseOpen, "Cannot change the alias of the open database " + AliasName_);
  AliasName_ = alias;
}

void TDbDatabase::Open() {
  if (Connected()) return;
  Session_->Open();
  std::string dir = Session_->GetAliasPath(AliasName_);
  struct stat st {};
  if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw EDatabaseError(dbeAliasDirMissing, "Directory " + dir + " of alias " + AliasName_ + " does not exist");
  Conn_ = std::make_unique<TSqliteConnection>(LockTimeoutMs_);
  Directory_ = IncludeTrailingPathDelimiter(dir);
}

void TDbDatabase::Close() {
  for (TDbTable* t : std::vector<TDbTable*>(Tables_)) t->CloseNow(true);
  if (Conn_ && InTransaction()) {
    try {
      Conn_->Exec("ROLLBACK", "Rollback");
    } catch (const EDatabaseError&) {
      // Closing the connection rolls back what is left anyway.
    }
  }
  PendingDetach_.clear();
  Conn_.reset();
  Directory_.clear();
}

void TDbDatabase::SetLockTimeoutMs(int ms) {
  LockTimeoutMs_ = ms;
  if (Conn_) Conn_->SetBusyTimeout(ms);
}

TSqliteConnection& TDbDatabase::Connection() const {
  if (!Conn_) throw EDatabaseError(dbeNotConnected, "Database " + AliasName_ + " is not open");
  return *Conn_;
}

bool TDbDatabase::InTransaction() const { return Conn_ && sqlite3_get_autocommit(Conn_->Handle()) == 0; }

void TDbDatabase::StartTransaction() {
  if (InTransaction()) throw EDatabaseError(dbeTransaction, "Database " + AliasName_ + ": a transaction is already active");
  Connection().ExecCached("BEGIN", "Start transaction");
}

void TDbDatabase::Commit() {
  if (!InTransaction()) throw EDatabaseError(dbeTransaction, "Database " + AliasName_ + ": no active transaction");
  Connection().ExecCached("COMMIT", "Commit");
  DropPendingSchemas();
}

void TDbDatabase::Rollback() {
  if (!InTransaction()) throw EDatabaseError(dbeTransaction, "Database " + AliasName_ + ": no active transaction");
  Connection().ExecCached("ROLLBACK", "Rollback");
  DropPendingSchemas();
}

void TDbDatabase::Savepoint(const std::string& name) { Connection().ExecCached("SAVEPOINT " + QuoteName(name), "Savepoint"); }

void TDbDatabase::ReleaseSavepoint(const std::string& name) {
  Connection().ExecCached("RELEASE " + QuoteName(name), "Release savepoint");
  if (!InTransaction()) DropPendingSchemas();
}

void TDbDatabase::RollbackToSavepoint(const std::string& name) {
  Connection().ExecCached("ROLLBACK TO " + QuoteName(name), "Roll back to savepoint");
}

void TDbDatabase::Attach(TDbTable* table) { Tables_.push_back(table); }
void TDbDatabase::Detach(TDbTable* table) { std::erase(Tables_, table); }

void TDbDatabase::ReleaseSchema(const std::string& schema) {
  if (!Conn_) return;
  if (InTransaction()) {
    PendingDetach_.push_back(schema);
    return;
  }
  try {
    Conn_->Exec("DETACH DATABASE " + QuoteName(schema), "Close table");
  } catch (const EDatabaseError&) {
    // A file that cannot be let go now is let go with the connection.
  }
}

void TDbDatabase::DropPendingSchemas() {
  std::vector<std::string> pending;
  pending.swap(PendingDetach_);
  for (const std::string& s : pending) ReleaseSchema(s);
}

std::string TDbDatabase::NewSchemaName() { return std::string("t").append(IntToStr(++SchemaCounter_)); }

TDbTransaction::~TDbTransaction() {
  if (Done_) return;
  try {
    if (Db_.InTransaction()) Db_.Rollback();
  } catch (const EDatabaseError&) {
  }
}

void TDbTransaction::Commit() {
  Db_.Commit();
  Done_ = true;
}

TDbSavepoint::TDbSavepoint(TDbDatabase& db, std::string name) : Db_(db), Name_(std::move(name)) { Db_.Savepoint(Name_); }

TDbSavepoint::~TDbSavepoint() {
  if (Done_) return;
  try {
    Db_.RollbackToSavepoint(Name_);
    Db_.ReleaseSavepoint(Name_);
  } catch (const EDatabaseError&) {
  }
}

void TDbSavepoint::Release() {
  Db_.ReleaseSavepoint(Name_);
  Done_ = true;
}

}  // namespace trelvo
