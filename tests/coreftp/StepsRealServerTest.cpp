// The FTP steps against real servers on loopback (vsftpd, pyftpdlib,
// pure-ftpd, proftpd), with the three server directories of an
// installation, in active and in passive mode, and vsftpd's failures.
#include <gtest/gtest.h>

#include "StepsFixture.h"

namespace trelvo::test {
namespace {

class VsftpdBase {
 protected:
  // extraConf: vsftpd.conf lines that override the permissive defaults.
  void Start(bool passive, const std::string& extraConf = "") {
    Server = std::make_unique<TVsftpdServer>(Root.Path(), Lines{"Sorvel", "Backup", "Log"}, extraConf);
    Use(passive);
  }
  void Use(bool passive) {
    for (TStepsHome* home : {&Site, &Master}) {
      home->UsePort(Server->Port());
      home->Core.Settings.FtpUser = Server->User();
      home->Core.Settings.FtpPassWord = Server->Password();
      home->Core.Settings.FtpPassive = passive;
    }
  }
  std::string OnServer(const std::string& path) const { return Root / path; }

  TTempDir Root;
  std::unique_ptr<TRealFtpServer> Server;
  TStepsHome Site, Master;
};

// Every server with a password login (vsftpd: anonymous), active and passive.
class StepsRealServer : public VsftpdBase, public ::testing::TestWithParam<std::tuple<TFtpServerKind, bool>> {
 protected:
  void SetUp() override {
    const auto [kind, passive] = GetParam();
    if (std::string missing = ServerMissing(kind); !missing.empty()) GTEST_SKIP() << missing;
    Server = StartFtpServer(kind, Root.Path(), Lines{"Sorvel", "Backup", "Log"});
    Use(passive);
  }
  bool Passive() const { return std::get<1>(GetParam()); }
};

class StepsVsftpdFailures : public VsftpdBase, public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TVsftpdServer::Available()) GTEST_SKIP() << "vsftpd needs root";
  }
};

TEST_P(StepsRealServer, ClientPackageUploadedThenCollected) {
  const std::string bytes = RandomBytes(2560, 1);
  const std::string package = Site.Package("Zuze01_20260105220000.Zip", bytes);
  EXPECT_TRUE(Site.Core.UploadPackage(package, "/Backup"));
  EXPECT_TRUE(Site.Core.UploadPackage(package, "/Sorvel"));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui: " + package, "FTP-Siirto alkaa...",
                               "FTP-siirto onnistui: " + package}));
  EXPECT_EQ(Site.View.Fields["EdtSiirretty"], "2 Kb") << "2560 bytes: 2.5 rounds to even";
  EXPECT_EQ(Site.View.Meters, (std::vector<int>{0, 0}));
  EXPECT_EQ(ListDir(OnServer("Sorvel")), Lines{"Zuze01_20260105220000.Zip"}) << "no temporary file left";
  EXPECT_TRUE(ReadFile(OnServer("Backup/Zuze01_20260105220000.Zip")) == bytes);

  EXPECT_TRUE(Master.Core.CollectClientPackages());
  EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siiretty: Zuze01_20260105220000.Zip",
                                 "FTP-siirto onnistui.", Master.ListLine()}));
  EXPECT_TRUE(ReadFile(Master.Tmp + "Zuze01_20260105220000.Zip") == bytes);
  EXPECT_EQ(ListDir(OnServer("Sorvel")), Lines{});
  EXPECT_EQ(ListDir(Master.Tmp), Lines{"Zuze01_20260105220000.Zip"}) << "the listing file is gone";
}

TEST_P(StepsRealServer, MasterPackageReplacedThenDownloaded) {
  WriteFile(OnServer("Sorvel/Master_20260101220000.Zip"), "old master");
  WriteFile(OnServer("Sorvel/Zuze01_20260101210000.Zip"), "a site's package");
  const std::string package = Master.Package("Master_20260102220000.Zip", "new master");
  EXPECT_TRUE(Master.Core.ReplaceMasterPackages(package));
  EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP poistetaan : Master_20260101220000.Zip",
                                 "FTP-siirto onnistui: " + package, Master.ListLine()}));
  EXPECT_EQ(ListDir(OnServer("Sorvel")), (Lines{"Master_20260102220000.Zip", "Zuze01_20260101210000.Zip"}));

  WriteFile(OnServer("Sorvel/Master_20260103220000.Zip"), "newer master");
  std::string current = "before";
  EXPECT_TRUE(Site.Core.DownloadMasterPackages(current));
  EXPECT_EQ(current, Site.Tmp + "Master_20260103220000.Zip");
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui : " + Site.Tmp + "Master_20260102220000.Zip",
                               "FTP-siirto onnistui : " + Site.Tmp + "Master_20260103220000.Zip", Site.ListLine()}));
  EXPECT_EQ(ReadFile(Site.Tmp + "Master_20260102220000.Zip"), "new master");
  EXPECT_EQ(ReadFile(Site.Tmp + "Master_20260103220000.Zip"), "newer master");

  // A package published again under a name the server has: the rename
  // replaces it (the statistics package always has the same name).
  for (const char* bytes : {"statistics 1", "statistics 2"}) {
    const std::string stats = Master.Package("Tilasto.Zip", bytes);
    EXPECT_TRUE(Master.Core.UploadPackage(stats, "/Sorvel"));
    EXPECT_EQ(ReadFile(OnServer("Sorvel/Tilasto.Zip")), bytes);
  }
  const std::string again = Master.Package("Master_20260103220000.Zip", "same name, new bytes");
  Master.Core.MemoLog.Clear();
  EXPECT_TRUE(Master.Core.ReplaceMasterPackages(again));
  EXPECT_EQ(ListDir(OnServer("Sorvel")), (Lines{"Master_20260103220000.Zip", "Tilasto.Zip", "Zuze01_20260101210000.Zip"}));
  EXPECT_EQ(ReadFile(OnServer("Sorvel/Master_20260103220000.Zip")), "same name, new bytes");

  Site.Core.MemoLog.Clear();
  EXPECT_TRUE(Site.Core.DownloadPackage(Site.Tmp + "Tilasto.Zip"));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui: " + Site.Tmp + "Tilasto.Zip"}));
  EXPECT_EQ(ReadFile(Site.Tmp + "Tilasto.Zip"), "statistics 2");
}

// The master collects while a site's upload is under way: the half-written
// package is hidden under its temporary name, so the collection finds
// nothing, and the next one gets the whole package.
TEST_P(StepsRealServer, CollectionDuringAnUploadNeverTakesThePartialFile) {
  struct TCollectingView : THeadlessView {
    std::function<void()> During;
    void ProcessMessages() override {
      if (++ProcessMessagesCalls == 50 && During) During();
    }
  } view;
  TStepsHome site(&view);
  site.UsePort(Server->Port());
  site.Core.Settings.FtpUser = Server->User();
  site.Core.Settings.FtpPassWord = Server->Password();
  site.Core.Settings.FtpPassive = Passive();
  std::vector<std::string> during;
  view.During = [&] {
    during = ListDir(OnServer("Sorvel"));
    EXPECT_TRUE(Master.Core.CollectClientPackages());
  };
  const std::string bytes = RandomBytes(4 << 20, 2);
  const std::string package = site.Package("Zuze01_20260105220000.Zip", bytes);
  EXPECT_TRUE(site.Core.UploadPackage(package, "/Sorvel"));
  EXPECT_EQ(during, Lines{".in.Zuze01_20260105220000.Zip"}) << "the collection ran while the upload was open";
  EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui.", Master.ListLine()}));
  EXPECT_EQ(ListDir(Master.Tmp), Lines{});

  Master.Core.MemoLog.Clear();
  EXPECT_TRUE(Master.Core.CollectClientPackages());
  EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siiretty: Zuze01_20260105220000.Zip",
                                 "FTP-siirto onnistui.", Master.ListLine()}));
  EXPECT_TRUE(ReadFile(Master.Tmp + "Zuze01_20260105220000.Zip") == bytes);
}

INSTANTIATE_TEST_SUITE_P(Servers, StepsRealServer,
                         ::testing::Combine(::testing::Values(TFtpServerKind::Vsftpd, TFtpServerKind::PyFtpdlib,
                                                              TFtpServerKind::PureFtpd, TFtpServerKind::Proftpd),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(ServerName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "Passive" : "Active");
                         });

// One row per step: how it is called and what it logs after its first line.
struct TStepCase {
  const char* Name;
  std::function<bool(TStepsHome&)> Step;
};

TEST_F(StepsVsftpdFailures, LoginRefusedAndMissingDirectory) {
  Start(false);
  std::string current = "unchanged";
  const std::string package = Site.Package("Zuze01_1.Zip", "x");
  const TStepCase steps[] = {
      {"UploadPackage", [&](TStepsHome& h) { return h.Core.UploadPackage(package, h.Core.Settings.FtpHostDir); }},
      {"DownloadPackage", [&](TStepsHome& h) { return h.Core.DownloadPackage(package); }},
      {"DownloadMasterPackages", [&](TStepsHome& h) { return h.Core.DownloadMasterPackages(current); }},
      {"ReplaceMasterPackages", [&](TStepsHome& h) { return h.Core.ReplaceMasterPackages(package); }},
      {"CollectClientPackages", [&](TStepsHome& h) { return h.Core.CollectClientPackages(); }},
  };
  const std::string refused = "530 This FTP server is anonymous only.";
  const std::string noDir = "550 Failed to change directory.";
  const Lines loginLines[] = {{"FTP-siirto ei onnistunut: " + package, refused},
                              {"FTP-siirto ei onnistunut: " + package, refused},
                              {"FTP-yhteys ei onnistunut!", refused},
                              {"FTP-yhteys ei onnistunut!", refused},
                              {"FTP-yhteys ei onnistunut!", refused}};
  const std::string cwdLine = "FTP-komento CWD /NoSuch ei onnistunut: " + noDir;
  const Lines dirLines[] = {{"FTP-siirto ei onnistunut: " + package, noDir},
                            {"FTP-siirto ei onnistunut: " + package, noDir},
                            {cwdLine},
                            {"FtpClient.Cwd -ei onnistu!", cwdLine},
                            {cwdLine}};
  for (bool temp : {true, false}) {
    for (size_t i = 0; i < std::size(steps); ++i) {
      SCOPED_TRACE(std::string(steps[i].Name) + (temp ? " temp" : " direct"));
      Site.Core.Settings.FtpTempUpload = temp;
      Site.Core.Settings.FtpUser = "site01";
      Site.Core.MemoLog.Clear();
      EXPECT_FALSE(steps[i].Step(Site));
      Lines expected = {"FTP-Siirto alkaa..."};
      expected.insert(expected.end(), loginLines[i].begin(), loginLines[i].end());
      EXPECT_EQ(Site.Log(), expected);

      Site.Core.Settings.FtpUser = "anonymous";
      Site.Core.Settings.FtpHostDir = "/NoSuch";
      Site.Core.MemoLog.Clear();
      EXPECT_FALSE(steps[i].Step(Site));
      expected = {"FTP-Siirto alkaa..."};
      expected.insert(expected.end(), dirLines[i].begin(), dirLines[i].end());
      EXPECT_EQ(Site.Log(), expected);
      Site.Core.Settings.FtpHostDir = "/Sorvel";
    }
  }
  EXPECT_EQ(current, "unchanged");
}

TEST_F(StepsVsftpdFailures, EmptyListing) {
  Start(false);
  std::string current = "unchanged";
  EXPECT_FALSE(Site.Core.DownloadMasterPackages(current));
  EXPECT_EQ(current, "unchanged");
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "Palvelimella ei ole Master-pakettia: Master*.Zip", Site.ListLine()}));

  EXPECT_TRUE(Master.Core.CollectClientPackages());
  EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui.", Master.ListLine()}));

  // The head office's first master package: nothing to delete.
  const std::string package = Master.Package("Master_1.Zip", "m");
  Master.Core.MemoLog.Clear();
  EXPECT_TRUE(Master.Core.ReplaceMasterPackages(package));
  EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui: " + package, Master.ListLine()}));
  EXPECT_EQ(ListDir(OnServer("Sorvel")), Lines{"Master_1.Zip"});
}

// With temporary uploads the old master package goes only after the new one
// is on the server; the plain upload (as specified) deletes it first.
TEST_F(StepsVsftpdFailures, FailedMasterUploadAndTheOldPackage) {
  Start(false);
  const std::string missing = Master.Tmp + "Master_2.Zip";  // never made: the upload fails
  for (bool temp : {true, false}) {
    SCOPED_TRACE(temp ? "temp" : "direct");
    WriteFile(OnServer("Sorvel/Master_1.Zip"), "old master");
    Master.Core.Settings.FtpTempUpload = temp;
    Master.Core.MemoLog.Clear();
    EXPECT_FALSE(Master.Core.ReplaceMasterPackages(missing));
    Lines expected = {"FTP-Siirto alkaa..."};
    if (!temp) expected.push_back("FTP poistetaan : Master_1.Zip");
    expected.insert(expected.end(), {"FTP-siirto ei onnistunut: " + missing, "426 Unable to open local file " + missing,
                                     Master.ListLine()});
    EXPECT_EQ(Master.Log(), expected);
    EXPECT_EQ(ListDir(OnServer("Sorvel")), temp ? Lines{"Master_1.Zip"} : Lines{});
  }
}

// A server that lets anonymous users upload but neither delete nor rename.
TEST_F(StepsVsftpdFailures, ServerThatRefusesDeleteAndRename) {
  Start(false, "anon_other_write_enable=NO\n");
  WriteFile(OnServer("Sorvel/Zuze02_1.Zip"), "kept");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Master.Core.MemoLog.Clear();
    EXPECT_TRUE(Master.Core.CollectClientPackages());
    EXPECT_EQ(Master.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-tiedoston poisto ei onnistu: Zuze02_1.Zip",
                                   "FTP-komento DELE Zuze02_1.Zip ei onnistunut: 550 Permission denied.",
                                   "FTP-siirto onnistui.", Master.ListLine()}));
    EXPECT_EQ(ReadFile(Master.Tmp + "Zuze02_1.Zip"), "kept");
    EXPECT_TRUE(FileExists(OnServer("Sorvel/Zuze02_1.Zip")));
  }

  const std::string package = Site.Package("Zuze01_1.Zip", "site bytes");
  EXPECT_TRUE(Site.Core.UploadPackage(package, "/Sorvel"));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...",
                               "FTP-palvelin ei hyväksy väliaikaista nimeä, siirretään suoraan: Zuze01_1.Zip "
                               "(550 Permission denied.)",
                               "FTP-siirto onnistui: " + package}));
  EXPECT_EQ(ReadFile(OnServer("Sorvel/Zuze01_1.Zip")), "site bytes");
  // Such a server keeps the temporary copy, out of every listing step's sight.
  EXPECT_TRUE(FileExists(OnServer("Sorvel/.in.Zuze01_1.Zip")));
}

}  // namespace
}  // namespace trelvo::test
