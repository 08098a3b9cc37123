#pragma once
// The window's form state in SorWin.ini, section "TfrmInternet". The window
// measures its rectangle and the screen; the rules of what is kept and what
// is restored live here.
#include <optional>
#include <string>

namespace trelvo {

// A window rectangle in screen pixels; right and bottom lie just outside it.
struct TFormRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  bool operator==(const TFormRect&) const = default;
};

struct TFormState {
  int Flags = 0;
  int ShowCmd = 1;  // 1 normal, 2 minimised (hidden in the tray counts as minimised)
  TFormRect NormalPos;
  int PixelsPerInch = 96;
  long long Color = 0;  // the window colour as 0x00BBGGRR
};

// The saved normal rectangle, only when the file was written at the same
// screen resolution and holds a rectangle whose left is less than its right.
std::optional<TFormRect> ReadFormPosition(const std::string& fileName, int pixelsPerInch);
// Writes Flags, ShowCmd, NormalPos ("%d,%d,%d,%d"), PixelsPerInch and Color.
// Throws EIniFileError when the file cannot be written.
void WriteFormState(const std::string& fileName, const TFormState& state);

}  // namespace trelvo
