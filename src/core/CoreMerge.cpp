// The main window's merge operations over its tables and settings.
#include "core/TrelvoCore.h"
#include "data/Merge.h"

namespace trelvo {

void TTrelvoCore::UpdData() { trelvo::UpdData(Tables, Settings.IsMaster, Settings.MasterStatistics, *this); }

void TTrelvoCore::AppendExchangeRows() { trelvo::AppendExchangeRows(Tables, *this); }

}  // namespace trelvo
