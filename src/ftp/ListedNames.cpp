#include "ftp/ListedNames.h"

#include <cctype>
#include <set>

#include "common/Text.h"

namespace trelvo {

std::vector<std::string> SplitListing(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

bool IsSafeListedName(const std::string& listed) {
  std::string name = StartsWith(listed, "./") ? listed.substr(2) : listed;
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  return true;
}

std::string PrintableName(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

// MLSD facts are "name=value;" pairs before one blank and the name; names
// and values of facts are compared without regard to case (RFC 3659).
bool IsFileEntry(const std::string& facts) {
  size_t pos = 0;
  while (pos < facts.size()) {
    size_t end = facts.find(';', pos);
    if (end == std::string::npos) end = facts.size();
    std::string fact = facts.substr(pos, end - pos);
    for (char& c : fact) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (fact.rfind("type=", 0) == 0) return fact == "type=file";
    pos = end + 1;
  }
  // A server that gives no type fact lists files only in the ways it can.
  return true;
}

}  // namespace

std::vector<std::string> ListedFileNames(const std::string& listing, bool machine) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  size_t pos = 0;
  while (pos < listing.size()) {
    size_t eol = listing.find('\n', pos);
    if (eol == std::string::npos) eol = listing.size();
    std::string line = listing.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (machine) {
      const size_t blank = line.find(' ');
      if (blank == std::string::npos || !IsFileEntry(line.substr(0, blank))) continue;
      line.erase(0, blank + 1);
    }
    const size_t slash = line.rfind('/');
    if (slash != std::string::npos) line.erase(0, slash + 1);
    if (line.empty() || line == "." || line == "..") continue;
    if (seen.insert(line).second) names.push_back(std::move(line));
  }
  return names;
}

}  // namespace trelvo
