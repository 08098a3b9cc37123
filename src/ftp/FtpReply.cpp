#include "ftp/FtpReply.h"

namespace trelvo {

// Reads the status code of a reply line: blanks skipped, optional sign,
// digits. *final is false for a continuation line (the code followed by "-")
// and for a line that does not begin with a digit.
int ReplyStatus(const std::string& line, bool* final) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
  bool beginsWithDigit = !line.empty() && line[0] >= '0' && line[0] <= '9';
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  int code = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') code = code * 10 + (line[i++] - '0');
  if (final) *final = beginsWithDigit && !(i < line.size() && line[i] == '-');
  return negative ? -code : code;
}

// A quoted name after the code: doubled quotes stand for one; no quote gives "".
std::string QuotedName(const std::string& line) {
  size_t q = line.find('"');
  if (q == std::string::npos) return "";
  std::string name;
  for (size_t i = q + 1; i < line.size(); ++i) {
    if (line[i] == '"') {
      if (i + 1 < line.size() && line[i + 1] == '"') {
        name += '"';
        ++i;
        continue;
      }
      break;
    }
    name += line[i];
  }
  return name;
}

}  // namespace trelvo
