#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <stdexcept>

#include "FakeNmcli.h"
#include "FtpTestKit.h"
#include "core/TrelvoCore.h"

using namespace trelvo;
using trelvo::test::TFakeNmcli;
using trelvo::test::TNoNmcli;
using trelvo::test::TTempDir;
using Lines = std::vector<std::string>;

namespace {

const Lines kProfiles = {
    "Koti|pppoe|koti|kotipw|ok",
    "SorNet|gsm|site01|netpw|ok",
    "Ilman|gsm|ilman|-|ok",
    "Rikki|gsm|rikki|pw|fail",
};

// A site with dial-up on, its page filled as at start.
struct Site {
  TTempDir Home;
  THeadlessView View;
  std::unique_ptr<TTrelvoCore> Core;
  int FtpWork = 0;

  explicit Site(const std::string& entry, bool sameAsFtp = true) {
    trelvo::test::EnsureQtApp();
    Core = std::make_unique<TTrelvoCore>(Home.Path(), &View);
    Core->Settings.Ras = true;
    Core->Settings.RasEntryName = entry;
    Core->Settings.RasSameAsFtp = sameAsFtp;
    Core->Settings.FtpUser = "ftpuser";
    Core->Settings.FtpPassWord = "ftppw";
  }
  // A run's connection phase as the transfer procedures shape it.
  void Run(bool logEntry = false, const std::function<void()>& ftp = {}) {
    Core->TransferOk = true;
    Core->ConnectionPhase([&] {
      Core->DialUp(logEntry);
      if (Core->TransferOk) {
        ++FtpWork;
        if (ftp) ftp();
      }
    });
  }
  const Lines& Log() const { return Core->MemoLog.Lines(); }
};

}  // namespace

TEST(CoreDialup, ARunHangsUpBeforeDiallingAndAtTheEnd) {
  TFakeNmcli nm(kProfiles);
  Site site("SorNet");
  site.Core->FillSettingsPage();
  nm.ClearCalls();
  site.Run(false, [&] { EXPECT_EQ(nm.Active(), Lines{"SorNet|gsm|" + TFakeNmcli::Path(1)}); });
  EXPECT_TRUE(site.Core->TransferOk);
  EXPECT_EQ(site.FtpWork, 1);
  EXPECT_EQ(site.Log(), (Lines{"Disconnected", "Disconnected"}));
  EXPECT_TRUE(nm.Active().empty());
  EXPECT_FALSE(site.Core->RasDialer.WatchActive());
}

TEST(CoreDialup, AFailedDialFailsTheRunWithTheToolsMessage) {
  TFakeNmcli nm(kProfiles);
  Site site("Rikki");
  site.Core->FillSettingsPage();
  site.Run(true);
  EXPECT_FALSE(site.Core->TransferOk);
  EXPECT_EQ(site.FtpWork, 0);
  EXPECT_EQ(site.Log(), (Lines{"Disconnected", "Disconnected", "Rikki/rikki",
                               "Error: Connection activation failed: The modem could not be found.", "Disconnected"}));
}

TEST(CoreDialup, AConnectionAlreadyUpIsDialledAnew) {
  TFakeNmcli nm(kProfiles);
  nm.SetActive({"SorNet|gsm|" + TFakeNmcli::Path(41)});
  Site site("SorNet");
  site.Core->FillSettingsPage();
  nm.ClearCalls();
  site.Run(false, [&] { EXPECT_EQ(nm.Active(), Lines{"SorNet|gsm|" + TFakeNmcli::Path(1)}); });
  const Lines calls = nm.Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[1], "--wait 10 connection down apath " + TFakeNmcli::Path(41));
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "--wait 90 connection up id SorNet"), 1);
  EXPECT_LT(std::find(calls.begin(), calls.end(), calls[1]),
            std::find(calls.begin(), calls.end(), "--wait 90 connection up id SorNet"));
  EXPECT_TRUE(nm.Active().empty());
}

TEST(CoreDialup, ALinkThatDropsDuringTheRunIsLogged) {
  TFakeNmcli nm(kProfiles);
  Site site("SorNet");
  site.Core->FillSettingsPage();
  site.Run(false, [&] {
    nm.SetActive({});
    // The FTP waits keep the event loop turning.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (site.Log().size() < 2 && std::chrono::steady_clock::now() < end)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  });
  EXPECT_EQ(site.Log(), (Lines{"Disconnected", "Disconnected", "Disconnected"}));
}

TEST(CoreDialup, APhaseThatThrowsStillHangsUp) {
  TFakeNmcli nm(kProfiles);
  Site site("SorNet");
  site.Core->FillSettingsPage();
  EXPECT_THROW(site.Run(false, [] { throw std::runtime_error("ftp broke"); }), std::runtime_error);
  EXPECT_TRUE(nm.Active().empty());
  EXPECT_EQ(site.Log(), (Lines{"Disconnected", "Disconnected"}));
}

TEST(CoreDialup, TheSettingsPageSelectsTheEntryAndTakesItsCredentials) {
  struct Case {
    const char* name;
    std::string entry;
    bool sameAsFtp;
    int index;  // -1: none selected
    std::string user, password;
  };
  const Case cases[] = {
      {"letter case differs", "sOrNeT", true, 1, "site01", "netpw"},
      {"no stored password empties the FTP password", "ilman", true, 2, "ilman", ""},
      {"own FTP credentials kept", "SorNet", false, 1, "ftpuser", "ftppw"},
      {"no entry matches", "Poissa", true, -1, "ftpuser", "ftppw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeNmcli nm(kProfiles);
    Site site(c.entry, c.sameAsFtp);
    site.Core->FillSettingsPage();
    const TSettingsPage& page = site.Core->Page;
    EXPECT_EQ(page.CBoxRasEnt, (Lines{"Koti", "SorNet", "Ilman", "Rikki"}));
    EXPECT_EQ(page.CBoxRasEntIndex, c.index);
    EXPECT_EQ(page.ChkBoxRas, c.index >= 0);
    EXPECT_EQ(page.CBoxRasEntEnabled, c.index >= 0);
    EXPECT_TRUE(site.Core->Settings.Ras);  // changes only through "Talleta"
    EXPECT_EQ(site.Core->RasDialer.EntryName(), c.index >= 0 ? page.CBoxRasEnt[c.index] : "");
    EXPECT_EQ(page.EdtFtpUser, c.user);
    EXPECT_EQ(site.Core->Settings.FtpUser, c.user);
    EXPECT_EQ(page.EdtFtpPw, c.password);
    EXPECT_EQ(site.Core->Settings.FtpPassWord, c.password);
  }
}

TEST(CoreDialup, ChoosingAnotherEntryRefillsThePage) {
  TFakeNmcli nm({"SorNet|gsm|a|1|ok", "Koti|gsm|b|2|ok", "SORNET|gsm|c|3|ok"});
  Site site("sornet");
  site.Core->FillSettingsPage();
  EXPECT_EQ(site.Core->Page.CBoxRasEntIndex, 2);  // of duplicates the last one
  EXPECT_EQ(site.Core->RasDialer.EntryName(), "SORNET");

  site.Core->Page.ChkBoxRas = false;
  site.Core->ChkBoxRasExit();
  EXPECT_FALSE(site.Core->Page.CBoxRasEntEnabled);

  site.Core->Page.EdtFtpHost = "unsaved edit";
  site.Core->CBoxRasEntChange(1);
  EXPECT_EQ(site.Core->Settings.RasEntryName, "Koti");
  EXPECT_EQ(site.Core->RasDialer.EntryName(), "Koti");
  EXPECT_EQ(site.Core->Page.CBoxRasEntIndex, 1);
  EXPECT_TRUE(site.Core->Page.ChkBoxRas);
  EXPECT_EQ(site.Core->Page.EdtFtpHost, site.Core->Settings.FtpHost);
  EXPECT_EQ(site.Core->Settings.FtpUser, "b");
}

TEST(CoreDialup, WithDialUpOffNothingTouchesTheTool) {
  TFakeNmcli nm(kProfiles);
  Site site("SorNet");
  site.Core->Settings.Ras = false;
  site.Core->FillSettingsPage();
  site.Run();
  EXPECT_EQ(site.FtpWork, 1);
  EXPECT_TRUE(site.Core->Page.CBoxRasEnt.empty());
  EXPECT_EQ(site.Core->RasDialer.EntryName(), "");
  EXPECT_TRUE(site.Log().empty());
  site.Core.reset();
  EXPECT_TRUE(nm.Calls().empty());
}

TEST(CoreDialup, WithoutTheToolThePageAndTheRunRaise) {
  TNoNmcli none;
  Site site("SorNet");
  try {
    site.Core->FillSettingsPage();
    ADD_FAILURE() << "FillSettingsPage did not throw";
  } catch (const ERasError& e) {
    EXPECT_STREQ(e.what(), "Failed to find/load nmcli");
  }
  try {
    site.Run();
    ADD_FAILURE() << "the run did not throw";
  } catch (const ERasError& e) {
    EXPECT_STREQ(e.what(), "Failed to find/load nmcli");
  }
  EXPECT_EQ(site.FtpWork, 0);
}
