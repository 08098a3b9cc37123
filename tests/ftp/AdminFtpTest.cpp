// trelvo-admin ftp against pyftpdlib: the operator's view of the client.
#include <gtest/gtest.h>

#include "FtpTestKit.h"

namespace trelvo::test {
namespace {

class AdminFtp : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(Root / "pub");
    Server = std::make_unique<TPyFtpServer>(Root.Path());
  }
  // Runs the tool; returns its exit status, stdout+stderr in *out.
  int Admin(const std::string& args, std::string* out) {
    return RunCommand(BinaryDir() + "/tools/trelvo-admin ftp 127.0.0.1:" + std::to_string(Server->Port()) + " " + args +
                          " 2>&1",
                      out);
  }
  TTempDir Root, Local;
  std::unique_ptr<TPyFtpServer> Server;
};

TEST_F(AdminFtp, PutLsGetRmInBothModes) {
  WriteFile(Local / "S1_20260101.Zip", "package bytes");
  for (const char* mode : {"", " --passive"}) {
    SCOPED_TRACE(mode);
    std::string out;
    ASSERT_EQ(Admin("test secret put " + Local / "S1_20260101.Zip" + " pub/S1_20260101.Zip" + mode, &out), 0) << out;
    EXPECT_EQ(ReadFile(Root / "pub/S1_20260101.Zip"), "package bytes");
    ASSERT_EQ(Admin(std::string("test secret ls 'pub/S1_*.zip'") + mode, &out), 0) << out;
    EXPECT_EQ(out, "S1_20260101.Zip\n");
    ASSERT_EQ(Admin("test secret get pub/S1_20260101.Zip " + Local / "back.zip" + mode + " --verbose", &out), 0) << out;
    EXPECT_EQ(ReadFile(Local / "back.zip"), "package bytes");
    EXPECT_NE(out.find("> RETR S1_20260101.Zip"), std::string::npos) << out;
    EXPECT_NE(out.find("> CWD pub"), std::string::npos) << out;
    EXPECT_NE(out.find("< 226"), std::string::npos) << out;
    ASSERT_EQ(Admin(std::string("test secret rm pub/S1_20260101.Zip") + mode, &out), 0) << out;
    EXPECT_FALSE(FileExists(Root / "pub/S1_20260101.Zip"));
  }
}

TEST_F(AdminFtp, FailuresAndUsage) {
  std::string out;
  EXPECT_EQ(Admin("test wrong ls", &out), 1);
  EXPECT_EQ(out.substr(0, 4), "530 ") << out;
  EXPECT_EQ(Admin("test secret get pub/none.zip " + Local / "none.zip", &out), 1);
  EXPECT_EQ(out.substr(0, 4), "550 ") << out;
  EXPECT_EQ(Admin("test secret rm", &out), 2) << out;
  EXPECT_EQ(Admin("test secret frobnicate x", &out), 2) << out;
}

}  // namespace
}  // namespace trelvo::test
