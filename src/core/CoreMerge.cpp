// The main window's merge operations over its tables and settings.
#include "core/TrelvoCore.h"
#include "data/Merge.h"

namespace trelvo {

void TTrelvoCore::UpdData() { trelvo::UpdData(Tables, Settings.IsMaster, Settings.MasterStatistics, *this); }

void TTrelvoCore::AppendExchangeRows() {
  // The INet tables open their database on first use; it must be the alias
  // the settings name, also when no count refresh has run since loading them.
  if (!DBINet.Connected()) DBINet.SetAliasName(Settings.INetAlias);
  trelvo::AppendExchangeRows(Tables, *this);
}

}  // namespace trelvo
