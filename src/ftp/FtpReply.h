#pragma once
// Reading the control connection's reply lines.
#include <string>

namespace trelvo {

// Reads the status code of a reply line: blanks skipped, optional sign,
// digits. *final is false for a continuation line (the code followed by "-")
// and for a line that does not begin with a digit.
int ReplyStatus(const std::string& line, bool* final);

// A quoted name after the code: doubled quotes stand for one; no quote gives "".
std::string QuotedName(const std::string& line);

}  // namespace trelvo
