#include "core/Settings.h"

#include <sys/stat.h>

#include "common/Text.h"

namespace trelvo {

void NormalizeDir(std::string& directory) {
  if (directory.empty()) return;
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    directory.clear();
    return;
  }
  if (directory.back() != '/') directory += '/';
}

bool YesTest(const std::string& value) { return UpperCase(value) == "YES"; }

namespace {

// The cipher turns the printable ASCII characters other than blank and the
// two quote marks among themselves, by a position-dependent shift. Those
// three are left alone because an INI value loses them at its ends; every
// other byte (UTF-8 included) passes unchanged. So any stored text
// deciphers, and enciphered text is always a valid INI value.
constexpr const char* kCipherKey = "Trelvo-Siirto";

bool InAlphabet(unsigned char c) { return c > ' ' && c < 127 && c != '"' && c != '\''; }

// Index of c within the alphabet, and back.
int ToIndex(unsigned char c) {
  int i = c - 33;      // '!' is 0
  if (c > '"') --i;
  if (c > '\'') --i;
  return i;
}

char FromIndex(int i) {
  int c = i + 33;
  if (c >= '"') ++c;
  if (c >= '\'') ++c;
  return static_cast<char>(c);
}

constexpr int kAlphabetSize = 92;

std::string Shift(const std::string& text, int direction) {
  std::string out = text;
  const std::string key = kCipherKey;
  size_t k = 0;
  for (char& ch : out) {
    auto c = static_cast<unsigned char>(ch);
    if (!InAlphabet(c)) continue;
    int shift = (static_cast<unsigned char>(key[k % key.size()]) + static_cast<int>(k) * 7) % kAlphabetSize;
    ++k;
    int i = (ToIndex(c) + direction * shift) % kAlphabetSize;
    if (i < 0) i += kAlphabetSize;
    ch = FromIndex(i);
  }
  return out;
}

}  // namespace

std::string EncipherSetting(const std::string& plain) { return Shift(plain, +1); }
std::string DecipherSetting(const std::string& stored) { return Shift(stored, -1); }

}  // namespace trelvo
