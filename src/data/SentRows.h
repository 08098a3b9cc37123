#pragma once
// Taking out of a site's exchange tables exactly the rows that went into a
// package, so rows the suite's main program wrote while the package was on
// its way stay for the next send.
#include "common/RunReport.h"
#include "data/Tables.h"

namespace trelvo {

// For every row of the INet database's exchange tables (the package, just
// unpacked there), one equal row (all fields the same) is removed from the
// main database's exchange table of the same kind. Returns the number of
// rows left in the main database's exchange tables. Errors reach the caller.
long long RemoveSentExchangeRows(TTables& tables, TRunReport& report);

}  // namespace trelvo
