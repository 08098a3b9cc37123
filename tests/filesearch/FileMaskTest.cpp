#include <gtest/gtest.h>

#include "filesearch/FileMask.h"

using namespace trelvo;

TEST(FileMask, MatchesWholeNamesWithoutRegardToCase) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  } cases[] = {
      {"ZNet*.Nx1", "ZNETASI.NX1", true},
      {"ZNet*.Nx1", "ZNet.Nx1", true},
      {"ZNet*.Nx1", "ZNetAsi.Nx1.bak", false},
      {"ZNet*.Nx1", "xZNetAsi.Nx1", false},
      {"*.Zip", "A.ZIP", true},
      {"*.Zip", "A.ZIPX", false},
      {"*", "", true},
      {"*", "anything.at.all", true},
      {"?", "", false},
      {"?", "a", true},
      {"??.log", "ab.log", true},
      {"??.log", "a.log", false},
      {"A*?", "A", true},  // a "?" right after a "*" adds nothing
      {"A*?B", "AB", true},
      {"*a*b*c", "xxaxxbxxcxxc", true},
      {"*a*b*c", "xxaxxcxxb", false},
      {"[a-c]x", "Bx", true},
      {"[a-c]x", "dx", false},
      {"[!a-c]x", "dx", true},
      {"[!a-c]x", "ax", false},
      {"[-z]", "-", true},
      {"[a-]", "-", true},
      {"Zuze01_*.Zip", "zuze01_20261209220000.zip", true},
      {"Master_*.Zip", "Masterissa_01.log", false},
      {"päivä*", "PÄIVÄ.txt", true},
      {"*.*", "noext", false},
  };
  for (const auto& c : cases) EXPECT_EQ(TFileMask(c.mask).Matches(c.name), c.match) << c.mask << " vs " << c.name;
}

TEST(FileMask, InvalidMasksRaiseWithPosition) {
  struct Case {
    std::string mask;
    std::string message;
  } cases[] = {
      {"a[bc", "'a[bc' is an invalid mask at (5)"},
      {"a[]b", "'a[]b' is an invalid mask at (3)"},
      {"[!]", "'[!]' is an invalid mask at (3)"},
  };
  for (const auto& c : cases) {
    try {
      TFileMask m(c.mask);
      ADD_FAILURE() << c.mask << " accepted";
    } catch (const EFileMaskError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  std::string thirty, thirtyOne;
  for (int i = 0; i < 30; ++i) thirty += "*a";
  thirtyOne = thirty + "*b";
  EXPECT_NO_THROW(TFileMask{thirty});
  try {
    TFileMask m(thirtyOne);
    ADD_FAILURE() << "31 star parts accepted";
  } catch (const EFileMaskError& e) {
    EXPECT_EQ(std::string(e.what()), "'" + thirtyOne + "' is an invalid mask at (61)");
  }
}
