#include "db/Sqlite.h"

#include "db/DbError.h"

namespace trelvo {

namespace {
// SQLite counts every allocation under a process-wide mutex for statistics
// nothing here reads; a merge allocates several times per row. Set before
// the library's first use, which no program of ours makes before main().
const int kNoAllocationStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

// Each table file's page cache takes its page buffers in one block, as large
// as the cache may grow, which goes back whole when the file is let go.
// Taken page by page from the general heap, a file's pages were freed when it
// closed while the run log's lines, allocated in between, stayed: the holes
// never fitted together again, and a head office's receive grew by a few
// megabytes every hundred packages. The block is reserved, not touched: only
// the pages in use become resident.
int PageBlocksSetUp() {
  constexpr int kPages = 4096;  // more than a file's cache holds (6 MB of 4 KB pages), so the cache's size decides
  return sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, kPages);
}
const int kPageBlocks = PageBlocksSetUp();
}  // namespace

int DbErrorCodeOf(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return dbeTableLocked;
    case SQLITE_CONSTRAINT:
      return dbeKeyViolation;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return dbeNotATableFile;
    case SQLITE_CANTOPEN:
      return dbeTableNotFound;
    case SQLITE_FULL:
    case SQLITE_IOERR:
      return dbeStorage;
    default:
      return dbeIo;
  }
}

std::string QuoteName(const std::string& name) {
  std::string q = "\"";
  for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

void ThrowSqlite(sqlite3* db, int rc, const std::string& context) {
  ThrowSqlite(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), context);
}

void ThrowSqlite(int rc, const std::string& detail, const std::string& context) {
  int code = DbErrorCodeOf(rc);
  std::string text;
  switch (code) {
    case dbeTableLocked: text = context + ": the table is locked by another user"; break;
    case dbeKeyViolation: text = context + ": key violation (" + detail + ")"; break;
    case dbeNotATableFile: text = context + ": not a table file (" + detail + ")"; break;
    default: text = context + ": " + detail; break;
  }
  throw EDatabaseError(code, text);
}

TStatement::TStatement(sqlite3* db, const std::string& sql) : Db_(db) {
  int rc = sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &Stmt_, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(Stmt_);
    Stmt_ = nullptr;
    ThrowSqlite(db, rc, "Prepare");
  }
}

TStatement::~TStatement() { sqlite3_finalize(Stmt_); }

TStatement& TStatement::operator=(TStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(Stmt_);
    Stmt_ = other.Stmt_;
    Db_ = other.Db_;
    other.Stmt_ = nullptr;
  }
  return *this;
}

void TStatement::Reset() {
  if (!Stmt_) return;
  sqlite3_reset(Stmt_);
  sqlite3_clear_bindings(Stmt_);
}

int TStatement::Step(const std::string& context) {
  int rc = sqlite3_step(Stmt_);
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  // sqlite3_reset returns the same error; the message is read before it.
  std::string detail = sqlite3_errmsg(Db_);
  int ext = sqlite3_extended_errcode(Db_);
  sqlite3_reset(Stmt_);
  ThrowSqlite(ext, detail, context);
}

int TStatement::Step(const std::string& contextHead, const char* contextTail) {
  int rc = sqlite3_step(Stmt_);
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  std::string detail = sqlite3_errmsg(Db_);
  int ext = sqlite3_extended_errcode(Db_);
  sqlite3_reset(Stmt_);
  ThrowSqlite(ext, detail, contextHead + contextTail);
}

TSqliteConnection::TSqliteConnection(int busyTimeoutMs) {
  // An in-memory main schema: every table file is attached, so no file is
  // special and each can be released alone. A connection serves only the
  // thread that owns its database object, so SQLite need not lock its own
  // mutex around every call (a merge makes several calls per field).
  int rc = sqlite3_open_v2(":memory:", &Db_,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string detail = Db_ ? sqlite3_errmsg(Db_) : sqlite3_errstr(rc);
    sqlite3_close(Db_);
    Db_ = nullptr;
    throw EDatabaseError(dbeIo, "Cannot start a database connection: " + detail);
  }
  sqlite3_extended_result_codes(Db_, 1);
  BusyTimeoutMs_ = busyTimeoutMs;
  sqlite3_busy_handler(Db_, &TSqliteConnection::BusyHandler, this);
  // Savepoints keep their undo records in the statement journal; in memory
  // they cost nothing per row, on disk they cost a write each.
  sqlite3_exec(Db_, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
}

// SQLite's own busy timeout backs off to sleeps of 100 ms, so a connection
// waiting for a lock that its holder gives up only for short moments (a merge
// committing in batches) misses those moments and waits until the holder is
// done. Trying again in short, even steps finds them.
int TSqliteConnection::BusyHandler(void* self, int count) {
  constexpr int kPollMs = 2;
  auto* conn = static_cast<TSqliteConnection*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) conn->BusySince_ = now;
  if (now - conn->BusySince_ >= std::chrono::milliseconds(conn->BusyTimeoutMs_)) return 0;
  sqlite3_sleep(kPollMs);
  return 1;
}

TSqliteConnection::~TSqliteConnection() {
  Cache_.clear();
  sqlite3_close_v2(Db_);
}

void TSqliteConnection::ExecCached(const std::string& sql, const std::string& context) {
  auto it = Cache_.find(sql);
  if (it == Cache_.end()) it = Cache_.emplace(sql, TStatement(Db_, sql)).first;
  TStatement& st = it->second;
  st.Step(context);
  st.Reset();
}

void TSqliteConnection::Exec(const std::string& sql, const std::string& context) {
  char* msg = nullptr;
  int rc = sqlite3_exec(Db_, sql.c_str(), nullptr, nullptr, &msg);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) ThrowSqlite(Db_, rc, context);
}

}  // namespace trelvo
