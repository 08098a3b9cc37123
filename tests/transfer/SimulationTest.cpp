// Days of exchange driven by the scheduler tick alone: a head office and
// three sites against a real vsftpd, new changes every day at every site,
// some keys changed at two sites on the same day. At the end every visit is
// in the head office's TILASTO exactly once, every keyed change has reached
// every installation with the newest stamp winning, and the sites' packages
// hold only what the head office may not have yet.
#include <algorithm>
#include <cstdlib>
#include <iostream>
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
      for (TInstallation* s : Sites)
        if (!Offline.count(s) || !Offline[s].count(day)) TickAt(*s, Day(day, minute / 60, minute % 60, 30));
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
    if (!CheckPackageSizes) return;
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
  std::map<TInstallation*, std::set<int>> Offline;  // the days a site does not run
  bool CheckPackageSizes = true;
  void CheckInvariantWithoutPackageBound() {
    CheckPackageSizes = false;
    CheckInvariant();
  }
};

TEST_F(Simulation, SevenDaysOnTheScheduleInitWrites) { Run(kInitSchedule, 7); }
TEST_F(Simulation, SevenDaysOnTheDefaultTimes) { Run(kDefaultTimes, 7); }

// A site whose machine is off for three evenings sends its four days of
// changes in one package when it is back; nothing is lost meanwhile.
TEST_F(Simulation, SevenDaysWithASiteOfflineForThree) {
  Build(kInitSchedule);
  Offline[Sites[2]] = {3, 4, 5};
  for (int day = 2; day < 9; ++day) {
    for (int site = 0; site < 3; ++site) Changes(day, site);
    Evening(day);
  }
  Evening(9);
  const std::string back = "Zuze03_20260306220030.Zip";
  ASSERT_TRUE(PackageRows.count(back)) << "the package after the break";
  EXPECT_GT(PackageRows[back], 8);
  EXPECT_LE(PackageRows[back], 4 * 8);
  PackageRows.erase(back);
  CheckInvariant();
}

// Weeks of random changes, random faults and runs in random order around
// their times, on a random one of the two schedules. TRELVO_SIM_SEED repeats
// a run, TRELVO_SIM_DAYS makes it longer.
class RandomSimulation : public Simulation {
 protected:
  struct TCrash {};

  void RandomChanges(int day) {
    for (int site = 0; site < 3; ++site) {
      TInstallation& s = *Sites[site];
      auto pick = [&](int n) { return static_cast<int>(Rng() % n); };
      auto stamp = [&] { return Day(day, 12) + (++Counter % 20000) / 86400.0; };
      for (int i = pick(4); i > 0; --i)
        Customer(s, "C" + std::to_string(pick(10)), "n" + std::to_string(Counter), stamp());
      for (int i = pick(4); i > 0; --i) Card(s, "K" + std::to_string(pick(10)), std::to_string(Counter), stamp());
      for (int i = pick(3); i > 0; --i)
        Place(s, "K" + std::to_string(pick(10)), "P" + std::to_string(pick(3)), static_cast<int>(Counter), stamp());
      for (int i = pick(6); i > 0; --i) {
        const TDateTime at = Day(day, 8) + (++Counter % 30000) / 86400.0;
        const std::string card = "K" + std::to_string(pick(10)), place = "P" + std::to_string(pick(3));
        s.Visit(card, place, at);
        Visits.insert(DateTimeToStr(at) + "|" + card + "|" + place);
      }
    }
  }

  void Arm(TInstallation& inst) {
    inst.Transfer->OnCheckpoint = [this, &inst](const std::string& point) {
      if (CrashAt.first == &inst && CrashAt.second == point) {
        CrashAt = {nullptr, ""};
        throw TCrash{};
      }
    };
  }

  void Tick(TInstallation& inst, TDateTime at) {
    try {
      TickAt(inst, at);
    } catch (const TCrash&) {
      ++Crashes;
      inst.Restart();
      Arm(inst);
    }
  }

  void RandomEvening(int day, bool faults) {
    int fault = faults ? static_cast<int>(Rng() % 10) : -1;
    std::string backupBlock;
    if (fault == 0) {
      Faults += "server down on day " + std::to_string(day) + "; ";
      Server.reset();
    } else if (fault == 3) {
      TInstallation* s = Sites[Rng() % 3];
      const int days = 1 + static_cast<int>(Rng() % 3);
      for (int d = day; d < day + days; ++d) Offline[s].insert(d);
      Faults += s->Dir + " offline " + std::to_string(days) + " days from " + std::to_string(day) + "; ";
    } else if (fault == 4) {
      const char* sitePoints[] = {"client-send-uploaded", "client-receive-accepted"};
      const int who = static_cast<int>(Rng() % 4);
      CrashAt = who == 3 ? std::pair<TInstallation*, std::string>{M, "master-merged"}
                         : std::pair<TInstallation*, std::string>{Sites[who], sitePoints[Rng() % 2]};
      Faults += "crash at " + CrashAt.second + " on day " + std::to_string(day) + "; ";
    }
    bool tampered = false;
    std::vector<TInstallation*> all{M, Sites[0], Sites[1], Sites[2]};
    for (int minute = 21 * 60 + 30; minute < 24 * 60 - 1; minute += 2 + static_cast<int>(Rng() % 3)) {
      if (!tampered && minute >= 22 * 60 + 20 && (fault == 1 || fault == 2)) {
        tampered = true;
        std::vector<std::string> packages;
        for (const std::string& n : ServerFiles("Sorvel"))
          if (StartsWith(n, "Zuze")) packages.push_back(n);
        if (!packages.empty()) {
          const std::string victim = packages[Rng() % packages.size()];
          if (fault == 1) {
            WriteFile(Root / ("Sorvel/" + victim), "damaged on the way");
            Faults += victim + " damaged; ";
          } else {
            backupBlock = M->Dir + "Backup/" + victim;
            MakeDir(backupBlock);
            Faults += victim + " not backed up; ";
          }
        }
      }
      std::shuffle(all.begin(), all.end(), Rng);
      for (TInstallation* inst : all) {
        if (Offline.count(inst) && Offline[inst].count(day)) continue;
        Tick(*inst, Day(day, minute / 60, minute % 60, static_cast<int>(Rng() % 60)));
      }
    }
    if (!backupBlock.empty()) RunCommand("rmdir '" + backupBlock + "'");
    if (!Server) {
      Server = std::make_unique<TVsftpdServer>(Root.Path());
      for (TInstallation* inst : all) {
        inst->Set("FtpPort", std::to_string(Server->Port()));
        inst->Core->Settings.FtpPort = std::to_string(Server->Port());
      }
    }
    CrashAt = {nullptr, ""};
  }

  std::mt19937 Rng;
  long Counter = 0;
  int Crashes = 0;
  std::string Faults;
  std::pair<TInstallation*, std::string> CrashAt{nullptr, ""};
};

TEST_F(RandomSimulation, WeeksOfRandomChangesAndFaults) {
  const char* seedText = std::getenv("TRELVO_SIM_SEED");
  const unsigned seed = seedText ? static_cast<unsigned>(std::stoul(seedText)) : std::random_device{}();
  const char* daysText = std::getenv("TRELVO_SIM_DAYS");
  const int days = daysText ? std::stoi(daysText) : 14;
  Rng.seed(seed);
  SCOPED_TRACE("TRELVO_SIM_SEED=" + std::to_string(seed));
  Build(Rng() % 2 ? kInitSchedule : kDefaultTimes);
  for (TInstallation* inst : {M, Sites[0], Sites[1], Sites[2]}) Arm(*inst);
  // Day 2 is quiet of faults so that every site has a result log to go by.
  for (int day = 2; day < 2 + days; ++day) {
    RandomChanges(day);
    RandomEvening(day, day > 2);
  }
  // Quiet evenings after the last fault: a site that was offline comes back,
  // and whatever waited goes round.
  Offline.clear();
  for (int day = 2 + days; day < 2 + days + 4; ++day) RandomEvening(day, false);
  SCOPED_TRACE("faults: " + Faults);
  std::cout << "seed " << seed << ", " << Crashes << " crashes; faults: " << Faults << "\n";
  PackageRows.clear();  // a package may carry several days after a fault
  Lines tilasto = M->Rows("TILASTO", "TapPvm;TapAika", {"TapPvm", "TapAika", "TapKortti", "TapPaikka"});
  EXPECT_EQ(Visits.size(), tilasto.size());
  CheckInvariantWithoutPackageBound();
}

}  // namespace
}  // namespace trelvo::test
