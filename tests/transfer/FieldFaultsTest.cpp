// Faults met in the field, each made for real (a damaged package, a full
// file system, a bad setting, a server directory that is not there), and
// the exchange afterwards: every keyed change everywhere, every visit once,
// no row lost.
#include <cstring>

#include "ExchangeFixture.h"
#include "archive/ZipArchiver.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

uint32_t Le(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

// Flips a byte in the middle of the stored data of the last entry whose name
// ends with suffix, as a bad sector or a broken transfer would; returns the
// entry's name.
std::string DamageLastEntry(const std::string& path, const std::string& suffix) {
  std::string bytes = ReadFile(path);
  size_t dataAt = 0, size = 0;
  std::string name;
  for (size_t at = bytes.find("PK\x01\x02"); at != std::string::npos; at = bytes.find("PK\x01\x02", at + 4)) {
    const std::string entry = bytes.substr(at + 46, Le(bytes, at + 28, 2));
    if (!EndsWith(UpperCase(entry), UpperCase(suffix))) continue;
    const size_t local = Le(bytes, at + 42, 4);
    name = entry;
    size = Le(bytes, at + 20, 4);
    dataAt = local + 30 + Le(bytes, local + 26, 2) + Le(bytes, local + 28, 2);
  }
  EXPECT_GT(size, 20u) << path;
  bytes[dataAt + size / 2] ^= 0x5a;
  WriteFile(path, bytes);
  return name;
}

std::vector<std::string> EntriesOf(const std::string& path) {
  TZipArchiver zip;
  zip.OpenArchive(path);
  std::vector<std::string> names;
  for (const TZipItem& item : zip.Items()) names.push_back(item.FileName);
  zip.CloseArchive();
  return names;
}

class FieldFaults : public TwoSitesFixture {
 protected:
  void Changes(int day) {
    Clock.Set(Day(day, 20));
    const std::string d = std::to_string(day);
    S1->ChangeCustomer("A1_" + d, "Aino " + d, Day(day, 20, 0));
    S1->ChangeCard("K1_" + d, "1", "A1_" + d, Day(day, 20, 1));
    S1->ChangeCardPlace("K1_" + d, "HALLI", day, Day(day, 20, 2));
    S1->Visit("K1_" + d, "HALLI", Day(day, 20, 3));
    S1->Visit("K1_" + d, "HALLI", Day(day, 20, 4));
    S2->ChangeCard("K2_" + d, "2", "A2", Day(day, 20, 5));
    S2->Visit("K2_" + d, "SALI", Day(day, 20, 6));
    Visits += 3;
    Cards += 2;
  }

  Lines SendAt(TInstallation& i, TDateTime at) {
    Clock.Set(at);
    return i.Send();
  }
  Lines ReceiveAt(TInstallation& i, TDateTime at) {
    Clock.Set(at);
    return i.Receive();
  }
  void Cycle(int day) {
    SendAt(*S1, Day(day, 22, 0, 1));
    SendAt(*S2, Day(day, 22, 0, 2));
    ReceiveAt(*M, Day(day, 22, 30, 1));
    SendAt(*M, Day(day, 23, 0, 1));
    ReceiveAt(*S1, Day(day, 23, 30, 1));
    ReceiveAt(*S2, Day(day, 23, 30, 2));
  }

  Lines MasterTables(TInstallation& i) {
    Lines all = i.Rows("Asiakas", "AsNo", kCustomerFields);
    for (const auto& r : i.Rows("KORTTI", "KorttiLyh", kCardFields)) all.push_back("KORTTI " + r);
    for (const auto& r : i.Rows("KORTTIPA", "KorttiLyh;Paikka", kPlaceFields)) all.push_back("KORTTIPA " + r);
    return all;
  }

  // Every keyed change everywhere, every visit once at the head office.
  void ExpectInvariant() {
    EXPECT_EQ(Visits, M->Count("TILASTO")) << "every visit once";
    EXPECT_EQ(Cards, M->Count("KORTTI"));
    for (TInstallation* site : {S1, S2}) EXPECT_EQ(MasterTables(*M), MasterTables(*site)) << site->Dir;
  }

  int Visits = 0, Cards = 0;
};

// The master package's last table fails its check: the site keeps all its
// old tables and result logs, not a mix, and the next good package brings
// everything.
TEST_F(FieldFaults, DamagedMasterPackageReplacesNoTable) {
  Changes(2);
  Cycle(2);
  Changes(3);
  for (TInstallation* s : {S1, S2}) SendAt(*s, Day(3, 22, 0, s == S1 ? 1 : 2));
  ReceiveAt(*M, Day(3, 22, 30, 1));
  SendAt(*M, Day(3, 23, 0, 1));
  const std::string package = Root / "Sorvel/Master_20260303230001.Zip";
  const std::string good = ReadFile(package);
  const std::string damaged = DamageLastEntry(package, ".Nx1");
  EXPECT_NE(damaged, EntriesOf(package).front()) << "tables come before it in the package";

  const Lines before = MasterTables(*S1);
  const std::string resultLog = ReadFile(S1->Dir + "INet/Log/Masterissa_01.log");
  Lines log = ReceiveAt(*S1, Day(3, 23, 30, 1));
  EXPECT_TRUE(HasPrefix(log, "Pakkaus/purku ei onnistu: ")) << Joined(log);
  EXPECT_TRUE(Has(log, "Master-kannan tauluja ei vaihdettu.")) << Joined(log);
  EXPECT_TRUE(HasPrefix(log, "Siirto EI onnistunut : "));
  EXPECT_EQ(before, MasterTables(*S1)) << "no table of the damaged package";
  EXPECT_EQ(resultLog, ReadFile(S1->Dir + "INet/Log/Masterissa_01.log"));
  EXPECT_EQ("Master_20260302230001.Zip", S1->Core->Live.EdtMaster);
  EXPECT_EQ(1, S1->Core->ClientRecvRetries);
  EXPECT_EQ((Lines{"Zuze01_20260303220001.Zip"}), ListDir(S1->Dir + "FtpSiirto")) << "still waiting";
  EXPECT_FALSE(FileExists(S1->Dir + "Data/.uudet")) << "the staging went";

  WriteFile(package, good);  // the head office's server copy comes back whole
  ReceiveAt(*S1, Day(3, 23, 40));
  ReceiveAt(*S2, Day(3, 23, 40, 1));
  Changes(4);
  Cycle(4);
  ExpectInvariant();
}

// The site's main database fills up while the master package is unpacked:
// nothing is replaced, and once there is room the next receive takes it.
TEST_F(FieldFaults, FullDiskWhileUnpackingTheMasterPackage) {
  TTmpfsMount data(4 << 20);
  if (!data.Mounted()) GTEST_SKIP() << data.Error();
  S1->MoveOnto("Data", data);
  Changes(2);
  Cycle(2);
  Changes(3);
  for (TInstallation* s : {S1, S2}) SendAt(*s, Day(3, 22, 0, s == S1 ? 1 : 2));
  ReceiveAt(*M, Day(3, 22, 30, 1));
  SendAt(*M, Day(3, 23, 0, 1));
  const Lines before = MasterTables(*S1);
  const std::string resultLog = ReadFile(S1->Dir + "INet/Log/Masterissa_01.log");
  data.Fill(0);
  Lines log = ReceiveAt(*S1, Day(3, 23, 30, 1));
  data.Release();
  EXPECT_TRUE(Has(log, "Master-kannan tauluja ei vaihdettu.")) << Joined(log);
  EXPECT_TRUE(HasPrefix(log, "Siirto EI onnistunut : "));
  EXPECT_EQ(before, MasterTables(*S1));
  EXPECT_EQ(resultLog, ReadFile(S1->Dir + "INet/Log/Masterissa_01.log")) << "no result log of it either";
  EXPECT_EQ(1, S1->Core->ClientRecvRetries);

  ReceiveAt(*S1, Day(3, 23, 40));
  ReceiveAt(*S2, Day(3, 23, 40, 1));
  Changes(4);
  Cycle(4);
  ExpectInvariant();
}

// An unconfirmed package whose rows cannot be put back (its unpack meets a
// full INet database) stays in FtpSiirtoDir and is put back next time.
TEST_F(FieldFaults, UnconfirmedPackageThatCannotBePutBackStays) {
  TTmpfsMount inet(4 << 20);
  if (!inet.Mounted()) GTEST_SKIP() << inet.Error();
  S1->MoveOnto("INetData", inet);
  Changes(2);
  SendAt(*S1, Day(2, 22, 0, 1));
  SendAt(*S2, Day(2, 22, 0, 2));
  WriteFile(Root / "Sorvel/Zuze01_20260302220001.Zip", "not a package");  // ERROR01 at the head office
  ReceiveAt(*M, Day(2, 22, 30, 1));
  SendAt(*M, Day(2, 23, 0, 1));
  inet.Fill(0);
  Lines log = ReceiveAt(*S1, Day(2, 23, 30, 1));
  inet.Release();
  EXPECT_TRUE(Has(log, "Paketin rivejä ei saatu takaisin, paketti jää seuraavaan vastaanottoon: "
                       "Zuze01_20260302220001.Zip"))
      << Joined(log);
  EXPECT_TRUE(HasPrefix(log, "Siirto EI onnistunut : "));
  EXPECT_EQ((Lines{"Zuze01_20260302220001.Zip"}), ListDir(S1->Dir + "FtpSiirto"));
  EXPECT_EQ(0, S1->Count("ZNetTila")) << "nothing half put back";
  ReceiveAt(*S2, Day(2, 23, 30, 2));

  // The next day's receive puts the rows back, and they reach the head office.
  Changes(3);
  Cycle(3);
  Cycle(4);
  EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty());
  ExpectInvariant();
}

// A package sent after the head office's collection waits; its rows are
// laid over the new tables and must then leave the exchange tables again.
// When that fails (the second unpack meets a full INet database, or the
// removal a full main database), nothing escapes the run, it counts as
// failed, and the next cycle delivers everything once.
class UndecidedPackage : public FieldFaults, public ::testing::WithParamInterface<const char*> {};

TEST_P(UndecidedPackage, WhoseRowsCannotBeTakenOutAgain) {
  const std::string dir = GetParam();
  TTmpfsMount fs(8 << 20);
  if (!fs.Mounted()) GTEST_SKIP() << fs.Error();
  S1->MoveOnto(dir, fs);
  Changes(2);
  Cycle(2);
  Changes(3);
  SendAt(*S2, Day(3, 22, 0, 2));
  ReceiveAt(*M, Day(3, 22, 30, 1));
  SendAt(*S1, Day(3, 22, 40));  // after the collection: undecided tonight
  SendAt(*M, Day(3, 23, 0, 1));
  S1->Transfer->OnCheckpoint = [&](const std::string& point) {
    if (point == "client-receive-merged") fs.Fill(0);
  };
  Lines log;
  EXPECT_NO_THROW(log = ReceiveAt(*S1, Day(3, 23, 30, 1)));
  S1->Transfer->OnCheckpoint = nullptr;
  fs.Release();
  EXPECT_TRUE(Has(log, "Odottaa Masterin käsittelyä: Zuze01_20260303224000.Zip")) << Joined(log);
  EXPECT_TRUE(HasPrefix(log, "Siirto EI onnistunut : ")) << Joined(log);
  EXPECT_EQ(1, S1->Core->ClientRecvRetries);
  if (dir == "INetData") {
    // The rows cannot be told apart in the exchange tables any more: the
    // package stops waiting and they go again, never both.
    EXPECT_TRUE(Has(log, "Odottavan paketin rivit lähtevät uudelleen: Zuze01_20260303224000.Zip")) << Joined(log);
    EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty());
    EXPECT_EQ(2, S1->Count("ZNetTila"));
  } else {
    EXPECT_TRUE(Has(log, "Odottavan paketin rivien poisto ei onnistu: Zuze01_20260303224000.Zip")) << Joined(log);
    EXPECT_EQ((Lines{"Zuze01_20260303224000.Zip"}), ListDir(S1->Dir + "FtpSiirto")) << "kept: nothing lost";
  }
  ReceiveAt(*S2, Day(3, 23, 30, 2));

  Changes(4);
  Cycle(4);
  Cycle(5);
  ExpectInvariant();
  EXPECT_TRUE(ListDir(S1->Dir + "FtpSiirto").empty());
}

INSTANTIATE_TEST_SUITE_P(FullFileSystem, UndecidedPackage, ::testing::Values("INetData", "Data"));

// A log package that does not reach the server leaves its logs where they
// were; they go with the next run's package.
TEST_F(FieldFaults, RunLogsStayUntilTheirUploadSucceeds) {
  Changes(2);
  SendAt(*S1, Day(2, 22, 0, 1));
  SendAt(*S2, Day(2, 22, 0, 2));
  ReceiveAt(*M, Day(2, 22, 30, 1));
  for (TInstallation* i : {M, S1}) {
    i->Set("FtpHostLogDir", "/NoSuchLogDir");
    i->Core->LoadSettings();
  }
  Lines log = SendAt(*M, Day(2, 23, 0, 1));
  EXPECT_TRUE(Has(log, "Siirto suoritettu onnistuneesti!")) << Joined(log);
  EXPECT_TRUE(Has(log, "Lokit jäävät seuraavaan siirtoon: " + M->Dir + "Backup/")) << Joined(log);
  EXPECT_EQ(1u, Matching(ListDir(M->Dir + "Backup"), "Haku_").size());
  log = ReceiveAt(*S1, Day(2, 23, 30, 1));
  EXPECT_TRUE(HasPrefix(log, "Siirto valmis : ")) << Joined(log);
  EXPECT_TRUE(FileExists(S1->Dir + "Backup/Zuze01_20260302220001.Log")) << "the send's log stays";
  EXPECT_TRUE(ServerFiles("Log").empty());

  for (TInstallation* i : {M, S1}) {
    i->Set("FtpHostLogDir", "/Log");
    i->Core->LoadSettings();
  }
  SendAt(*M, Day(3, 23, 0, 1));
  ReceiveAt(*S1, Day(3, 23, 30, 1));
  const Lines onServer = ServerFiles("Log");
  ASSERT_EQ(1u, Matching(onServer, "MLogs_").size());
  ASSERT_EQ(1u, Matching(onServer, "CLogs01_").size());
  const Lines masterLogs = EntriesOf(Root / "Log" + "/" + Matching(onServer, "MLogs_")[0]);
  EXPECT_EQ(1u, Matching(masterLogs, "Haku_").size()) << Joined(masterLogs);
  const Lines siteLogs = EntriesOf(Root / "Log" + "/" + Matching(onServer, "CLogs01_")[0]);
  EXPECT_TRUE(Has(siteLogs, "Zuze01_20260302220001.Log")) << Joined(siteLogs);
  EXPECT_TRUE(Has(siteLogs, "Master_20260302230001.Log")) << Joined(siteLogs);
  EXPECT_FALSE(FileExists(S1->Dir + "Backup/Zuze01_20260302220001.Log"));
}

}  // namespace
}  // namespace trelvo::test
