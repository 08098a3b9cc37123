#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "DbFixture.h"
#include "RawSql.h"
#include "common/DateTime.h"
#include "db/DbError.h"

namespace trelvo::test {
namespace {

class DbTableTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateTableFile(F.DataDir(), AllTypesDef()); }
  void AddRow(TDbTable& t, const std::string& nimi, const std::string& paikka, const TValue& stamp, int seq = 0) {
    t.Append();
    t.FieldByName("Nimi").SetValue(TValue::Text(nimi));
    t.FieldByName("Paikka").SetValue(TValue::Text(paikka));
    t.FieldByName("AikaLeima").SetValue(stamp);
    t.FieldByName("Lkm").SetValue(TValue::Integer(seq));
    t.Post();
  }
  std::string Order(TDbTable& t) {
    std::string s;
    for (t.First(); !t.Eof(); t.Next()) s += t.FieldByName("Nimi").AsString() + t.FieldByName("Paikka").AsString() + " ";
    return s;
  }

  TDbFixture F;
  TDbTable T{F.Module->MainDatabase, "Kaikki", "Nimi;Paikka"};
};

TEST_F(DbTableTest, VisitsRowsInIndexOrderAcrossReadAheadBatches) {
  // Ties and nulls span several read-ahead batches: nulls first, then by
  // stamp, ties in insertion order.
  TDbTable byStamp(F.Module->MainDatabase, "Kaikki", "aikaleima");
  byStamp.Open();
  F.Module->MainDatabase.StartTransaction();
  std::vector<std::pair<int, int>> expected;  // (stamp class, seq)
  for (int seq = 0; seq < 1500; ++seq) {
    int cls = seq % 3;  // 0 null, 1 stamp 5, 2 stamp 1
    AddRow(byStamp, "n" + std::to_string(seq), "", cls == 0 ? TValue() : TValue::DateTime(cls == 1 ? 5 : 1), seq);
    expected.push_back({cls == 0 ? 0 : cls == 2 ? 1 : 2, seq});
  }
  F.Module->MainDatabase.Commit();
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(1500, byStamp.RecordCount());
  size_t i = 0;
  for (byStamp.First(); !byStamp.Eof(); byStamp.Next(), ++i) {
    ASSERT_LT(i, expected.size());
    ASSERT_EQ(expected[i].second, byStamp.FieldByName("Lkm").AsInteger()) << "row " << i;
  }
  EXPECT_EQ(expected.size(), i);
  byStamp.Next();
  EXPECT_TRUE(byStamp.Eof());

  // Without index fields the rows come in the order they were written.
  TDbTable written(F.Module->MainDatabase, "Kaikki", "");
  written.Open();
  int seq = 0;
  for (written.First(); !written.Eof(); written.Next(), ++seq) ASSERT_EQ(seq, written.FieldByName("Lkm").AsInteger());
  EXPECT_EQ(1500, seq);
}

TEST_F(DbTableTest, FindsByOneAndTwoKeyValuesAndGoesOnInOrder) {
  T.Open();
  EXPECT_TRUE(T.Eof());
  EXPECT_FALSE(T.HasCurrentRow());
  AddRow(T, "b", "1", TValue(), 1);
  AddRow(T, "a", "2", TValue(), 2);
  AddRow(T, "a", "1", TValue(), 3);
  EXPECT_EQ("a1 a2 b1 ", Order(T));

  ASSERT_TRUE(T.FindKey({"a", "2"}));
  EXPECT_EQ(2, T.FieldByName("Lkm").AsInteger());
  ASSERT_TRUE(T.FindKey({"a"}));  // a partial key finds the first row of it
  EXPECT_EQ(3, T.FieldByName("Lkm").AsInteger());
  T.Next();
  EXPECT_EQ(2, T.FieldByName("Lkm").AsInteger());
  EXPECT_FALSE(T.FindKey({"c"}));
  EXPECT_EQ(2, T.FieldByName("Lkm").AsInteger()) << "a failed find does not move";
  EXPECT_FALSE(T.FindKey({"A", "1"})) << "key values match exactly";
  T.Next();
  EXPECT_EQ("b", T.FieldByName("Nimi").AsString());
  T.Next();
  EXPECT_TRUE(T.Eof());

  EXPECT_EQ(dbeBadKey, ErrorOf([&] { T.FindKey({}); }));
  EXPECT_EQ(dbeBadKey, ErrorOf([&] { T.FindKey({"a", "1", "x"}); }));

  // A null text key reads as "" and is found by "", so a keyless row is met again.
  T.Append();
  T.FieldByName("Paikka").SetValue(TValue::Text("9"));
  T.FieldByName("Lkm").SetValue(TValue::Integer(9));
  T.Post();
  ASSERT_TRUE(T.FindKey({"", "9"}));
  EXPECT_EQ(9, T.FieldByName("Lkm").AsInteger());
  EXPECT_TRUE(T.FieldByName("Nimi").IsNull());
  ASSERT_TRUE(T.FindKey({"a", "1"}));
  EXPECT_FALSE(T.FindKey({"", "1"}));
}

TEST_F(DbTableTest, FindsADateTimeKeyGivenAsText) {
  TDbTable byStamp(F.Module->MainDatabase, "Kaikki", "AikaLeima");
  byStamp.Open();
  TDateTime stamp = EncodeDate(2004, 2, 1) + EncodeTime(10, 15, 0);
  AddRow(byStamp, "x", "", TValue::DateTime(stamp), 7);
  AddRow(byStamp, "y", "", TValue::DateTime(stamp + 1), 8);
  ASSERT_TRUE(byStamp.FindKey({"01.02.2004 10:15:00"}));
  EXPECT_EQ(7, byStamp.FieldByName("Lkm").AsInteger());
  EXPECT_FALSE(byStamp.FindKey({"01.02.2004 10:15:01"}));
  EXPECT_FALSE(byStamp.FindKey({""})) << "an empty key is null and matches nothing";
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { byStamp.FindKey({"huomenna"}); }));
}

struct TRoundTrip {
  const char* Field;
  TValue In;
  TValue Out;
  const char* Text;
};

TEST_F(DbTableTest, EveryFieldTypeRoundTripsThroughTheFile) {
  const TDateTime day = EncodeDate(2004, 2, 1), time = EncodeTime(10, 15, 30);
  const TRoundTrip cases[] = {
      {"Nimi", TValue::Text("Äijä \"x\"\t"), TValue::Text("Äijä \"x\"\t"), "Äijä \"x\"\t"},
      {"Lkm", TValue::Integer(-(1LL << 40)), TValue::Integer(-(1LL << 40)), "-1099511627776"},
      {"Lkm", TValue::Real(12.0), TValue::Integer(12), "12"},
      {"Summa", TValue::Real(1234.5), TValue::Real(1234.5), "1234.5"},
      {"Summa", TValue::Integer(3), TValue::Real(3), "3"},
      {"Lippu", TValue::Boolean(true), TValue::Boolean(true), "True"},
      {"Lippu", TValue::Boolean(false), TValue::Boolean(false), "False"},
      {"Pvm", TValue::DateTime(day + time), TValue::DateTime(day), "01.02.2004"},
      {"Aika", TValue::DateTime(day + time), TValue::DateTime(time), "10:15:30"},
      {"AikaLeima", TValue::DateTime(day + time), TValue::DateTime(day + time), "01.02.2004 10:15:30"},
      {"AikaLeima", TValue(), TValue(), ""},
      {"Lkm", TValue(), TValue(), ""},
  };
  for (const TRoundTrip& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " " + c.In.Describe());
    T.Open();
    T.Append();
    T.FieldByName("Nimi").SetValue(TValue::Text("k"));
    T.FieldByName("Paikka").SetValue(TValue::Text(std::to_string(T.RecordCount())));
    T.FieldByName(c.Field).SetValue(c.In);
    T.Post();
    std::string nimi = T.FieldByName("Nimi").AsString(), paikka = T.FieldByName("Paikka").AsString();
    T.Close();
    T.Open();
    ASSERT_TRUE(T.FindKey({nimi, paikka}));
    TDbField& f = T.FieldByName(c.Field);
    EXPECT_EQ(c.Out, f.Value()) << f.Value().Describe();
    EXPECT_EQ(std::string(c.Text), f.AsString());
    EXPECT_EQ(c.Out.IsNull(), f.IsNull());
    T.Close();
  }
}

TEST_F(DbTableTest, WrongTypesAndWritesOutsideEditingAreErrors) {
  T.Open();
  EXPECT_EQ(dbeNotEditing, ErrorOf([&] { T.FieldByName("Nimi").SetValue(TValue::Text("x")); }));
  EXPECT_EQ(dbeNotEditing, ErrorOf([&] { T.Post(); }));
  EXPECT_EQ(dbeNoCurrentRow, ErrorOf([&] { T.Edit(); }));
  T.Append();
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Lkm").SetValue(TValue::Text("5")); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Lkm").SetValue(TValue::Real(2.5)); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Nimi").SetValue(TValue::Integer(5)); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Lippu").SetValue(TValue::Integer(1)); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Pvm").SetValue(TValue::Text("01.02.2004")); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Pvm").SetAsString("ei päivä"); }));
  T.FieldByName("Pvm").SetAsString("01.02.2004");
  T.FieldByName("Aika").SetAsString("10:15");
  T.FieldByName("Summa").SetAsString("2.25");
  T.FieldByName("Lkm").SetAsString("");
  EXPECT_EQ(EncodeDate(2004, 2, 1), T.FieldByName("Pvm").AsDateTime());
  EXPECT_EQ(EncodeTime(10, 15, 0), T.FieldByName("Aika").AsDateTime());
  EXPECT_EQ(2.25, T.FieldByName("Summa").AsFloat());
  EXPECT_TRUE(T.FieldByName("Lkm").IsNull());
  EXPECT_EQ(0, T.FieldByName("Lkm").AsInteger());
  EXPECT_EQ(0, T.FieldByName("AikaLeima").AsDateTime()) << "null reads as 0";
}

TEST_F(DbTableTest, TextStoredInADateFieldIsAnErrorWhenReadAsADate) {
  // Another program may have written anything into the file.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((F.DataDir() + "Kaikki.Nx1").c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "INSERT INTO Kaikki (Nimi, Pvm, Lkm) VALUES ('x', 'eilen', 'paljon')", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  T.Open();
  TDbField& pvm = T.FieldByName("Pvm");
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { pvm.Value(); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { pvm.AsDateTime(); }));
  EXPECT_EQ(dbeTypeMismatch, ErrorOf([&] { T.FieldByName("Lkm").AsInteger(); }));
  EXPECT_EQ("eilen", pvm.AsString()) << "a listing shows what is there";
}

TEST_F(DbTableTest, FieldsByNameInAnyCaseAndByPosition) {
  T.Open();
  ASSERT_EQ(8, T.FieldCount());
  EXPECT_EQ(&T.FieldByName("AIKALEIMA"), T.FindField("aikaleima"));
  EXPECT_EQ("AikaLeima", T.FindField("Aikaleima")->DisplayName());
  EXPECT_EQ(6, T.FindField("Aikaleima")->Index());
  EXPECT_EQ("Nimi", T.Fields(0).FieldName());
  EXPECT_EQ(TFieldType::ftTime, T.Fields(5).DataType());
  EXPECT_EQ(nullptr, T.FindField("Puuttuu"));
  EXPECT_EQ(dbeFieldNotFound, ErrorOf([&] { T.FieldByName("Puuttuu"); }));
  EXPECT_EQ(dbeFieldNotFound, ErrorOf([&] { T.Fields(8); }));
}

TEST_F(DbTableTest, PostFailureKeepsTheRowPendingUntilCancelled) {
  T.Open();
  AddRow(T, "a", "1", TValue(), 1);
  T.Append();
  T.FieldByName("Nimi").SetValue(TValue::Text("a"));
  T.FieldByName("Paikka").SetValue(TValue::Text("1"));
  EXPECT_EQ(dbeKeyViolation, ErrorOf([&] { T.Post(); }));
  EXPECT_EQ(TDataSetState::dsInsert, T.State());
  // Like any move, a lookup posts the pending row first and so fails again.
  EXPECT_EQ(dbeKeyViolation, ErrorOf([&] { T.FindKey({"a"}); }));
  T.Cancel();
  EXPECT_EQ(TDataSetState::dsBrowse, T.State());
  EXPECT_EQ(1, T.RecordCount());

  ASSERT_TRUE(T.FindKey({"a", "1"}));
  T.Edit();
  T.FieldByName("Lkm").SetValue(TValue::Integer(42));
  T.Post();
  T.Close();
  T.Open();
  EXPECT_EQ(42, T.FieldByName("Lkm").AsInteger());
}

// An edit writes only the fields it changed; whichever they are, the row
// must read back whole, and a changed key must move it in index order.
TEST_F(DbTableTest, EditsOfDifferentFieldsReadBackWhole) {
  T.Open();
  AddRow(T, "a", "1", TValue::DateTime(100.5), 1);
  AddRow(T, "b", "1", TValue(), 2);
  ASSERT_TRUE(T.FindKey({"a", "1"}));
  T.Edit();
  T.FieldByName("Nimi").SetValue(TValue::Text("c"));
  T.FieldByName("Lkm").SetValue(TValue::Integer(7));
  T.Post();
  ASSERT_TRUE(T.FindKey({"b", "1"}));
  T.Edit();
  T.FieldByName("AikaLeima").SetValue(TValue::DateTime(5));
  T.Post();
  ASSERT_TRUE(T.FindKey({"b", "1"}));
  T.Edit();
  T.FieldByName("AikaLeima").SetValue(TValue::DateTime(5));  // no change at all
  T.Post();
  T.Close();
  T.Open();
  EXPECT_EQ("b1 c1 ", Order(T));
  ASSERT_TRUE(T.FindKey({"b", "1"}));
  EXPECT_EQ(5, T.FieldByName("AikaLeima").AsDateTime());
  EXPECT_EQ(2, T.FieldByName("Lkm").AsInteger());
  ASSERT_TRUE(T.FindKey({"c", "1"}));
  EXPECT_EQ(100.5, T.FieldByName("AikaLeima").AsDateTime());
  EXPECT_EQ(7, T.FieldByName("Lkm").AsInteger());
  EXPECT_FALSE(T.FindKey({"a", "1"}));
}

TEST_F(DbTableTest, ACopiedClosedTableFileOpensElsewhereInAnyLetterCase) {
  T.Open();
  AddRow(T, "a", "1", TValue::DateTime(100.5), 1);
  T.Close();
  std::filesystem::copy_file(F.DataDir() + "Kaikki.Nx1", F.Dir / "Other/KAIKKI.nx1");
  EXPECT_FALSE(FileExists(F.DataDir() + "Kaikki.Nx1-journal"));
  EXPECT_FALSE(FileExists(F.DataDir() + "Kaikki.Nx1-wal"));
  TDbDatabase other(F.Module->DbSession, "Other");
  TDbTable copy(other, "kaikki", "Nimi;Paikka");
  copy.Open();
  EXPECT_EQ(F.Dir / "Other/KAIKKI.nx1", copy.FileName());
  EXPECT_EQ(1, copy.RecordCount());
  EXPECT_EQ(100.5, copy.FieldByName("AikaLeima").AsDateTime());

  // Emptying by copying an empty file over a closed table, as the transfers
  // do, while the database stays connected: the next open sees the new file.
  T.Open();
  AddRow(T, "b", "2", TValue(), 2);
  T.Close();
  MakeDir(F.Dir / "Empty");
  CreateTableFile(F.Dir / "Empty", AllTypesDef());
  std::filesystem::copy_file(F.Dir / "Empty/Kaikki.Nx1", F.DataDir() + "Kaikki.Nx1",
                             std::filesystem::copy_options::overwrite_existing);
  ASSERT_TRUE(F.Module->MainDatabase.Connected());
  T.Open();
  EXPECT_EQ(0, T.RecordCount());
}

TEST_F(DbTableTest, BadTableFilesGiveClearErrors) {
  auto openError = [&](TDbTable& t) {
    try {
      t.Open();
    } catch (const EDatabaseError& e) {
      EXPECT_FALSE(t.Active());
      return std::make_pair(e.ErrorCode(), e.Description());
    }
    return std::make_pair(0, std::string());
  };
  WriteFile(F.DataDir() + "Roska.Nx1", "This is not a table file at all, just some text that is long enough.\n");
  TDbTable roska(F.Module->MainDatabase, "Roska", "");
  auto [code, text] = openError(roska);
  EXPECT_EQ(dbeNotATableFile, code);
  EXPECT_NE(text.find("Roska.Nx1 is not a table file"), std::string::npos) << text;

  TDbTable missing(F.Module->MainDatabase, "Puuttuu", "");
  std::tie(code, text) = openError(missing);
  EXPECT_EQ(dbeTableNotFound, code);
  EXPECT_NE(text.find("Puuttuu.Nx1"), std::string::npos) << text;

  std::filesystem::copy_file(F.DataDir() + "Kaikki.Nx1", F.DataDir() + "Vieras.Nx1");
  TDbTable wrongTable(F.Module->MainDatabase, "Vieras", "");
  EXPECT_EQ(dbeTableNotFound, openError(wrongTable).first);

  TDbTable badIndex(F.Module->MainDatabase, "Kaikki", "Nimi;EiOle");
  std::tie(code, text) = openError(badIndex);
  EXPECT_EQ(dbeFieldNotFound, code);
  EXPECT_NE(text.find("EiOle"), std::string::npos);

  TDbDatabase gone(F.Module->DbSession, "Gone");
  TDbTable inGone(gone, "Kaikki", "");
  EXPECT_EQ(dbeAliasDirMissing, openError(inGone).first);

  // The failures left the database usable.
  T.Open();
  EXPECT_EQ(0, T.RecordCount());
}

// Another process holds the file locked until told to let go.
class TLockingProcess {
 public:
  explicit TLockingProcess(const std::string& file) {
    if (::pipe(Ready_) != 0 || ::pipe(Release_) != 0) return;
    Pid_ = ::fork();
    if (Pid_ == 0) {
      sqlite3* db = nullptr;
      char ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK
                    ? '1'
                    : '0';
      if (::write(Ready_[1], &ok, 1) != 1) ::_exit(1);
      char c;
      while (::read(Release_[0], &c, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);  // the lock goes with the process
    }
    char ok = 0;
    Locked_ = Pid_ > 0 && ::read(Ready_[0], &ok, 1) == 1 && ok == '1';
  }
  ~TLockingProcess() { Release(); }
  bool Locked() const { return Locked_; }
  void Release() {
    if (Pid_ <= 0) return;
    char c = 'x';
    if (::write(Release_[1], &c, 1) != 1) ::kill(Pid_, SIGTERM);
    ::waitpid(Pid_, nullptr, 0);
    Pid_ = -1;
    for (int fd : {Ready_[0], Ready_[1], Release_[0], Release_[1]}) ::close(fd);
  }

 private:
  int Ready_[2] = {-1, -1}, Release_[2] = {-1, -1};
  pid_t Pid_ = -1;
  bool Locked_ = false;
};

TEST_F(DbTableTest, ATableLockedByAnotherProcessFailsAfterABoundedWait) {
  T.Open();
  F.Module->MainDatabase.SetLockTimeoutMs(300);
  TLockingProcess other(F.DataDir() + "Kaikki.Nx1");
  ASSERT_TRUE(other.Locked());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dbeTableLocked, ErrorOf([&] { T.RecordCount(); }));
  T.Append();
  T.FieldByName("Nimi").SetValue(TValue::Text("a"));
  EXPECT_EQ(dbeTableLocked, ErrorOf([&] { T.Post(); }));
  TDbTable second(F.Module->MainDatabase, "Kaikki", "");
  EXPECT_EQ(dbeTableLocked, ErrorOf([&] { second.Open(); }));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 3 * 300);
  EXPECT_LT(ms, 5000);
  other.Release();
  T.Post();  // the lock is gone: the pending row goes in
  EXPECT_EQ(1, T.RecordCount());
}

TEST_F(DbTableTest, TransactionsAndSavepointsSpanTheDatabasesTables) {
  CreateTableFile(F.DataDir(), AllTypesDef("Toinen"));
  TDbDatabase& db = F.Module->MainDatabase;
  TDbTable source(db, "Kaikki", "AikaLeima");
  TDbTable target(db, "Toinen", "Nimi;Paikka");
  source.Open();
  target.Open();
  for (int i = 0; i < 650; ++i) AddRow(source, "s", std::to_string(i), TValue::DateTime(i), i);

  // A merge-shaped loop: a transaction per batch, a savepoint per row, one
  // row in three undone. The reading cursor lives through every commit.
  int rows = 0;
  db.StartTransaction();
  for (source.First(); !source.Eof(); source.Next(), ++rows) {
    {
      TDbSavepoint row(db, "row");
      AddRow(target, "t", source.FieldByName("Paikka").AsString(), TValue(), rows);
      if (rows % 3 != 0) row.Release();
    }
    if (rows % 100 == 99) {
      db.Commit();
      db.StartTransaction();
    }
  }
  db.Rollback();  // the last, open batch (rows 600..649) is undone
  EXPECT_EQ(650, rows);
  EXPECT_FALSE(db.InTransaction());
  EXPECT_EQ(400, target.RecordCount());  // two in three of rows 0..599

  EXPECT_EQ(dbeTransaction, ErrorOf([&] { db.Commit(); }));
  {
    TDbTransaction txn(db);
    AddRow(target, "u", "1", TValue(), 1);
    TDbTable late(db, "Toinen", "");
    EXPECT_EQ(dbeTransaction, ErrorOf([&] { late.Open(); }));
    // Closing a table inside a transaction lets go of its file afterwards.
    source.Close();
  }  // no Commit: rolled back
  EXPECT_EQ(400, target.RecordCount());
  source.Open();
  EXPECT_EQ(650, source.RecordCount());
}


// Each column's storage class and value as SQLite quotes it, row by row in insertion order.
std::string Stored(const std::string& file, const std::string& table) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, ("SELECT * FROM " + table + " ORDER BY rowid").c_str(), -1, &st, nullptr));
  std::string out;
  while (sqlite3_step(st) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      const int type = sqlite3_column_type(st, i);
      out += std::to_string(type) + ":";
      if (type == SQLITE_FLOAT) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", sqlite3_column_double(st, i));
        out += buf;
      } else if (type != SQLITE_NULL) {
        out.append(reinterpret_cast<const char*>(sqlite3_column_blob(st, i)), sqlite3_column_bytes(st, i));
      }
      out += "|";
    }
    out += "\n";
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The bulk copy copies only where it stores exactly what copying row by row
// (Append, SetValueFrom per field, Post) stores; a value the row copy would
// convert, round or refuse fails the whole chunk, so that it goes row by row.
TEST_F(DbTableTest, BulkCopyCopiesOnlyWhatItStoresAsTheRowCopyDoes) {
  struct TCase {
    const char* Column;
    std::string Literal;
    bool Bulk;
  };
  char ms[40];
  std::snprintf(ms, sizeof ms, "%.17g", EncodeTime(10, 15, 0, 1));
  const TCase cases[] = {
      {"Lkm", "NULL", true},         {"Nimi", "'abc'", true},        {"Nimi", "x'00ff'", false},
      {"Lkm", "7", true},            {"Lkm", "2.5", false},          {"Lkm", "'7x'", false},
      {"Summa", "2.5", true},        {"Summa", "'x'", false},        {"Lippu", "1", true},
      {"Lippu", "2", false},         {"Pvm", "45000", true},         {"Pvm", "45000.25", false},
      {"Pvm", "9999999", false},     {"Aika", "0.5", true},          {"Aika", "0", true},
      {"Aika", ms, true},            {"Aika", "0.1234567891", false}, {"Aika", "1.5", false},
      {"Aika", "3", false},          {"Aika", "1", false},           {"Aika", "0.99999999999999989", false},
      {"AikaLeima", "45000.5", true}, {"AikaLeima", "45000", true},
      {"AikaLeima", "'01.02.2004'", false},
  };
  TDbDatabase other(F.Module->DbSession, "Other");
  const std::string source = F.Dir / "Other/Kaikki.Nx1";
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Column) + " = " + c.Literal);
    CreateTableFile(F.Dir / "Other/", AllTypesDef(), true);
    CreateTableFile(F.DataDir(), AllTypesDef("Yksi"), true);
    CreateTableFile(F.DataDir(), AllTypesDef("Kaksi"), true);
    RawExec(source, std::string("INSERT INTO Kaikki (Nimi, Paikka) VALUES ('n', 'p'), ('m', 'p'); UPDATE Kaikki SET ") +
                       c.Column + " = " + c.Literal + " WHERE rowid = 1");
    TDbTable from(other, "Kaikki", "Nimi;Paikka");
    TDbTable rowByRow(F.Module->MainDatabase, "Yksi", "");
    TDbTable bulk(F.Module->MainDatabase, "Kaksi", "");
    from.Open();
    rowByRow.Open();
    bulk.Open();
    bool rowsFailed = false;
    for (from.First(); !from.Eof(); from.Next()) {
      try {
        rowByRow.Append();
        for (int i = 0; i < rowByRow.FieldCount(); ++i) rowByRow.Fields(i).SetValueFrom(from.Fields(i));
        rowByRow.Post();
      } catch (const std::exception&) {
        rowByRow.Cancel();
        rowsFailed = true;
      }
    }
    ASSERT_TRUE(bulk.PrepareAppendFrom(from));
    from.First();
    const std::string first = from.FieldByName("Nimi").AsString();
    if (!c.Bulk) {
      EXPECT_EQ(dbeIo, ErrorOf([&] { bulk.AppendRowsFrom(from, 10); }));
      EXPECT_EQ(0, bulk.RecordCount());
      EXPECT_EQ(first, from.FieldByName("Nimi").AsString()) << "the source has not moved";
      continue;
    }
    EXPECT_EQ(2, bulk.AppendRowsFrom(from, 10));
    EXPECT_TRUE(from.Eof());
    EXPECT_FALSE(rowsFailed);
    from.Close();
    rowByRow.Close();
    bulk.Close();
    EXPECT_EQ(Stored(F.DataDir() + "Yksi.Nx1", "Yksi"), Stored(F.DataDir() + "Kaksi.Nx1", "Kaksi"));
  }
}

// Rows go over in the source's index order, a few at a time, across null
// and equal keys, and the source stands after the last row copied.
TEST_F(DbTableTest, BulkCopyFollowsTheSourcesIndexOrderChunkByChunk) {
  TDbTable from(F.Module->MainDatabase, "Kaikki", "AikaLeima");
  from.Open();
  F.Module->MainDatabase.StartTransaction();
  std::vector<std::pair<int, int>> expected;
  for (int seq = 0; seq < 25; ++seq) {
    const int cls = seq % 3;  // null, stamp 5, stamp 1
    AddRow(from, "n" + std::to_string(seq), "", cls == 0 ? TValue() : TValue::DateTime(cls == 1 ? 5 : 1), seq);
    expected.push_back({cls == 0 ? 0 : cls == 2 ? 1 : 2, seq});
  }
  F.Module->MainDatabase.Commit();
  std::sort(expected.begin(), expected.end());
  CreateTableFile(F.DataDir(), AllTypesDef("Kopio"));
  TDbTable to(F.Module->MainDatabase, "Kopio", "");
  to.Open();
  ASSERT_TRUE(to.PrepareAppendFrom(from));
  from.First();
  std::vector<int> chunks;
  while (!from.Eof()) chunks.push_back(to.AppendRowsFrom(from, 4));
  EXPECT_EQ((std::vector<int>{4, 4, 4, 4, 4, 4, 1}), chunks);
  EXPECT_EQ(0, to.AppendRowsFrom(from, 4));
  std::vector<int> copied;
  for (to.First(); !to.Eof(); to.Next()) copied.push_back(static_cast<int>(to.FieldByName("Lkm").AsInteger()));
  std::vector<int> want;
  for (const auto& e : expected) want.push_back(e.second);
  EXPECT_EQ(want, copied);
  // A source in the middle of its rows goes on from its current row.
  CreateTableFile(F.DataDir(), AllTypesDef("Toinen"));
  TDbTable second(F.Module->MainDatabase, "Toinen", "");
  second.Open();
  ASSERT_TRUE(second.PrepareAppendFrom(from));
  from.First();
  from.Next();
  EXPECT_EQ(3, second.AppendRowsFrom(from, 3));
  EXPECT_EQ(expected[4].second, from.FieldByName("Lkm").AsInteger());
  EXPECT_EQ(3, second.RecordCount());
  // A field of another type at the same position: only row by row.
  TDbTableDef otherTypes = AllTypesDef("Eri");
  otherTypes.Fields[2].Type = TFieldType::ftInteger;
  CreateTableFile(F.DataDir(), otherTypes);
  TDbTable different(F.Module->MainDatabase, "Eri", "");
  different.Open();
  EXPECT_FALSE(different.PrepareAppendFrom(from));
  EXPECT_EQ(0, different.AppendRowsFrom(from, 3));
}

}  // namespace
}  // namespace trelvo::test
