// The FTP steps against a scripted server: hostile listings, a server that
// refuses the temporary name or the rename, a transfer that breaks, and the
// exact conversation of each case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "StepsFixture.h"

namespace trelvo::test {
namespace {

class StepsScripted : public ::testing::Test {
 protected:
  // Runs one step against a fresh scripted session; returns the commands
  // the server saw.
  Lines Run(const std::function<void()>& step) {
    TFakeServer server([this](TFakeSession& s) { Ftp.Serve(s); });
    Site.UsePort(server.Port());
    step();
    return server.Commands();
  }
  static Lines Upload(const std::string& dir = "/Backup") {
    return {"USER anonymous", "PASS site@example.com", "CWD " + dir, "TYPE I"};
  }
  // The directory itself is listed, whatever the step's mask.
  static Lines ListingCommands() {
    return {"USER anonymous", "PASS site@example.com", "CWD /Sorvel", "TYPE A", "FEAT", "PORT", "NLST"};
  }
  // PORT arguments differ per run; the transcript keeps only the verb.
  static Lines Verbs(Lines commands) {
    for (auto& c : commands)
      if (c.rfind("PORT ", 0) == 0) c = "PORT";
    return commands;
  }
  static Lines Cat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  TStepsHome Site;
  TScriptedFtp Ftp;
};

// A listed name loses any path part, so a download lands in Tmp/ and a
// deletion stays in the step's directory whatever the server lists; names
// that control characters make unreadable are refused.
TEST_F(StepsScripted, ListedNamesAreTakenWithoutTheirPathsAndHostileOnesRefused) {
  Ftp.Listing = {"Zuze01_a.Zip", "../Zuze01_up.Zip", "/tmp/Zuze01_abs.Zip", "./", ".", "..", "./..",
                 "Zuze01\x01.Zip", std::string("Zuze01\0.Zip", 11), "./Zuze01_c.Zip", "/Sorvel/Zuze01_d.Zip"};
  for (const char* name : {"Zuze01_a.Zip", "Zuze01_c.Zip", "Zuze01_d.Zip", "Zuze01\x01.Zip"})
    Ftp.Files[name] = std::string("bytes of ") + name;
  Ftp.Files[std::string("Zuze01\0.Zip", 11)] = "nul";

  Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); }));

  Lines retr;
  for (auto [name, onServer] : {std::pair{"Zuze01_a.Zip", true}, {"Zuze01_abs.Zip", false}, {"Zuze01_c.Zip", true},
                                {"Zuze01_d.Zip", true}, {"Zuze01_up.Zip", false}}) {
    retr.insert(retr.end(), {"TYPE I", "PORT", std::string("RETR ") + name});
    if (onServer) retr.push_back(std::string("DELE ") + name);
  }
  retr.push_back("QUIT");
  EXPECT_EQ(commands, Cat(ListingCommands(), retr));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-tiedostonimi hylätty: Zuze01\\x00.Zip",
                               "FTP-tiedostonimi hylätty: Zuze01\\x01.Zip", "FTP-siiretty: Zuze01_a.Zip",
                               "FTP-siirto ei onnistunut: " + Site.Tmp + "Zuze01_abs.Zip",
                               "FTP-komento RETR Zuze01_abs.Zip ei onnistunut: 550 no such file",
                               "FTP-siiretty: Zuze01_c.Zip", "FTP-siiretty: Zuze01_d.Zip",
                               "FTP-siirto ei onnistunut: " + Site.Tmp + "Zuze01_up.Zip",
                               "FTP-komento RETR Zuze01_up.Zip ei onnistunut: 550 no such file", "FTP-siirto onnistui.",
                               Site.ListLine()}));
  EXPECT_EQ(ListDir(Site.Home.Path()), Lines{"INet"});
  EXPECT_EQ(ListDir(Site.Home / "INet"), Lines{"Tmp"});
  EXPECT_EQ(ListDir(Site.Tmp), (Lines{"Zuze01_a.Zip", "Zuze01_c.Zip", "Zuze01_d.Zip"}));
  EXPECT_EQ(ReadFile(Site.Tmp + "Zuze01_d.Zip"), "bytes of Zuze01_d.Zip");
  EXPECT_FALSE(FileExists("/tmp/Zuze01_abs.Zip"));
  EXPECT_EQ(Ftp.Files.size(), 2u) << "the refused names stay on the server";
}

// However a server answers for a directory, the step takes the plain file
// names that its mask matches (letter case ignored) and nothing else: no
// directory, no dot-name (an upload in progress), no other package kind.
TEST_F(StepsScripted, ListingsOfEveryKindOfServer) {
  const Lines plain = {"./Zuze01_a.Zip", ".", "..", "Master_1.Zip", "zuze02_b.zip", ".in.Zuze01_x.Zip", "Zuze9.txt"};
  const Lines machine = {"type=cdir; .", "type=pdir; ..", "type=dir; Zuze_dir.Zip", "type=file;size=1; Zuze01_a.Zip",
                         "type=file; .in.Zuze01_x.Zip", "type=file; Master_1.Zip", "Type=FILE; zuze02_b.zip"};
  const std::string mlst = "211-Features:\r\n MDTM\r\n MLST type*;size*;\r\n211 End";
  struct TCase {
    const char* Name;
    std::string Feat;        // the FEAT reply; empty: 502
    std::string NlstReply;   // in place of the listing; empty: the listing
    Lines Listing;
    Lines Collected;
  } cases[] = {
      {"NLST with dot entries and prefixes", "", "", plain, {"Zuze01_a.Zip", "zuze02_b.zip"}},
      {"MLSD offered, NLST not implemented", mlst, "502 NLST not implemented", machine, {"Zuze01_a.Zip", "zuze02_b.zip"}},
      {"empty directory: 450", "", "450 No files found", {}, {}},
      {"empty directory: 550", "", "550 No files found", {}, {}},
      {"empty directory: 226 and nothing", "", "", {}, {}},
      {"empty directory: only dot entries", "", "", {".", ".."}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Ftp = TScriptedFtp();
    Ftp.Listing = c.Listing;
    Ftp.Feat = c.Feat;
    const std::string nlst = c.NlstReply;
    Ftp.Reply = [nlst](const std::string& cmd) { return cmd == "NLST" ? nlst : ""; };
    for (const char* name : {"Zuze01_a.Zip", "zuze02_b.zip", ".in.Zuze01_x.Zip", "Master_1.Zip"})
      Ftp.Files[name] = name;
    Site.Core.MemoLog.Clear();
    for (const auto& f : ListDir(Site.Tmp)) std::remove((Site.Tmp + f).c_str());
    Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); }));
    EXPECT_EQ(commands[6], c.Feat.empty() ? "NLST" : "MLSD");
    EXPECT_EQ(ListDir(Site.Tmp), c.Collected);
    Lines expected = {"FTP-Siirto alkaa..."};
    for (const auto& name : c.Collected) expected.push_back("FTP-siiretty: " + name);
    expected.insert(expected.end(), {"FTP-siirto onnistui.", Site.ListLine()});
    EXPECT_EQ(Site.Log(), expected);
    EXPECT_EQ(Ftp.Files.count(".in.Zuze01_x.Zip"), 1u);

    // The head office's first master package goes up into an empty
    // directory, and a listed one is replaced.
    const std::string package = Site.Package("Master_2.Zip", "new");
    Site.Core.MemoLog.Clear();
    Run([&] { EXPECT_TRUE(Site.Core.ReplaceMasterPackages(package)); });
    EXPECT_EQ(Ftp.Files.count("Master_2.Zip"), 1u);
    EXPECT_EQ(Ftp.Files.count("Master_1.Zip"), c.Collected.empty() ? 1u : 0u);
  }
}

// A download the server refuses or breaks off leaves no file that a run
// could take for a package; the package stays on the server.
TEST_F(StepsScripted, FailedDownloadsLeaveNothingBehind) {
  Ftp.Listing = {"Zuze01_a.Zip", "Zuze02_b.Zip"};
  Ftp.Files["Zuze02_b.Zip"] = "whole package";
  Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); }));
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DELE Zuze01_a.Zip"), 0);
  EXPECT_EQ(ListDir(Site.Tmp), Lines{"Zuze02_b.Zip"});
  EXPECT_EQ(ReadFile(Site.Tmp + "Zuze02_b.Zip"), "whole package");
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto ei onnistunut: " + Site.Tmp + "Zuze01_a.Zip",
                               "FTP-komento RETR Zuze01_a.Zip ei onnistunut: 550 no such file", "FTP-siiretty: Zuze02_b.Zip", "FTP-siirto onnistui.",
                               Site.ListLine()}))
      << "a package left behind says why";

  Ftp.Listing = {"Master_1.Zip", "Master_2.Zip"};
  Ftp.Files = {{"Master_1.Zip", "old"}};
  std::string current;
  Site.Core.MemoLog.Clear();
  Run([&] { EXPECT_TRUE(Site.Core.DownloadMasterPackages(current)); });
  EXPECT_EQ(current, Site.Tmp + "Master_2.Zip");
  EXPECT_FALSE(FileExists(current));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui : " + Site.Tmp + "Master_1.Zip",
                               "FTP-siirto ei onnistunut: " + current,
                               "FTP-komento RETR Master_2.Zip ei onnistunut: 550 no such file", Site.ListLine()}));
  Run([&] { EXPECT_FALSE(Site.Core.DownloadPackage(Site.Tmp + "Tilasto.Zip")); });
  EXPECT_EQ(ListDir(Site.Tmp), (Lines{"Master_1.Zip", "Zuze02_b.Zip"}));
}

// Without a site prefix the mask is "*.Zip": an upload still in progress
// under its temporary dot-name is no package all the same.
TEST_F(StepsScripted, UploadInProgressIsNoPackageForAnyMask) {
  Site.Core.Settings.MasterClients = "";
  Ftp.Listing = {".in.Zuze01_x.Zip", "Zuze01_a.Zip"};
  Ftp.Files = {{".in.Zuze01_x.Zip", "half"}, {"Zuze01_a.Zip", "a"}};
  Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); });
  EXPECT_EQ(ListDir(Site.Tmp), Lines{"Zuze01_a.Zip"});
  EXPECT_EQ(Ftp.Files.count(".in.Zuze01_x.Zip"), 1u);
}

// A stranger's connection to the data port is refused with a line of its
// own; its forged listing is never read, the server's is.
TEST_F(StepsScripted, DataConnectionFromAStrangerIsRefusedAndLogged) {
  Ftp.StrangerAddress = "127.0.0.3";
  Ftp.Listing = {"Zuze01_a.Zip"};
  Ftp.Files = {{"Zuze01_a.Zip", "a"}, {"Zuze01_forged.Zip", "forged"}};
  Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); });
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-datayhteys hylätty, osoite ei ole palvelimen: 127.0.0.3",
                               "FTP-siiretty: Zuze01_a.Zip", "FTP-siirto onnistui.", Site.ListLine()}));
  EXPECT_EQ(ListDir(Site.Tmp), Lines{"Zuze01_a.Zip"});
}

// Every listed master package is tried in name order (the order of their
// time stamps), whatever order the server lists them in; one that cannot be
// downloaded gets its line, and the current package is the last name.
TEST_F(StepsScripted, MasterListingTriesEveryPackage) {
  Ftp.Listing = {"/Master_4.Zip", "./Master_1.Zip", "Master_3.Zip", "..", "../Master_2.Zip"};
  Ftp.Files = {{"Master_1.Zip", "one"}, {"Master_3.Zip", "three"}};
  std::string current = "unchanged";
  Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.DownloadMasterPackages(current)); }));
  EXPECT_EQ(current, Site.Tmp + "Master_4.Zip");
  EXPECT_EQ(commands, Cat(ListingCommands(), {"TYPE I", "PORT", "RETR Master_1.Zip", "TYPE I", "PORT", "RETR Master_2.Zip",
                                              "TYPE I", "PORT", "RETR Master_3.Zip", "TYPE I", "PORT",
                                              "RETR Master_4.Zip", "QUIT"}));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui : " + Site.Tmp + "Master_1.Zip",
                               "FTP-siirto ei onnistunut: " + Site.Tmp + "Master_2.Zip",
                               "FTP-komento RETR Master_2.Zip ei onnistunut: 550 no such file",
                               "FTP-siirto onnistui : " + Site.Tmp + "Master_3.Zip",
                               "FTP-siirto ei onnistunut: " + Site.Tmp + "Master_4.Zip",
                               "FTP-komento RETR Master_4.Zip ei onnistunut: 550 no such file", Site.ListLine()}));
  EXPECT_EQ(ListDir(Site.Tmp), (Lines{"Master_1.Zip", "Master_3.Zip"}));
}

TEST_F(StepsScripted, ListingAnsweredWithAnErrorEndsEveryListingStep) {
  Ftp.Reply = [](const std::string& cmd) { return cmd == "NLST" ? "550 No files found." : ""; };
  // The master package goes up all the same: "no such files" only means
  // there is none on the server yet.
  const std::string first = Site.Package("Master_1.Zip", "first");
  Run([&] { EXPECT_TRUE(Site.Core.ReplaceMasterPackages(first)); });
  EXPECT_EQ(Site.Log().end()[-2], "FTP-siirto onnistui: " + first);
  EXPECT_EQ(Ftp.Files["Master_1.Zip"], "first");
  Ftp.Reply = [](const std::string& cmd) { return cmd == "NLST" ? "425 Cannot open data connection." : ""; };
  std::string current = "unchanged";
  const std::string package = Site.Package("Master_2.Zip", "new");
  struct TCase {
    const char* Name;
    std::function<bool()> Step;
    Lines Extra;
  } cases[] = {
      {"DownloadMasterPackages", [&] { return Site.Core.DownloadMasterPackages(current); }, {}},
      {"CollectClientPackages", [&] { return Site.Core.CollectClientPackages(); }, {}},
      {"ReplaceMasterPackages", [&] { return Site.Core.ReplaceMasterPackages(package); }, {"FtpClient.Ls -ei onnistu!"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Site.Core.MemoLog.Clear();
    bool result = true;
    Lines commands = Run([&] { result = c.Step(); });
    EXPECT_FALSE(result);
    EXPECT_EQ(commands.back(), "QUIT");
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](auto& s) { return s.rfind("STOR", 0) == 0; }), 0);
    Lines expected = Cat(Cat({"FTP-Siirto alkaa..."}, c.Extra),
                         {"FTP-komento NLST ei onnistunut: 425 Cannot open data connection.", Site.ListLine()});
    EXPECT_EQ(Site.Log(), expected);
    EXPECT_FALSE(FileExists(Site.Core.FtpListFileName()));
  }
  EXPECT_EQ(current, "unchanged");
}

// A server that will not take the temporary name, or will not rename it,
// gets the plain upload; the temporary file is removed first.
TEST_F(StepsScripted, RefusedTemporaryNameOrRenameFallsBackToTheDirectUpload) {
  struct TCase {
    const char* Refused;  // the command the server refuses
    const char* Reply;
    Lines UploadTail;   // commands after STOR .in.X
    Lines ReplaceTail;  // commands after the listing
  } cases[] = {
      {"STOR .in.", "553 Could not create file.",
       {"DELE .in.Zuze01_1.Zip", "PORT", "STOR Zuze01_1.Zip", "QUIT"},
       {"TYPE I", "PORT", "STOR .in.Master_2.Zip", "DELE .in.Master_2.Zip", "TYPE I", "DELE Master_1.Zip", "TYPE I",
        "PORT", "STOR Master_2.Zip", "QUIT"}},
      {"RNFR", "502 RNFR not implemented.",
       {"RNFR .in.Zuze01_1.Zip", "DELE .in.Zuze01_1.Zip", "PORT", "STOR Zuze01_1.Zip", "QUIT"},
       {"TYPE I", "PORT", "STOR .in.Master_2.Zip", "TYPE I", "DELE Master_1.Zip", "RNFR .in.Master_2.Zip",
        "DELE .in.Master_2.Zip", "TYPE I", "PORT", "STOR Master_2.Zip", "QUIT"}},
      {"RNTO", "553 Rename not allowed.",
       {"RNFR .in.Zuze01_1.Zip", "RNTO Zuze01_1.Zip", "DELE .in.Zuze01_1.Zip", "PORT", "STOR Zuze01_1.Zip", "QUIT"},
       {"TYPE I", "PORT", "STOR .in.Master_2.Zip", "TYPE I", "DELE Master_1.Zip", "RNFR .in.Master_2.Zip",
        "RNTO Master_2.Zip", "DELE .in.Master_2.Zip", "TYPE I", "PORT", "STOR Master_2.Zip", "QUIT"}},
  };
  const std::string client = Site.Package("Zuze01_1.Zip", "client bytes");
  const std::string master = Site.Package("Master_2.Zip", "master bytes");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Refused);
    const std::string refused = c.Refused, reply = c.Reply;
    Ftp = TScriptedFtp();
    Ftp.Reply = [&](const std::string& cmd) { return cmd.rfind(refused, 0) == 0 ? reply : ""; };
    const std::string fallback = "FTP-palvelin ei hyväksy väliaikaista nimeä, siirretään suoraan: ";

    Site.Core.MemoLog.Clear();
    Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.UploadPackage(client, "/Backup")); }));
    EXPECT_EQ(commands, Cat(Upload(), Cat({"PORT", "STOR .in.Zuze01_1.Zip"}, c.UploadTail)));
    EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", fallback + "Zuze01_1.Zip (" + reply + ")",
                                 "FTP-siirto onnistui: " + client}));
    EXPECT_EQ(Ftp.Files, (std::map<std::string, std::string>{{"Zuze01_1.Zip", "client bytes"}}));

    Ftp.Files = {{"Master_1.Zip", "old"}};
    Ftp.Listing = {"Master_1.Zip"};
    Site.Core.MemoLog.Clear();
    commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.ReplaceMasterPackages(master)); }));
    EXPECT_EQ(commands, Cat(ListingCommands(), c.ReplaceTail));
    const Lines fellBackFirst = {"FTP-Siirto alkaa...", fallback + "Master_2.Zip (" + reply + ")",
                                 "FTP poistetaan : Master_1.Zip", "FTP-siirto onnistui: " + master, Site.ListLine()};
    const Lines deletedFirst = {"FTP-Siirto alkaa...", "FTP poistetaan : Master_1.Zip",
                                fallback + "Master_2.Zip (" + reply + ")", "FTP-siirto onnistui: " + master,
                                Site.ListLine()};
    EXPECT_EQ(Site.Log(), refused == "STOR .in." ? fellBackFirst : deletedFirst);
    EXPECT_EQ(Ftp.Files, (std::map<std::string, std::string>{{"Master_2.Zip", "master bytes"}}));
  }
}

// A transfer that breaks is no refusal: no second attempt, the partial
// temporary file is removed, and the old master package stays.
TEST_F(StepsScripted, BrokenUploadKeepsTheOldMasterPackage) {
  const std::string master = Site.Package("Master_2.Zip", std::string(100000, 'm'));
  Ftp.Files = {{"Master_1.Zip", "old"}};
  Ftp.Listing = {"Master_1.Zip"};
  Ftp.BrokenStors = {".in.Master_2.Zip", ".in.Zuze01_1.Zip"};
  Lines commands = Verbs(Run([&] { EXPECT_FALSE(Site.Core.ReplaceMasterPackages(master)); }));
  EXPECT_EQ(commands, Cat(ListingCommands(), {"TYPE I", "PORT", "STOR .in.Master_2.Zip", "DELE .in.Master_2.Zip", "QUIT"}));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto ei onnistunut: " + master,
                               "426 Connection closed; transfer aborted.", Site.ListLine()}));
  EXPECT_EQ(Ftp.Files, (std::map<std::string, std::string>{{"Master_1.Zip", "old"}}));

  const std::string client = Site.Package("Zuze01_1.Zip", "client bytes");
  Site.Core.MemoLog.Clear();
  commands = Verbs(Run([&] { EXPECT_FALSE(Site.Core.UploadPackage(client, "/Sorvel")); }));
  // Like the plain upload, a failed one closes the connection without QUIT
  // (the server reads the end of the stream).
  EXPECT_EQ(commands, Cat(Upload("/Sorvel"), {"PORT", "STOR .in.Zuze01_1.Zip", "DELE .in.Zuze01_1.Zip", ""}));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto ei onnistunut: " + client,
                               "426 Connection closed; transfer aborted."}));
  EXPECT_EQ(Ftp.Files.count(".in.Zuze01_1.Zip") + Ftp.Files.count("Zuze01_1.Zip"), 0u);
}

TEST_F(StepsScripted, WithoutTemporaryUploadsTheConversationIsThePlainOne) {
  Site.Core.Settings.FtpTempUpload = false;
  const std::string client = Site.Package("Zuze01_1.Zip", "client bytes");
  Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.UploadPackage(client, "/Backup")); }));
  EXPECT_EQ(commands, Cat(Upload(), {"PORT", "STOR Zuze01_1.Zip", "QUIT"}));

  const std::string master = Site.Package("Master_2.Zip", "master bytes");
  Ftp.Files = {{"Master_1.Zip", "old"}, {"Master_0.Zip", "older"}};
  Ftp.Listing = {"Master_1.Zip", "Master_0.Zip"};
  Ftp.Reply = [](const std::string& cmd) { return cmd == "DELE Master_1.Zip" ? "550 Permission denied." : ""; };
  Site.Core.MemoLog.Clear();
  commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.ReplaceMasterPackages(master)); }));
  EXPECT_EQ(commands, Cat(ListingCommands(), {"TYPE I", "DELE Master_0.Zip", "TYPE I", "DELE Master_1.Zip",
                                                     "TYPE I", "PORT", "STOR Master_2.Zip", "QUIT"}));
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP poistetaan : Master_0.Zip", "FTP poistetaan : Master_1.Zip",
                               "FTP-tiedoston poisto ei onnistu: Master_1.Zip",
                               "FTP-komento DELE Master_1.Zip ei onnistunut: 550 Permission denied.",
                               "FTP-siirto onnistui: " + master, Site.ListLine()}));
}

// An empty server directory is the login directory: no CWD, with or
// without the temporary name, and the listing steps work there too.
TEST_F(StepsScripted, EmptyServerDirectoryIsTheLoginDirectory) {
  const std::string client = Site.Package("Zuze01_1.Zip", "client bytes");
  for (bool temp : {true, false}) {
    SCOPED_TRACE(temp ? "temp" : "direct");
    Site.Core.Settings.FtpTempUpload = temp;
    Ftp = TScriptedFtp();
    Site.Core.MemoLog.Clear();
    Lines commands = Verbs(Run([&] { EXPECT_TRUE(Site.Core.UploadPackage(client, "")); }));
    EXPECT_EQ(commands, Cat({"USER anonymous", "PASS site@example.com", "TYPE I", "PORT"},
                            temp ? Lines{"STOR .in.Zuze01_1.Zip", "RNFR .in.Zuze01_1.Zip", "RNTO Zuze01_1.Zip", "QUIT"}
                                 : Lines{"STOR Zuze01_1.Zip", "QUIT"}));
    EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui: " + client}));
    EXPECT_EQ(Ftp.Files, (std::map<std::string, std::string>{{"Zuze01_1.Zip", "client bytes"}}));
  }
  Site.Core.Settings.FtpHostDir = "";
  Ftp.Listing = {"Zuze01_1.Zip"};
  Lines commands = Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); });
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](auto& c) { return c.rfind("CWD", 0) == 0; }), 0);
  EXPECT_EQ(ReadFile(Site.Tmp + "Zuze01_1.Zip"), "client bytes");
}

TEST_F(StepsScripted, QuitThatFailsIsLoggedByTheListingSteps) {
  Ftp.Reply = [](const std::string& cmd) { return cmd == "QUIT" ? "500 not now" : ""; };
  Lines commands = Run([&] { EXPECT_TRUE(Site.Core.CollectClientPackages()); });
  EXPECT_EQ(Site.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui.", "FTP-yhteyden purku ei onnistu!",
                               "FTP-komento QUIT ei onnistunut: 500 not now", Site.ListLine()}));
}

// An error raised inside a step is logged and ends the step with false; the
// session is still closed and the listing file removed.
TEST_F(StepsScripted, ErrorInsideAStepIsLoggedNotThrown) {
  struct TThrowingView : THeadlessView {
    void LogAppended(const std::string& line) override {
      if (line.rfind("FTP-siirto onnistui : ", 0) == 0) throw std::runtime_error("view gone");
    }
  } view;
  TStepsHome home;
  home.Core.MemoLog.SetView(&view);
  Ftp.Listing = {"Master_1.Zip"};
  Ftp.Files = {{"Master_1.Zip", "m"}};
  std::string current;
  bool result = true;
  TFakeServer server([this](TFakeSession& s) { Ftp.Serve(s); });
  home.UsePort(server.Port());
  EXPECT_NO_THROW(result = home.Core.DownloadMasterPackages(current));
  EXPECT_FALSE(result);
  EXPECT_EQ(server.Commands().back(), "QUIT");
  EXPECT_EQ(home.Log(), (Lines{"FTP-Siirto alkaa...", "FTP-siirto onnistui : " + home.Tmp + "Master_1.Zip",
                               "FTP-yhteysvirhe : view gone", home.ListLine()}));
  EXPECT_FALSE(FileExists(home.Core.FtpListFileName()));
}

TEST_F(StepsScripted, ServerDownFailsEveryStepWithItsLines) {
  Site.UsePort(FreeLoopbackPort());
  const std::string package = Site.Package("Zuze01_1.Zip", "x");
  std::string current = "unchanged";
  struct TCase {
    const char* Name;
    std::function<bool()> Step;
    bool Listing;
  } cases[] = {
      {"UploadPackage", [&] { return Site.Core.UploadPackage(package, "/Backup"); }, false},
      {"DownloadPackage", [&] { return Site.Core.DownloadPackage(package); }, false},
      {"DownloadMasterPackages", [&] { return Site.Core.DownloadMasterPackages(current); }, true},
      {"ReplaceMasterPackages", [&] { return Site.Core.ReplaceMasterPackages(package); }, true},
      {"CollectClientPackages", [&] { return Site.Core.CollectClientPackages(); }, true},
  };
  for (bool temp : {true, false}) {
    Site.Core.Settings.FtpTempUpload = temp;
    for (auto& c : cases) {
      SCOPED_TRACE(std::string(c.Name) + (temp ? " temp" : " direct"));
      Site.Core.MemoLog.Clear();
      EXPECT_FALSE(c.Step());
      const Lines& log = Site.Log();
      ASSERT_EQ(log.size(), 3u);
      EXPECT_EQ(log[0], "FTP-Siirto alkaa...");
      EXPECT_EQ(log[1], c.Listing ? "FTP-yhteys ei onnistunut!" : "FTP-siirto ei onnistunut: " + package);
      EXPECT_NE(log[2].find("(Winsock error #10061)"), std::string::npos) << log[2];
    }
  }
  EXPECT_EQ(current, "unchanged");
  EXPECT_EQ(Site.View.Meters, std::vector<int>(10, 0));
}

TEST(FtpClientProgress, ShowsWholeKilobytesRoundedHalfToEven) {
  TStepsHome home;
  const std::pair<int64_t, const char*> cases[] = {{0, "0 Kb"},    {512, "0 Kb"},    {513, "1 Kb"},
                                                   {1536, "2 Kb"}, {2560, "2 Kb"},   {3584, "4 Kb"},
                                                   {1023, "1 Kb"}, {1048576, "1024 Kb"}};
  for (const auto& [count, text] : cases) {
    bool abort = true;
    home.Core.FtpClientProgress(nullptr, count, abort);
    EXPECT_EQ(home.View.Fields["EdtSiirretty"], text) << count;
    EXPECT_FALSE(abort);
  }
  EXPECT_EQ(home.View.ProcessMessagesCalls, 8);
}

}  // namespace
}  // namespace trelvo::test
