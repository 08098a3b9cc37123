// An exchange changing over to AES one installation at a time: the head
// office on AES-256 with its sites on the traditional cipher, and the other
// way round. Every installation reads both kinds, so nothing is lost.
#include <set>

#include "ExchangeFixture.h"
#include "archive/ZipArchiver.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

// "AES", "ZipCrypto", or both joined, for the entries of a package.
std::string Kinds(const std::string& path) {
  TZipArchiver zip;
  zip.OpenArchive(path);
  std::set<std::string> kinds;
  for (const TZipItem& item : zip.Items()) kinds.insert(item.Aes() ? "AES" : item.Encrypted() ? "ZipCrypto" : "plain");
  zip.CloseArchive();
  std::string out;
  for (const auto& k : kinds) out += (out.empty() ? "" : "+") + k;
  return out;
}

std::string OneMatching(const std::vector<std::string>& names, const std::string& prefix) {
  std::string found;
  for (const auto& n : names)
    if (StartsWith(n, prefix)) {
      EXPECT_EQ(found, "") << "two files begin with " << prefix;
      found = n;
    }
  EXPECT_NE(found, "") << "no file begins with " << prefix;
  return found;
}

class AesExchange : public TwoSitesFixture {
 protected:
  void UseAes(TInstallation& i) {
    i.Set("ZipEncryption", "AES256");
    i.Restart();
  }
  void Run(TInstallation& i, bool send, TDateTime at) {
    Clock.Set(at);
    Lines log = send ? i.Send() : i.Receive();
    EXPECT_TRUE(send ? Has(log, "Siirto suoritettu onnistuneesti!") : HasPrefix(log, "Siirto valmis : ")) << Joined(log);
  }
  // One day: both sites send, the head office merges and publishes, the
  // sites take the master tables in and retire their confirmed packages.
  void DayOfExchange() {
    Clock.Set(Day(2, 20));
    S1->ChangeCustomer("A1", "Aino", Day(2, 20, 0));
    S1->ChangeCard("K1", "1001", "A1", Day(2, 20, 5));
    S1->Visit("K1", "HALLI", Day(2, 20, 10));
    S2->ChangeCard("K1", "2002", "A1", Day(2, 20, 30));
    S2->Visit("K9", "SALI", Day(2, 20, 12));
    Run(*S1, true, Day(2, 22, 0, 1));
    Run(*S2, true, Day(2, 22, 0, 2));
    Run(*M, false, Day(2, 22, 30, 1));
    Run(*M, true, Day(2, 23, 0, 1));
    Run(*S1, false, Day(2, 23, 30, 1));
    Run(*S2, false, Day(2, 23, 30, 2));
  }
  void ExpectEverythingDelivered() {
    EXPECT_EQ((Lines{"K1|2002|A1"}), M->Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "KorttiNro", "AsNo"}));
    EXPECT_EQ(2, M->Count("TILASTO")) << "each visit once";
    for (auto [site, client] : {std::pair{S1, "01"}, std::pair{S2, "02"}}) {
      EXPECT_EQ((Lines{"A1|Aino"}), site->Rows("Asiakas", "AsNo", {"AsNo", "AsNimi"}));
      EXPECT_EQ((Lines{"K1|2002|A1"}), site->Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "KorttiNro", "AsNo"}));
      EXPECT_NE(std::string::npos, ReadFile(site->Dir + "INet/Log/Masterissa_" + std::string(client) + ".log").find("  Ok"));
      EXPECT_TRUE(ListDir(site->Dir + "FtpSiirto").empty()) << "confirmed and retired";
    }
  }
  // What each installation wrote: its packages and its run logs' packages.
  void ExpectKinds(const std::string& master, const std::string& sites) {
    EXPECT_EQ(master, Kinds(Root / ("Sorvel/" + OneMatching(ServerFiles("Sorvel"), "Master_"))));
    EXPECT_EQ(master, Kinds(Root / ("Log/" + OneMatching(ServerFiles("Log"), "MLogs_"))));
    for (const char* client : {"01", "02"}) {
      EXPECT_EQ(sites, Kinds(Root / ("Backup/" + OneMatching(ServerFiles("Backup"), std::string("Zuze") + client))));
      EXPECT_EQ(sites, Kinds(Root / ("Log/" + OneMatching(ServerFiles("Log"), std::string("CLogs") + client))));
    }
  }
};

TEST_F(AesExchange, HeadOfficeOnAesSitesOnTheTraditionalCipher) {
  UseAes(*M);
  DayOfExchange();
  ExpectEverythingDelivered();
  ExpectKinds("AES", "ZipCrypto");
}

TEST_F(AesExchange, SitesOnAesHeadOfficeOnTheTraditionalCipher) {
  UseAes(*S1);
  UseAes(*S2);
  DayOfExchange();
  ExpectEverythingDelivered();
  ExpectKinds("ZipCrypto", "AES");
}

}  // namespace
}  // namespace trelvo::test
