// The run log of a long run: the whole log in its saved file, only a bounded
// tail in memory, with a line that says how much is in the file only.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "common/Text.h"
#include "core/MemoLog.h"

namespace trelvo::test {
namespace {

TEST(MemoLog, LongRunKeepsATailInMemoryAndSavesEveryLine) {
  TTempDir dir;
  TMemoLog log;
  const long long total = 3 * TMemoLog::kTail + 7;
  for (long long i = 1; i <= total; ++i) log.Add("rivi " + IntToStr(i));
  const auto& lines = log.Lines();
  ASSERT_LE(lines.size(), 2 * TMemoLog::kTail + 1);
  ASSERT_GT(lines.size(), TMemoLog::kTail);
  EXPECT_EQ("rivi " + IntToStr(total), lines.back());
  const long long kept = static_cast<long long>(lines.size()) - 1;
  EXPECT_EQ("(" + IntToStr(total - kept) + " aiempaa riviä on vain tallennetussa lokitiedostossa)", lines.front());
  EXPECT_EQ("rivi " + IntToStr(total - kept + 1), lines[1]) << "no line lost between header and tail";

  log.SaveToFile(dir / "Haku.Log");
  const std::vector<std::string> saved = SplitString(ReadFile(dir / "Haku.Log"), '\n');
  ASSERT_EQ(static_cast<size_t>(total) + 1, saved.size());  // and the empty piece after the last end
  EXPECT_EQ("rivi 1", saved.front());
  EXPECT_EQ("rivi " + IntToStr(total), saved[total - 1]);

  // A new run starts empty, in memory and in its file.
  log.Clear();
  log.Add("uusi");
  EXPECT_EQ((std::vector<std::string>{"uusi"}), log.Lines());
  log.SaveToFile(dir / "Haku.Log");
  EXPECT_EQ("uusi\n", ReadFile(dir / "Haku.Log"));
}

}  // namespace
}  // namespace trelvo::test
