#pragma once
// Internal: thin RAII over the SQLite C API. Only the db/ sources include it,
// so sqlite3.h never reaches the rest of the program.
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <string>

namespace trelvo {

// Finalizes on destruction; Reset() also clears the bindings.
class TStatement {
 public:
  TStatement() = default;
  TStatement(sqlite3* db, const std::string& sql);  // throws EDatabaseError
  ~TStatement();
  TStatement(TStatement&& other) noexcept : Stmt_(other.Stmt_), Db_(other.Db_) { other.Stmt_ = nullptr; }
  TStatement& operator=(TStatement&& other) noexcept;
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* Get() const { return Stmt_; }
  explicit operator bool() const { return Stmt_ != nullptr; }
  void Reset();
  // Only the reset, for statements whose every parameter is bound anew
  // before each step: clearing them first would be wasted work per row.
  void Rewind() {
    if (Stmt_) sqlite3_reset(Stmt_);
  }
  // SQLITE_ROW or SQLITE_DONE; anything else throws (the statement is reset).
  int Step(const std::string& context);
  // The same with the context as two parts, joined only when it fails: the
  // per-row statements of a merge must not build a text for every row.
  int Step(const std::string& contextHead, const char* contextTail);

 private:
  sqlite3_stmt* Stmt_ = nullptr;
  sqlite3* Db_ = nullptr;
};

class TSqliteConnection {
 public:
  explicit TSqliteConnection(int busyTimeoutMs);
  ~TSqliteConnection();
  TSqliteConnection(const TSqliteConnection&) = delete;
  TSqliteConnection& operator=(const TSqliteConnection&) = delete;
  sqlite3* Handle() const { return Db_; }
  // How long an operation keeps trying to get a lock another connection holds.
  void SetBusyTimeout(int ms) { BusyTimeoutMs_ = ms; }
  // Runs a statement kept prepared for the connection's life (transaction
  // control runs once per row in a merge, so it must not be parsed each time).
  void ExecCached(const std::string& sql, const std::string& context);
  void Exec(const std::string& sql, const std::string& context);
  void ClearCache() { Cache_.clear(); }

 private:
  static int BusyHandler(void* self, int count);
  sqlite3* Db_ = nullptr;
  std::map<std::string, TStatement> Cache_;
  int BusyTimeoutMs_ = 0;
  std::chrono::steady_clock::time_point BusySince_;
};

// The database error for an SQLite result code.
[[noreturn]] void ThrowSqlite(sqlite3* db, int rc, const std::string& context);
[[noreturn]] void ThrowSqlite(int rc, const std::string& detail, const std::string& context);
int DbErrorCodeOf(int sqliteResult);
// A name as an SQL identifier, so table and field names need no rules.
std::string QuoteName(const std::string& name);

}  // namespace trelvo
