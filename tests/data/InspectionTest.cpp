// The inspection page's fills over real table files of the INet database.
#include "data/Inspection.h"

#include "MergeFixture.h"
#include "db/DbError.h"

namespace trelvo::test {
namespace {

class InspectionTest : public MergeFixture {
 protected:
  std::vector<std::string> Row(int row) {
    std::vector<std::string> cells;
    for (int col = 0; col < Grid.ColCount(); ++col) cells.push_back(Grid.Cell(col, row));
    return cells;
  }
  std::vector<int> Widths() {
    std::vector<int> w;
    for (int col = 0; col < Grid.ColCount(); ++col) w.push_back(Grid.ColWidth(col));
    return w;
  }
  TStringGridData Grid;
};

TEST_F(InspectionTest, CustomerLayoutShowsFourteenFixedColumnsInIndexOrder) {
  Add(INet, "ZNetAsi",
      {{{"AsNo", Txt("200")}, {"AsNimi", Txt("Toinen")}, {"PostiToimiPaikka", Txt("Oulu")}, {"Huomioitavaa2", Txt("h2")},
        {"Email1", Txt("not@shown")}, {"AikaLeima", Stamp(2024, 3, 2, 10, 0, 5)}},
       {{"AsNo", Txt("100")}, {"AsRyhma", Int(7)}, {"SyntymaAika", Stamp(1980, 12, 24)},
        {"AikaLeima", Stamp(2024, 3, 1, 9, 30)}}});
  FillInspectionGrid(Tables, 0, Grid);

  EXPECT_EQ(Grid.ColCount(), 14);
  EXPECT_EQ(Grid.RowCount(), 3);
  EXPECT_EQ(Row(0), (Lines{"AsNo", "AsRyhma", "AsNimi", "PostiNo", "ToimiPaikka", "KatuOsoite1", "KatuOsoite2",
                           "YhteysHenkilo", "PuhNo", "AsLasNo", "SyntymaAika", "Huom1", "Huom2", "AikaLeima"}));
  // Index order is AikaLeima: the older stamp first.
  EXPECT_EQ(Row(1), (Lines{"100", "7", "", "", "", "", "", "", "", "", "24.12.1980", "", "", "01.03.2024 09:30:00"}));
  EXPECT_EQ(Row(2), (Lines{"200", "", "Toinen", "", "Oulu", "", "", "", "", "", "", "", "h2", "02.03.2024 10:00:05"}));
  std::vector<int> widths(14, 120);
  widths[1] = 70;
  widths[13] = 150;
  EXPECT_EQ(Widths(), widths);
  EXPECT_TRUE(AllClosed());
}

TEST_F(InspectionTest, GenericLayoutTakesTheTablesFieldsAndItsWidths) {
  Add(INet, "ZNetTila", {{{"TapPvm", Stamp(2024, 5, 6)}, {"TapAika", TValue::DateTime(EncodeTime(7, 8, 9))},
                          {"TapPaikka", Txt("P1")}, {"TapAsiSum", TValue::Real(12.5)}}});
  FillInspectionGrid(Tables, 3, Grid);

  const TDbTableDef def = Def("ZNetTila");
  ASSERT_EQ(Grid.ColCount(), static_cast<int>(def.Fields.size()));
  EXPECT_EQ(Grid.RowCount(), 2);
  for (int col = 0; col < Grid.ColCount(); ++col) EXPECT_EQ(Grid.Cell(col, 0), def.Fields[static_cast<size_t>(col)].Name);
  // Dates and times in the program's formats.
  EXPECT_EQ(Grid.Cell(0, 1), "06.05.2024");
  EXPECT_EQ(Grid.Cell(1, 1), "07:08:09");
  EXPECT_EQ(Grid.Cell(2, 1), "P1");
  const std::vector<int> widths = Widths();
  EXPECT_EQ((std::vector<int>(widths.begin(), widths.begin() + 7)), (std::vector<int>{80, 70, 50, 120, 120, 120, 70}));
  EXPECT_TRUE(AllClosed());
}

TEST_F(InspectionTest, EmptyTableShowsTheCaptionRowOnly) {
  FillInspectionGrid(Tables, 1, Grid);
  EXPECT_EQ(Grid.RowCount(), 1);
  EXPECT_EQ(Grid.ColCount(), static_cast<int>(Def("ZNetKo").Fields.size()));
  EXPECT_EQ(Grid.Cell(0, 0), "KorttiNro");
}

TEST_F(InspectionTest, ShrinkingToCardsKeepsTheWidthsTheCustomerLayoutSet) {
  FillInspectionGrid(Tables, 0, Grid);
  FillInspectionGrid(Tables, 1, Grid);
  ASSERT_EQ(Grid.ColCount(), 7);
  EXPECT_EQ(Widths(), (std::vector<int>{120, 80, 120, 120, 150, 120, 120}));
  // Growing again brings new columns in at the default width.
  FillInspectionGrid(Tables, 2, Grid);
  EXPECT_EQ(Grid.ColCount(), 18);
  EXPECT_EQ(Grid.ColWidth(7), TStringGridData::kDefaultColWidth);
  EXPECT_EQ(Grid.ColWidth(16), 150);
}

TEST_F(InspectionTest, CustomerFieldMissingEndsReadingButSizesGridAndCloses) {
  Recreate(INetDir, Without(Def("ZNetAsi"), "Huomioitavaa1"));
  Add(INet, "ZNetAsi", {{{"AsNo", Txt("1")}}});
  try {
    FillInspectionGrid(Tables, 0, Grid);
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), dbeFieldNotFound);
  }
  EXPECT_EQ(Grid.ColCount(), 14);
  EXPECT_EQ(Grid.RowCount(), 1);  // the half-read row is not shown
  EXPECT_EQ(Grid.Cell(0, 0), "AsNo");
  EXPECT_TRUE(AllClosed());
}

TEST_F(InspectionTest, TableThatCannotOpenLeavesTheGridAsItWas) {
  Add(INet, "ZNetKo", {{{"KorttiNro", Txt("K1")}}});
  FillInspectionGrid(Tables, 1, Grid);
  ASSERT_EQ(Grid.RowCount(), 2);
  ASSERT_EQ(0, ::unlink((INetDir + "ZNetKoPa.Nx1").c_str()));
  EXPECT_THROW(FillInspectionGrid(Tables, 2, Grid), EDatabaseError);
  EXPECT_EQ(Grid.ColCount(), 7);
  EXPECT_EQ(Grid.RowCount(), 2);
  EXPECT_EQ(Grid.Cell(0, 1), "K1");
}

}  // namespace
}  // namespace trelvo::test
