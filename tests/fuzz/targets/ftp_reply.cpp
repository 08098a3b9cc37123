// Bytes of a control connection as a server sends them, in pieces of any
// size, through the client's receive buffer: every reply line cut out of it
// and every value read from a line (code, quoted directory, SIZE, PASV).
#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "ftp/FtpClientCore.h"
#include "ftp/FtpReply.h"

using namespace trelvo;
using trelvo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the line-end rule and the size of the pieces the
  // socket hands over.
  const bool acceptLF = data[0] & 0x80;
  const size_t piece = (data[0] & 0x7f) + 1;
  data++, size--;

  char buffer[TFtpClientCore::ReceiveBufferSize];
  int length = 0;
  buffer[0] = '\0';
  size_t at = 0;
  while (at < size) {
    const int room = TFtpClientCore::ReceiveBufferSize - 1 - length;
    if (room == 0) break;  // a line longer than the buffer: the client closes
    const size_t n = std::min({piece, size - at, static_cast<size_t>(room)});
    std::memcpy(buffer + length, data + at, n);
    at += n;
    length += static_cast<int>(n);
    buffer[length] = '\0';
    std::string line;
    while (length > 0 && TakeReplyLine(buffer, length, acceptLF, line)) {
      Require(length >= 0 && length < TFtpClientCore::ReceiveBufferSize && buffer[length] == '\0',
              "the buffer keeps its length and its zero byte");
      Require(line.empty() || (line.back() != '\r' && line.back() != '\n'), "the line end is removed");
      if (acceptLF) Require(line.find('\n') == std::string::npos, "one line at a time");
      Require(line.find('\0') == std::string::npos, "a zero byte ends the search for a line");
      bool final = false;
      (void)ReplyStatus(line, &final);
      (void)QuotedName(line);
      (void)ReplySize(line);
      std::string address;
      int port = -1;
      PassiveAddress(line, address, port);
      Require(port >= 0 && port <= 0xffff, "a port fits 16 bits");
    }
  }
  return 0;
}
