#include "data/Inspection.h"

#include "data/Tables.h"
#include "db/DbTable.h"

namespace trelvo {

void TStringGridData::SetColCount(int count) {
  if (count < 0) count = 0;
  ColCount_ = count;
  ColWidths_.resize(static_cast<size_t>(count), kDefaultColWidth);
  std::erase_if(Cells_, [count](const auto& cell) { return cell.first.second >= count; });
}

void TStringGridData::SetRowCount(int count) {
  if (count < 0) count = 0;
  RowCount_ = count;
  std::erase_if(Cells_, [count](const auto& cell) { return cell.first.first >= count; });
}

const std::string& TStringGridData::Cell(int col, int row) const {
  static const std::string empty;
  auto it = Cells_.find({row, col});
  return it == Cells_.end() ? empty : it->second;
}

void TStringGridData::SetCell(int col, int row, std::string text) {
  if (text.empty())
    Cells_.erase({row, col});
  else
    Cells_[{row, col}] = std::move(text);
}

int TStringGridData::ColWidth(int col) const {
  return col >= 0 && col < ColCount_ ? ColWidths_[static_cast<size_t>(col)] : kDefaultColWidth;
}

void TStringGridData::SetColWidth(int col, int width) {
  if (col >= 0 && col < ColCount_) ColWidths_[static_cast<size_t>(col)] = width;
}

const std::vector<std::string>& InspectionTableNames() {
  static const std::vector<std::string> names = {"Asiakas", "Kortti", "Kortipaikka", "Tilasto"};
  return names;
}

namespace {

// Sizes the grid and closes the table when the fill ends, however it ends.
struct TFillEnd {
  TDbTable& Table;
  TStringGridData& Grid;
  int Cols;
  const int& Rows;
  const TColumnWidths& Widths;
  ~TFillEnd() {
    Grid.SetColCount(Cols);
    Grid.SetRowCount(Rows + 1);
    for (const auto& [col, width] : Widths) Grid.SetColWidth(col, width);
    Table.Close();
  }
};

struct TCustomerColumn {
  const char* Caption;
  const char* Field;
};

constexpr TCustomerColumn kCustomerColumns[14] = {
    {"AsNo", "AsNo"},
    {"AsRyhma", "AsRyhma"},
    {"AsNimi", "AsNimi"},
    {"PostiNo", "PostiNo"},
    {"ToimiPaikka", "PostiToimiPaikka"},
    {"KatuOsoite1", "KatuOsoite1"},
    {"KatuOsoite2", "KatuOsoite2"},
    {"YhteysHenkilo", "YhteysHenkilo"},
    {"PuhNo", "PuhNo"},
    {"AsLasNo", "AsLasNo"},
    {"SyntymaAika", "SyntymaAika"},
    {"Huom1", "Huomioitavaa1"},
    {"Huom2", "Huomioitavaa2"},
    {"AikaLeima", "AikaLeima"},
};

const TColumnWidths& CustomerWidths() {
  static const TColumnWidths widths = [] {
    TColumnWidths w{{0, 120}, {1, 70}};
    for (int col = 2; col <= 12; ++col) w.push_back({col, 120});
    w.push_back({13, 150});
    return w;
  }();
  return widths;
}

}  // namespace

void FillGenericGrid(TDbTable& table, TStringGridData& grid, const TColumnWidths& widths) {
  table.Open();
  int rows = 0;
  TFillEnd end{table, grid, table.FieldCount(), rows, widths};
  const int fields = table.FieldCount();
  for (int i = 0; i < fields; ++i) grid.SetCell(i, 0, table.Fields(i).DisplayName());
  for (table.First(); !table.Eof(); table.Next()) {
    for (int i = 0; i < fields; ++i) grid.SetCell(i, rows + 1, table.Fields(i).AsString());
    ++rows;
  }
}

void FillCustomerGrid(TDbTable& table, TStringGridData& grid) {
  table.Open();
  int rows = 0;
  TFillEnd end{table, grid, 14, rows, CustomerWidths()};
  for (int col = 0; col < 14; ++col) grid.SetCell(col, 0, kCustomerColumns[col].Caption);
  for (table.First(); !table.Eof(); table.Next()) {
    for (int col = 0; col < 14; ++col) grid.SetCell(col, rows + 1, table.FieldByName(kCustomerColumns[col].Field).AsString());
    ++rows;
  }
}

void FillInspectionGrid(TTables& tables, int index, TStringGridData& grid) {
  static const TColumnWidths cards = {{0, 120}, {1, 80}, {2, 120}, {3, 120}, {4, 150}};
  static const TColumnWidths cardPlaces = {{0, 80}, {1, 50}, {2, 50}, {3, 80}, {4, 80}, {8, 80}, {14, 80}, {16, 150}};
  static const TColumnWidths statistics = {{0, 80}, {1, 70}, {2, 50}, {3, 120}, {4, 120}, {5, 120}};
  switch (index) {
    case 0: FillCustomerGrid(tables.TblZNetAsiTmp, grid); break;
    case 1: FillGenericGrid(tables.TblZNetKoTmp, grid, cards); break;
    case 2: FillGenericGrid(tables.TblZNetKoPaTmp, grid, cardPlaces); break;
    case 3: FillGenericGrid(tables.TblZNetTiTmp, grid, statistics); break;
    default: break;
  }
}

}  // namespace trelvo
