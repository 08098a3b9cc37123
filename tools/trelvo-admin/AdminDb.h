#pragma once
// What the commands that read or write an installation's tables share.
#include <string>
#include <utility>
#include <vector>

#include "core/TrelvoCore.h"

namespace trelvo::admin {

// The installation's settings loaded and its database connected; the main
// database, or the INet database when inet.
TDbDatabase& ConnectedDatabase(TTrelvoCore& core, bool inet);

using TFieldValues = std::vector<std::pair<std::string, std::string>>;
// "FIELD=VALUE" words; EUsage for a word that is not one.
TFieldValues FieldValuePairs(const std::vector<std::string>& words);

}  // namespace trelvo::admin
