// Packages exchanged with real peers: Info-ZIP zip/unzip and Python's zipfile.
#include <gtest/gtest.h>

#include <algorithm>

#include "ZipTestSupport.h"

namespace trelvo::test {
namespace {

class InteropTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    MakeDir(Tmp / "src");
    MakeDir(Tmp / "out");
    WriteFile(Tmp / "src/ZNetAsi.Nx1", TableLikeBytes(400000));
    WriteFile(Tmp / "src/MiXeD.CaSe.txt", "Mixed case name\r\n");
    WriteFile(Tmp / "src/empty.Nx1", "");
    WriteFile(Tmp / "src/RANDOM.BIN", RandomBytes(150000, 9));
  }
  void ExpectSameTrees() {
    EXPECT_EQ(ListDir(Tmp / "out"), ListDir(Tmp / "src"));
    for (const auto& name : ListDir(Tmp / "src"))
      EXPECT_EQ(ReadFile(Tmp / ("out/" + name)), ReadFile(Tmp / ("src/" + name))) << name;
  }
  std::string Password() const { return GetParam(); }
  TTempDir Tmp;
  TRecordingArchiver A;
};

TEST_P(InteropTest, OursOpensWithUnzip) {
  A.Pack(Tmp / "t.zip", Tmp / "src", {"*"}, Password());
  const std::string pw = Password().empty() ? "" : " -P '" + Password() + "'";
  std::string output;
  ASSERT_EQ(RunCommand("/usr/bin/unzip -o -q" + pw + " '" + Tmp / "t.zip" + "' -d '" + Tmp / "out" + "' 2>&1", &output), 0)
      << output;
  ExpectSameTrees();
  EXPECT_EQ(MTime(Tmp / "out/ZNetAsi.Nx1") / 2, MTime(Tmp / "src/ZNetAsi.Nx1") / 2);
}

TEST_P(InteropTest, OursOpensWithPythonZipfile) {
  A.Pack(Tmp / "t.zip", Tmp / "src", {"*"}, Password());
  const std::string script =
      "import sys, zipfile, os\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "pw = sys.argv[3].encode() or None\n"
      "bad = [i.filename for i in z.infolist()\n"
      "       if z.read(i, pwd=pw) != open(os.path.join(sys.argv[2], i.filename), 'rb').read()]\n"
      "print('bad', bad) if bad or len(z.infolist()) != 4 else print('ok')\n";
  WriteFile(Tmp / "check.py", script);
  std::string output;
  ASSERT_EQ(RunCommand("/usr/bin/python3 '" + Tmp / "check.py" + "' '" + Tmp / "t.zip" + "' '" + Tmp / "src" + "' '" +
                           Password() + "' 2>&1",
                       &output),
            0)
      << output;
  EXPECT_EQ(output, "ok\n");
}

TEST_P(InteropTest, InfoZipPackagesExtractWithOurs) {
  for (const std::string options : {"", "-0", "-9"}) {
    SCOPED_TRACE("zip " + options);
    const std::string pw = Password().empty() ? "" : " -P '" + Password() + "'";
    ::unlink((Tmp / "z.zip").c_str());
    ASSERT_EQ(RunCommand("cd '" + Tmp / "src" + "' && /usr/bin/zip -q " + options + pw + " '" + Tmp / "z.zip" + "' *"), 0);
    A.Unpack(Tmp / "z.zip", Tmp / "out", "*", Password());
    EXPECT_TRUE(A.Failures.empty());
    ExpectSameTrees();
  }
}

TEST_P(InteropTest, InfoZipDirectoryEntriesAreSkippedAndPathsDropped) {
  MakeDir(Tmp / "tree");
  MakeDir(Tmp / "tree/sub");
  WriteFile(Tmp / "tree/sub/Deep.Nx1", "deep");
  const std::string pw = Password().empty() ? "" : " -P '" + Password() + "'";
  ASSERT_EQ(RunCommand("cd '" + Tmp.Path() + "' && /usr/bin/zip -q -r" + pw + " z.zip tree"), 0);
  A.Unpack(Tmp / "z.zip", Tmp / "out", "*", Password());
  EXPECT_TRUE(A.Failures.empty());
  EXPECT_EQ(ListDir(Tmp / "out"), std::vector<std::string>{"Deep.Nx1"});
}

// The Info-ZIP entries (extra fields, descriptors with their signature) are
// copied as they are when the package is written again.
TEST_P(InteropTest, AddingToAnInfoZipPackageKeepsItsEntries) {
  const std::string pw = Password().empty() ? "" : " -P '" + Password() + "'";
  ASSERT_EQ(RunCommand("cd '" + Tmp / "src" + "' && /usr/bin/zip -q" + pw + " '" + Tmp / "z.zip" + "' ZNetAsi.Nx1 RANDOM.BIN"), 0);
  A.Pack(Tmp / "z.zip", Tmp / "src", {"*"}, Password());
  std::sort(A.Failures.begin(), A.Failures.end(), [](const auto& a, const auto& b) { return a.Name < b.Name; });
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"RANDOM.BIN", ptAdd, 7}, {"ZNetAsi.Nx1", ptAdd, 7}}));
  std::string output;
  ASSERT_EQ(RunCommand("/usr/bin/unzip -o -q" + pw + " '" + Tmp / "z.zip" + "' -d '" + Tmp / "out" + "' 2>&1", &output), 0)
      << output;
  ExpectSameTrees();
}

INSTANTIATE_TEST_SUITE_P(Passwords, InteropTest, ::testing::Values("", "QQrrM3819Q"),
                         [](const auto& info) { return info.param.empty() ? "NoPassword" : "Password"; });

}  // namespace
}  // namespace trelvo::test
