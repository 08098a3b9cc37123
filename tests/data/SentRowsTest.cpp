// Taking exactly a package's rows out of the site's exchange tables.
#include <gtest/gtest.h>

#include "MergeFixture.h"
#include "data/SentRows.h"

using namespace trelvo;
using namespace trelvo::test;

namespace {

using SentRows = MergeFixture;

TRowValues Card(const std::string& lyh, const std::string& nro, int minute) {
  return {{"KorttiLyh", Txt(lyh)}, {"KorttiNro", Txt(nro)}, {"AikaLeima", Stamp(2026, 3, 2, 20, minute)}};
}

TEST_F(SentRows, OneEqualRowGoesForEachSentRowAndEverythingElseStays) {
  // Sent: K1 once, K2, a visit. Waiting: K1 twice (written again meanwhile,
  // identically), K2 with another number, K3 new, the visit and a second one.
  Add(INet, "ZNetKo", {Card("K1", "1", 1), Card("K2", "2", 2)});
  Add(INet, "ZNetTila", {{{"TapPvm", Stamp(2026, 3, 2)}, {"TapKortti", Txt("K1")}}});
  Add("ZNetKo", {Card("K1", "1", 1), Card("K2", "22", 2), Card("K1", "1", 1), Card("K3", "3", 3)});
  Add("ZNetTila", {{{"TapPvm", Stamp(2026, 3, 2)}, {"TapKortti", Txt("K1")}},
                   {{"TapPvm", Stamp(2026, 3, 2)}, {"TapKortti", Txt("K9")}}});

  EXPECT_EQ(4, RemoveSentExchangeRows(Tables, Report));

  EXPECT_EQ((Lines{"K1|1", "K2|22", "K3|3"}), Rows("ZNetKo", "AikaLeima", {"KorttiLyh", "KorttiNro"}));
  EXPECT_EQ((Lines{"K9"}), Rows("ZNetTila", "TapPvm", {"TapKortti"}));
  EXPECT_EQ(2, Count(INet, "ZNetKo")) << "the package's own tables are only read";
  EXPECT_TRUE(AllClosed());
}

TEST_F(SentRows, AllSentLeavesTheTablesEmpty) {
  Add(INet, "ZNetKo", {Card("K1", "1", 1), Card("K2", "2", 2)});
  Add("ZNetKo", {Card("K2", "2", 2), Card("K1", "1", 1)});
  EXPECT_EQ(0, RemoveSentExchangeRows(Tables, Report));
  EXPECT_EQ(0, Count("ZNetKo"));
}

}  // namespace
