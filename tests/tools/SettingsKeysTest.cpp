// The one table of Sorvel.ini's keys: every key loads into a value of its
// own, and the README's list of settings is the table's text.
#include <gtest/gtest.h>

#include <set>

#include "TestSupport.h"
#include "common/IniFile.h"
#include "common/Text.h"
#include "core/SettingsKeys.h"
#include "core/TrelvoCore.h"

using namespace trelvo;
using namespace trelvo::test;

TEST(SettingsKeys, EveryKeyLoadsIntoAValueOfItsOwn) {
  // Each key gets a value no other key has; a table entry that loads into
  // another key's place shows up as that key showing the wrong value.
  TTempDir home;
  std::vector<std::pair<const TSettingKey*, std::string>> expected;
  std::set<std::string> keys;
  {
    TIniFile ini(home / "Sorvel.ini");
    int i = 0;
    for (const TSettingKey& k : SettingKeys()) {
      ++i;
      EXPECT_TRUE(keys.insert(std::string(k.Section) + "/" + UpperCase(k.Key)).second) << k.Key << " twice";
      std::string value, shown;
      switch (k.Kind) {
        case TKeyKind::Text: value = shown = "v" + IntToStr(i); break;
        case TKeyKind::Trimmed: value = "v" + IntToStr(i) + "  ", shown = "v" + IntToStr(i); break;
        case TKeyKind::YesNo:
          value = YesTest(k.Default) ? "no" : "yes";
          shown = YesTest(k.Default) ? "No" : "Yes";
          break;
        case TKeyKind::Integer: value = shown = IntToStr(100 + i); break;
        case TKeyKind::Engine: value = "namedpipe", shown = "NAMEDPIPE"; break;
        case TKeyKind::Encryption: value = "aes256", shown = "AES256"; break;
        case TKeyKind::Directory:
          MakeDir(home / k.Key);
          value = home / k.Key, shown = home / k.Key + "/";
          break;
        case TKeyKind::Enciphered: value = EncipherSetting("secret" + IntToStr(i)), shown = "***"; break;
        case TKeyKind::Time: value = shown = "0" + IntToStr(i % 10) + ":" + IntToStr(10 + i); break;
        case TKeyKind::Date: value = shown = IntToStr(10 + i % 18) + ".03.2021"; break;
      }
      ini.WriteString(k.Section, k.Key, value);
      expected.emplace_back(&k, shown);
    }
  }
  TTrelvoCore core(home.Path());
  core.LoadSettings();
  for (const auto& [k, shown] : expected) EXPECT_EQ(k->Show(core.Settings, core.Live), shown) << k->Key;
  EXPECT_EQ(core.ClientPrefix(), core.Settings.MasterClients + core.Settings.ClientArchive);
  // Secrets are deciphered in memory, never shown.
  EXPECT_TRUE(StartsWith(core.Settings.ZipPassword, "secret"));
  EXPECT_TRUE(StartsWith(core.Settings.FtpPassWord, "secret"));
  EXPECT_TRUE(StartsWith(core.Settings.Key, "secret"));
}

TEST(SettingsKeys, TheReadmeListsTheKeysAsTheTableHasThem) {
  const std::string readme = ReadFile(SourceDir() + "/README.md");
  const std::string begin = "<!-- settings-keys:begin -->\n", end = "<!-- settings-keys:end -->";
  const size_t from = readme.find(begin), to = readme.find(end);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), SettingKeysMarkdown())
      << "regenerate the section with: trelvo-admin config --keys-markdown";
  std::string out;
  ASSERT_EQ(0, RunCommand(BinaryDir() + "/tools/trelvo-admin config --keys-markdown", &out));
  EXPECT_EQ(out, SettingKeysMarkdown());
}
