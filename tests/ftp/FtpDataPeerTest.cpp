// Data connections only with the control connection's server: the address
// a passive reply names is not used, and an active data connection from
// another address is refused while the server's own is taken.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FtpTestKit.h"

namespace trelvo::test {
namespace {

using Strings = std::vector<std::string>;

void Login(TFakeSession& s) {
  s.Send("220 ready\r\n");
  s.Expect("331 password please\r\n");
  s.Expect("230 logged in\r\n");
}

// Sends the listing over an accepted or connected data socket.
void ServeListing(TFakeSession& s, int data, const std::string& listing) {
  s.Send("150 listing\r\n");
  SendAll(data, listing);
  ::close(data);
  s.Send("226 done\r\n");
}

class FtpDataPeer : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }

  void Prepare(TFtpClient& c, const TFakeServer& server) {
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server.Port());
    c.UserName = "u";
    c.PassWord = "p";
    c.Timeout = 2;
    c.LocalFileName = Local / "list.txt";
    c.OnDataConnectionRefused = [this](TFtpClientCore*, std::string& a) { Refused.push_back(a); };
  }

  TTempDir Local;
  Strings Refused;
};

// The server answers FEAT with feat, then the passive command with the
// reply made from its listening port; a reply naming 127.0.0.2 must not
// take the client there (nothing listens on 127.0.0.2).
TEST_F(FtpDataPeer, PassiveConnectsToTheControlPeerWhateverTheReplyNames) {
  struct TCase {
    const char* Name;
    std::string Feat;
    std::function<std::string(int port)> Answer;  // to the first passive command
    Strings Commands;                             // after the login
  } cases[] = {
      {"PASV naming another host", "502 no FEAT here\r\n",
       [](int p) { return "227 Entering Passive Mode (127,0,0,2," + std::to_string(p / 256) + "," + std::to_string(p % 256) + ").\r\n"; },
       {"FEAT", "PASV", "NLST"}},
      {"EPSV where FEAT offers it", "211-Features:\r\n MDTM\r\n EPSV\r\n211 End\r\n",
       [](int p) { return "229 Entering Extended Passive Mode (|||" + std::to_string(p) + "|)\r\n"; },
       {"FEAT", "EPSV", "NLST"}},
      {"EPSV offered but refused", "211-Features:\r\n EPSV\r\n211 End\r\n",
       [](int) { return std::string("500 EPSV not understood\r\n"); },
       {"FEAT", "EPSV", "PASV", "NLST"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeServer server([&](TFakeSession& s) {
      Login(s);
      s.Expect(c.Feat);
      const int port = s.ListenPassive();
      std::string cmd = s.Expect(c.Answer(port));
      if (cmd == "EPSV" && c.Answer(port)[0] == '5')
        s.Expect("227 Entering Passive Mode (10,9,8,7," + std::to_string(port / 256) + "," + std::to_string(port % 256) + ")\r\n");
      s.Read();
      ServeListing(s, s.AcceptPassive(), "a.zip\r\n");
      s.Expect("221 bye\r\n");
    });
    TFtpClient ftp;
    Prepare(ftp, server);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect());
    EXPECT_TRUE(ftp.Ls()) << ftp.ErrorMessage();
    EXPECT_EQ(ReadFile(Local / "list.txt"), "a.zip\r\n");
    // The features stay known for the session: the next transfer asks no FEAT.
    EXPECT_TRUE(ftp.FeaturesKnown());
    EXPECT_TRUE(ftp.Quit());
    Strings commands = server.Commands();
    Strings expected = {"USER u", "PASS p"};
    expected.insert(expected.end(), c.Commands.begin(), c.Commands.end());
    expected.push_back("QUIT");
    EXPECT_EQ(commands, expected);
  }
}

// A connection from 127.0.0.3 reaches the listening port first and offers a
// forged listing: it is closed unread, reported, and the server's own
// connection delivers the listing.
TEST_F(FtpDataPeer, ActiveConnectionFromAnotherAddressIsRefused) {
  std::string forgedSaw = "not run";
  TFakeServer server([&](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int forged = s.ConnectToPort("127.0.0.3");
    SendAll(forged, "forged.zip\r\n");
    // The client closes it unread (a reset, as the forged bytes wait).
    char byte;
    forgedSaw = ::recv(forged, &byte, 1, 0) <= 0 ? "closed" : "open";
    ::close(forged);
    ServeListing(s, s.ConnectToPort("127.0.0.1"), "real.zip\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient ftp;
  Prepare(ftp, server);
  ASSERT_TRUE(ftp.Connect());
  EXPECT_TRUE(ftp.Ls()) << ftp.ErrorMessage();
  EXPECT_EQ(ReadFile(Local / "list.txt"), "real.zip\r\n");
  EXPECT_EQ(Refused, Strings{"127.0.0.3"});
  EXPECT_TRUE(ftp.Quit());
  server.Commands();
  EXPECT_EQ(forgedSaw, "closed");
}

// Only the stranger ever connects: the transfer waits for the server until
// the time limit, and an upload never gives its bytes away.
TEST_F(FtpDataPeer, OnlyAStrangerConnectingEndsInTheTimeout) {
  std::string strangerGot = "not run";
  TFakeServer server([&](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Expect("150 send it\r\n");
    int stranger = s.ConnectToPort("127.0.0.3");
    strangerGot = ReceiveAll(stranger);
    ::close(stranger);
    s.ReadCommand();
  });
  TFtpClient ftp;
  Prepare(ftp, server);
  ftp.Timeout = 1;
  WriteFile(Local / "up.zip", "the package");
  ftp.LocalFileName = Local / "up.zip";
  ftp.HostFileName = "up.zip";
  ASSERT_TRUE(ftp.Connect());
  EXPECT_FALSE(ftp.Stor());
  EXPECT_EQ(ftp.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(Refused, Strings{"127.0.0.3"});
  server.Commands();
  EXPECT_EQ(strangerGot, "");
}

}  // namespace
}  // namespace trelvo::test
