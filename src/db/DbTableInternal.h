#pragma once
// What the table's files share inside the database layer: the table's
// private state and the SQL helpers the bulk operations build on.
#include <sqlite3.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/DbTable.h"
#include "db/Sqlite.h"

namespace trelvo {

namespace dbtable {

void Bind(sqlite3_stmt* st, int param, const TValue& v);
bool IsDateKind(TFieldType t);
std::string AfterCondition(const std::vector<std::string>& keyColumns, unsigned nulls, bool inclusive);

enum class TAffinity { Integer, Text, Blob, Real, Numeric };
TAffinity AffinityOf(const std::string& decl);
std::string ChangedByCopy(const std::string& c, TFieldType type, TAffinity affinity);

}  // namespace dbtable

struct TMergeState;

struct TDbTable::TImpl {
  std::vector<TValue> Keys;  // FindKey's parsed key values, reused
  std::string Columns;  // rowid, "c1", "c2", ...
  std::string OrderBy;
  TStatement Count, FirstRow, FirstBatch, AfterBatch, Insert, Update, Remove;
  // Updates of only the fields an edit changed, by the set of those fields.
  std::map<std::uint64_t, TStatement> UpdateChanged;
  std::map<unsigned, TStatement> AfterWithNulls;  // by null pattern of the key values
  std::map<size_t, TStatement> Find;              // by number of key values and which are empty texts
  std::map<size_t, TStatement> Range;             // by number of key values and whether the range is of nulls
  std::vector<std::string> Decls;                 // declared types, by field
  std::vector<std::string> KeyColumns;            // quoted names of the index fields
  // AppendRowsFrom: the source it was prepared for, the schema its file is
  // attached as here (whether attached for this), and the statements.
  const TDbTable* CopySource = nullptr;
  std::string CopySourceSchema, CopySchema;
  bool CopyAttached = false;
  std::map<unsigned, TStatement> CopyRows;  // by null pattern of the source's key values
  std::map<unsigned, TStatement> SkipRows;  // as the source: the row after those copied
  // MergeRowsFrom: the rule, its statements and the window of source rows
  // it has sorted out (DbTableMerge.cpp).
  std::shared_ptr<TMergeState> Merge;
};

}  // namespace trelvo
