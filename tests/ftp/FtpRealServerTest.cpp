// The blocking client against Debian's real FTP servers on loopback, in
// active mode (what the transfer procedures use) and in passive mode.
#include <gtest/gtest.h>

#include <algorithm>

#include "FtpTestKit.h"

namespace trelvo::test {
namespace {

struct TServerCase {
  const char* Name;
  bool Vsftpd;
  bool Passive;
};

class FtpRealServer : public ::testing::TestWithParam<TServerCase> {
 protected:
  void SetUp() override {
    EnsureQtApp();
    if (GetParam().Vsftpd) {
      if (!TVsftpdServer::Available()) GTEST_SKIP() << "vsftpd needs root";
      Vs_ = std::make_unique<TVsftpdServer>(Root_.Path());
      Port_ = Vs_->Port();
      User_ = "anonymous";
    } else {
      MakeDir(Root_ / "pub");
      Py_ = std::make_unique<TPyFtpServer>(Root_.Path());
      Port_ = Py_->Port();
      User_ = "test";
    }
  }

  void Prepare(TFtpClient& c) {
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(Port_);
    c.UserName = User_;
    c.PassWord = "secret";
    c.SetPassive(GetParam().Passive);
    c.Timeout = 5;
    c.OnDisplay = [this](TFtpClientCore*, std::string& m) { Log_ += m + "\n"; };
  }

  std::string ServerFile(const std::string& name) { return Root_ / ("pub/" + name); }

  TTempDir Root_, Local_;
  std::unique_ptr<TPyFtpServer> Py_;
  std::unique_ptr<TVsftpdServer> Vs_;
  int Port_ = 0;
  std::string User_;
  std::string Log_;
};

TEST_P(FtpRealServer, UploadAndDownloadKeepEveryByte) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.zip", ""},
      {"small.zip", "abc\r\n"},
      {"large.zip", RandomBytes(30u << 20, 7)},
  };
  for (const auto& [name, data] : files) {
    SCOPED_TRACE(name);
    WriteFile(Local_ / name, data);
    {
      TFtpClient up;
      Prepare(up);
      up.HostDirName = "pub";
      up.HostFileName = name;
      up.LocalFileName = Local_ / name;
      ASSERT_TRUE(up.UploadFile()) << up.ErrorMessage() << "\n" << Log_;
      EXPECT_EQ(up.ReplyCode(), 226) << "the transfer's reply, not QUIT's, is kept";
      EXPECT_EQ(up.ReplyLine().substr(0, 3), "226");
      EXPECT_FALSE(up.IsConnected());
    }
    EXPECT_TRUE(ReadFile(ServerFile(name)) == data);
    {
      TFtpClient down;
      Prepare(down);
      down.HostDirName = "pub";
      down.HostFileName = name;
      down.LocalFileName = Local_ / ("back-" + name);
      ASSERT_TRUE(down.DownloadFile()) << down.ErrorMessage() << "\n" << Log_;
      EXPECT_EQ(down.ReplyCode(), 226);
    }
    EXPECT_TRUE(ReadFile(Local_ / ("back-" + name)) == data);
  }
}

TEST_P(FtpRealServer, SessionListsDeletesAndQuits) {
  WriteFile(Local_ / "a.zip", "AAAA");
  TFtpClient c;
  Prepare(c);
  ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << "\n" << Log_;
  c.HostDirName = "pub";
  ASSERT_TRUE(c.Cwd()) << c.ErrorMessage();
  ASSERT_TRUE(c.SetBinaryType()) << c.ErrorMessage();
  ASSERT_TRUE(c.Pwd()) << c.ErrorMessage();
  EXPECT_EQ(c.RemoteDir(), "/pub");
  for (const char* name : {"S1_1.Zip", "S1_2.Zip", "other.txt"}) {
    c.HostFileName = name;
    c.LocalFileName = Local_ / "a.zip";
    ASSERT_TRUE(c.Stor()) << name << ": " << c.ErrorMessage() << "\n" << Log_;
  }
  c.HostFileName = "S1_*.Zip";
  c.LocalFileName = Local_ / "list.txt";
  ASSERT_TRUE(c.Ls()) << c.ErrorMessage() << "\n" << Log_;
  std::string listing = ReadFile(Local_ / "list.txt");
  EXPECT_NE(listing.find("S1_1.Zip"), std::string::npos) << listing;
  EXPECT_NE(listing.find("S1_2.Zip"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("other.txt"), std::string::npos) << listing;

  // A mask that matches nothing: vsftpd gives an empty listing, pyftpdlib
  // (with the test's matcher) answers 550; either way the list file is empty.
  c.HostFileName = "*.nothing";
  bool ok = c.Ls();
  EXPECT_EQ(ok, GetParam().Vsftpd) << c.ErrorMessage();
  if (!ok) {
    EXPECT_EQ(c.ErrorMessage().substr(0, 3), "550");
  }
  EXPECT_TRUE(FileExists(Local_ / "list.txt"));
  EXPECT_EQ(ReadFile(Local_ / "list.txt"), "");

  c.HostFileName = "S1_1.Zip";
  ASSERT_TRUE(c.Size()) << c.ErrorMessage();
  EXPECT_EQ(c.RemoteSize(), 4);
  ASSERT_TRUE(c.Dele()) << c.ErrorMessage();
  EXPECT_FALSE(FileExists(ServerFile("S1_1.Zip")));
  c.LocalFileName = Local_ / "got.zip";
  c.HostFileName = "S1_2.Zip";
  ASSERT_TRUE(c.Retr()) << c.ErrorMessage();
  EXPECT_EQ(ReadFile(Local_ / "got.zip"), "AAAA");
  EXPECT_TRUE(c.Quit()) << c.ErrorMessage();
  EXPECT_FALSE(c.IsConnected());
}

TEST_P(FtpRealServer, ServerRefusalsLeaveTheReplyAndTheConnection) {
  TFtpClient c;
  Prepare(c);
  ASSERT_TRUE(c.Connect());
  c.HostDirName = "no-such-dir";
  EXPECT_FALSE(c.Cwd());
  EXPECT_EQ(c.ErrorMessage().substr(0, 3), "550");
  EXPECT_TRUE(c.IsConnected());
  c.HostFileName = "missing.zip";
  c.LocalFileName = Local_ / "missing.zip";
  EXPECT_FALSE(c.Retr());
  EXPECT_EQ(c.ErrorMessage().substr(0, 3), "550");
  EXPECT_TRUE(c.IsConnected());
  EXPECT_TRUE(c.Quit());
}

TEST_P(FtpRealServer, RestartedDownloadContinuesThePartialFile) {
  std::string data = RandomBytes(100000, 11);
  WriteFile(ServerFile("part.zip"), data);
  if (GetParam().Vsftpd) RunCommand("chmod 644 " + ServerFile("part.zip"));
  WriteFile(Local_ / "part.zip", data.substr(0, 40000));
  TFtpClient c;
  Prepare(c);
  c.HostDirName = "pub";
  c.HostFileName = "part.zip";
  c.LocalFileName = Local_ / "part.zip";
  ASSERT_TRUE(c.RestartDownloadFile()) << c.ErrorMessage() << "\n" << Log_;
  EXPECT_EQ(c.ByteCount(), 60000);
  EXPECT_TRUE(ReadFile(Local_ / "part.zip") == data);
  EXPECT_NE(Log_.find("> REST 40000"), std::string::npos) << Log_;
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer,
                         ::testing::Values(TServerCase{"PyftpdlibActive", false, false},
                                           TServerCase{"PyftpdlibPassive", false, true},
                                           TServerCase{"VsftpdActive", true, false},
                                           TServerCase{"VsftpdPassive", true, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace trelvo::test
