// No password, in clear or as the settings file holds it, reaches any file an
// exchange leaves behind (run logs, result logs, crash reports, tables, the
// FTP server's files) or the output of an operator's command. A head office
// and two sites exchange through pyftpdlib with a real login; one evening
// goes well, the next fails in every way a wrong password can.
#include <filesystem>

#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kFtpPassword = "FtpPw-7Qx92Lmz";
const std::string kWrongFtpPassword = "WrongFtp-3Hs55Ba";
const std::string kZipPassword = "ZipPw-4Kd81Vrt";
const std::string kOtherZipPassword = "OtherZip-9Wq27Nc";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Secrets : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    for (const char* d : {"Sorvel", "Backup", "Log"}) MakeDir(Root / d);
    Server = std::make_unique<TPyFtpServer>(Root.Path(), "trelvo", kFtpPassword);
  }

  TInstallation& Make(const std::string& name, const std::string& role, const std::string& client) {
    Installations.push_back(std::make_unique<TInstallation>(Work / name, role, client, Server->Port(), Clock));
    TInstallation& inst = *Installations.back();
    TIniFile(inst.Dir + "Sorvel.ini").WriteString("Defaults", "UseErrorLog", "Yes");
    Login(inst, kFtpPassword, kZipPassword);
    return inst;
  }
  static void Login(TInstallation& inst, const std::string& ftpPassword, const std::string& zipPassword) {
    inst.Set("FtpUser", "trelvo");
    inst.Set("FtpPassWord", EncipherSetting(ftpPassword));
    inst.Set("ZipPassword", EncipherSetting(zipPassword));
    inst.Restart();
  }

  std::string Admin(const std::string& args) {
    std::string out;
    RunCommand(AdminPath() + " " + args + " 2>&1", &out);
    Outputs.emplace_back(args, out);
    return out;
  }

  // Every needle found in a file or an output, as "where: needle".
  std::vector<std::string> Leaks() {
    std::vector<std::string> needles;
    for (const std::string& p : {kFtpPassword, kWrongFtpPassword, kZipPassword, kOtherZipPassword}) {
      needles.push_back(p);
      needles.push_back(EncipherSetting(p));
    }
    std::vector<std::string> found;
    auto search = [&](const std::string& where, const std::string& text) {
      for (const std::string& n : needles)
        if (text.find(n) != std::string::npos) found.push_back(where + ": " + n);
    };
    for (const std::string& top : {Work.Path(), Root.Path(), Server->WorkDir()})
      for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        if (name == "Sorvel.ini" || SameText(ExtractFileExt(name), ".Zip")) continue;
        search(entry.path().string(), ReadFile(entry.path().string()));
      }
    for (const auto& [args, out] : Outputs) search("trelvo-admin " + args, out);
    return found;
  }

  TTempDir Root, Work;
  std::unique_ptr<TPyFtpServer> Server;
  TFixedClock Clock{Day(2, 8)};
  std::vector<std::unique_ptr<TInstallation>> Installations;
  std::vector<std::pair<std::string, std::string>> Outputs;
};

TEST_F(Secrets, NoPasswordInAnyFileOrOutputOfAGoodAndABadEvening) {
  TInstallation& m = Make("master", "master", "01");
  TInstallation& s1 = Make("site1", "client", "01");
  TInstallation& s2 = Make("site2", "client", "02");
  auto changes = [&](int day) {
    s1.ChangeCustomer("A" + IntToStr(day), "Aino", Day(day, 20));
    s1.Visit("K1", "HALLI", Day(day, 20, 10));
    s2.ChangeCustomer("B" + IntToStr(day), "Bertta", Day(day, 20, 1));
  };
  auto at = [&](TInstallation& i, TDateTime when, bool send) {
    Clock.Set(when);
    if (send)
      i.Send();
    else
      i.Receive();
    return i.Transfer->LastRunSucceeded();
  };

  // A good evening.
  changes(2);
  EXPECT_TRUE(at(s1, Day(2, 22, 0, 1), true)) << Joined(s1.Core->MemoLog.Lines());
  EXPECT_TRUE(at(s2, Day(2, 22, 0, 2), true)) << Joined(s2.Core->MemoLog.Lines());
  EXPECT_TRUE(at(m, Day(2, 22, 30), false)) << Joined(m.Core->MemoLog.Lines());
  EXPECT_TRUE(at(m, Day(2, 23, 0), true)) << Joined(m.Core->MemoLog.Lines());
  EXPECT_TRUE(at(s1, Day(2, 23, 30), false)) << Joined(s1.Core->MemoLog.Lines());
  EXPECT_EQ(2, s1.Count("Asiakas"));

  // A bad one: site 1 has a wrong FTP password, site 2 packs with another
  // ZIP password than the head office's.
  changes(3);
  Login(s1, kWrongFtpPassword, kZipPassword);
  Login(s2, kFtpPassword, kOtherZipPassword);
  EXPECT_FALSE(at(s1, Day(3, 22, 0, 1), true));
  EXPECT_TRUE(HasPrefix(s1.View.All, "530 ")) << Joined(s1.View.All);
  EXPECT_TRUE(at(s2, Day(3, 22, 0, 2), true));
  at(m, Day(3, 22, 30), false);
  EXPECT_TRUE(Contains(ReadFile(m.Dir + "INet/Log/Masterissa_02.log"), "ERROR01"));
  at(m, Day(3, 23, 0), true);
  EXPECT_FALSE(at(s1, Day(3, 23, 30), false));
  at(s2, Day(3, 23, 30, 1), false);

  // Every command of the operator's tool on these installations.
  const std::string port = IntToStr(Server->Port());
  const std::string verbose = Admin("ftp 127.0.0.1:" + port + " trelvo " + kFtpPassword + " ls /Sorvel --verbose");
  EXPECT_TRUE(Contains(verbose, "> PASS ****\n")) << verbose;
  Admin("ftp 127.0.0.1:" + port + " trelvo " + kWrongFtpPassword + " ls /Sorvel --verbose");
  const std::string package = Work / "p.Zip";
  Admin("pack " + package + " " + m.Dir + "Data/ 'Asiakas.Nx1' --password " + kZipPassword);
  Admin("list " + package);
  Admin("unpack " + package + " " + Work / "unpacked-ok/ --password " + kZipPassword);
  Admin("unpack " + package + " " + Work / "unpacked-bad/ --password " + kOtherZipPassword);
  Admin("init " + Work / "fresh" + " --role client --client 07 --ftp 127.0.0.1:" + port + " --ftp-user trelvo" +
        " --ftp-password " + kFtpPassword + " --zip-password " + kZipPassword);
  for (TInstallation* i : {&m, &s1, &s2}) {
    const std::string home = " --home " + i->Dir;
    for (const std::string& args :
         {"config" + home, "status" + home, "counts" + home, "ftp-check" + home, "run send" + home,
          "run receive" + home, "tick --at '04.03.2026 23:59:00'" + home, "dump Asiakas" + home,
          "change Asiakas AsNo=Z1 AsNimi=Zeta" + home, "add ZNetAsi AsNo=Z2 --inet" + home})
      Admin(args);
  }
  // The log packages that went to the server carry run logs that are no
  // longer anywhere else.
  MakeDir(Work / "shipped-logs");
  for (const std::string& name : ListDir(Root / "Log"))
    Admin("unpack " + Root / "Log/" + name + " " + Work / "shipped-logs/ --password " + kZipPassword);
  EXPECT_FALSE(ListDir(Work / "shipped-logs").empty()) << Joined(ListDir(Root / "Log"));

  EXPECT_EQ(Leaks(), std::vector<std::string>{});
}

}  // namespace
}  // namespace trelvo::test
