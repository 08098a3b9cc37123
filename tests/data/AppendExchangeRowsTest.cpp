#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "MergeFixture.h"
#include "data/Merge.h"
#include "db/DbError.h"

using namespace trelvo;
using namespace trelvo::test;

namespace {

using AppendExchangeRows = MergeFixture;

const Lines kEmptyLabels{"Tilasto-tiedot: 0 kpl...", "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...",
                         "Asiakas-tiedot: 0 kpl..."};

// A package's four tables: one statistics row, two cards, a card place, a customer.
void FillPackage(MergeFixture& f) {
  f.Add(f.INet, "ZNetTila",
        {{{"TapPvm", Stamp(2004, 2, 1)}, {"TapAika", TValue::DateTime(EncodeTime(10, 15, 0))}, {"TapKortti", Txt("C1")},
          {"TapAsiSum", TValue::Real(2.5)}}});
  f.Add(f.INet, "ZNetKo",
        {{{"KorttiLyh", Txt("K2")}, {"AsNo", Txt("A2")}, {"AikaLeima", Stamp(2004, 2, 2)}, {"NaytaSaldoLCD", TValue::Boolean(false)}},
         {{"KorttiLyh", Txt("K1")}, {"AsNo", Txt("A1")}, {"AikaLeima", Stamp(2004, 2, 1)}, {"YrNo", Int(3)}}});
  f.Add(f.INet, "ZNetKoPa",
        {{{"KorttiLyh", Txt("K1")}, {"Paikka", Txt("P")}, {"Muutettu", Stamp(2004, 2, 1)},
          {"MuutettuAika", TValue::DateTime(EncodeTime(9, 0, 0))}, {"AikaLeima", Stamp(2004, 2, 1, 9)}}});
  f.Add(f.INet, "ZNetAsi", {{{"AsNo", Txt("100")}, {"AsNimi", Txt("Nimi")}, {"AikaLeima", Stamp(2004, 2, 1)}}});
}

TEST_F(AppendExchangeRows, EmptySourcesGiveFourLabelLinesAndAppendNothing) {
  trelvo::AppendExchangeRows(Tables, Report);
  EXPECT_EQ(kEmptyLabels, Report.Lines);
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), Report.Meters);
  for (const char* t : {"ZNetTila", "ZNetKo", "ZNetKoPa", "ZNetAsi"}) EXPECT_EQ(0, Count(t)) << t;
  EXPECT_TRUE(AllClosed());
}

// Copying one package twice appends its rows twice; the merge then keeps the
// keyed duplicates out by their stamps but appends the statistics twice.
TEST_F(AppendExchangeRows, EveryFieldIsCopiedByPositionAndTwiceMeansTwice) {
  FillPackage(*this);
  Add("ZNetKo", {{{"KorttiLyh", Txt("OWN")}, {"AikaLeima", Stamp(2004, 1, 1)}}});
  trelvo::AppendExchangeRows(Tables, Report);
  EXPECT_EQ((Lines{"Tilasto-tiedot: 1 kpl...", "Kortti-tiedot: 2 kpl...", "Kortin paikka-tiedot: 1 kpl...",
                   "Asiakas-tiedot: 1 kpl..."}),
            Report.Lines);
  EXPECT_EQ((std::vector<int>{0, 100, 0, 50, 100, 0, 100, 0, 100}), Report.Meters);
  EXPECT_EQ(5, Report.ProcessCalls);
  const std::vector<std::string> cardFields{"KorttiNro", "KorttiLyh", "AsNo", "YrNo", "AikaLeima", "PinKoodi", "NaytaSaldoLCD"};
  EXPECT_EQ((Lines{"|OWN|||01.01.2004 00:00:00||", "|K1|A1|3|01.02.2004 00:00:00||", "|K2|A2||02.02.2004 00:00:00||False"}),
            Rows("ZNetKo", "AikaLeima", cardFields));
  // Every field of every kind, nulls included, is what the package held.
  for (const char* table : {"ZNetTila", "ZNetKo", "ZNetKoPa", "ZNetAsi"}) {
    SCOPED_TRACE(table);
    std::vector<std::string> all;
    for (const TDbFieldDef& f : FindTableDef(table)->Fields) all.push_back(f.Name);
    const std::string index = std::string(table) == "ZNetTila" ? "TapPvm;TapAika" : "AikaLeima";
    Lines copied = Rows(table, index, all);
    if (std::string(table) == "ZNetKo") copied.erase(copied.begin());
    EXPECT_EQ(Rows(INet, table, index, all), copied);
  }
  TDbTable t(Main(), "ZNetAsi", "AsNo");
  t.Open();
  EXPECT_TRUE(t.FieldByName("Email1").IsNull());
  EXPECT_TRUE(t.FieldByName("AsRyhma").IsNull());
  t.Close();

  trelvo::AppendExchangeRows(Tables, Report);
  EXPECT_EQ(2, Count("ZNetTila"));
  EXPECT_EQ(5, Count("ZNetKo"));
  EXPECT_EQ(2, Count("ZNetKoPa"));
  EXPECT_EQ(2, Count("ZNetAsi"));

  Report.Lines.clear();
  trelvo::UpdData(Tables, true, "", Report);
  // The package's statistics row, now twice among the exchange rows, is one event.
  EXPECT_EQ((Lines{"Päivitetään tiedot Master-kantaan (UpdData)...", "Tilasto-tiedot: 2 kpl...",
                   "Tilasto-tiedot: 1 kpl oli jo kannassa, ei lisätty uudelleen", "Kortti-tiedot: 5 kpl...",
                   "Kortti: K1 päivitetty myöhemmin!", "Kortti: K2 päivitetty myöhemmin!", "Kortin paikka-tiedot: 2 kpl...",
                   "Kortti: K1-P päivitetty myöhemmin!", "Asiakastiedot-tiedot: 2 kpl...",
                   "Asiakas: 100-Nimi päivitetty myöhemmin!"}),
            Report.Lines);
  EXPECT_EQ(1, Count("TILASTO"));
  EXPECT_EQ(3, Count("KORTTI"));
  EXPECT_TRUE(AllClosed());
}

TEST_F(AppendExchangeRows, ASourceFieldBeyondTheDestinationsIsIgnored) {
  TDbTableDef wider = Def("ZNetKo");
  wider.Fields.push_back({"Ylimaarainen", TFieldType::ftString, 10});
  Recreate(INetDir, wider);
  Add(INet, "ZNetKo", {{{"KorttiLyh", Txt("K1")}, {"AsNo", Txt("A1")}, {"Ylimaarainen", Txt("x")}}});
  trelvo::AppendExchangeRows(Tables, Report);
  EXPECT_EQ((Lines{"|K1|A1|"}), Rows("ZNetKo", "AikaLeima", {"KorttiNro", "KorttiLyh", "AsNo", "YrNo"}));
  EXPECT_EQ(4u, Report.Lines.size()) << "no error line";
}

// Each source with one field fewer: every row fails, is logged under its
// kind's key and leaves no row behind (not even as a half-filled row that the
// next append would post), and the later kinds still run.
TEST_F(AppendExchangeRows, ASourceWithOneFieldFewerFailsEachRowWithItsKindsKey) {
  Recreate(INetDir, Without(Def("ZNetTila"), "TapYriSum"));
  Recreate(INetDir, Without(Def("ZNetKo"), "NaytaSaldoLCD"));
  Recreate(INetDir, Without(Def("ZNetKoPa"), "JaadytysPvm"));
  Recreate(INetDir, Without(Def("ZNetAsi"), "Email1"));
  Add(INet, "ZNetTila",
      {{{"TapPvm", Stamp(2004, 2, 1)}, {"TapAika", TValue::DateTime(EncodeTime(10, 15, 0))}},
       {{"TapPvm", Stamp(2004, 2, 1)}, {"TapAika", TValue::DateTime(EncodeTime(10, 16, 0))}}});
  Add(INet, "ZNetKo", {{{"KorttiLyh", Txt("K1")}, {"AsNo", Txt(" A1\t")}, {"AikaLeima", Stamp(2004, 1, 1)}},
                       {{"KorttiLyh", Txt("K2")}, {"AikaLeima", Stamp(2004, 1, 2)}}});
  Add(INet, "ZNetKoPa", {{{"KorttiLyh", Txt("K1")}, {"Paikka", Txt(" P ")}}});
  Add(INet, "ZNetAsi", {{{"AsNo", Txt(" 100 ")}, {"AsNimi", Txt("Nimi")}}});
  trelvo::AppendExchangeRows(Tables, Report);
  EXPECT_EQ((Lines{"Tilasto-tiedot: 2 kpl...", "Virhe : Table ZNetTila: no field number 12 (01.02.2004 10:15:00)",
                   "Virhe : Table ZNetTila: no field number 12 (01.02.2004 10:16:00)", "Kortti-tiedot: 2 kpl...",
                   "Virhe : Table ZNetKo: no field number 6 (K1-A1)", "Virhe : Table ZNetKo: no field number 6 (K2-)",
                   "Kortin paikka-tiedot: 1 kpl...", "Virhe : Table ZNetKoPa: no field number 17 (K1- P )",
                   "Asiakas-tiedot: 1 kpl...", "Virhe : Table ZNetAsi: no field number 17 ( 100 )"}),
            Report.Lines);
  for (const char* t : {"ZNetTila", "ZNetKo", "ZNetKoPa", "ZNetAsi"}) EXPECT_EQ(0, Count(t)) << t;
  EXPECT_TRUE(AllClosed());
}

TEST_F(AppendExchangeRows, AMissingSourceTableEndsTheCopyAfterTheKindsBeforeIt) {
  FillPackage(*this);
  ASSERT_EQ(0, std::remove((INetDir + "ZNetKoPa.Nx1").c_str()));
  EXPECT_THROW(trelvo::AppendExchangeRows(Tables, Report), EDatabaseError);
  EXPECT_EQ((Lines{"Tilasto-tiedot: 1 kpl...", "Kortti-tiedot: 2 kpl..."}), Report.Lines);
  EXPECT_EQ(2, Count("ZNetKo"));
  EXPECT_EQ(0, Count("ZNetAsi"));
  EXPECT_TRUE(AllClosed());
}


// Rows go over a thousand at a time where they can; a row the destination
// refuses still fails alone, logged under its key, and the rows around it
// are copied in order.
TEST_F(AppendExchangeRows, ARowTheDestinationRefusesFailsAloneAmongRowsCopiedInBulk) {
  TDbTableDef unique = Def("ZNetKo");
  unique.Indexes.push_back({"ZNetKo_KorttiLyh", "KorttiLyh", true});
  Recreate(Data, unique);
  Add("ZNetKo", {{{"KorttiLyh", Txt("K1100")}, {"AikaLeima", Stamp(2004, 1, 1)}}});
  std::vector<TRowValues> rows;
  for (int i = 0; i < 1200; ++i)
    rows.push_back({{"KorttiLyh", Txt("K" + std::to_string(i))}, {"AsNo", Txt("A")},
                    {"AikaLeima", Stamp(2004, 2, 1 + i / 1440, i / 60 % 24, i % 60)}});
  Add(INet, "ZNetKo", rows);
  trelvo::AppendExchangeRows(Tables, Report);
  ASSERT_EQ(5u, Report.Lines.size());
  EXPECT_EQ("Kortti-tiedot: 1200 kpl...", Report.Lines[1]);
  EXPECT_EQ(0u, Report.Lines[2].find("Virhe : Table ZNetKo: post: key violation")) << Report.Lines[2];
  EXPECT_NE(std::string::npos, Report.Lines[2].find("(K1100-A)")) << Report.Lines[2];
  EXPECT_EQ(1200, Count("ZNetKo"));
  Lines expected{"K1100"};
  for (int i = 0; i < 1200; ++i)
    if (i != 1100) expected.push_back("K" + std::to_string(i));
  EXPECT_EQ(expected, Rows("ZNetKo", "AikaLeima", {"KorttiLyh"}));
  const std::vector<int> cards(Report.Meters.begin() + 1, Report.Meters.begin() + 1 + 1201);
  EXPECT_EQ(0, cards.front());
  EXPECT_EQ(100, cards.back());
  EXPECT_TRUE(std::is_sorted(cards.begin(), cards.end()));
  EXPECT_EQ(1200, Report.ProcessCalls);
  EXPECT_TRUE(AllClosed());
}

}  // namespace
