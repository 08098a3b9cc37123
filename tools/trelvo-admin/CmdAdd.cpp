// trelvo-admin add: one row into a table, as the suite's main program writes
// its changes, for trying an exchange by hand and for scripts.
#include <iostream>
#include <memory>

#include "Admin.h"
#include "AdminDb.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"
#include "db/DbTable.h"

namespace trelvo::admin {
namespace {

int RunAdd(const TArgs& args) {
  if (args.Count() < 2) throw EUsage("add needs a table and at least one FIELD=VALUE");
  std::vector<std::string> words;
  for (size_t i = 1; i < args.Count(); ++i) words.push_back(args.At(i));
  const TFieldValues values = FieldValuePairs(words);
  TTrelvoCore core(HomeDir(args));
  TDbTable table(ConnectedDatabase(core, args.Has("inet")), args.At(0), "");
  table.Open();
  TTableCloser closer(table);
  table.Append();
  // Texts as the field's type takes them: dd.mm.yyyy, hh:nn:ss, numbers, Yes/No.
  for (const auto& [field, value] : values) table.FieldByName(field).SetAsString(value);
  table.Post();
  return 0;
}

TRELVO_ADMIN_COMMAND("add", "add TABLE FIELD=VALUE... [--inet] [--home DIR]", {"inet"}, RunAdd,
                     "Appends one row to one table, the values as the fields' types take text.\n"
                     "Dates dd.mm.yyyy, times hh:nn:ss, date-times \"dd.mm.yyyy hh:nn:ss\", numbers, booleans\n"
                     "True/False. No key is looked up: a second row of a unique key is an error. To record a\n"
                     "change as the suite's main program does (main table and exchange table), use change.\n"
                     "\n"
                     "  --inet  a table of the INet database",
                     {});

}  // namespace
}  // namespace trelvo::admin
