// trelvo-admin pack, unpack and list: same component, same run-log lines.
#include <gtest/gtest.h>

#include <filesystem>

#include "ZipTestSupport.h"

namespace trelvo::test {
namespace {

class AdminArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(Tmp / "src");
    MakeDir(Tmp / "out");
    WriteFile(Tmp / "src/ZNetAsi.Nx1", TableLikeBytes(20480));
    WriteFile(Tmp / "src/Other.txt", "x");
  }
  int Admin(const std::string& args, std::string* output) {
    // Made absolute before the cd: the build directory may be given relative.
    const std::string tool = std::filesystem::absolute(BinaryDir() + "/tools/trelvo-admin").string();
    return RunCommand("cd '" + Tmp.Path() + "' && '" + tool + "' " + args + " 2>/dev/null",
                      output);
  }
  TTempDir Tmp;
};

TEST_F(AdminArchiveTest, PackUnpackAndList) {
  std::string out;
  ASSERT_EQ(Admin("pack p.zip src '*.nx1' --password pw", &out), 0);  // relative package path is made full
  EXPECT_EQ(out, "ZNetAsi.Nx1 (20480)\nSiirtopaketti talletettu...\n");

  ASSERT_EQ(Admin("unpack p.zip out --password pw", &out), 0);
  EXPECT_EQ(out, "Puretaan siirtotiedosto...\nZNetAsi.Nx1 (20480)\n");
  EXPECT_EQ(ReadFile(Tmp / "out/ZNetAsi.Nx1"), ReadFile(Tmp / "src/ZNetAsi.Nx1"));

  ASSERT_EQ(Admin("list p.zip", &out), 0);
  EXPECT_NE(out.find("20480"), std::string::npos) << out;
  EXPECT_NE(out.find("Deflate"), std::string::npos);
  EXPECT_NE(out.find("ZNetAsi.Nx1 (encrypted)"), std::string::npos);
  EXPECT_NE(out.find("1 entries"), std::string::npos);
}

TEST_F(AdminArchiveTest, PackWithAes) {
  std::string out;
  ASSERT_EQ(Admin("pack p.zip src '*.nx1' --password pw --encryption AES256", &out), 0);
  EXPECT_EQ(out, "ZNetAsi.Nx1 (20480)\nSiirtopaketti talletettu...\n");
  ASSERT_EQ(Admin("list p.zip", &out), 0);
  EXPECT_NE(out.find(" Deflate "), std::string::npos) << out;
  EXPECT_NE(out.find("ZNetAsi.Nx1 (AES-256)\n"), std::string::npos) << out;

  ASSERT_EQ(Admin("unpack p.zip out --password pw", &out), 0);
  EXPECT_EQ(ReadFile(Tmp / "out/ZNetAsi.Nx1"), ReadFile(Tmp / "src/ZNetAsi.Nx1"));
  EXPECT_EQ(Admin("unpack p.zip out --password nope", &out), 1);
  EXPECT_EQ(out, "Puretaan siirtotiedosto...\nPakkaus/purku ei onnistu: ZNetAsi.Nx1 virhe: 23\n");
  EXPECT_EQ(Admin("pack q.zip src '*' --password pw --encryption aes", &out), 2);
  EXPECT_FALSE(FileExists(Tmp / "q.zip"));
}

TEST_F(AdminArchiveTest, FailuresExitWithOne) {
  std::string out;
  ASSERT_EQ(Admin("pack p.zip src '*' --password pw", &out), 0);
  EXPECT_EQ(Admin("unpack p.zip out '*.Nx1' --password nope", &out), 1);
  EXPECT_EQ(out, "Puretaan siirtotiedosto...\nPakkaus/purku ei onnistu: ZNetAsi.Nx1 virhe: 23\n");

  WriteFile(Tmp / "text.zip", "not a package");
  EXPECT_EQ(Admin("unpack text.zip out", &out), 1);
  EXPECT_EQ(out, "Tiedoston purku ei onnistu (Zip-rikki)!\nVirhe : Unhandled Archive Type\n");
  EXPECT_EQ(Admin("pack q.zip missing '*'", &out), 1);
  // The package is closed (and so written empty) before the error is logged.
  EXPECT_EQ(out, "Siirtopaketti talletettu...\nTiedoston pakkaus ei onnistu (Zip-rikki)!\nVirhe : Directory does not exist\n");
  EXPECT_EQ(Admin("list text.zip", &out), 1);
  EXPECT_EQ(Admin("pack p.zip", &out), 2);
}

}  // namespace
}  // namespace trelvo::test
