#pragma once
// The pure parts of reading the control connection: cutting reply lines out
// of the receive buffer and the values that replies carry. They take bytes a
// server sends, so they live apart from the sockets and can be tried on any
// input.
#include <cstdint>
#include <string>

namespace trelvo {

// Reads the status code of a reply line: blanks skipped, optional sign,
// digits. *final is false for a continuation line (the code followed by "-")
// and for a line that does not begin with a digit.
int ReplyStatus(const std::string& line, bool* final);

// A quoted name after the code: doubled quotes stand for one; no quote gives "".
std::string QuotedName(const std::string& line);

// The number after the code of a SIZE reply (0 when there is none).
int64_t ReplySize(const std::string& line);

// Host and port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." reply,
// taken as they stand; a malformed reply gives an address the socket refuses.
void PassiveAddress(const std::string& reply, std::string& address, int& port);

// The data port of a passive reply: "229 Entering Extended Passive Mode
// (|||port|)" with any delimiter, or the port of a 227 reply. 0 when the
// reply names none. The data connection goes to the control connection's
// peer whatever address a 227 reply names.
int PassivePort(const std::string& reply);

// Takes the first complete line out of buffer, which holds length bytes
// followed by a zero byte; a zero byte inside ends the search. With acceptLF
// a line feed alone ends a line, else only carriage return + line feed. The
// line is returned without its trailing line-end bytes and the rest of the
// buffer (with its zero byte) moves to the start. False, with the buffer
// untouched, when no line is complete.
bool TakeReplyLine(char* buffer, int& length, bool acceptLF, std::string& line);

}  // namespace trelvo
