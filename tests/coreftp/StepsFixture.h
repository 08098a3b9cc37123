#pragma once
// What the FTP step tests share: an installation of a core with its own
// INet/Tmp directory and a headless view, and a small scripted server for
// the conversations real servers do not hold on demand.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FtpTestKit.h"
#include "core/TrelvoCore.h"

namespace trelvo::test {

using Lines = std::vector<std::string>;

// One installation: home directory, InternetDir with Tmp/, the FTP settings
// pointing at 127.0.0.1.
struct TStepsHome {
  TTempDir Home;
  THeadlessView View;
  TTrelvoCore Core;
  std::string Tmp = Home / "INet/Tmp/";

  // view: another view for the core than View.
  explicit TStepsHome(TTrelvoView* view = nullptr) : Core(Home.Path(), view ? view : &View) {
    EnsureQtApp();
    MakeDir(Tmp);
    Core.Settings.Dir = Home / "INet/";
    Core.Settings.FtpHost = "127.0.0.1";
    Core.Settings.FtpUser = "anonymous";
    Core.Settings.FtpPassWord = "site@example.com";
  }
  void UsePort(int port) { Core.Settings.FtpPort = std::to_string(port); }
  const Lines& Log() const { return Core.MemoLog.Lines(); }
  std::string ListLine() const { return "Poistetaan : " + Core.FtpListFileName(); }
  // A package of the given bytes in this installation's Tmp/.
  std::string Package(const std::string& name, const std::string& bytes) {
    WriteFile(Tmp + name, bytes);
    return Tmp + name;
  }
};

// A scripted FTP server for one session over active data connections: it
// answers the commands the steps send, lists Listing for NLST and MLSD, serves and
// stores Files, and lets a test put another reply in place of any answer.
struct TScriptedFtp {
  std::vector<std::string> Listing;  // raw NLST or MLSD lines, sent with CR LF
  std::string Feat;                  // the reply to FEAT (CR LF between lines); empty: 502
  std::map<std::string, std::string> Files;
  // A non-empty result is sent instead of the normal answer to cmd.
  std::function<std::string(const std::string& cmd)> Reply = [](const std::string&) { return std::string(); };
  // A listing's data connection is first tried from this address (a
  // stranger on the site's network) with a forged listing.
  std::string StrangerAddress;
  // STOR of these names takes the data, then fails the transfer.
  std::vector<std::string> BrokenStors;

  void Serve(TFakeSession& s);
};

}  // namespace trelvo::test
