// UpdData many rows at a time against UpdData row by row: random main and
// exchange tables, merged both ways from the same files, must give the same
// files (every value with its storage type, every rowid), the same run-log
// lines and the same meter. The values are drawn to hit what a set-based
// merge could get wrong: equal and unequal stamps, stamps that are null,
// texts or dates only, empty and null keys, keys repeated within the
// package, values the row copy converts or refuses, statistics rows TILASTO
// already holds (or nearly), and a table that refuses some rows.
//
// TRELVO_MERGE_SEED=N runs one seed; a failure names its seed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "MergeFixture.h"
#include "data/Merge.h"

using namespace trelvo;
using namespace trelvo::test;

namespace {

// Every row of a table file, rowid first, each value with its type; reals
// to the bit.
Lines Dump(const std::string& file, const std::string& table) {
  sqlite3* db = nullptr;
  Lines out;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"cannot open " + file};
  }
  sqlite3_stmt* st = nullptr;
  const std::string sql = "SELECT rowid, * FROM \"" + table + "\" ORDER BY rowid";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    out.push_back(sqlite3_errmsg(db));
  } else {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::ostringstream line;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        switch (sqlite3_column_type(st, i)) {
          case SQLITE_NULL: line << "null"; break;
          case SQLITE_INTEGER: line << "i" << sqlite3_column_int64(st, i); break;
          case SQLITE_FLOAT: {
            const double d = sqlite3_column_double(st, i);
            std::uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            line << "r" << d << "#" << std::hex << bits << std::dec;
            break;
          }
          case SQLITE_TEXT: line << "t'" << reinterpret_cast<const char*>(sqlite3_column_text(st, i)) << "'"; break;
          default: line << "b" << sqlite3_column_bytes(st, i); break;
        }
        line << "|";
      }
      out.push_back(line.str());
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

const char* const kMainTables[] = {"KORTTI", "KORTTIPA", "Asiakas", "TILASTO"};
const char* const kExchangeTables[] = {"ZNetKo", "ZNetKoPa", "ZNetAsi", "ZNetTila"};

class TRandomTables {
 public:
  explicit TRandomTables(unsigned seed) : Rng_(seed) {}

  // SQL that fills the main and exchange tables of one database directory.
  std::string Fill() {
    std::string sql;
    for (const char* t : kMainTables) sql += Rows(t, Pick(4, 14), true);
    for (const char* t : kExchangeTables) sql += Rows(t, Pick(0, 40), false);
    // Statistics the head office holds already, sent again.
    if (Chance(2)) sql += "INSERT INTO \"ZNetTila\" SELECT * FROM \"TILASTO\" WHERE rowid % 3 = 0;";
    // And ones that differ from a held one in a single field, each field.
    if (Chance(2)) {
      const TDbTableDef& def = *FindTableDef("TILASTO");
      for (int changed = 0; changed < static_cast<int>(def.Fields.size()); ++changed) {
        std::string cols;
        for (int i = 0; i < static_cast<int>(def.Fields.size()); ++i)
          cols += (i ? ", " : "") + (i == changed ? Value(def.Fields[i], Chance(3)) : "\"" + def.Fields[i].Name + "\"");
        sql += "INSERT INTO \"ZNetTila\" SELECT " + cols + " FROM \"TILASTO\" WHERE rowid % 4 = " +
               std::to_string(changed % 4) + ";";
      }
    }
    // And visits twice in one package.
    if (Chance(2)) sql += "INSERT INTO \"ZNetTila\" SELECT * FROM \"ZNetTila\" WHERE rowid % 4 = 1;";
    return sql;
  }
  bool Chance(int oneIn) { return Pick(1, oneIn) == 1; }
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Rng_); }

 private:
  std::string Rows(const std::string& table, int n, bool main) {
    const TDbTableDef& def = *FindTableDef(table);
    std::string cols;
    for (const TDbFieldDef& f : def.Fields) cols += (cols.empty() ? "\"" : ", \"") + f.Name + "\"";
    std::string sql;
    for (int r = 0; r < n; ++r) {
      // Most rows are as the suite writes them; some have one odd value.
      const int odd = Chance(3) ? Pick(0, static_cast<int>(def.Fields.size()) - 1) : -1;
      std::string values;
      for (size_t i = 0; i < def.Fields.size(); ++i)
        values += (values.empty() ? "" : ", ") + Value(def.Fields[i], static_cast<int>(i) == odd);
      // A main table's key is unique: a drawn key it holds is passed over.
      sql += std::string("INSERT ") + (main ? "OR IGNORE " : "") + "INTO \"" + table + "\" (" + cols + ") VALUES (" +
             values + ");";
    }
    return sql;
  }

  struct TPool {
    std::vector<std::string> Usual, Odd;
  };

  std::string Value(const TDbFieldDef& f, bool odd) {
    // Times of day in whole milliseconds, as the suite stores them, around
    // the second and two seconds apart.
    auto ms = [](long long v) { return "(" + std::to_string(v) + ".0 / 86400000)"; };
    static const TPool keys{{"'K1'", "'K2'", "'K3'", "'K4'", "'K5'", "'K6'", "'k1'", "'K1 '"}, {"''", "NULL", "x'4b31'"}};
    static const TPool places{{"'P1'", "'P2'", "'P3'"}, {"''", "NULL"}};
    static const TPool stamps{{"NULL", "0", "45000", "45000.5", "45000.5", "45001.25", "45001", "45002", "-1.5",
                               "45000.500000001"},
                              {"'01.02.2023 10:00:00'", "'huono'", "9007199254740993", "x'01'"}};
    static const TPool days{{"45000", "45000", "45001", "0", "NULL"}, {"45000.5", "'x'"}};
    static const TPool times{{"0.5", ms(43200400), ms(43200999), ms(43201000), ms(43202000), ms(43203000), ms(43199999),
                              "0.25", "NULL"},
                             {"0.50003", "1.5", "'10:00:00'"}};
    static const TPool texts{{"'a'", "'b'", "'a'", "''", "NULL", "12"}, {"x'00ff'"}};
    static const TPool integers{{"1", "2", "2", "NULL", "1.0", "'3'"}, {"2.5", "'x'", "9.3e18"}};
    static const TPool reals{{"1.5", "2.5", "-0.0", "0.0", "NULL", "3", "1e308"}, {"'y'", "x'02'"}};
    static const TPool booleans{{"0", "1", "1", "NULL"}, {"2", "'True'"}};
    const TPool* pool = &texts;
    const std::string& n = f.Name;
    if (n == "KorttiLyh" || n == "AsNo")
      pool = &keys;
    else if (n == "Paikka")
      pool = &places;
    else if (n == "AikaLeima")
      pool = &stamps;
    else
      switch (f.Type) {
        case TFieldType::ftString: pool = &texts; break;
        case TFieldType::ftInteger: pool = &integers; break;
        case TFieldType::ftFloat: pool = &reals; break;
        case TFieldType::ftBoolean: pool = &booleans; break;
        case TFieldType::ftDate: pool = &days; break;
        case TFieldType::ftTime: pool = &times; break;
        case TFieldType::ftDateTime: pool = &stamps; break;
      }
    const std::vector<std::string>& from = odd ? pool->Odd : pool->Usual;
    return from[static_cast<size_t>(Pick(0, static_cast<int>(from.size()) - 1))];
  }

  std::mt19937 Rng_;
};

// What one merge left: the table files, the lines, the meter, the error.
struct TOutcome {
  std::vector<Lines> Tables;
  Lines Log;
  std::vector<int> Meters;
  std::string Error;
};

// A second installation with a copy of the first's files.
struct TCopy {
  explicit TCopy(const std::string& from) {
    EXPECT_EQ(0, RunCommand("cp -R '" + from + "/Data' '" + from + "/INet' '" + from + "/DbServer.ini' '" + Dir.Path() + "'"));
  }
  TTempDir Dir;
  TDbModule Module{Dir / "DbServer.ini"};
  TDbDatabase INet{Module.DbSession, "INet"};
  TTables Tables{Module.MainDatabase, INet};
};

TOutcome Merge(TCopy& where, bool setBased, int commitRows, bool master) {
  where.Module.ServerName = "VELMORA";
  where.Module.ServerAddress = "127.0.0.1";
  where.Module.ConnectDatabase(1, "SORVEL");
  TRecordingReport report;
  TMergeOptions options;
  options.SetBased = setBased;
  options.SetBasedKeyed = setBased;
  options.CommitRows = commitRows;
  options.YieldMs = 0;
  TOutcome out;
  try {
    trelvo::UpdData(where.Tables, master, "", report, options);
  } catch (const std::exception& e) {
    out.Error = e.what();
  }
  where.Tables.CloseAll();
  for (const char* t : kMainTables) out.Tables.push_back(Dump(where.Dir / "Data/" + t + ".Nx1", t));
  out.Log = report.Lines;
  out.Meters = report.Meters;
  return out;
}

using UpdDataSetBased = MergeFixture;

TEST_F(UpdDataSetBased, StoresAndLogsWhatTheRowByRowMergeDoes) {
  std::vector<unsigned> seeds;
  if (const char* one = std::getenv("TRELVO_MERGE_SEED"))
    seeds.push_back(static_cast<unsigned>(std::strtoul(one, nullptr, 10)));
  else
    for (unsigned s = 1; s <= 40; ++s) seeds.push_back(s);
  int keptOut = 0, held = 0, refused = 0, pin = 0;
  for (unsigned seed : seeds) {
    SCOPED_TRACE("TRELVO_MERGE_SEED=" + std::to_string(seed));
    TRandomTables random(seed);
    TCopy source(Dir.Path());
    const std::string sql = random.Fill();
    // Every table file is its own database: attach them all to fill them.
    std::string attach;
    for (const char* t : kMainTables) attach += "ATTACH '" + source.Dir / "Data/" + t + ".Nx1' AS \"m" + t + "\";";
    for (const char* t : kExchangeTables) attach += "ATTACH '" + source.Dir / "Data/" + t + ".Nx1' AS \"x" + t + "\";";
    RawExec(":memory:", attach + sql);
    if (random.Chance(4)) {
      // A card table that refuses some PIN codes: those rows fail one by
      // one, and rows written together with them must not.
      RawExec(source.Dir / "Data/KORTTI.Nx1",
              "CREATE TRIGGER pin BEFORE INSERT ON KORTTI WHEN length(NEW.PinKoodi) > 0 AND NEW.PinKoodi = 'b' "
              "BEGIN SELECT RAISE(ABORT, 'PIN refused'); END; "
              "CREATE TRIGGER pin2 BEFORE UPDATE ON KORTTI WHEN NEW.PinKoodi = 'b' "
              "BEGIN SELECT RAISE(ABORT, 'PIN refused'); END;");
    }
    // Small batches: windows end inside the package, and every batch is a synced commit.
    const int commitRows = random.Chance(4) ? random.Pick(2, 6) : 100000;
    const bool master = !random.Chance(5);
    TCopy rows(source.Dir.Path()), many(source.Dir.Path());
    const TOutcome expected = Merge(rows, false, commitRows, master);
    const TOutcome actual = Merge(many, true, commitRows, master);
    for (size_t t = 0; t < expected.Tables.size(); ++t) EXPECT_EQ(expected.Tables[t], actual.Tables[t]) << kMainTables[t];
    EXPECT_EQ(expected.Log, actual.Log);
    EXPECT_EQ(expected.Meters, actual.Meters);
    EXPECT_EQ(expected.Error, actual.Error);
    for (const std::string& line : expected.Log) {
      keptOut += line.find("päivitetty myöhemmin!") != std::string::npos;
      held += line.find("oli jo kannassa") != std::string::npos;
      refused += line.rfind("Virhe", 0) == 0;
      pin += line.find("PIN refused") != std::string::npos;
    }
    if (HasFailure()) break;
  }
  // The draw must reach the cases it is for.
  if (seeds.size() > 1) {
    EXPECT_GT(keptOut, 20);
    EXPECT_GT(held, 5);
    EXPECT_GT(refused, 20);
    EXPECT_GT(pin, 5);
  }
}

}  // namespace
