// Days of exchange driven by the scheduler tick alone: a head office and
// three sites against a real vsftpd, new changes every day at every site,
// some keys changed at two sites on the same day. At the end every visit is
// in the head office's TILASTO exactly once, every keyed change has reached
// every installation with the newest stamp winning, and the sites' packages
// hold only what the head office may not have yet.
#include <map>
#include <random>
#include <set>

#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

struct TSchedule {
  const char* Name;
  // Empty: the times trelvo-admin init writes.
  const char *SiteSend, *SiteRecv, *MasterSend, *MasterRecv;
};

const TSchedule kInitSchedule{"init", nullptr, nullptr, nullptr, nullptr};
// The settings file's own defaults, the same at every installation.
const TSchedule kDefaultTimes{"defaults", "22:00", "22:30", "22:00", "22:30"};

class Simulation : public ExchangeFixture {
 protected:
  void Build(const TSchedule& schedule) {
    M = &Make("master", "master");
    for (int i = 1; i <= 3; ++i) Sites.push_back(&Make("site" + std::to_string(i), "client", "0" + std::to_string(i)));
    auto times = [](TInstallation& inst, const char* send, const char* recv) {
      if (!send) return;
      inst.Set("SendTime", send);
      inst.Set("RecvTime", recv);
      inst.Core->LoadSettings();
    };
    times(*M, schedule.MasterSend, schedule.MasterRecv);
    for (TInstallation* s : Sites) times(*s, schedule.SiteSend, schedule.SiteRecv);
  }

  // A site's changes of one day: its own keys, and card S of the day shared
  // by two sites with different stamps.
  void Changes(int day, int site) {
    TInstallation& s = *Sites[site];
    Clock.Set(Day(day, 12));
    const std::string d = std::to_string(day), n = std::to_string(site + 1);
    auto stamp = [&](int minute) { return Day(day, 12, minute, site * 7); };
    Customer(s, "A" + n + "_" + d, "Asiakas " + n + "/" + d, stamp(1));
    Customer(s, "A" + n, "Nimi " + n + "/" + d, stamp(2));  // the same key every day
    Card(s, "K" + n + "_" + d, "N" + n + d, stamp(3));
    if (site < 2) Card(s, "S" + d, "site " + n, stamp(4 + site));  // two sites, site 2 later
    Card(s, "K" + n, "day " + d, stamp(6));
    Place(s, "K" + n, "P" + d, day * 10 + site, stamp(7));
    for (int v = 0; v < 4; ++v) {
      const TDateTime at = Day(day, 9 + v, site, v);
      s.Visit("K" + n, "P" + std::to_string(v), at);
      Visits.insert(DateTimeToStr(at) + "|K" + n + "|P" + std::to_string(v));
    }
    ++RowsPerDay;
  }
  void Customer(TInstallation& s, const std::string& key, const std::string& name, TDateTime at) {
    s.ChangeCustomer(key, name, at);
    Newest("Asiakas", key, key + "|" + name + "|" + DateTimeToStr(at), at);
  }
  void Card(TInstallation& s, const std::string& key, const std::string& nro, TDateTime at) {
    s.ChangeCard(key, nro, "A", at);
    Newest("KORTTI", key, key + "|" + nro + "|" + DateTimeToStr(at), at);
  }
  void Place(TInstallation& s, const std::string& lyh, const std::string& paikka, int lkm, TDateTime at) {
    s.ChangeCardPlace(lyh, paikka, lkm, at);
    Newest("KORTTIPA", lyh + "|" + paikka, lyh + "|" + paikka + "|" + std::to_string(lkm), at);
  }
  void Newest(const std::string& table, const std::string& key, const std::string& row, TDateTime at) {
    TChange& c = Expected[table][key];
    if (c.Row.empty() || at > c.Stamp) c = {row, at};
  }

  // One evening of ticks every two minutes, sites first.
  void Evening(int day) {
    for (int minute = 21 * 60; minute < 24 * 60; minute += 2) {
      for (TInstallation* s : Sites) TickAt(*s, Day(day, minute / 60, minute % 60, 30));
      TickAt(*M, Day(day, minute / 60, minute % 60, 40));
    }
  }
  void TickAt(TInstallation& inst, TDateTime at) {
    Clock.Set(at);
    Lines lines = inst.Tick();
    if (&inst != M) return;
    const std::string heading = "Käsitellään : ";
    for (size_t i = 0; i < lines.size(); ++i) {
      if (StartsWith(lines[i], heading)) Package = lines[i].substr(heading.size());
      // The head office counts each package's rows as it takes them in.
      if (!Package.empty() && StartsWith(lines[i], "Kortti-tiedot: ") && i > 0 &&
          StartsWith(lines[i - 1], "Tilasto-tiedot: ") && PackageRows.count(Package) == 0)
        PackageRows[Package] = std::stoi(lines[i].substr(15)) + std::stoi(lines[i - 1].substr(16));
    }
  }

  Lines ExpectedRows(const std::string& table) {
    Lines out;
    for (const auto& [key, change] : Expected[table]) out.push_back(change.Row);
    return out;
  }

  void CheckInvariant() {
    // Every visit once at the head office.
    Lines tilasto = M->Rows("TILASTO", "TapPvm;TapAika", {"TapPvm", "TapAika", "TapKortti", "TapPaikka"});
    std::multiset<std::string> seen;
    for (const std::string& row : tilasto) {
      auto parts = SplitString(row, '|');
      seen.insert(parts[0] + " " + parts[1] + "|" + parts[2] + "|" + parts[3]);
    }
    EXPECT_EQ(std::multiset<std::string>(Visits.begin(), Visits.end()), seen);
    // Every keyed change everywhere, newest stamp winning.
    for (TInstallation* inst : {M, Sites[0], Sites[1], Sites[2]}) {
      SCOPED_TRACE(inst->Dir);
      EXPECT_EQ(ExpectedRows("Asiakas"), inst->Rows("Asiakas", "AsNo", {"AsNo", "AsNimi", "AikaLeima"}));
      EXPECT_EQ(ExpectedRows("KORTTI"), inst->Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "KorttiNro", "AikaLeima"}));
      EXPECT_EQ(ExpectedRows("KORTTIPA"), inst->Rows("KORTTIPA", "KorttiLyh;Paikka", {"KorttiLyh", "Paikka", "KayntiLkm"}));
    }
    // No package carries more than about a day's rows (cards and visits).
    ASSERT_FALSE(PackageRows.empty());
    for (const auto& [package, rows] : PackageRows) EXPECT_LE(rows, 8) << package;
  }

  void Run(const TSchedule& schedule, int days) {
    Build(schedule);
    for (int day = 2; day < 2 + days; ++day) {
      for (int site = 0; site < 3; ++site) Changes(day, site);
      Evening(day);
    }
    // One quiet evening, so that the last day's changes have gone round.
    Evening(2 + days);
    CheckInvariant();
  }

  TInstallation* M = nullptr;
  std::vector<TInstallation*> Sites;
  struct TChange {
    std::string Row;
    TDateTime Stamp = 0;
  };
  std::map<std::string, std::map<std::string, TChange>> Expected;
  std::set<std::string> Visits;
  std::map<std::string, int> PackageRows;
  std::string Package;
  int RowsPerDay = 0;
};

TEST_F(Simulation, SevenDaysOnTheScheduleInitWrites) { Run(kInitSchedule, 7); }
TEST_F(Simulation, SevenDaysOnTheDefaultTimes) { Run(kDefaultTimes, 7); }

}  // namespace
}  // namespace trelvo::test
