#pragma once
// An installation with the main database in Data/ and the INet database in
// INet/, the twelve table objects over them, and a report that records what
// the merge says.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "RawSql.h"
#include "TestSupport.h"
#include "common/DateTime.h"
#include "common/RunReport.h"
#include "data/Schema.h"
#include "data/Tables.h"
#include "db/DbModule.h"

namespace trelvo::test {

using Lines = std::vector<std::string>;
using TRowValues = std::vector<std::pair<std::string, TValue>>;

class TRecordingReport : public TRunReport {
 public:
  void Log(const std::string& line) override { Lines.push_back(line); }
  void SetMeter(int percent) override { Meters.push_back(percent); }
  void ProcessMessages() override {
    ++ProcessCalls;
    if (OnProcessMessages) OnProcessMessages();
  }
  trelvo::test::Lines Lines;
  std::vector<int> Meters;
  int ProcessCalls = 0;
  std::function<void()> OnProcessMessages;
};

inline TValue Txt(const std::string& s) { return TValue::Text(s); }
inline TValue Int(long long i) { return TValue::Integer(i); }
inline TValue Stamp(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return TValue::DateTime(EncodeDate(y, mo, d) + EncodeTime(h, mi, s));
}
inline TValue Null() { return TValue(); }

class MergeFixture : public ::testing::Test {
 public:
  MergeFixture() {
    // Making table files syncs each to disk; copies of one fresh set are
    // just as fresh and much quicker.
    static const TTempDir fresh;
    static const bool made = [] {
      MakeDir(fresh / "Data");
      MakeDir(fresh / "INet");
      CreateMainTables(fresh / "Data");
      CreateExchangeTables(fresh / "INet");
      return true;
    }();
    (void)made;
    EXPECT_EQ(0, RunCommand("cp -R '" + fresh / "Data" + "' '" + fresh / "INet" + "' '" + Dir.Path() + "'"));
    WriteFile(Dir / "DbServer.ini", "[Servers]\nVELMORA=127.0.0.1\n[VELMORA.Aliases]\nSORVEL=Data\nINet=INet\n");
    Module.ServerName = "VELMORA";
    Module.ServerAddress = "127.0.0.1";
    Module.ConnectDatabase(1, "SORVEL");
  }

  TDbDatabase& Main() { return Module.MainDatabase; }

  void Add(TDbDatabase& db, const std::string& table, const std::vector<TRowValues>& rows) {
    TDbTable t(db, table, "");
    t.Open();
    for (const TRowValues& row : rows) {
      t.Append();
      for (const auto& [name, value] : row) t.FieldByName(name).SetValue(value);
      t.Post();
    }
    t.Close();
  }
  void Add(const std::string& table, const std::vector<TRowValues>& rows) { Add(Main(), table, rows); }

  // Each row of the table in the index's order as "a|b|c" of the fields' texts.
  Lines Rows(TDbDatabase& db, const std::string& table, const std::string& index, const std::vector<std::string>& fields) {
    TDbTable t(db, table, index);
    t.Open();
    Lines out;
    for (t.First(); !t.Eof(); t.Next()) {
      std::string line;
      for (size_t i = 0; i < fields.size(); ++i) line += (i ? "|" : "") + t.FieldByName(fields[i]).AsString();
      out.push_back(line);
    }
    t.Close();
    return out;
  }
  Lines Rows(const std::string& table, const std::string& index, const std::vector<std::string>& fields) {
    return Rows(Main(), table, index, fields);
  }
  int Count(TDbDatabase& db, const std::string& table) {
    TDbTable t(db, table, "");
    t.Open();
    int n = t.RecordCount();
    t.Close();
    return n;
  }
  int Count(const std::string& table) { return Count(Main(), table); }

  // A table file replaced by one made from def (an empty table).
  void Recreate(const std::string& dir, const TDbTableDef& def) { CreateTableFile(dir, def, true); }
  static TDbTableDef Def(const std::string& name) { return *FindTableDef(name); }
  static TDbTableDef Without(TDbTableDef def, const std::string& field) {
    std::erase_if(def.Fields, [&](const TDbFieldDef& f) { return f.Name == field; });
    return def;
  }

  bool AllClosed() {
    for (TDbTable* t : Tables.All())
      if (t->Active()) return false;
    return !Main().InTransaction();
  }

  TTempDir Dir;
  std::string Data = Dir / "Data/";
  std::string INetDir = Dir / "INet/";
  TDbModule Module{Dir / "DbServer.ini"};
  TDbDatabase INet{Module.DbSession, "INet"};
  TTables Tables{Module.MainDatabase, INet};
  TRecordingReport Report;
};

}  // namespace trelvo::test
