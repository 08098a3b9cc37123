// Sorvel.ini and DbServer.ini as people edit them: every section and key
// read, then one key written as the program writes its run dates. The write
// must read back and must leave every other value as it was.
#include <map>
#include <utility>

#include "FuzzSupport.h"
#include "common/IniFile.h"
#include "common/Text.h"

using namespace trelvo;
using trelvo::fuzz::Require;

namespace {

using TValues = std::map<std::pair<std::string, std::string>, std::string>;

TValues ReadAll(const TIniFile& ini) {
  TValues values;
  for (const std::string& section : ini.ReadSections()) {
    Require(ini.SectionExists(section), "a listed section exists");
    for (const std::string& key : ini.ReadSection(section)) {
      Require(ini.ValueExists(section, key), "a listed key exists");
      const std::string value = ini.ReadString(section, key, "\x01missing");
      Require(value.size() <= TIniFile::kMaxValueLength, "values are cut to their limit");
      (void)ini.ReadInteger(section, key, -1);
      values[{UpperCase(section), UpperCase(key)}] = value;
    }
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = trelvo::fuzz::Scratch() + "/Sorvel.ini";
  trelvo::fuzz::WriteBytes(path, data, size);
  TValues before = ReadAll(TIniFile(path));

  TIniFile(path).WriteString("Internet", "RecvDate", "11.12.2026");
  TIniFile after(path);
  Require(after.ReadString("Internet", "RecvDate", "") == "11.12.2026", "the written value reads back");
  TValues now = ReadAll(after);
  before[{"INTERNET", "RECVDATE"}] = "11.12.2026";
  Require(now == before, "a write changes that one value only");
  return 0;
}
