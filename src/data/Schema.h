#pragma once
// The suite's table definitions, as this program's tests, demo and
// installation tool create them. Each exchange table has the fields of its
// main table with the same types (ZNetKoPa has AikaLeima in addition), and
// the exchange tables of the main and the INet database share one definition.
#include <string>
#include <vector>

#include "db/DbSchema.h"

namespace trelvo {

// Asiakas, KORTTI, KORTTIPA, TILASTO, AsLuokka.
const std::vector<TDbTableDef>& MainTableDefs();
// ZNetAsi, ZNetKo, ZNetKoPa, ZNetTila.
const std::vector<TDbTableDef>& ExchangeTableDefs();
// Any of the above by name in any letter case; nullptr when unknown.
const TDbTableDef* FindTableDef(const std::string& name);

// Empty table files: the main database's nine tables, or the four exchange
// tables (for the INet database and the Empty directory).
void CreateMainTables(const std::string& dir, bool overwrite = false);
void CreateExchangeTables(const std::string& dir, bool overwrite = false);

}  // namespace trelvo
