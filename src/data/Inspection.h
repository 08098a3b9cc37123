#pragma once
// The inspection page's grid as plain data, and the fills that show one
// exchange table of the INet database in it. The window draws the grid; the
// fills decide what it holds, so they run and are tested without widgets.
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace trelvo {

class TDbTable;
class TTables;

// A string grid: row 0 holds the captions. Cells may be written outside the
// counts (the fills write first and size afterwards); setting a count drops
// what lies beyond it. A column added by a count keeps the default width.
class TStringGridData {
 public:
  static constexpr int kDefaultColWidth = 70;
  static constexpr int kDefaultRowHeight = 16;

  int ColCount() const { return ColCount_; }
  int RowCount() const { return RowCount_; }
  void SetColCount(int count);
  void SetRowCount(int count);
  const std::string& Cell(int col, int row) const;
  void SetCell(int col, int row, std::string text);
  int ColWidth(int col) const;
  void SetColWidth(int col, int width);

 private:
  int ColCount_ = 5;  // the page's design: five columns, two rows
  int RowCount_ = 2;
  std::map<std::pair<int, int>, std::string> Cells_;  // (row, col)
  std::vector<int> ColWidths_ = std::vector<int>(5, kDefaultColWidth);
};

// The items of CBoxTaulu in their order.
const std::vector<std::string>& InspectionTableNames();

// Column widths of a generic layout, by column index.
using TColumnWidths = std::vector<std::pair<int, int>>;

// Captions from the fields' display names, then every row in index order.
// The grid is sized, the widths are set and the table closed also when
// reading fails; the error then goes on. An error while opening leaves the
// grid untouched.
void FillGenericGrid(TDbTable& table, TStringGridData& grid, const TColumnWidths& widths);
// The fourteen fixed customer columns (a customer field the table lacks
// ends the reading with the table layer's error).
void FillCustomerGrid(TDbTable& table, TStringGridData& grid);
// CBoxTauluChange: index 0 customers, 1 cards, 2 card places, 3 statistics,
// from the INet database's tables; any other index does nothing.
void FillInspectionGrid(TTables& tables, int index, TStringGridData& grid);

}  // namespace trelvo
