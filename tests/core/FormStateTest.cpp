// SorWin.ini: what is written at the end and what the start takes back.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "common/IniFile.h"
#include "core/FormState.h"

using namespace trelvo;

namespace {

TEST(FormState, WritesTheFiveKeysOfItsSection) {
  test::TTempDir dir;
  test::WriteFile(dir / "SorWin.ini", "; kept\n[Other]\nA=1\n");
  TFormState state;
  state.ShowCmd = 2;
  state.NormalPos = {10, -20, 684, 372};
  state.PixelsPerInch = 120;
  state.Color = 0xF0F0F0;
  WriteFormState(dir / "SorWin.ini", state);
  TIniFile ini(dir / "SorWin.ini");
  EXPECT_EQ(ini.ReadSection("TfrmInternet"), (std::vector<std::string>{"Flags", "ShowCmd", "NormalPos", "PixelsPerInch", "Color"}));
  EXPECT_EQ(ini.ReadString("TfrmInternet", "Flags", ""), "0");
  EXPECT_EQ(ini.ReadString("TfrmInternet", "ShowCmd", ""), "2");
  EXPECT_EQ(ini.ReadString("TfrmInternet", "NormalPos", ""), "10,-20,684,372");
  EXPECT_EQ(ini.ReadString("TfrmInternet", "PixelsPerInch", ""), "120");
  EXPECT_EQ(ini.ReadString("TfrmInternet", "Color", ""), "15790320");
  EXPECT_EQ(ini.ReadString("Other", "A", ""), "1");
  EXPECT_EQ(ReadFormPosition(dir / "SorWin.ini", 120), (TFormRect{10, -20, 684, 372}));
}

TEST(FormState, PositionComesBackOnlyForTheSameResolutionAndASaneRectangle) {
  struct Case {
    const char* Name;
    const char* File;  // nullptr: no file
    bool Restored;
  };
  const Case cases[] = {
      {"same resolution", "[TfrmInternet]\nPixelsPerInch=96\nNormalPos=5,6,600,400\n", true},
      {"section and keys in other letter case", "[tfrminternet]\npixelsperinch=96\nnormalpos=5,6,600,400\n", true},
      {"other resolution", "[TfrmInternet]\nPixelsPerInch=120\nNormalPos=5,6,600,400\n", false},
      {"no resolution", "[TfrmInternet]\nNormalPos=5,6,600,400\n", false},
      {"no position", "[TfrmInternet]\nPixelsPerInch=96\n", false},
      {"left not less than right", "[TfrmInternet]\nPixelsPerInch=96\nNormalPos=600,6,600,400\n", false},
      {"three numbers", "[TfrmInternet]\nPixelsPerInch=96\nNormalPos=5,6,600\n", false},
      {"not a number", "[TfrmInternet]\nPixelsPerInch=96\nNormalPos=5,x,600,400\n", false},
      {"no file", nullptr, false},
  };
  for (const Case& c : cases) {
    test::TTempDir dir;
    if (c.File) test::WriteFile(dir / "SorWin.ini", c.File);
    auto rect = ReadFormPosition(dir / "SorWin.ini", 96);
    EXPECT_EQ(rect.has_value(), c.Restored) << c.Name;
    if (rect) {
      EXPECT_EQ(*rect, (TFormRect{5, 6, 600, 400})) << c.Name;
    }
  }
}

}  // namespace
