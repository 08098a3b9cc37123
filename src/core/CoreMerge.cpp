// The main window's merge operations over its tables and settings.
#include <functional>

#include "core/TrelvoCore.h"
#include "data/Merge.h"

namespace trelvo {

namespace {

// The window is served after every merged row, so the count button can be
// pressed meanwhile; its refresh waits for the end of the merge.
void RunMerge(TTrelvoCore& core, const std::function<void()>& merge) {
  // Inside a head office's batch the batch holds the tables and serves the
  // count button when it ends.
  if (core.MergeRunning) {
    merge();
    return;
  }
  core.MergeRunning = true;
  try {
    merge();
  } catch (...) {
    core.MergeRunning = false;
    core.CountsWanted = false;
    throw;
  }
  core.MergeRunning = false;
  if (core.CountsWanted) {
    core.CountsWanted = false;
    core.RefreshPendingCounts();
  }
}

}  // namespace

void TTrelvoCore::SBUpdateClick() {
  if (MergeRunning) {
    CountsWanted = true;
    return;
  }
  RefreshPendingCounts();
}

void TTrelvoCore::UpdData() {
  RunMerge(*this, [this] { trelvo::UpdData(Tables, Settings.IsMaster, Settings.MasterStatistics, *this); });
}

void TTrelvoCore::AppendExchangeRows() {
  // The INet tables open their database on first use; it must be the alias
  // the settings name, also when no count refresh has run since loading them.
  if (!DBINet.Connected()) DBINet.SetAliasName(Settings.INetAlias);
  RunMerge(*this, [this] { trelvo::AppendExchangeRows(Tables, *this); });
}

}  // namespace trelvo
