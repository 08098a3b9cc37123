// trelvo-admin change records a change as the suite's main program does: the
// main table's row of the key replaced, the whole row into the exchange table.
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace trelvo::test;

namespace {

std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }

std::string Dump(const std::string& home, const std::string& table) {
  std::string out;
  EXPECT_EQ(0, RunCommand(Admin() + " dump " + table + " --home " + home, &out));
  return out.substr(out.find('\n') + 1);  // without the field names
}

}  // namespace

TEST(AdminChange, ReplacesTheKeysRowAndQueuesTheWholeRow) {
  TTempDir dir;
  const std::string home = dir.Path(), h = " --home " + home;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + home + " --role client >/dev/null"));
  ASSERT_EQ(0, RunCommand(Admin() + " change KORTTI KorttiLyh=K1 KorttiNro=111 AsNo=A1 'AikaLeima=01.03.2026 10:00:00'" + h));
  ASSERT_EQ(0, RunCommand(Admin() + " change KORTTI KorttiLyh=K1 PinKoodi=42 'AikaLeima=02.03.2026 09:30:00'" + h));
  EXPECT_EQ("111\tK1\tA1\t\t02.03.2026 09:30:00\t42\t\n", Dump(home, "KORTTI"));
  // The second change carries the fields it did not name as they stood.
  EXPECT_EQ("111\tK1\tA1\t\t01.03.2026 10:00:00\t\t\n111\tK1\tA1\t\t02.03.2026 09:30:00\t42\t\n", Dump(home, "ZNetKo"));

  // A card place's exchange row takes its stamp from Muutettu and MuutettuAika.
  ASSERT_EQ(0, RunCommand(Admin() + " change KORTTIPA KorttiLyh=K1 Paikka=Sali KayntiLkm=10 Muutettu=03.03.2026 "
                          "MuutettuAika=08:15:00" + h));
  std::string place = Dump(home, "ZNetKoPa");
  EXPECT_NE(place.find("\t03.03.2026 08:15:00\n"), std::string::npos) << place;

  // Visits are events: the same one twice is two rows.
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(0, RunCommand(Admin() + " change TILASTO TapPvm=03.03.2026 TapAika=09:00:00 TapPaikka=Sali TapKortti=K1" + h));
  std::string out;
  ASSERT_EQ(0, RunCommand(Admin() + " counts" + h, &out));
  EXPECT_NE(out.find("\n0 2 1 2\n"), std::string::npos) << out;
}

TEST(AdminChange, StdinStopsAtTheFirstBadLineAndNamesIt) {
  TTempDir dir;
  const std::string home = dir.Path();
  ASSERT_EQ(0, RunCommand(Admin() + " init " + home + " --role client >/dev/null"));
  WriteFile(dir / "changes.txt",
            "# a day's changes\nAsiakas\tAsNo=A1\tAsNimi=Virtanen, Matti\tAikaLeima=01.03.2026 10:00:00\n\n"
            "KORTTI\tKorttiLyh=K1\tAsNo=A1\n"
            "KORTTI\tKorttiLyh=K2\tVari=sininen\n"
            "KORTTI\tKorttiLyh=K3\n");
  std::string err;
  EXPECT_EQ(1, RunCommand(Admin() + " change --stdin --home " + home + " < " + dir / "changes.txt" + " 2>&1", &err));
  EXPECT_NE(err.find("line 5: "), std::string::npos) << err;
  EXPECT_NE(err.find("Vari"), std::string::npos) << err;
  EXPECT_EQ("A1\t\tVirtanen, Matti\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t01.03.2026 10:00:00\n", Dump(home, "Asiakas"));
  const std::string cards = Dump(home, "KORTTI");
  EXPECT_NE(cards.find("\tK1\t"), std::string::npos);
  EXPECT_EQ(cards.find("\tK2\t"), std::string::npos) << "the failing change is not half written";
  EXPECT_EQ(cards.find("\tK3\t"), std::string::npos) << "nothing after the failing line";
  std::string out;
  ASSERT_EQ(0, RunCommand(Admin() + " counts --home " + home, &out));
  EXPECT_NE(out.find("\n1 1 0 0\n"), std::string::npos) << out;
}
