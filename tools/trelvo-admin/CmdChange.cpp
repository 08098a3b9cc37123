// trelvo-admin change: a change recorded as the suite's main program records
// it. The row goes into the main table, in place of the row of its key, and
// the whole row as it now stands is appended to the exchange table beside
// it, which the next send ships.
#include <iostream>
#include <memory>

#include "Admin.h"
#include "AdminDb.h"
#include "common/DateTime.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"
#include "db/DbTable.h"

namespace trelvo::admin {
namespace {

struct TChangeKind {
  const char* Main;
  const char* Index;  // the key of the main table; empty: every change is a new row
  const char* Exchange;
};

const TChangeKind kKinds[] = {
    {"Asiakas", "AsNo", "ZNetAsi"},
    {"KORTTI", "KorttiLyh", "ZNetKo"},
    {"KORTTIPA", "KorttiLyh;Paikka", "ZNetKoPa"},
    {"TILASTO", "", "ZNetTila"},
};

using TPairs = TFieldValues;

const TChangeKind& KindOf(const std::string& table) {
  for (const TChangeKind& k : kKinds)
    if (SameText(k.Main, table)) return k;
  throw EUsage("change takes Asiakas, KORTTI, KORTTIPA or TILASTO, not '" + table + "'");
}

void Change(TTrelvoCore& core, const std::string& table, const TPairs& given) {
  const TChangeKind& kind = KindOf(table);
  TDbDatabase& db = core.DbModule.MainDatabase;
  TPairs pairs = given;
  // The card places' main table keeps its stamp in Muutettu and
  // MuutettuAika; only the exchange row has an AikaLeima of its own.
  std::string placeStamp;
  if (SameText(kind.Main, "KORTTIPA")) {
    for (auto it = pairs.begin(); it != pairs.end();)
      if (SameText(it->first, "AikaLeima")) {
        placeStamp = it->second;
        it = pairs.erase(it);
      } else {
        ++it;
      }
  }

  TDbTable main(db, kind.Main, kind.Index);
  main.Open();
  TTableCloser closeMain(main);
  bool found = false;
  if (*kind.Index) {
    std::vector<std::string> key;
    for (const std::string& field : SplitString(kind.Index, ';')) {
      std::string value;
      bool given = false;
      for (const auto& [name, v] : pairs)
        if (SameText(name, field)) value = v, given = true;
      if (!given) throw EUsage(std::string("a change of ") + kind.Main + " needs its key " + field + "=...");
      key.push_back(value);
    }
    found = main.FindKey(key);
  }
  TDbTable exchange(db, kind.Exchange, "");
  exchange.Open();
  TTableCloser closeExchange(exchange);
  // A change that fails half-way (a field that does not exist, a value its
  // type does not take) must leave neither table changed: a main row
  // without its exchange row would never reach the head office.
  try {
    if (found)
      main.Edit();
    else
      main.Append();
    for (const auto& [name, value] : pairs) main.FieldByName(name).SetAsString(value);
    exchange.Append();
    for (int i = 0; i < main.FieldCount(); ++i) {
      TDbField& from = main.Fields(i);
      if (TDbField* to = exchange.FindField(from.FieldName())) to->SetValueFrom(from);
    }
    if (SameText(kind.Main, "KORTTIPA")) {
      TDbField& stamp = exchange.FieldByName("AikaLeima");
      if (!placeStamp.empty()) {
        stamp.SetAsString(placeStamp);
      } else if (!main.FieldByName("Muutettu").IsNull()) {
        stamp.SetValue(TValue::DateTime(DateOf(main.FieldByName("Muutettu").AsDateTime()) +
                                        TimeOf(main.FieldByName("MuutettuAika").AsDateTime())));
      }
    }
    main.Post();
  } catch (...) {
    exchange.Cancel();
    main.Cancel();
    throw;
  }
  exchange.Post();
}

int RunChange(const TArgs& args) {
  const bool fromStdin = args.Has("stdin");
  if (fromStdin ? args.Count() != 0 : args.Count() < 2)
    throw EUsage(fromStdin ? "change --stdin takes its changes from standard input only"
                           : "change needs a table and at least one FIELD=VALUE");
  if (!fromStdin) KindOf(args.At(0));
  TTrelvoCore core(HomeDir(args));
  ConnectedDatabase(core, false);
  if (!fromStdin) {
    std::vector<std::string> words;
    for (size_t i = 1; i < args.Count(); ++i) words.push_back(args.At(i));
    Change(core, args.At(0), FieldValuePairs(words));
    return 0;
  }
  std::string line;
  int number = 0;
  while (std::getline(std::cin, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Trim(line).empty() || line[0] == '#') continue;
    std::vector<std::string> words = SplitString(line, '\t');
    const std::string table = words.front();
    words.erase(words.begin());
    try {
      Change(core, table, FieldValuePairs(words));
    } catch (const EUsage& e) {
      throw EUsage("line " + IntToStr(number) + ": " + e.what());
    } catch (const std::exception& e) {
      throw std::runtime_error("line " + IntToStr(number) + ": " + e.what());
    }
  }
  return 0;
}

TRELVO_ADMIN_COMMAND("change", "change TABLE FIELD=VALUE... [--home DIR] | change --stdin [--home DIR]", {"stdin"},
                     RunChange,
                     "Records a change as the suite's main program does, for the next send to ship.\n"
                     "TABLE is Asiakas, KORTTI, KORTTIPA or TILASTO. The row replaces the main table's row of\n"
                     "the same key (AsNo; KorttiLyh; KorttiLyh and Paikka), or is added when there is none;\n"
                     "a TILASTO row (a visit) is always added. Fields not given keep their values. The whole\n"
                     "row is then appended to the exchange table beside it (ZNetAsi, ZNetKo, ZNetKoPa,\n"
                     "ZNetTila). A card place's exchange row gets AikaLeima from Muutettu and MuutettuAika,\n"
                     "unless AikaLeima=... is given.\n"
                     "Values as for add: dates dd.mm.yyyy, times hh:nn:ss, \"dd.mm.yyyy hh:nn:ss\".\n"
                     "\n"
                     "  --stdin  one change per line of standard input: TABLE and FIELD=VALUE words separated\n"
                     "           by tabs; empty lines and lines starting with # are skipped. Stops at the\n"
                     "           first line that fails, naming it; the changes before it stay written.",
                     {});

}  // namespace
}  // namespace trelvo::admin
