#pragma once
// Plain SQLite for the benchmarks: making tables, the references' own
// statements and comparing the results, with the connection settings the
// database layer gives its own connections, so that only the way of merging
// differs between a reference and the program.
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/Schema.h"
#include "db/DbValue.h"

namespace trelvo::bench {

class TConn {
 public:
  TConn() {
    if (sqlite3_open_v2(":memory:", &Db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK)
      throw std::runtime_error("sqlite3_open");
    sqlite3_busy_timeout(Db_, 1000);
    Exec("PRAGMA temp_store = MEMORY");
  }
  ~TConn() { sqlite3_close_v2(Db_); }
  TConn(const TConn&) = delete;
  TConn& operator=(const TConn&) = delete;
  void Exec(const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(Db_, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
      std::string text = msg ? msg : "?";
      sqlite3_free(msg);
      throw std::runtime_error(sql.substr(0, 200) + ": " + text);
    }
  }
  void Attach(const std::string& file, const std::string& schema) {
    Exec("ATTACH '" + file + "' AS " + schema);
    Exec("PRAGMA " + schema + ".cache_size = -" + std::to_string(kCacheKiB));
  }
  static constexpr int kCacheKiB = 6144;
  sqlite3* Get() const { return Db_; }

 private:
  sqlite3* Db_ = nullptr;
};

class TStmt {
 public:
  TStmt(TConn& c, const std::string& sql) : Db_(c.Get()) {
    if (sqlite3_prepare_v2(Db_, sql.c_str(), -1, &St_, nullptr) != SQLITE_OK)
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(Db_));
  }
  ~TStmt() { sqlite3_finalize(St_); }
  TStmt(const TStmt&) = delete;
  TStmt& operator=(const TStmt&) = delete;
  sqlite3_stmt* Get() const { return St_; }
  bool Step() {
    int rc = sqlite3_step(St_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(std::string("step: ") + sqlite3_errmsg(Db_));
  }
  void Reset() {
    sqlite3_reset(St_);
    sqlite3_clear_bindings(St_);
  }
  void Bind(int i, const TValue& v) {
    switch (v.Kind()) {
      case TValue::vkNull: sqlite3_bind_null(St_, i); break;
      case TValue::vkInteger:
      case TValue::vkBoolean: sqlite3_bind_int64(St_, i, v.IntegerValue()); break;
      case TValue::vkReal:
      case TValue::vkDateTime: sqlite3_bind_double(St_, i, v.RealValue()); break;
      case TValue::vkText: sqlite3_bind_text(St_, i, v.TextValue().c_str(), -1, SQLITE_TRANSIENT); break;
    }
  }
  // Column i of the current row bound to parameter p of another statement.
  void CopyColumnTo(int i, TStmt& to, int p) const { sqlite3_bind_value(to.St_, p, sqlite3_column_value(St_, i)); }
  double Double(int i) const { return sqlite3_column_double(St_, i); }
  bool IsNull(int i) const { return sqlite3_column_type(St_, i) == SQLITE_NULL; }
  sqlite3_int64 Int(int i) const { return sqlite3_column_int64(St_, i); }

 private:
  sqlite3* Db_;
  sqlite3_stmt* St_ = nullptr;
};

inline std::string Q(const std::string& name) { return "\"" + name + "\""; }

inline std::vector<std::string> FieldNames(const std::string& table) {
  std::vector<std::string> names;
  for (const TDbFieldDef& f : FindTableDef(table)->Fields) names.push_back(f.Name);
  return names;
}

inline std::string Join(const std::vector<std::string>& names, const std::string& prefix = "") {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) s += (i ? ", " : "") + prefix + Q(names[i]);
  return s;
}

inline std::string Num(const char* prefix, long long i, int width = 7) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%0*lld", prefix, width, i);
  return buf;
}

using TRow = std::vector<TValue>;
inline TValue T(const std::string& s) { return TValue::Text(s); }
inline TValue I(long long i) { return TValue::Integer(i); }
inline TValue R(double d) { return TValue::Real(d); }
inline TValue D(double d) { return TValue::DateTime(d); }

inline void Fill(const std::string& file, const std::string& table, long long count, const std::function<TRow(long long)>& row) {
  TConn c;
  c.Attach(file, "f");
  std::vector<std::string> names = FieldNames(table);
  std::string params;
  for (size_t i = 0; i < names.size(); ++i) params += i ? ", ?" : "?";
  c.Exec("BEGIN");
  {
    TStmt ins(c, "INSERT INTO f." + Q(table) + " (" + Join(names) + ") VALUES (" + params + ")");
    for (long long i = 0; i < count; ++i) {
      TRow r = row(i);
      if (r.size() != names.size()) throw std::runtime_error("row of " + table + " has " + std::to_string(r.size()) + " values");
      for (size_t k = 0; k < r.size(); ++k) ins.Bind(static_cast<int>(k) + 1, r[k]);
      ins.Step();
      ins.Reset();
    }
  }
  c.Exec("COMMIT");
}

// Rows of a main table after two ways of merging, compared as sets and by count.
inline bool SameTable(const std::string& fileA, const std::string& fileB, const std::string& table) {
  TConn c;
  c.Attach(fileA, "a");
  c.Attach(fileB, "b");
  std::string cols = Join(FieldNames(table));
  TStmt st(c, "SELECT (SELECT count(*) FROM a." + Q(table) + "), (SELECT count(*) FROM b." + Q(table) +
                  "), (SELECT count(*) FROM (SELECT " + cols + " FROM a." + Q(table) + " EXCEPT SELECT " + cols +
                  " FROM b." + Q(table) + ")), (SELECT count(*) FROM (SELECT " + cols + " FROM b." + Q(table) +
                  " EXCEPT SELECT " + cols + " FROM a." + Q(table) + "))");
  st.Step();
  return st.Int(0) == st.Int(1) && st.Int(2) == 0 && st.Int(3) == 0;
}

}  // namespace trelvo::bench
