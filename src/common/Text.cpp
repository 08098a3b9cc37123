#include "common/Text.h"

#include <cerrno>
#include <cstring>
#include <limits>

namespace trelvo {

std::string UpperCase(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string LowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string TrimRight(const std::string& s) {
  size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string IntToStr(long long value) { return std::to_string(value); }

long long StrToInt64Def(const std::string& s, long long def) {
  std::string t = Trim(s);
  if (t.empty()) return def;
  size_t i = 0;
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return def;
  unsigned long long v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return def;
    if (v > (std::numeric_limits<unsigned long long>::max() - 9) / 10) return def;
    v = v * 10 + static_cast<unsigned>(t[i] - '0');
  }
  if (v > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return def;
  return negative ? -static_cast<long long>(v) : static_cast<long long>(v);
}

int StrToIntDef(const std::string& s, int def) {
  long long v = StrToInt64Def(s, def);
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return def;
  return static_cast<int>(v);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> SplitString(const std::string& s, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(separator, start);
    parts.push_back(s.substr(start, pos - start));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return parts;
}

std::string ExtractFilePath(const std::string& path) {
  size_t pos = path.rfind('/');
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
  size_t pos = path.rfind('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ExtractFileExt(const std::string& path) {
  std::string name = ExtractFileName(path);
  size_t pos = name.rfind('.');
  return pos == std::string::npos ? std::string() : name.substr(pos);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  std::string name = ExtractFileName(path);
  size_t pos = name.rfind('.');
  std::string base = pos == std::string::npos ? path : path.substr(0, path.size() - name.size() + pos);
  return base + ext;
}

std::string IncludeTrailingPathDelimiter(const std::string& dir) {
  if (!dir.empty() && dir.back() == '/') return dir;
  return dir + "/";
}

std::string SysErrorMessage(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

}  // namespace trelvo
