#include <gtest/gtest.h>

#include "DbFixture.h"
#include "common/DateTime.h"
#include "db/DbError.h"

namespace trelvo::test {
namespace {

class DbTableTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateTableFile(F.DataDir(), AllTypesDef()); }
  TDbTable& Table() { return T; }
  void AddRow(const std::string& nimi, const std::string& paikka, TDateTime stamp) {
    T.Append();
    T.FieldByName("Nimi").SetValue(TValue::Text(nimi));
    T.FieldByName("Paikka").SetValue(TValue::Text(paikka));
    if (stamp != 0) T.FieldByName("AikaLeima").SetValue(TValue::DateTime(stamp));
    T.Post();
  }
  std::string Order() {
    std::string s;
    for (T.First(); !T.Eof(); T.Next()) s += T.FieldByName("Nimi").AsString() + T.FieldByName("Paikka").AsString() + " ";
    return s;
  }

  TDbFixture F;
  TDbTable T{F.Module->MainDatabase, "Kaikki", "Nimi;Paikka"};
};

TEST_F(DbTableTest, OpensEmptyCountsAndAppends) {
  T.Open();
  EXPECT_EQ(0, T.RecordCount());
  EXPECT_TRUE(T.Eof());
  AddRow("b", "2", 0);
  AddRow("a", "1", 0);
  EXPECT_EQ(2, T.RecordCount());
  EXPECT_EQ("a1 b2 ", Order());
}

}  // namespace
}  // namespace trelvo::test
