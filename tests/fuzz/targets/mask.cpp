// File-name masks (the settings' MasterFiles, the steps' Zuze*.Zip) against
// names. The input is a mask, a line feed, and a name. For masks of "*", "?"
// and plain characters the matcher must agree with a plain dynamic-programming
// match of the same rules.
#include <vector>

#include "FuzzSupport.h"
#include "filesearch/FileMask.h"

using namespace trelvo;
using trelvo::fuzz::Require;

namespace {

// "*" any run, "?" one character, a "?" or "*" right after a "*" adds
// nothing, letter case ignored, the whole name.
bool Reference(const std::u32string& mask, const std::u32string& name) {
  std::u32string m;
  for (char32_t c : mask) {
    if ((c == U'*' || c == U'?') && !m.empty() && m.back() == U'*') continue;
    m.push_back(c);
  }
  std::vector<std::vector<bool>> ok(m.size() + 1, std::vector<bool>(name.size() + 1, false));
  ok[m.size()][name.size()] = true;
  for (size_t i = m.size(); i-- > 0;)
    for (size_t j = name.size() + 1; j-- > 0;) {
      if (m[i] == U'*')
        ok[i][j] = ok[i + 1][j] || (j < name.size() && ok[i][j + 1]);
      else
        ok[i][j] = j < name.size() && (m[i] == U'?' || UpperChar(m[i]) == UpperChar(name[j])) && ok[i + 1][j + 1];
    }
  return ok[0][0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string mask = input.substr(0, split);
  const std::string name = split == std::string::npos ? "" : input.substr(split + 1);
  try {
    TFileMask compiled(mask);
    const bool matches = compiled.Matches(name);
    if (mask.find('[') == std::string::npos)
      Require(matches == Reference(DecodeName(mask), DecodeName(name)), "the matcher agrees with the reference");
  } catch (const EFileMaskError&) {
  }
  return 0;
}
