#include <gtest/gtest.h>

#include "TestSupport.h"
#include "data/Schema.h"
#include "data/Tables.h"
#include "db/DbError.h"
#include "db/DbModule.h"

using namespace trelvo;

namespace {

// The fields the merge copies by name, per kind (exchange table, main table).
struct TPair {
  const char* Exchange;
  const char* Main;
  std::vector<std::string> Copied;
};

const TPair kPairs[] = {
    {"ZNetTila", "TILASTO", {"TapPvm", "TapAika", "TapPaikka", "TapKortti", "TapAsiNro", "TapYriNro", "TapTyyppi", "TapNode",
                             "TapLaskuPvm", "TapLaskuAika", "TapVara", "TapAsiSum", "TapYriSum"}},
    {"ZNetKo", "KORTTI", {"KorttiNro", "KorttiLyh", "AsNo", "YrNo", "AikaLeima", "PinKoodi", "NaytaSaldoLCD"}},
    {"ZNetKoPa", "KORTTIPA", {"KorttiLyh", "Paikka", "Tyyppi", "VoimAlkaen", "VoimAsti", "KayntiLkm", "KaytyLkm", "AikaRyhma",
                              "KayPvm", "KayAika", "MsgNro", "Laskutus", "UusintaAika", "Muutettu", "MuutettuAika", "Sormi",
                              "JaadytysPvm"}},
    {"ZNetAsi", "Asiakas", {"AsNo", "AsRyhma", "AsNimi", "PostiNo", "PostiToimiPaikka", "KatuOsoite1", "KatuOsoite2",
                            "YhteysHenkilo", "PuhNo", "AsLasNo", "Laskutettu", "LaskutettuEdVuosi", "SyntymaAika",
                            "Huomioitavaa1", "Huomioitavaa2", "MatkaPuh", "Email1", "AikaLeima"}},
};

TEST(Schema, ExchangeTablesCarryTheirMainTablesFieldsWithTheSameTypes) {
  for (const TPair& p : kPairs) {
    SCOPED_TRACE(p.Exchange);
    const TDbTableDef* ex = FindTableDef(p.Exchange);
    const TDbTableDef* main = FindTableDef(p.Main);
    ASSERT_TRUE(ex && main);
    EXPECT_EQ(p.Copied.size(), main->Fields.size());
    for (const std::string& name : p.Copied) {
      const TDbFieldDef* a = ex->FindField(name);
      const TDbFieldDef* b = main->FindField(name);
      ASSERT_TRUE(a && b) << name;
      EXPECT_EQ(a->Type, b->Type) << name;
    }
  }
  const TDbTableDef* znetkopa = FindTableDef("znetkopa");
  EXPECT_EQ(18u, znetkopa->Fields.size());
  EXPECT_EQ(TFieldType::ftDateTime, znetkopa->FindField("aikaleima")->Type);
  EXPECT_EQ(nullptr, FindTableDef("KORTTIPA")->FindField("AikaLeima"));
  EXPECT_EQ(TFieldType::ftDate, FindTableDef("TILASTO")->FindField("TapPvm")->Type);
  EXPECT_EQ(TFieldType::ftTime, FindTableDef("TILASTO")->FindField("TapAika")->Type);
}

TEST(Schema, TheTwelveTableObjectsOpenOnFreshTablesInBothDatabases) {
  test::TTempDir dir;
  test::MakeDir(dir / "Data");
  test::MakeDir(dir / "INet");
  CreateMainTables(dir / "Data");
  CreateExchangeTables(dir / "INet");
  EXPECT_EQ(9u, test::ListDir(dir / "Data").size());
  test::WriteFile(dir / "DbServer.ini", "[Servers]\nS=\n[S.Aliases]\nSORVEL=Data\nINet=INet\n");
  TDbModule module(dir / "DbServer.ini");
  module.ConnectDatabase(3, "SORVEL");
  TDbDatabase inet(module.DbSession, "INet");
  TTables tables(module.MainDatabase, inet);
  for (TDbTable* t : tables.All()) {
    SCOPED_TRACE(t->TableName());
    t->Open();
    EXPECT_EQ(0, t->RecordCount());
  }
  // The two exchange tables of a kind are one definition, field for field.
  const std::pair<TDbTable*, TDbTable*> same[] = {{&tables.TblZNetAsi, &tables.TblZNetAsiTmp},
                                                  {&tables.TblZNetKo, &tables.TblZNetKoTmp},
                                                  {&tables.TblZNetKoPa, &tables.TblZNetKoPaTmp},
                                                  {&tables.TblZNetTi, &tables.TblZNetTiTmp}};
  for (auto [a, b] : same) {
    ASSERT_EQ(a->FieldCount(), b->FieldCount());
    for (int i = 0; i < a->FieldCount(); ++i) {
      EXPECT_EQ(a->Fields(i).FieldName(), b->Fields(i).FieldName());
      EXPECT_EQ(a->Fields(i).DataType(), b->Fields(i).DataType());
    }
  }
  tables.CloseAll();
  for (TDbTable* t : tables.All()) EXPECT_FALSE(t->Active());
  // Replacing an existing file needs overwrite.
  EXPECT_THROW(CreateExchangeTables(dir / "INet"), EDatabaseError);
  CreateExchangeTables(dir / "INet", true);
}

TEST(Schema, UniqueKeysRejectASecondRowWithTheSameKey) {
  test::TTempDir dir;
  CreateMainTables(dir.Path());
  test::WriteFile(dir / "DbServer.ini", "[Servers]\nS=\n[S.Aliases]\nSORVEL=.\n");
  TDbModule module(dir / "DbServer.ini");
  module.ConnectDatabase(3, "SORVEL");
  TDbDatabase inet(module.DbSession, "INet");
  TTables tables(module.MainDatabase, inet);
  struct TKeyCase {
    TDbTable* Table;
    std::vector<std::string> Fields;
    bool Unique;
  };
  const TKeyCase cases[] = {{&tables.TblAsiakas, {"AsNo"}, true},
                            {&tables.TblKortti, {"KorttiLyh"}, true},
                            {&tables.TblKorttiPa, {"KorttiLyh", "Paikka"}, true},
                            {&tables.TblZNetKo, {"KorttiLyh"}, false}};
  for (const TKeyCase& c : cases) {
    SCOPED_TRACE(c.Table->TableName());
    c.Table->Open();
    TTableCloser closer(*c.Table);
    for (int i = 0; i < 2; ++i) {
      c.Table->Append();
      for (const std::string& f : c.Fields) c.Table->FieldByName(f).SetValue(TValue::Text("K1"));
      if (i == 1 && c.Unique) {
        EXPECT_THROW(c.Table->Post(), EDatabaseError);
        c.Table->Cancel();
      } else {
        c.Table->Post();
      }
    }
    EXPECT_EQ(c.Unique ? 1 : 2, c.Table->RecordCount());
  }
}

}  // namespace
