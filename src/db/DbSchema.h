#pragma once
// Table definitions and the making of table files. A table file holds one
// table and its indexes and uses the rollback journal, so a closed file is
// complete by itself and can be copied or packed whole.
#include <string>
#include <vector>

#include "db/DbValue.h"

namespace trelvo {

struct TDbFieldDef {
  std::string Name;
  TFieldType Type = TFieldType::ftString;
  int Size = 0;  // text fields: the width the suite gives them (informative)
};

struct TDbIndexDef {
  std::string Name;
  std::string Fields;  // "KorttiLyh;Paikka"
  bool Unique = false;
};

struct TDbTableDef {
  std::string Name;
  std::vector<TDbFieldDef> Fields;
  std::vector<TDbIndexDef> Indexes;
  const TDbFieldDef* FindField(const std::string& name) const;  // case-insensitive
};

// Creates <dir>/<Name>.Nx1 holding the empty table. An existing file is
// replaced only when overwrite is true (otherwise EDatabaseError). The file
// is written under a temporary name and renamed into place.
void CreateTableFile(const std::string& dir, const TDbTableDef& def, bool overwrite = false);
std::string TableFileName(const std::string& dir, const std::string& tableName);
// The file of a table in dir, matched in any letter case; "" when none.
std::string FindTableFile(const std::string& dir, const std::string& tableName);

}  // namespace trelvo
