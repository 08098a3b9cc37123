// Listings as servers send them: the plain file names of NLST and MLSD
// listings, and FEAT and MLSD on the wire.
#include <gtest/gtest.h>
#include <unistd.h>

#include "FtpTestKit.h"
#include "ftp/ListedNames.h"

namespace trelvo::test {
namespace {

using Strings = std::vector<std::string>;

TEST(ListedFileNames, KeepsPlainFileNamesOnly) {
  struct TCase {
    const char* Name;
    std::string Listing;
    bool Machine;
    Strings Names;
  } cases[] = {
      {"plain names, CR LF and LF", "a.Zip\r\nb.Zip\nc.Zip", false, {"a.Zip", "b.Zip", "c.Zip"}},
      {"dot entries and empty lines", ".\r\n..\r\n\r\na.Zip\r\n", false, {"a.Zip"}},
      {"path parts", "./a.Zip\r\n/Sorvel/b.Zip\r\nsub/dir/c.Zip\r\n../d.Zip\r\n./\r\n./..\r\n", false,
       {"a.Zip", "b.Zip", "c.Zip", "d.Zip"}},
      {"each name once", "a.Zip\r\n./a.Zip\r\nA.Zip\r\n", false, {"a.Zip", "A.Zip"}},
      {"blanks belong to the name", " a b.Zip \r\n", false, {" a b.Zip "}},
      {"MLSD: files only", "type=cdir;perm=el; /Sorvel\r\ntype=pdir; ..\r\ntype=dir;modify=20260101; Sub\r\n"
                           "type=file;size=3; a.Zip\r\nType=File;Size=4; b.Zip\r\ntype=OS.unix=slink:/x; l.Zip\r\n",
       true, {"a.Zip", "b.Zip"}},
      {"MLSD: name with blanks and semicolons", "size=1;type=file; my; name.Zip\r\n", true, {"my; name.Zip"}},
      {"MLSD: no type fact, no facts, no blank", "size=1; a.Zip\r\n b.Zip\r\nnoblank\r\n", true, {"a.Zip", "b.Zip"}},
      {"MLSD: a path is dropped", "type=file; /Sorvel/a.Zip\r\n", true, {"a.Zip"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ListedFileNames(c.Listing, c.Machine), c.Names) << c.Name;
}

class FtpListing : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }
  TTempDir Local;
};

// FEAT's multi-line reply gives the features (first words, in upper case);
// MLSD lists over the data connection into the local file.
TEST_F(FtpListing, FeatThenMlsd) {
  TFakeServer server([](TFakeSession& s) {
    s.Send("220 ready\r\n");
    s.Expect("331 password please\r\n");
    s.Expect("230 logged in\r\n");
    s.Expect("211-Extensions supported:\r\n mlst type*;size*;modify*;\r\n EPSV\r\n UTF8\r\n211 End.\r\n");
    s.Expect("200 PORT ok\r\n");
    s.Read();
    int data = s.ConnectToPort();
    s.Send("150 listing\r\n");
    SendAll(data, "type=file;size=1; a.Zip\r\n");
    ::close(data);
    s.Send("226 done\r\n");
    s.Expect("502 FEAT not here\r\n");
    s.Expect("221 bye\r\n");
  });
  TFtpClient c;
  c.HostName = "127.0.0.1";
  c.Port = std::to_string(server.Port());
  c.UserName = "u";
  c.PassWord = "p";
  c.Timeout = 2;
  ASSERT_TRUE(c.Connect());
  EXPECT_FALSE(c.FeaturesKnown());
  ASSERT_TRUE(c.Feat()) << c.ErrorMessage();
  EXPECT_EQ(c.Features(), (Strings{"MLST", "EPSV", "UTF8"}));
  EXPECT_TRUE(c.HasFeature("mlst"));
  c.LocalFileName = Local / "list.txt";
  ASSERT_TRUE(c.Mlsd()) << c.ErrorMessage();
  EXPECT_EQ(ReadFile(Local / "list.txt"), "type=file;size=1; a.Zip\r\n");
  // A refused FEAT leaves no features, and the session goes on.
  EXPECT_FALSE(c.Feat());
  EXPECT_TRUE(c.FeaturesKnown());
  EXPECT_TRUE(c.Features().empty());
  EXPECT_TRUE(c.Quit());
  Strings commands = server.Commands();
  commands[3] = commands[3].substr(0, 4);
  EXPECT_EQ(commands, (Strings{"USER u", "PASS p", "FEAT", "PORT", "MLSD", "FEAT", "QUIT"}));
}

}  // namespace
}  // namespace trelvo::test
