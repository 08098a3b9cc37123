#include "ftp/FtpReply.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace trelvo {

int ReplyStatus(const std::string& line, bool* final) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
  bool beginsWithDigit = !line.empty() && line[0] >= '0' && line[0] <= '9';
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  int code = 0;
  // Every digit belongs to the code, but a code of more than six digits
  // stays at six: no accepted code is that long, and the number must not
  // overflow on a line of digits.
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
    if (code < 100000) code = code * 10 + (line[i] - '0');
  if (final) *final = beginsWithDigit && !(i < line.size() && line[i] == '-');
  return negative ? -code : code;
}

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

int64_t ReplySize(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  return std::strtoll(line.c_str() + i, nullptr, 10);
}

void PassiveAddress(const std::string& reply, std::string& address, int& port) {
  std::string s = reply;
  size_t paren = s.find('(');
  s = paren == std::string::npos ? "" : s.substr(paren + 1);
  std::vector<std::string> parts;
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    size_t comma = s.find(',', pos);
    parts.push_back(s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    pos = comma == std::string::npos ? s.size() : comma + 1;
  }
  size_t close = s.find(')', pos);
  parts.push_back(s.substr(pos, close == std::string::npos ? std::string::npos : close - pos));
  address = parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
  // Port numbers out of range wrap to 16 bits as they always have; unsigned,
  // so that a long number cannot overflow on the way.
  port = static_cast<int>((static_cast<unsigned>(std::atoi(parts[4].c_str())) * 256u +
                           static_cast<unsigned>(std::atoi(parts[5].c_str()))) & 0xffffu);
}

int PassivePort(const std::string& reply) {
  if (ReplyStatus(reply, nullptr) != 229) {
    std::string address;
    int port = 0;
    PassiveAddress(reply, address, port);
    return port;
  }
  const size_t paren = reply.find('(');
  if (paren == std::string::npos || reply.size() < paren + 5) return 0;
  const char delimiter = reply[paren + 1];
  if (reply[paren + 2] != delimiter || reply[paren + 3] != delimiter) return 0;
  unsigned port = 0;
  size_t i = paren + 4;
  // Six digits at most: no port has more, and the number cannot overflow.
  for (int digits = 0; i < reply.size() && digits < 6 && reply[i] >= '0' && reply[i] <= '9'; ++i, ++digits)
    port = port * 10 + static_cast<unsigned>(reply[i] - '0');
  if (i >= reply.size() || reply[i] != delimiter || port > 0xffff) return 0;
  return static_cast<int>(port);
}

bool TakeReplyLine(char* buffer, int& length, bool acceptLF, std::string& line) {
  int limit = static_cast<int>(std::strlen(buffer));
  int lineLen = -1, consumed = 0;
  if (acceptLF) {
    const char* lf = static_cast<const char*>(std::memchr(buffer, '\n', limit));
    if (lf) {
      lineLen = static_cast<int>(lf - buffer);
      consumed = lineLen + 1;
    }
  } else {
    for (int i = 0; i + 1 < limit; ++i)
      if (buffer[i] == '\r' && buffer[i + 1] == '\n') {
        lineLen = i;
        consumed = i + 2;
        break;
      }
  }
  if (lineLen < 0) return false;
  line.assign(buffer, lineLen);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  std::memmove(buffer, buffer + consumed, length - consumed + 1);
  length -= consumed;
  return true;
}

}  // namespace trelvo
