// The client against a scripted server: replies and timings real servers do
// not produce on demand. Each script runs in its own thread; the client
// pumps the main thread's loop as the program does. The transcript of
// commands the server saw is asserted where the order matters.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FtpTestKit.h"

namespace trelvo::test {
namespace {

using Strings = std::vector<std::string>;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Login(TFakeSession& s) {
  s.Send("220 ready\r\n");
  s.Expect("331 password please\r\n");
  s.Expect("230 logged in\r\n");
}

class FtpScripted : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }

  void Prepare(TFtpClient& c, const TFakeServer& server) {
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server.Port());
    c.UserName = "u";
    c.PassWord = "p";
    c.Timeout = 2;
    c.OnDisplay = [this](TFtpClientCore*, std::string& m) { Log += m + "\n"; };
  }

  TTempDir Local;
  std::string Log;
};

TEST_F(FtpScripted, RepliesSplitOverReadsAndSeveralInOneRead) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("22");
    Sleep(50);
    s.Send("0-first line of the greeting\r\n220-second");
    Sleep(50);
    s.Send(" line\r\n220 last\r\n");
    s.Expect("331 password please\r\n");
    // A multi-line 230 in one read; the bare "230" line is the final one.
    s.Expect("230-Welcome\r\n230-to the test\r\n230\r\n");
    s.Expect("200 Type set\r\n");
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << Log;
  EXPECT_EQ(c.ReplyCode(), 230);
  EXPECT_EQ(c.ReplyLine(), "230");
  ASSERT_TRUE(c.SetBinaryType()) << c.ErrorMessage() << Log;
  EXPECT_EQ(c.ReplyLine(), "200 Type set") << "PASS's continuation lines were not taken for later replies";
  EXPECT_EQ(server.Commands(), (Strings{"USER u", "PASS p", "TYPE I"}));
}

TEST_F(FtpScripted, LineFeedOnlyRepliesNeedAcceptLF) {
  auto script = [](TFakeSession& s) {
    s.Send("220 ready\n");
    s.Expect("331 password please\n");
    s.Expect("230 logged in\n");
  };
  {
    TFakeServer server(script);
    TFtpClient c;
    Prepare(c, server);
    EXPECT_TRUE(c.Connect()) << c.ErrorMessage() << Log;
  }
  {
    TFakeServer server(script);
    TFtpClient c;
    Prepare(c, server);
    c.Options = 0;
    c.Timeout = 1;
    EXPECT_FALSE(c.Connect());
    EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(c.ReplyCode(), 426);
    EXPECT_FALSE(c.IsConnected());
  }
}

TEST_F(FtpScripted, GreetingOtherThan220EndsTheOpen) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("421 Too many users\r\n");
    s.ReadCommand();  // waits for the client's close
  });
  TFtpClient c;
  Prepare(c, server);
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.RequestError(), 421);
  EXPECT_EQ(c.ErrorMessage(), "421 Too many users");
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.ControlSocket().State(), ssClosed);
}

TEST_F(FtpScripted, PassRefusedKeepsTheConnection) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("220 ready\r\n");
    s.Expect("331 password please\r\n");
    s.Expect("530 Login incorrect.\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient c;
  Prepare(c, server);
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.RequestError(), 530);
  EXPECT_EQ(c.ErrorMessage(), "530 Login incorrect.");
  EXPECT_TRUE(c.IsConnected());
  EXPECT_TRUE(c.Quit());
  EXPECT_EQ(server.Commands(), (Strings{"USER u", "PASS p", "QUIT"}));
}

TEST_F(FtpScripted, UserAnswered230SendsNoPass) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("220 ready\r\n");
    s.Expect("230 no password needed\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient c;
  Prepare(c, server);
  EXPECT_TRUE(c.Connect()) << c.ErrorMessage();
  EXPECT_TRUE(c.Quit());
  EXPECT_EQ(server.Commands(), (Strings{"USER u", "QUIT"}));
}

TEST_F(FtpScripted, PreconditionFailuresSendNothingAndKeepErrorMessage) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("220 ready\r\n");
    s.Expect("331 password please\r\n");
    s.Expect("530 wrong\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient c;
  Prepare(c, server);
  EXPECT_FALSE(c.Connect());
  EXPECT_FALSE(c.Connect()) << "already connected";
  c.HostDirName = "";
  EXPECT_FALSE(c.Cwd());
  EXPECT_EQ(c.ErrorMessage(), "530 wrong");
  EXPECT_FALSE(c.DownloadFile()) << "needs an unconnected client";
  std::string usage;
  c.OnUsageError = [&](TFtpClientCore*, std::string& m) { usage = m; };
  EXPECT_FALSE(c.Cwd()) << "a usage error taken by the handler fails the call too";
  EXPECT_EQ(usage, "HostDirName empty");
  c.OnUsageError = nullptr;
  EXPECT_THROW(c.CwdAsync(), FtpException);
  EXPECT_TRUE(c.Quit());
  EXPECT_EQ(server.Commands(), (Strings{"USER u", "PASS p", "QUIT"}));
}

TEST_F(FtpScripted, EmptyPasswordFailsTheConnectAfterUser) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("220 ready\r\n");
    s.Expect("331 password please\r\n");
    s.ReadCommand();
  });
  TFtpClient c;
  Prepare(c, server);
  c.PassWord = "";
  EXPECT_FALSE(c.Connect());
  EXPECT_NE(c.RequestError(), 0);
}

TEST_F(FtpScripted, DroppedControlConnectionFailsTheRequest) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Read();  // CWD, never answered
    s.CloseControl();
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.HostDirName = "x";
  EXPECT_FALSE(c.Cwd());
  EXPECT_EQ(c.ErrorMessage(), "500 Control connection closed.");
  EXPECT_EQ(c.RequestError(), 500);
  EXPECT_FALSE(c.IsConnected());
}

TEST_F(FtpScripted, ReplyLineLongerThanTheBufferClosesTheConnection) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Read();
    s.Send("200 " + std::string(5000, 'x'));
    s.ReadCommand();
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  EXPECT_FALSE(c.SetBinaryType());
  EXPECT_EQ(c.ErrorMessage(), "500 Control connection closed.");
  EXPECT_FALSE(c.IsConnected());
}

// ---- data transfers ----

// Serves one RETR in active mode; order decides when 226 goes relative to
// the data and the close of the data connection.
enum class TFinalOrder { BeforeDataAndClose, AfterClose, InOneReadWith150 };

TEST_F(FtpScripted, RetrEndsAtTheLaterOfFinalReplyAndDataClose) {
  for (TFinalOrder order : {TFinalOrder::BeforeDataAndClose, TFinalOrder::AfterClose, TFinalOrder::InOneReadWith150}) {
    SCOPED_TRACE(static_cast<int>(order));
    TFakeServer server([order](TFakeSession& s) {
      Login(s);
      s.Expect("200 PORT ok\r\n");
      s.Read();
      int data = s.ConnectToPort();
      if (order == TFinalOrder::BeforeDataAndClose) {
        s.Send("150 here it comes\r\n226 done\r\n");
        Sleep(200);
        SendAll(data, "payload");
        ::close(data);
      } else if (order == TFinalOrder::AfterClose) {
        s.Send("150 here it comes\r\n");
        SendAll(data, "payload");
        ::close(data);
        Sleep(200);
        s.Send("226 done\r\n");
      } else {
        SendAll(data, "payload");
        ::close(data);
        Sleep(100);
        s.Send("150 here it comes\r\n226 done\r\n");
      }
      s.Expect("221 bye\r\n");
    });
    TFtpClient c;
    Prepare(c, server);
    ASSERT_TRUE(c.Connect());
    c.HostFileName = "f.zip";
    c.LocalFileName = Local / "f.zip";
    ASSERT_TRUE(c.Retr()) << c.ErrorMessage() << Log;
    EXPECT_EQ(ReadFile(Local / "f.zip"), "payload");
    EXPECT_EQ(c.ReplyLine(), "226 done");
    EXPECT_TRUE(c.Quit());
    Strings commands = server.Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[2].substr(0, 15), "PORT 127,0,0,1,");
    EXPECT_EQ(commands[3], "RETR f.zip");
  }
}

TEST_F(FtpScripted, StorStartsSendingWhenBothConnectionAndAcceptanceAreThere) {
  const std::string payload = RandomBytes(100000, 3);
  for (bool connectFirst : {true, false}) {
    SCOPED_TRACE(connectFirst);
    std::string received;
    {
      TFakeServer server([&](TFakeSession& s) {
        Login(s);
        s.Expect("200 PORT ok\r\n");
        s.Read();
        int data;
        if (connectFirst) {
          data = s.ConnectToPort();
          Sleep(200);  // nothing may arrive before the 150
          char c;
          EXPECT_EQ(::recv(data, &c, 1, MSG_DONTWAIT), -1);
          s.Send("150 send it\r\n");
        } else {
          s.Send("150 send it\r\n");
          Sleep(200);
          data = s.ConnectToPort();
        }
        received = ReceiveAll(data);
        ::close(data);
        s.Send("226 stored\r\n");
        s.Expect("221 bye\r\n");
      });
      WriteFile(Local / "up.zip", payload);
      TFtpClient c;
      Prepare(c, server);
      ASSERT_TRUE(c.Connect());
      c.HostFileName = "up.zip";
      c.LocalFileName = Local / "up.zip";
      int64_t lastCount = -1;
      c.OnProgress = [&](TFtpClientCore*, int64_t count, bool&) { lastCount = count; };
      ASSERT_TRUE(c.Stor()) << c.ErrorMessage() << Log;
      EXPECT_EQ(c.ByteCount(), static_cast<int64_t>(payload.size()));
      EXPECT_EQ(lastCount, static_cast<int64_t>(payload.size()));
      EXPECT_TRUE(c.Quit());
    }
    EXPECT_TRUE(received == payload);
  }
}

TEST_F(FtpScripted, StalledTransferTimesOutMovingOneDoesNot) {
  auto script = [](bool stall) {
    return [stall](TFakeSession& s) {
      Login(s);
      s.Expect("200 PORT ok\r\n");
      s.Read();
      int data = s.ConnectToPort();
      s.Send("150 here it comes\r\n");
      // Timeout is 1 s: a chunk every 300 ms for 2.4 s keeps it alive.
      for (int i = 0; i < 8; ++i) {
        SendAll(data, std::string(1000, 'a' + i));
        Sleep(stall && i == 1 ? 1800 : 300);
        if (stall && i == 1) break;
      }
      ::close(data);
      s.Send("226 done\r\n");
      s.ReadCommand();
    };
  };
  {
    TFakeServer server(script(false));
    TFtpClient c;
    Prepare(c, server);
    c.Timeout = 1;
    ASSERT_TRUE(c.Connect());
    c.HostFileName = "slow.zip";
    c.LocalFileName = Local / "slow.zip";
    EXPECT_TRUE(c.Retr()) << c.ErrorMessage() << Log;
    EXPECT_EQ(ReadFile(Local / "slow.zip").size(), 8000u);
  }
  {
    TFakeServer server(script(true));
    TFtpClient c;
    Prepare(c, server);
    c.Timeout = 1;
    ASSERT_TRUE(c.Connect());
    c.HostFileName = "stall.zip";
    c.LocalFileName = Local / "stall.zip";
    EXPECT_FALSE(c.Retr());
    EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(c.ReplyCode(), 426);
    EXPECT_FALSE(c.IsConnected()) << "a time-out closes the connection";
  }
}

// A server that stops reading mid-upload: the time-out ends the request at
// once, without the close waiting for the peer to take the last bytes.
TEST_F(FtpScripted, StalledUploadTimesOutPromptly) {
  std::atomic<bool> released{false};
  TFakeServer server([&](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int data = s.ConnectToPort();
    s.Send("150 send it\r\n");
    // A hung server: it reads nothing and notices nothing until the test ends.
    for (int i = 0; i < 3000 && !released; ++i) Sleep(10);
    ::close(data);
  });
  WriteFile(Local / "big.zip", std::string(24 << 20, 'x'));  // more than the system buffers hold
  TFtpClient c;
  Prepare(c, server);
  c.Timeout = 1;
  ASSERT_TRUE(c.Connect());
  c.HostFileName = "big.zip";
  c.LocalFileName = Local / "big.zip";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.Stor());
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  released = true;
  EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
  EXPECT_LT(seconds, 15) << "the close waited for a peer that reads nothing";
  EXPECT_GT(c.ByteCount(), 0);
  EXPECT_LT(c.ByteCount(), 24 << 20);
}

TEST_F(FtpScripted, NlstAnswered550LeavesAnEmptyListFile) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Expect("550 No files found\r\n");
    s.ReadCommand();
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.HostFileName = "*.Zip";
  c.LocalFileName = Local / "list.txt";
  EXPECT_FALSE(c.Ls());
  EXPECT_EQ(c.ErrorMessage(), "550 No files found");
  EXPECT_TRUE(c.IsConnected());
  EXPECT_TRUE(FileExists(Local / "list.txt"));
  EXPECT_EQ(ReadFile(Local / "list.txt"), "");
  EXPECT_EQ(c.DataSocket().State(), ssClosed) << "no listening socket outlives the request";
}

TEST_F(FtpScripted, LocalFileProblemsFailBeforeOrWithoutTheTransfer) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");  // Retr: the local file cannot be made
    s.Expect("200 PORT ok\r\n");  // Stor: the local file is missing
    s.ReadCommand();
  });
  WriteFile(Local / "plain", "x");
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.HostFileName = "f.zip";
  c.LocalFileName = Local / "plain/f.zip";  // a path through a regular file
  EXPECT_FALSE(c.Retr());
  EXPECT_EQ(c.ErrorMessage(), "Unable to open local file " + Local / "plain/f.zip");
  EXPECT_EQ(c.ReplyCode(), 550);
  c.LocalFileName = Local / "missing.zip";
  EXPECT_FALSE(c.Stor());
  EXPECT_EQ(c.ErrorMessage(), "426 Unable to open local file " + Local / "missing.zip");
  EXPECT_NE(Log.find("! 426 Unable to open local file"), std::string::npos);
  EXPECT_TRUE(c.IsConnected());
}

TEST_F(FtpScripted, LocalWriteFailureFailsTheDownloadDespite226) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int data = s.ConnectToPort();
    s.Send("150 here it comes\r\n");
    SendAll(data, std::string(200000, 'd'));
    ::close(data);
    s.Send("226 done\r\n");
    s.ReadCommand();
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.HostFileName = "f.zip";
  c.LocalFileName = "/dev/full";  // every write fails, also for root
  EXPECT_FALSE(c.Retr());
  EXPECT_EQ(c.ErrorMessage(), "550 Error writing local file");
  EXPECT_NE(Log.find("! Error writing local file"), std::string::npos);
  EXPECT_TRUE(c.IsConnected());
}

TEST_F(FtpScripted, ProgressAbortClosesTheDataConnectionAndFails) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int data = s.ConnectToPort();
    s.Send("150 here it comes\r\n");
    SendAll(data, std::string(20000, 'z'));
    ReceiveAll(data);  // until the client closes
    ::close(data);
    s.Send("226 done\r\n");
    s.ReadCommand();
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.HostFileName = "f.zip";
  c.LocalFileName = Local / "f.zip";
  c.OnProgress = [](TFtpClientCore*, int64_t count, bool& abort) { abort = count > 0; };
  EXPECT_FALSE(c.Retr());
  EXPECT_NE(Log.find("! Abort requested"), std::string::npos);
}

TEST_F(FtpScripted, OneCallDownloadKeepsTheTransferReply) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 Type set\r\n");
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int data = s.ConnectToPort();
    s.Send("150 here it comes\r\n");
    SendAll(data, "abc");
    ::close(data);
    s.Send("226 Transfer complete\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient c;
  Prepare(c, server);
  c.HostFileName = "f.zip";
  c.LocalFileName = Local / "f.zip";
  ASSERT_TRUE(c.DownloadFile()) << c.ErrorMessage() << Log;
  EXPECT_EQ(c.ReplyLine(), "226 Transfer complete");
  EXPECT_EQ(c.ReplyCode(), 226);
  EXPECT_EQ(ReadFile(Local / "f.zip"), "abc");
  Strings commands = server.Commands();
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_EQ(commands[2], "TYPE I") << "no CWD with an empty HostDirName";
  EXPECT_EQ(commands[3].substr(0, 15), "PORT 127,0,0,1,");
  EXPECT_EQ(commands[4], "RETR f.zip");
  EXPECT_EQ(commands[5], "QUIT");
}

TEST_F(FtpScripted, DisplayFileGetsTheListingLineByLine) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int data = s.ConnectToPort();
    s.Send("150 listing\r\n");
    SendAll(data, "one.zip\r\ntwo.zip\r\n\r\nthree.zip");
    ::close(data);
    s.Send("226 done\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.DisplayFileFlag = true;
  Strings pieces;
  c.OnDisplayFile = [&](TFtpClientCore*, std::string& m) { pieces.push_back(m); };
  ASSERT_TRUE(c.Dir()) << c.ErrorMessage() << Log;
  EXPECT_EQ(pieces, (Strings{"one.zip", "two.zip", "three.zip"}));
  EXPECT_TRUE(c.Quit());
  EXPECT_EQ(server.Commands()[3], "LIST");
}

TEST_F(FtpScripted, ReadyToTransmitMayCancelTheUpload) {
  TFakeServer server([](TFakeSession& s) {
    Login(s);
    s.Expect("200 PORT ok\r\n");
    s.ReadCommand();
  });
  WriteFile(Local / "up.zip", "x");
  TFtpClient c;
  Prepare(c, server);
  ASSERT_TRUE(c.Connect());
  c.HostFileName = "up.zip";
  c.LocalFileName = Local / "up.zip";
  c.OnReadyToTransmit = [](TFtpClientCore*, bool& cancel) { cancel = true; };
  EXPECT_FALSE(c.Stor());
  EXPECT_EQ(c.ErrorMessage(), "426 Transmit cancelled by application");
  EXPECT_EQ(c.RequestError(), 426);
  EXPECT_NE(Log.find("! 426 Transmit cancelled by application"), std::string::npos);
}

TEST_F(FtpScripted, RefusedConnectionAndQuitWithoutConnection) {
  TFtpClient c;
  c.HostName = "127.0.0.1";
  c.Port = std::to_string(FreeLoopbackPort());
  c.UserName = "u";
  c.PassWord = "p";
  c.Timeout = 1;
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.ErrorMessage().substr(0, 4), "500 ");
  EXPECT_NE(c.ErrorMessage().find("10061"), std::string::npos) << c.ErrorMessage();
  EXPECT_FALSE(c.IsConnected());
  EXPECT_FALSE(c.Connect()) << "a failed connect leaves the client ready for another";
  EXPECT_NE(c.ErrorMessage().find("10061"), std::string::npos) << c.ErrorMessage();
  // QUIT on a closed connection sends nothing and runs into the time limit.
  EXPECT_FALSE(c.Quit());
  EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
}

}  // namespace
}  // namespace trelvo::test
