// The main window's four handlers, driven through the core's own archiver.
#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "core/TrelvoCore.h"

namespace trelvo::test {
namespace {

using Lines = std::vector<std::string>;

class CoreArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(Tmp / "src");
    MakeDir(Tmp / "out");
    WriteFile(Tmp / "src/ZNetAsi.Nx1", TableLikeBytes(20480));
    WriteFile(Tmp / "src/ZNetKo.Nx1", TableLikeBytes(1000000));
    Core.TransferOk = true;
  }
  void Pack(const std::string& zip, const std::string& mask, const std::string& password) {
    Zip.OpenArchive(zip);
    Zip.SetBaseDirectory(Tmp / "src");
    Zip.SetPassword(password);
    Zip.AddFiles(mask, 0);
    Zip.CloseArchive();
  }
  void Unpack(const std::string& zip, const std::string& password) {
    Zip.OpenArchive(zip);
    Zip.SetBaseDirectory(Tmp / "out");
    Zip.SetPassword(password);
    Zip.ExtractFiles("*.Nx1");
    Zip.CloseArchive();
  }
  TTempDir Tmp;
  THeadlessView View;
  TTrelvoCore Core{Tmp.Path(), &View};
  TZipArchiver& Zip = Core.ZipArchiver;
};

TEST_F(CoreArchiveTest, PackingAndUnpackingLogEachEntryOnce) {
  Pack(Tmp / "p.zip", "ZNetAsi.Nx1;ZNetKo.Nx1", "pw");
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"ZNetAsi.Nx1 (20480)", "ZNetKo.Nx1 (1000000)", "Siirtopaketti talletettu..."}));
  EXPECT_EQ(Core.LastItemName, "ZNetKo.Nx1");
  EXPECT_GT(View.Meters.size(), 4u);  // the big entry moves the meter in steps
  EXPECT_EQ(Core.ProgressMeter(), 100);
  EXPECT_GT(View.ProcessMessagesCalls, 4);

  Core.MemoLog.Clear();
  Core.LastItemName.clear();
  Unpack(Tmp / "p.zip", "pw");
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Puretaan siirtotiedosto...", "ZNetAsi.Nx1 (20480)", "ZNetKo.Nx1 (1000000)"}));
  EXPECT_TRUE(Core.TransferOk);
}

TEST_F(CoreArchiveTest, NameSharedAcrossPackagesIsLoggedOnceUntilEmptied) {
  Pack(Tmp / "a.zip", "ZNetKo.Nx1", "");
  Pack(Tmp / "b.zip", "ZNetKo.Nx1", "");
  EXPECT_EQ(Core.MemoLog.Lines(),
            (Lines{"ZNetKo.Nx1 (1000000)", "Siirtopaketti talletettu...", "Siirtopaketti talletettu..."}));
}

TEST_F(CoreArchiveTest, WrongPasswordLogsEachEntryWith23AndClearsTransferOk) {
  Pack(Tmp / "p.zip", "*", "right");
  Core.MemoLog.Clear();
  Unpack(Tmp / "p.zip", "wrong");
  EXPECT_EQ(Core.MemoLog.Lines(), (Lines{"Puretaan siirtotiedosto...", "Pakkaus/purku ei onnistu: ZNetAsi.Nx1 virhe: 23",
                                         "Pakkaus/purku ei onnistu: ZNetKo.Nx1 virhe: 23"}));
  EXPECT_FALSE(Core.TransferOk);
}

TEST_F(CoreArchiveTest, DuplicateNameLogsError7) {
  Zip.OpenArchive(Tmp / "p.zip");
  Zip.SetBaseDirectory(Tmp / "src");
  Zip.AddFiles("ZNet*.Nx1", 0);
  Zip.AddFiles("ZNetAsi.Nx1", 0);
  Zip.CloseArchive();
  EXPECT_EQ(Core.MemoLog.Lines().front(), "Pakkaus/purku ei onnistu: ZNetAsi.Nx1 virhe: 7");
  EXPECT_FALSE(Core.TransferOk);
}

}  // namespace
}  // namespace trelvo::test
