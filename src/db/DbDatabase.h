#pragma once
// A database is an alias's directory of table files. All tables of one
// database share one storage connection (each open table's file is attached
// to it), so one transaction or savepoint spans every table of the database:
// a merge can group the rows of a batch into one commit across the exchange
// table and the main table of a kind.
//
// Without an explicit transaction every post is its own transaction, which
// is what the program's other operations rely on. A transaction holds the
// write lock of every file it changed until it ends, and other programs'
// connections wait for it: work that groups many rows should commit by
// elapsed time (a few hundred milliseconds), not by row count.
#include <memory>
#include <string>
#include <vector>

namespace trelvo {

class TDbSession;
class TDbTable;
class TSqliteConnection;  // internal

class TDbDatabase {
 public:
  explicit TDbDatabase(TDbSession& session, std::string aliasName = "");
  ~TDbDatabase();
  TDbDatabase(const TDbDatabase&) = delete;
  TDbDatabase& operator=(const TDbDatabase&) = delete;

  TDbSession& Session() const { return *Session_; }
  const std::string& AliasName() const { return AliasName_; }
  // Only while closed (EDatabaseError dbeDatabaseOpen otherwise).
  void SetAliasName(const std::string& alias);

  // Opens the session when needed and looks up the alias's directory, which
  // must exist. Throws EDatabaseError.
  void Open();
  // Closes every table of the database first; an open transaction is rolled back.
  void Close();
  bool Connected() const { return Conn_ != nullptr; }
  // The alias's directory with a trailing "/" (empty while closed).
  const std::string& Directory() const { return Directory_; }

  // How long an operation waits for a lock another connection holds before
  // it fails with dbeTableLocked.
  int LockTimeoutMs() const { return LockTimeoutMs_; }
  void SetLockTimeoutMs(int ms);

  // Transactions over all tables of the database. Tables cannot be opened
  // while one is open; tables closed meanwhile let go of their files at the
  // end of the transaction. Errors: EDatabaseError dbeTransaction for misuse,
  // dbeTableLocked when a commit cannot get its lock in time (the
  // transaction then stays open: retry or roll back).
  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const;
  // Savepoints nest inside a transaction or stand alone (then the outermost
  // release commits). RollbackToSavepoint undoes the changes since the
  // savepoint and keeps it on the stack; ReleaseSavepoint ends it.
  void Savepoint(const std::string& name);
  void ReleaseSavepoint(const std::string& name);
  void RollbackToSavepoint(const std::string& name);

  TSqliteConnection& Connection() const;  // internal use by tables

 private:
  friend class TDbTable;
  friend class TDbSession;
  void Attach(TDbTable* table);
  void Detach(TDbTable* table);
  // A closed table's file is released now, or at the end of the transaction.
  void ReleaseSchema(const std::string& schema);
  void DropPendingSchemas();
  std::string NewSchemaName();

  TDbSession* Session_;
  std::string AliasName_;
  std::string Directory_;
  int LockTimeoutMs_ = 1000;
  std::unique_ptr<TSqliteConnection> Conn_;
  std::vector<TDbTable*> Tables_;
  std::vector<std::string> PendingDetach_;
  unsigned SchemaCounter_ = 0;
};

// Rolls back unless committed, so an exception out of a batch leaves nothing
// half-applied.
class TDbTransaction {
 public:
  explicit TDbTransaction(TDbDatabase& db) : Db_(db) { Db_.StartTransaction(); }
  ~TDbTransaction();
  TDbTransaction(const TDbTransaction&) = delete;
  TDbTransaction& operator=(const TDbTransaction&) = delete;
  void Commit();

 private:
  TDbDatabase& Db_;
  bool Done_ = false;
};

// One savepoint: Release() keeps the changes, destruction without Release()
// undoes them.
class TDbSavepoint {
 public:
  TDbSavepoint(TDbDatabase& db, std::string name);
  ~TDbSavepoint();
  TDbSavepoint(const TDbSavepoint&) = delete;
  TDbSavepoint& operator=(const TDbSavepoint&) = delete;
  void Release();

 private:
  TDbDatabase& Db_;
  std::string Name_;
  bool Done_ = false;
};

}  // namespace trelvo
