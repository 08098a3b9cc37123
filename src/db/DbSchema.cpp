#include "db/DbSchema.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

#include "common/Text.h"
#include "db/DbError.h"
#include "db/Sqlite.h"

namespace trelvo {

const TDbFieldDef* TDbTableDef::FindField(const std::string& name) const {
  for (const TDbFieldDef& f : Fields)
    if (SameText(f.Name, name)) return &f;
  return nullptr;
}

std::string TableFileName(const std::string& dir, const std::string& tableName) {
  return IncludeTrailingPathDelimiter(dir) + tableName + ".Nx1";
}

std::string FindTableFile(const std::string& dir, const std::string& tableName) {
  std::string exact = TableFileName(dir, tableName);
  if (::access(exact.c_str(), F_OK) == 0) return exact;
  std::string wanted = tableName + ".Nx1";
  DIR* d = ::opendir(IncludeTrailingPathDelimiter(dir).c_str());
  if (!d) return "";
  std::string found;
  while (dirent* e = ::readdir(d)) {
    if (SameText(e->d_name, wanted)) {
      found = IncludeTrailingPathDelimiter(dir) + e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

void CreateTableFile(const std::string& dir, const TDbTableDef& def, bool overwrite) {
  std::string existing = FindTableFile(dir, def.Name);
  if (!existing.empty() && !overwrite)
    throw EDatabaseError(dbeIo, "Table file " + existing + " already exists");
  std::string target = TableFileName(dir, def.Name);
  std::string temp = IncludeTrailingPathDelimiter(dir) + "." + def.Name + ".Nx1.tmp";
  ::unlink(temp.c_str());

  std::string sql = "CREATE TABLE " + QuoteName(def.Name) + " (";
  for (size_t i = 0; i < def.Fields.size(); ++i) {
    const TDbFieldDef& f = def.Fields[i];
    if (i) sql += ", ";
    sql += QuoteName(f.Name) + " " + FieldTypeDecl(f.Type);
    if (f.Type == TFieldType::ftString && f.Size > 0) sql.append("(").append(IntToStr(f.Size)).append(")");
  }
  sql += ");\n";
  for (const TDbIndexDef& ix : def.Indexes) {
    sql += std::string("CREATE ") + (ix.Unique ? "UNIQUE " : "") + "INDEX " + QuoteName(def.Name + "_" + ix.Name) + " ON " +
           QuoteName(def.Name) + " (";
    bool first = true;
    for (const std::string& part : SplitString(ix.Fields, ';')) {
      if (!first) sql += ", ";
      sql += QuoteName(Trim(part));
      first = false;
    }
    sql += ");\n";
  }

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  char* msg = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, ("PRAGMA journal_mode = DELETE;\n" + sql).c_str(), nullptr, nullptr, &msg);
  std::string detail = msg ? msg : (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  sqlite3_free(msg);
  sqlite3_close(db);
  if (rc != SQLITE_OK) {
    ::unlink(temp.c_str());
    throw EDatabaseError(dbeIo, "Cannot create table file " + target + ": " + detail);
  }
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    throw EDatabaseError(dbeIo, "Cannot create table file " + target + ": " + SysErrorMessage(err));
  }
  // A file of the same table in another letter case is replaced, not kept beside.
  if (!existing.empty() && existing != target) ::unlink(existing.c_str());
}

}  // namespace trelvo
