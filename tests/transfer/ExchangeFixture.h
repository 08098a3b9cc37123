#pragma once
// A head office and its sites as installations made by trelvo-admin init in
// one temporary folder, one FTP server on loopback, one clock for all of them,
// and the suite's main program's part: writing changes into the tables.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FtpTestKit.h"
#include "TestSupport.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/IniFile.h"
#include "common/Text.h"
#include "core/Settings.h"
#include "db/DbTable.h"
#include "transfer/Transfer.h"

namespace trelvo::test {

using Lines = std::vector<std::string>;
using TRowValues = std::vector<std::pair<std::string, TValue>>;

inline TValue Txt(const std::string& s) { return TValue::Text(s); }
inline TValue Int(long long i) { return TValue::Integer(i); }
inline TValue At(TDateTime t) { return TValue::DateTime(t); }

inline std::string AdminPath() { return BinaryDir() + "/tools/trelvo-admin"; }

// Days and times of the simulated world.
// Day d counted from 1 March 2026, on into April and later for long simulations.
inline TDateTime Day(int d, int h = 0, int mi = 0, int s = 0) {
  return EncodeDate(2026, 3, 1) + (d - 1) + EncodeTime(h, mi, s);
}

// Keeps every line of every run, across the clearing at a run's start.
class TRecordingView : public THeadlessView {
 public:
  void LogAppended(const std::string& line) override { All.push_back(line); }
  void RunControlsChanged() override {
    if (OnControls) OnControls();
  }
  // As the window does: the event loop runs inside every run's waits and
  // progress handlers, with whatever that lets in.
  void ProcessMessages() override {
    THeadlessView::ProcessMessages();
    QCoreApplication::processEvents();
    if (OnProcessMessages) OnProcessMessages();
  }
  Lines All;
  std::function<void()> OnControls, OnProcessMessages;
};

class TInstallation {
 public:
  TInstallation(const std::string& dir, const std::string& role, const std::string& client, int ftpPort,
                const TClock& clock, const std::string& ftpUser = "anonymous",
                const std::string& ftpPassword = "trelvo@example.com")
      : Dir(IncludeSlash(dir)), Clock_(&clock) {
    std::string out;
    const std::string cmd = AdminPath() + " init '" + dir + "' --role " + role + " --client " + client +
                            " --ftp 127.0.0.1:" + std::to_string(ftpPort) + " --ftp-user '" + ftpUser +
                            "' --ftp-password '" + ftpPassword + "' --zip-password Salasana1 2>&1";
    EXPECT_EQ(0, RunCommand(cmd, &out)) << out;
    Core = std::make_unique<TTrelvoCore>(Dir, &View, &clock);
    Transfer = std::make_unique<TTransfer>(*Core);
    Start();
  }

  // The program ended abruptly and started again: nothing of its memory
  // survives, only its files.
  void Restart() {
    Transfer.reset();
    Core.reset();
    Core = std::make_unique<TTrelvoCore>(Dir, &View, Clock_);
    Transfer = std::make_unique<TTransfer>(*Core);
    Start();
  }

  // What the program does at start: settings, database, counts.
  void Start() {
    Core->LoadSettings();
    Core->TransferOk = true;
    Core->ReconnectDatabase();
    Core->RefreshPendingCounts();
  }

  void Set(const std::string& key, const std::string& value) {
    TIniFile(Dir + "Sorvel.ini").WriteString("Internet", key, value);
  }

  Lines Send() {
    Transfer->SBSendClick();
    return Core->MemoLog.Lines();
  }
  Lines Receive() {
    Transfer->SBReceiveClick();
    return Core->MemoLog.Lines();
  }
  // Every line the tick's runs wrote.
  Lines Tick() {
    View.All.clear();
    Transfer->TimerRunTimer();
    return View.All;
  }

  void Add(const std::string& table, const TRowValues& row, bool inet = false) {
    TDbTable t(inet ? Core->DBINet : Core->DbModule.MainDatabase, table, "");
    t.Open();
    t.Append();
    for (const auto& [name, value] : row) t.FieldByName(name).SetValue(value);
    t.Post();
    t.Close();
  }

  // Each row as "a|b|c" of the fields' texts, in the order of index.
  Lines Rows(const std::string& table, const std::string& index, const std::vector<std::string>& fields) {
    TDbTable t(Core->DbModule.MainDatabase, table, index);
    t.Open();
    Lines out;
    for (t.First(); !t.Eof(); t.Next()) {
      std::string line;
      for (size_t i = 0; i < fields.size(); ++i) line += (i ? "|" : "") + t.FieldByName(fields[i]).AsString();
      out.push_back(line);
    }
    t.Close();
    return out;
  }
  int Count(const std::string& table) {
    TDbTable t(Core->DbModule.MainDatabase, table, "");
    t.Open();
    int n = t.RecordCount();
    t.Close();
    return n;
  }

  // The suite's main program records a change in the main table and in the
  // exchange table beside it.
  void ChangeCustomer(const std::string& asNo, const std::string& name, TDateTime stamp) {
    TRowValues row{{"AsNo", Txt(asNo)}, {"AsNimi", Txt(name)}, {"AikaLeima", At(stamp)}};
    Upsert("Asiakas", "AsNo", {asNo}, row);
    Add("ZNetAsi", row);
  }
  void ChangeCard(const std::string& lyh, const std::string& nro, const std::string& asNo, TDateTime stamp) {
    TRowValues row{{"KorttiLyh", Txt(lyh)}, {"KorttiNro", Txt(nro)}, {"AsNo", Txt(asNo)}, {"AikaLeima", At(stamp)}};
    Upsert("KORTTI", "KorttiLyh", {lyh}, row);
    Add("ZNetKo", row);
  }
  void ChangeCardPlace(const std::string& lyh, const std::string& paikka, int kaynnit, TDateTime stamp) {
    TRowValues main{{"KorttiLyh", Txt(lyh)}, {"Paikka", Txt(paikka)}, {"KayntiLkm", Int(kaynnit)},
                    {"Muutettu", At(DateOf(stamp))}, {"MuutettuAika", At(TimeOf(stamp))}};
    Upsert("KORTTIPA", "KorttiLyh;Paikka", {lyh, paikka}, main);
    TRowValues exchange = main;
    exchange.push_back({"AikaLeima", At(stamp)});
    Add("ZNetKoPa", exchange);
  }
  void Visit(const std::string& kortti, const std::string& paikka, TDateTime at) {
    TRowValues row{{"TapPvm", At(DateOf(at))}, {"TapAika", At(TimeOf(at))}, {"TapPaikka", Txt(paikka)},
                   {"TapKortti", Txt(kortti)}, {"TapNode", Int(1)}};
    Add("TILASTO", row);
    Add("ZNetTila", row);
  }

  void Upsert(const std::string& table, const std::string& index, const std::vector<std::string>& key,
              const TRowValues& row) {
    TDbTable t(Core->DbModule.MainDatabase, table, index);
    t.Open();
    if (t.FindKey(key))
      t.Edit();
    else
      t.Append();
    for (const auto& [name, value] : row) t.FieldByName(name).SetValue(value);
    t.Post();
    t.Close();
  }

  // One of the installation's directories (Data, INetData, ...) moved onto
  // a file system of its own, with everything in it; the program restarts
  // so that the database finds its tables there.
  void MoveOnto(const std::string& name, const TTmpfsMount& fs) {
    const std::string dir = Dir + name;
    EXPECT_EQ(0, RunCommand("cp -a '" + dir + "/.' '" + fs.Path() + "' && rm -rf '" + dir + "' && ln -s '" +
                            fs.Path() + "' '" + dir + "'"));
    Restart();
  }

  static std::string IncludeSlash(const std::string& d) { return d.empty() || d.back() == '/' ? d : d + "/"; }

  std::string Dir;
  const TClock* Clock_;
  TRecordingView View;
  std::unique_ptr<TTrelvoCore> Core;
  std::unique_ptr<TTransfer> Transfer;
};

class ExchangeFixture : public ::testing::Test {
 protected:
  // The server the installations exchange through; vsftpd unless a test
  // says otherwise.
  virtual TFtpServerKind ServerKind() const { return TFtpServerKind::Vsftpd; }

  void SetUp() override {
    if (std::string missing = ServerMissing(ServerKind()); !missing.empty()) GTEST_SKIP() << missing;
    EnsureQtApp();
    MakeDir(Root.Path());
    Server = StartFtpServer(ServerKind(), Root.Path(), {"Sorvel", "Backup", "Log"});
  }

  TInstallation& Make(const std::string& name, const std::string& role, const std::string& client = "01") {
    auto inst = std::make_unique<TInstallation>(Work / name, role, client, Server->Port(), Clock, Server->User(),
                                                Server->Password());
    TInstallation& ref = *inst;
    Installations[name] = std::move(inst);
    return ref;
  }

  std::vector<std::string> ServerFiles(const std::string& dir) { return ListDir(Root / dir); }

  TTempDir Root, Work;
  std::unique_ptr<TRealFtpServer> Server;
  TFixedClock Clock{Day(2, 8)};
  std::map<std::string, std::unique_ptr<TInstallation>> Installations;
};

// A head office and two sites, 01 and 02.
class TwoSitesFixture : public ExchangeFixture {
 protected:
  void SetUp() override {
    ExchangeFixture::SetUp();
    if (IsSkipped()) return;
    M = &Make("master", "master");
    S1 = &Make("site1", "client", "01");
    S2 = &Make("site2", "client", "02");
  }
  TInstallation *M = nullptr, *S1 = nullptr, *S2 = nullptr;
};

// The fields the exchange checks compare, per main table.
inline const std::vector<std::string> kCustomerFields{"AsNo", "AsNimi", "AikaLeima"};
inline const std::vector<std::string> kCardFields{"KorttiLyh", "KorttiNro", "AsNo", "AikaLeima"};
inline const std::vector<std::string> kPlaceFields{"KorttiLyh", "Paikka", "KayntiLkm"};

// Those of names that begin with prefix.
inline std::vector<std::string> Matching(const std::vector<std::string>& names, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& n : names)
    if (StartsWith(n, prefix)) out.push_back(n);
  return out;
}

inline bool Has(const Lines& lines, const std::string& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}
inline bool HasPrefix(const Lines& lines, const std::string& prefix) {
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}
inline std::string Joined(const Lines& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

}  // namespace trelvo::test
