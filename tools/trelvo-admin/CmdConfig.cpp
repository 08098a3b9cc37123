// trelvo-admin config: the settings an installation really runs with, and
// the list of every key for the README.
#include <iostream>

#include "Admin.h"
#include "common/Text.h"
#include "core/SettingsKeys.h"
#include "core/TrelvoCore.h"

namespace trelvo::admin {
namespace {

int RunConfig(const TArgs& args) {
  args.Expect(0, 0);
  if (args.Has("keys-markdown")) {
    std::cout << SettingKeysMarkdown();
    return 0;
  }
  TTrelvoCore core(HomeDir(args));
  try {
    core.LoadSettings();
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin config: " << core.SettingsFileName() << ": " << e.what() << "\n";
    return 1;
  }
  std::cout << "# " << core.SettingsFileName() << "\n";
  std::string section;
  for (const TSettingKey& key : SettingKeys()) {
    if (key.Section != section) {
      std::cout << (section.empty() ? "" : "\n") << "[" << key.Section << "]\n";
      section = key.Section;
    }
    std::cout << key.Key << "=" << key.Show(core.Settings, core.Live) << "\n";
  }
  std::cout << "\n# derived\nClientPrefix=" << core.Settings.ClientPrefix << "\n";
  return 0;
}

TRELVO_ADMIN_COMMAND("config", "config [--home DIR] [--keys-markdown]", {"keys-markdown"}, RunConfig,
                     "Prints the settings the installation runs with.\n"
                     "As the program reads Sorvel.ini: defaults for missing keys, directories that do not\n"
                     "exist as empty, passwords as ***.\n"
                     "A file that cannot be loaded (a RecvDate or SendDate that is no date) is an error (exit 1).\n"
                     "\n"
                     "  --keys-markdown  print every key with its default and meaning as Markdown tables\n"
                     "                   (the README's list of settings is this text)\n",
                     {});

}  // namespace
}  // namespace trelvo::admin
