#pragma once
// Laying received rows over the main tables (UpdData) and appending a
// package's exchange rows to the site's own exchange tables
// (AppendExchangeRows).
//
// Both work row by row under a per-row error guard, but the rows of a kind
// are written in transactions of a fifth of a second, not one synced write per
// row: a head office merging a day of many sites cannot wait for a disk sync
// per row. Where the tables allow it, runs of rows go many at a time in SQL
// (AppendExchangeRows for kinds of a thousand rows or more, UpdData's visits),
// storing and logging exactly what row by row would; any row that cannot be
// shown to come out the same goes one by one. What the caller can observe
// stays as with single writes: a row's effect is seen by the next row, a
// failed row leaves nothing behind, rows done before an error are committed,
// and no batch holds the table files for long.
#include <string>

#include "common/RunReport.h"
#include "data/Tables.h"
#include "db/DbError.h"

namespace trelvo {

// An error that ended a kind: the table it concerns and the error's own
// text. Ends the operation as any error outside the rows does; a write that
// failed for want of space or by the storage (dbeStorage) or a lock held past the
// wait (dbeTableLocked) is such an error also at a row, since going on
// would report a package as merged without that row.
class EMergeError : public EDatabaseError {
 public:
  EMergeError(std::string table, bool packageTable, int code, const std::string& description)
      : EDatabaseError(code, description), Table_(std::move(table)), PackageTable_(packageTable) {}
  const std::string& Table() const { return Table_; }
  // The table is one of a received package's (the INet database): the
  // package is unreadable, the main database is not at fault.
  bool PackageTable() const { return PackageTable_; }

 private:
  std::string Table_;
  bool PackageTable_;
};

struct TMergeOptions {
  // A batch is committed when it holds this many rows or has been open this
  // long, whichever comes first, so other connections wait at most about
  // that long for the table files.
  int CommitRows = 100000;
  int CommitMs = 200;
  // The pause after each commit in which connections waiting for the table
  // files get them (the database layer's connections retry every 2 ms).
  int YieldMs = 10;
  // UpdData's rows many at a time in SQL where that stores the same; false
  // takes every row one by one (what the set-based way is proven against).
  // The visits go set-based by default. The keyed kinds do not: sorting
  // their rows out in SQL reads each exchange row three times and each main
  // row twice, and measured slower than row by row, whose one lookup a row
  // is already what the set-based merge needs.
  bool SetBased = true;
  bool SetBasedKeyed = false;
};

// Exchange tables of the main database into the main tables, in the order
// statistics (only when isMaster or masterStatistics is not empty), cards,
// card places, customers. A statistics row is added unless TILASTO already
// holds the same event (every copied field reading the same, times to the
// second), so a package merged twice counts its visits once. Errors outside the rows (opening, counting,
// reading the next row, committing) end the operation and reach the caller,
// after the rows done so far are committed and the kind's tables closed.
void UpdData(TTables& tables, bool isMaster, const std::string& masterStatistics, TRunReport& report,
             const TMergeOptions& options = {});

// Exchange tables of the INet database appended to those of the main
// database, field by position, for statistics, cards, card places, customers.
void AppendExchangeRows(TTables& tables, TRunReport& report, const TMergeOptions& options = {});

// done of total as a whole percentage, halves to even, at most 100; a total
// of 0 counts as 1.
int MergePercent(long long done, long long total);

}  // namespace trelvo
