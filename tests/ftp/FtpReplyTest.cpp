// The values read out of reply lines, on lines no sane server sends as well
// as on the usual ones.
#include <gtest/gtest.h>

#include "ftp/FtpReply.h"

using namespace trelvo;

TEST(FtpReply, StatusCodesAndContinuations) {
  struct Case {
    const char* Line;
    int Code;
    bool Final;
  } cases[] = {
      {"220 Service ready", 220, true},
      {"230-Welcome", 230, false},
      {"230", 230, true},
      {"  Welcome text", 0, false},
      {"", 0, false},
      // A line of digits stays a number no reply list accepts, never an
      // overflow that might land on one.
      {"2300000000000000000000 Logged in", 230000, true},
      {"99999999999999999999-", 999999, false},
  };
  for (const Case& c : cases) {
    bool final = !c.Final;
    EXPECT_EQ(ReplyStatus(c.Line, &final), c.Code) << c.Line;
    EXPECT_EQ(final, c.Final) << c.Line;
  }
}

TEST(FtpReply, PassiveAddressAndPortWrapTo16Bits) {
  struct Case {
    const char* Reply;
    const char* Address;
    int Port;
  } cases[] = {
      {"227 Entering Passive Mode (127,0,0,1,195,80).", "127.0.0.1", 195 * 256 + 80},
      {"227 Entering Passive Mode (127,0,0,1,256,1)", "127.0.0.1", 1},
      {"227 (1,2,3,4,99999999,-77777777)", "1.2.3.4", static_cast<int>((99999999u * 256u - 77777777u) & 0xffffu)},
      {"227 Entering Passive Mode", "...", 0},
  };
  for (const Case& c : cases) {
    std::string address;
    int port = -1;
    PassiveAddress(c.Reply, address, port);
    EXPECT_EQ(address, c.Address) << c.Reply;
    EXPECT_EQ(port, c.Port) << c.Reply;
  }
}
