#include "core/FormState.h"

#include "common/IniFile.h"
#include "common/Text.h"

#include <climits>

namespace trelvo {

namespace {
constexpr const char* kSection = "TfrmInternet";

bool ParseRect(const std::string& text, TFormRect& rect) {
  std::vector<std::string> parts = SplitString(text, ',');
  if (parts.size() != 4) return false;
  long long v[4];
  for (int i = 0; i < 4; ++i) {
    v[i] = StrToInt64Def(parts[static_cast<size_t>(i)], LLONG_MIN);
    if (v[i] == LLONG_MIN || v[i] < INT_MIN || v[i] > INT_MAX) return false;
  }
  rect = {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3])};
  return true;
}
}  // namespace

std::optional<TFormRect> ReadFormPosition(const std::string& fileName, int pixelsPerInch) {
  TIniFile ini(fileName);
  // A missing key must not match a resolution by accident.
  if (ini.ReadInteger(kSection, "PixelsPerInch", -1) != pixelsPerInch) return std::nullopt;
  (void)ini.ReadInteger(kSection, "Flags", 0);  // read as the placement has it, nothing depends on it
  TFormRect rect;
  if (!ParseRect(ini.ReadString(kSection, "NormalPos", ""), rect)) return std::nullopt;
  if (rect.Left >= rect.Right) return std::nullopt;
  return rect;
}

void WriteFormState(const std::string& fileName, const TFormState& state) {
  TIniFile ini(fileName);
  const TFormRect& r = state.NormalPos;
  ini.WriteInteger(kSection, "Flags", state.Flags);
  ini.WriteInteger(kSection, "ShowCmd", state.ShowCmd);
  ini.WriteString(kSection, "NormalPos",
                  IntToStr(r.Left) + "," + IntToStr(r.Top) + "," + IntToStr(r.Right) + "," + IntToStr(r.Bottom));
  ini.WriteInteger(kSection, "PixelsPerInch", state.PixelsPerInch);
  ini.WriteInteger(kSection, "Color", state.Color);
}

}  // namespace trelvo
