#pragma once
// A statement run on a table file with a connection of its own, as another
// program (or a damaged file) would; for values the table layer itself
// refuses to write. For test folders that link SQLite.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace trelvo::test {

inline void RawExec(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
  std::string text = msg ? msg : "";
  sqlite3_free(msg);
  sqlite3_close(db);
  ASSERT_EQ(SQLITE_OK, rc) << sql << ": " << text;
}

}  // namespace trelvo::test
