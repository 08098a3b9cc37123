// Merge benchmark: a head office's main database and one large received
// package, merged the way MasterReceive does it (AppendExchangeRows, then
// UpdData), side by side with three plain-SQLite references over the same
// files in the same run:
//   (a) row by row, each write its own synced transaction (a sample only),
//   (b) one transaction around all rows with a savepoint per row,
//   (c) set-based: INSERT ... SELECT for the copy, INSERT ... ON CONFLICT DO
//       UPDATE for the merge.
// Each measurement runs in a child process on a fresh copy of the files, so
// its peak RSS is its own. A last run of ours has another process of the
// suite read and write the same tables meanwhile and reports its longest wait.
//
//   bench_merge DATA_DIR [--main N] [--rows N] [--sample N] [--reps N]
//               [--commit-ms N] [--commit-rows N] [--yield-ms N] [--ours-only]
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/RunReport.h"
#include "data/Merge.h"
#include "data/Schema.h"
#include "data/Tables.h"
#include "db/DbModule.h"
#include "../common/BenchSql.h"

namespace fs = std::filesystem;
using namespace trelvo;
using namespace trelvo::bench;

namespace {

// ---- plain SQLite ----

std::vector<std::string> SplitOrder(const std::string& order) {
  std::vector<std::string> names;
  std::string name;
  for (char ch : order + ",") {
    if (ch == ',') {
      names.push_back(name);
      name.clear();
    } else if (ch != ' ') {
      name += ch;
    }
  }
  return names;
}

// ---- the data ----

struct TSizes {
  int Main = 200000;    // rows of each main table
  int Rows = 100000;    // exchange rows of each keyed kind
  int Sample = 400;     // rows of the package for the autocommit reference
  int Reps = 5;
  TMergeOptions Options;
  bool OursOnly = false;  // for profiling: no references, no comparison
  int Statistics() const { return Rows / 2; }
  int Total() const { return 3 * Rows + Statistics(); }
};

const TDateTime kBase = 37987;  // 1.1.2004


// Minutes apart, so that a date plus a time of day adds up to the same number.
TDateTime MainStamp(long long i) { return kBase + static_cast<double>(i % 400) + static_cast<double>(i % 1440) / 1440.0; }


TRow CardRow(long long key, TDateTime stamp) {
  return {T(Num("N", key)), T(Num("K", key)), T(Num("A", key % 150000, 6)), I(key % 50), D(stamp), T("1234"), I(key % 2)};
}

TRow CardPlaceRow(long long key, TDateTime stamp, bool exchange) {
  const double day = std::floor(stamp);
  // Whole minutes, as a time field holds them.
  const double time = std::round((stamp - day) * 1440.0) / 1440.0;
  TRow r{T(Num("K", key)), T("PAIKKA1"), I(key % 4), D(day - 30), D(day + 335), I(40), I(key % 40), I(key % 7),
         D(day - 1), D(0.5), I(0), I(key % 2), D(0.25), D(day), D(time), T("sormi-" + Num("", key)), TValue()};
  if (exchange) r.push_back(D(stamp));
  return r;
}

TRow CustomerRow(long long key, TDateTime stamp) {
  return {T(Num("", key, 8)), I(key % 12), T("Asiakas " + Num("", key)), T("00100"), T("HELSINKI"),
          T("Katu " + std::to_string(key % 300)), TValue(), T("Yhteys Henkilo"), T("09-" + Num("", key)), T(Num("L", key)),
          R(static_cast<double>(key % 1000) * 1.5), R(12.25), D(25000 + static_cast<double>(key % 9000)), T("huom"), TValue(),
          T("040-" + Num("", key)), T(Num("a", key) + "@esimerkki.fi"), D(stamp)};
}

TRow StatisticsRow(long long i) {
  const double day = kBase + static_cast<double>(i % 700);
  return {D(day), D(static_cast<double>(i % 86400) / 86400.0), T("P" + std::to_string(i % 20)), T(Num("K", i)), I(i % 150000),
          I(i % 300), I(i % 5), I(i % 8), D(day), D(0.5), TValue(), R(3.5), R(0)};
}


// The package: half new keys, a quarter existing keys with newer stamps, a
// quarter existing keys with older ones, stored in random order (the index
// gives the order the merge visits them in).
struct TPackageRow {
  long long Key;
  TDateTime Stamp;
};

std::vector<TPackageRow> PackageRows(const TSizes& s, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<long long> existing(s.Main);
  std::iota(existing.begin(), existing.end(), 0);
  std::shuffle(existing.begin(), existing.end(), rng);
  std::vector<TPackageRow> rows;
  for (int j = 0; j < s.Rows; ++j) {
    if (j < s.Rows / 2) {
      rows.push_back({s.Main + j, kBase + 400 + static_cast<double>(j % 1440) / 1440.0});
    } else {
      long long k = existing[j];
      rows.push_back({k, MainStamp(k) + (j % 2 ? 1.0 : -1.0)});
    }
  }
  std::shuffle(rows.begin(), rows.end(), rng);
  return rows;
}

// The package's statistics: half new events, a quarter events TILASTO
// already holds (a package sent again), an eighth in the same second as a
// held event but of another card, and an eighth repeating rows of the
// package itself; stored in random order. Each row as the event it copies
// and, for another card, that card's number (else -1).
struct TStatisticsPick {
  long long Event;
  int OtherCard;
};

std::vector<TStatisticsPick> PackageStatistics(const TSizes& s) {
  std::mt19937_64 rng(4);
  const int n = s.Statistics();
  std::vector<TStatisticsPick> picks;
  for (int j = 0; j < n / 2; ++j) picks.push_back({1000000 + j, -1});
  for (int j = n / 2; j < n * 3 / 4; ++j) picks.push_back({static_cast<long long>(rng() % s.Main), -1});
  for (int j = n * 3 / 4; j < n * 7 / 8; ++j) picks.push_back({static_cast<long long>(rng() % s.Main), j});
  for (int j = n * 7 / 8; j < n; ++j) picks.push_back(picks[rng() % (n / 2)]);
  std::shuffle(picks.begin(), picks.end(), rng);
  return picks;
}

TRow PackageStatisticsRow(const TStatisticsPick& pick) {
  TRow r = StatisticsRow(pick.Event);
  if (pick.OtherCard >= 0) r[3] = T(Num("X", pick.OtherCard));
  return r;
}

// Written into a made set of tables with the sizes; a set made by another
// version of MakeData is made again.
const char* kDataVersion = "2";

void MakeData(const std::string& dir, const TSizes& s) {
  const std::string data = dir + "/Data", inet = dir + "/INet";
  fs::remove_all(dir);
  fs::create_directories(data);
  fs::create_directories(inet);
  CreateMainTables(data);
  CreateExchangeTables(inet);
  Fill(data + "/KORTTI.Nx1", "KORTTI", s.Main, [](int i) { return CardRow(i, MainStamp(i)); });
  Fill(data + "/KORTTIPA.Nx1", "KORTTIPA", s.Main, [](int i) { return CardPlaceRow(i, MainStamp(i), false); });
  Fill(data + "/Asiakas.Nx1", "Asiakas", s.Main, [](int i) { return CustomerRow(i, MainStamp(i)); });
  Fill(data + "/TILASTO.Nx1", "TILASTO", s.Main, [](int i) { return StatisticsRow(i); });
  auto ko = PackageRows(s, 1), kopa = PackageRows(s, 2), asi = PackageRows(s, 3);
  Fill(inet + "/ZNetKo.Nx1", "ZNetKo", s.Rows, [&](int i) { return CardRow(ko[i].Key, ko[i].Stamp); });
  Fill(inet + "/ZNetKoPa.Nx1", "ZNetKoPa", s.Rows, [&](int i) { return CardPlaceRow(kopa[i].Key, kopa[i].Stamp, true); });
  Fill(inet + "/ZNetAsi.Nx1", "ZNetAsi", s.Rows, [&](int i) { return CustomerRow(asi[i].Key, asi[i].Stamp); });
  auto tila = PackageStatistics(s);
  Fill(inet + "/ZNetTila.Nx1", "ZNetTila", s.Statistics(), [&](int i) { return PackageStatisticsRow(tila[i]); });
  std::ofstream(dir + "/.complete") << kDataVersion << " " << s.Main << " " << s.Rows << "\n";
}

// ---- the kinds, for the references ----

struct TKind {
  const char* Exchange;
  const char* Main;
  std::vector<std::string> Key;  // main table's unique key; empty for statistics
  const char* Order;             // the exchange table's index
};

const TKind kKinds[] = {
    {"ZNetTila", "TILASTO", {}, "TapPvm, TapAika"},
    {"ZNetKo", "KORTTI", {"KorttiLyh"}, "AikaLeima"},
    {"ZNetKoPa", "KORTTIPA", {"KorttiLyh", "Paikka"}, "AikaLeima"},
    {"ZNetAsi", "Asiakas", {"AsNo"}, "AikaLeima"},
};

bool IsCardPlace(const TKind& k) { return std::string(k.Main) == "KORTTIPA"; }

// The main row's stamp as the merge compares it.
std::string MainStampSql(const TKind& k, const std::string& t) {
  if (IsCardPlace(k))
    return "CASE WHEN coalesce(" + t + ".Muutettu, 0) = 0 THEN 0 ELSE " + t + ".Muutettu + coalesce(" + t +
           ".MuutettuAika, 0) END";
  return "coalesce(" + t + ".AikaLeima, 0)";
}

// (c) set-based copy and merge.
void SetBasedAppend(const std::string& work) {
  TConn c;
  for (const TKind& k : kKinds) {
    c.Attach(work + "/Data/" + k.Exchange + ".Nx1", "d");
    c.Attach(work + "/INet/" + k.Exchange + ".Nx1", "s");
    std::string cols = Join(FieldNames(k.Exchange));
    c.Exec("INSERT INTO d." + Q(k.Exchange) + " (" + cols + ") SELECT " + cols + " FROM s." + Q(k.Exchange) +
           " WHERE true ORDER BY " + k.Order + " ON CONFLICT DO NOTHING");
    c.Exec("DETACH d");
    c.Exec("DETACH s");
  }
}

void SetBasedMerge(const std::string& work) {
  TConn c;
  for (const TKind& k : kKinds) {
    c.Attach(work + "/Data/" + k.Main + ".Nx1", "m");
    c.Attach(work + "/Data/" + k.Exchange + ".Nx1", "x");
    std::vector<std::string> names = FieldNames(k.Main);
    std::string cols = Join(names);
    std::string sql = "INSERT INTO m." + Q(k.Main) + " (" + cols + ") SELECT " + cols + " FROM x." + Q(k.Exchange) +
                      " WHERE true ORDER BY " + k.Order;
    if (k.Key.empty()) {
      // An event TILASTO holds, or one the package has already given, is not
      // added (the package's times are whole seconds, so equal values are
      // the same text).
      std::string same;
      for (const std::string& n : names) same += (same.empty() ? "" : " AND ") + ("t." + Q(n)) + " IS x." + Q(n);
      sql = "INSERT INTO m." + Q(k.Main) + " (" + cols + ") SELECT DISTINCT " + Join(names, "x.") + " FROM x." +
            Q(k.Exchange) + " x WHERE NOT EXISTS (SELECT 1 FROM m." + Q(k.Main) + " t WHERE " + same + ") ORDER BY " +
            Join(SplitOrder(k.Order), "x.");
    } else {
      std::string sets;
      for (const std::string& n : names) sets += (sets.empty() ? "" : ", ") + Q(n) + " = excluded." + Q(n);
      // The package's card places carry AikaLeima = Muutettu + MuutettuAika,
      // so the proposed row's own fields give the exchange row's stamp.
      std::string rowStamp = IsCardPlace(k) ? "excluded.Muutettu + coalesce(excluded.MuutettuAika, 0)" : "coalesce(excluded.AikaLeima, 0)";
      sql += " ON CONFLICT(" + Join(k.Key) + ") DO UPDATE SET " + sets + " WHERE " + rowStamp + " > " +
             MainStampSql(k, Q(k.Main));
    }
    c.Exec(sql);
    c.Exec("DETACH m");
    c.Exec("DETACH x");
  }
}

// (a) and (b): the same rules row by row with prepared statements. With
// savepoints, one transaction spans all rows; without, every write is its own
// synced transaction. The copy takes every step-th row of the package, so a
// sample has the package's mix of new, newer and older rows; the merge then
// takes what the copy left.
long long RowByRowAppend(const std::string& work, bool savepoints, int step) {
  TConn c;
  long long n = 0;
  for (const TKind& k : kKinds) {
    c.Attach(work + "/Data/" + k.Exchange + ".Nx1", "d");
    c.Attach(work + "/INet/" + k.Exchange + ".Nx1", "s");
    std::vector<std::string> names = FieldNames(k.Exchange);
    std::string params;
    for (size_t i = 0; i < names.size(); ++i) params += i ? ", ?" : "?";
    {
      TStmt read(c, "SELECT " + Join(names) + " FROM s." + Q(k.Exchange) + " WHERE rowid % " + std::to_string(step) +
                        " = 0 ORDER BY " + k.Order + ", rowid");
      TStmt ins(c, "INSERT INTO d." + Q(k.Exchange) + " (" + Join(names) + ") VALUES (" + params + ")");
      if (savepoints) c.Exec("BEGIN");
      while (read.Step()) {
        if (savepoints) c.Exec("SAVEPOINT r");
        for (size_t i = 0; i < names.size(); ++i) read.CopyColumnTo(static_cast<int>(i), ins, static_cast<int>(i) + 1);
        ins.Step();
        ins.Reset();
        if (savepoints) c.Exec("RELEASE r");
        ++n;
      }
      if (savepoints) c.Exec("COMMIT");
    }
    c.Exec("DETACH d");
    c.Exec("DETACH s");
  }
  return n;
}

long long RowByRowMerge(const std::string& work, bool savepoints) {
  TConn c;
  long long n = 0;
  for (const TKind& k : kKinds) {
    c.Attach(work + "/Data/" + k.Main + ".Nx1", "m");
    c.Attach(work + "/Data/" + k.Exchange + ".Nx1", "x");
    std::vector<std::string> names = FieldNames(k.Main);
    std::string params, sets, where;
    for (size_t i = 0; i < names.size(); ++i) {
      params += i ? ", ?" : "?";
      sets += (i ? ", " : "") + Q(names[i]) + " = ?" + std::to_string(i + 1);
    }
    for (size_t i = 0; i < k.Key.size(); ++i) where += (i ? " AND " : "") + Q(k.Key[i]) + " = ?";
    {
      // The exchange row's fields of the main table, then its stamp.
      TStmt read(c, "SELECT " + Join(names) + (k.Key.empty() ? std::string(", 0") : ", AikaLeima") + " FROM x." +
                        Q(k.Exchange) + " ORDER BY " + k.Order + ", rowid");
      TStmt ins(c, "INSERT INTO m." + Q(k.Main) + " (" + Join(names) + ") VALUES (" + params + ")");
      TStmt upd(c, "UPDATE m." + Q(k.Main) + " SET " + sets + " WHERE rowid = ?" + std::to_string(names.size() + 1));
      std::string same;
      for (size_t i = 0; i < names.size(); ++i) same += (i ? " AND " : "") + Q(names[i]) + " IS ?" + std::to_string(i + 1);
      TStmt look(c, k.Key.empty() ? "SELECT 1 FROM m." + Q(k.Main) + " WHERE " + same + " LIMIT 1"
                                  : "SELECT rowid, " + MainStampSql(k, Q(k.Main)) + " FROM m." + Q(k.Main) + " WHERE " + where);
      std::vector<int> keyCols;
      for (const std::string& key : k.Key)
        for (size_t i = 0; i < names.size(); ++i)
          if (names[i] == key) keyCols.push_back(static_cast<int>(i));
      const int stampCol = static_cast<int>(names.size());
      if (savepoints) c.Exec("BEGIN");
      while (read.Step()) {
        if (savepoints) c.Exec("SAVEPOINT r");
        bool found = false;
        if (keyCols.empty()) {
          for (size_t i = 0; i < names.size(); ++i) read.CopyColumnTo(static_cast<int>(i), look, static_cast<int>(i) + 1);
          found = look.Step();
          look.Reset();
        } else {
          for (size_t i = 0; i < keyCols.size(); ++i) read.CopyColumnTo(keyCols[i], look, static_cast<int>(i) + 1);
          found = look.Step();
          sqlite3_int64 rowid = found ? look.Int(0) : 0;
          double mainStamp = found ? look.Double(1) : 0;
          look.Reset();
          if (found) {
            if (mainStamp < read.Double(stampCol)) {
              for (size_t i = 0; i < names.size(); ++i) read.CopyColumnTo(static_cast<int>(i), upd, static_cast<int>(i) + 1);
              sqlite3_bind_int64(upd.Get(), static_cast<int>(names.size()) + 1, rowid);
              upd.Step();
              upd.Reset();
            }
          }
        }
        if (!found) {
          for (size_t i = 0; i < names.size(); ++i) read.CopyColumnTo(static_cast<int>(i), ins, static_cast<int>(i) + 1);
          ins.Step();
          ins.Reset();
        }
        if (savepoints) c.Exec("RELEASE r");
        ++n;
      }
      if (savepoints) c.Exec("COMMIT");
    }
    c.Exec("DETACH m");
    c.Exec("DETACH x");
  }
  return n;
}

// ---- ours ----

// Written once per copy: another process may be reading it.
void WriteServerConfig(const std::string& work) {
  const std::string file = work + "/DbServer.ini";
  if (fs::exists(file)) return;
  std::ofstream(file + ".tmp") << "[Servers]\nBENCH=127.0.0.1\n[BENCH.Aliases]\nSORVEL=Data\nINet=INet\n";
  fs::rename(file + ".tmp", file);
}

class TQuietReport : public TRunReport {
 public:
  void Log(const std::string&) override { ++Lines; }
  void SetMeter(int) override {}
  void ProcessMessages() override {}
  long long Lines = 0;
};

struct TOurs {
  explicit TOurs(const std::string& work) : Module(work + "/DbServer.ini") {
    WriteServerConfig(work);
    Module.ServerName = "BENCH";
    Module.ServerAddress = "127.0.0.1";
    Module.ConnectDatabase(1, "SORVEL");
  }
  TDbModule Module;
  TDbDatabase INet{Module.DbSession, "INet"};
  TTables Tables{Module.MainDatabase, INet};
  TQuietReport Report;
};

// ---- measuring ----

struct TResult {
  double Seconds = 0;
  long long Rows = 0;
  long PeakKb = 0;
  double RowsPerSecond() const { return Seconds > 0 ? static_cast<double>(Rows) / Seconds : 0; }
};

// Runs fn in a child process; fn returns the rows it handled. Only fn's own
// time is measured, its peak RSS is the child's.
TResult Measure(const std::function<long long()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  std::cout.flush();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    double out[2] = {0, -1};
    try {
      auto t0 = std::chrono::steady_clock::now();
      long long rows = fn();
      out[0] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      out[1] = static_cast<double>(rows);
    } catch (const std::exception& e) {
      std::cerr << "failed: " << e.what() << "\n";
    }
    ssize_t w = write(fds[1], out, sizeof out);
    _exit(w == sizeof out ? 0 : 1);
  }
  close(fds[1]);
  double in[2] = {0, -1};
  ssize_t r = read(fds[0], in, sizeof in);
  close(fds[0]);
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  if (r != sizeof in || in[1] < 0) throw std::runtime_error("a measurement failed");
  return {in[0], static_cast<long long>(in[1]), ru.ru_maxrss};
}

TResult Best(const TResult& a, const TResult& b) {
  if (a.Rows == 0) return b;
  TResult r = a.Seconds <= b.Seconds ? a : b;
  r.PeakKb = std::max(a.PeakKb, b.PeakKb);
  return r;
}

struct TBlocking {
  double ReadMs = 0, WriteMs = 0;
  int Probes = 0;
};

// Runs fn while a child process, as another program of the suite would
// (through the same database layer), keeps opening and reading the tables fn
// writes and posting a row to them (rolled back); reports the longest waits.
TBlocking ProbeWhile(const std::string& work, const std::function<void()>& fn) {
  WriteServerConfig(work);
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  std::cout.flush();
  pid_t prober = fork();
  if (prober == 0) {
    close(fds[0]);
    TBlocking b;
    const char* tables[] = {"TILASTO", "KORTTI", "KORTTIPA", "Asiakas", "ZNetTila", "ZNetKo", "ZNetKoPa", "ZNetAsi"};
    auto ms = [](auto since) {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
    };
    TDbModule module(work + "/DbServer.ini");
    module.ServerName = "BENCH";
    module.ServerAddress = "127.0.0.1";
    module.ConnectDatabase(1, "SORVEL");
    TDbDatabase& db = module.MainDatabase;
    db.SetLockTimeoutMs(10000);
    for (unsigned i = 0;; ++i) {
      try {
        TDbTable t(db, tables[i % 8], "");
        auto t0 = std::chrono::steady_clock::now();
        t.Open();  // reads the schema and the first rows
        const double r = ms(t0);
        TDbTransaction tx(db);
        t0 = std::chrono::steady_clock::now();
        t.Append();
        t.Post();
        const double w = ms(t0);
        b.ReadMs = std::max(b.ReadMs, r);
        b.WriteMs = std::max(b.WriteMs, w);
        ++b.Probes;
        if (write(fds[1], &b, sizeof b) != sizeof b) _exit(0);
      } catch (const std::exception& e) {
        std::cerr << "probe: " << e.what() << "\n";
      }
      usleep(20000);
    }
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  TBlocking last;
  auto drain = [&] {
    TBlocking b;
    while (read(fds[0], &b, sizeof b) == sizeof b) last = b;
  };
  Measure([&] {
    fn();
    return 1LL;
  });
  usleep(100000);
  drain();
  kill(prober, SIGTERM);
  waitpid(prober, nullptr, 0);
  drain();
  close(fds[0]);
  return last;
}

void FreshCopy(const std::string& pristine, const std::string& work) {
  fs::remove_all(work);
  fs::create_directories(work);
  fs::copy(pristine, work, fs::copy_options::recursive);
  fs::remove(work + "/.complete");
}


void Line(const std::string& name, const TResult& r, const std::string& note = "") {
  std::printf("  %-52s %8lld %9.2f %10.0f %8.1f MB%s\n", name.c_str(), r.Rows, r.Seconds, r.RowsPerSecond(),
              static_cast<double>(r.PeakKb) / 1024.0, note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: bench_merge DATA_DIR [--main N] [--rows N] [--sample N] [--reps N] [--commit-ms N] "
                 "[--commit-rows N] [--yield-ms N] [--ours-only]\n";
    return 2;
  }
  const std::string dir = argv[1];
  TSizes s;
  for (int i = 2; i < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--ours-only") {
      s.OursOnly = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) break;
    int v = std::atoi(argv[i + 1]);
    if (flag == "--main") s.Main = v;
    else if (flag == "--rows") s.Rows = v;
    else if (flag == "--sample") s.Sample = v;
    else if (flag == "--reps") s.Reps = v < 1 ? 1 : v;
    else if (flag == "--commit-rows") s.Options.CommitRows = v;
    else if (flag == "--commit-ms") s.Options.CommitMs = v;
    else if (flag == "--yield-ms") s.Options.YieldMs = v;
  }
  if (s.Rows / 2 > s.Main) {
    std::cerr << "--rows may be at most twice --main\n";
    return 2;
  }
  try {
    const std::string pristine = dir + "/pristine";
    std::string have;
    {
      std::ifstream f(pristine + "/.complete");
      std::getline(f, have);
    }
    if (have != kDataVersion + (" " + std::to_string(s.Main)) + " " + std::to_string(s.Rows)) {
      std::cout << "Making the head office's tables in " << pristine << " ..." << std::endl;
      MakeData(pristine, s);
    }

    const std::string ours = dir + "/ours", setBased = dir + "/set", savepoint = dir + "/savepoint",
                      autocommit = dir + "/autocommit", probed = dir + "/probed";
    auto oursAppendRun = [&] {
      TOurs o(ours);
      AppendExchangeRows(o.Tables, o.Report, s.Options);
      return static_cast<long long>(s.Total());
    };
    auto oursMergeRun = [&] {
      TOurs o(ours);
      UpdData(o.Tables, true, "", o.Report, s.Options);
      return static_cast<long long>(s.Total());
    };
    if (s.OursOnly) {
      FreshCopy(pristine, ours);
      Line("AppendExchangeRows", Measure(oursAppendRun));
      Line("UpdData", Measure(oursMergeRun));
      return 0;
    }

    // The machine is shared: each figure is the best of Reps runs, ours and
    // the set-based reference interleaved so a busy moment hits both alike.
    TResult oursAppend, setAppend, oursMerge, setMerge;
    for (int rep = 0; rep < s.Reps; ++rep) {
      FreshCopy(pristine, ours);
      FreshCopy(pristine, setBased);
      oursAppend = Best(oursAppend, Measure(oursAppendRun));
      setAppend = Best(setAppend, Measure([&] {
                         SetBasedAppend(setBased);
                         return static_cast<long long>(s.Total());
                       }));
      oursMerge = Best(oursMerge, Measure(oursMergeRun));
      setMerge = Best(setMerge, Measure([&] {
                        SetBasedMerge(setBased);
                        return static_cast<long long>(s.Total());
                      }));
    }
    FreshCopy(pristine, savepoint);
    TResult spAppend = Measure([&] { return RowByRowAppend(savepoint, true, 1); });
    TResult spMerge = Measure([&] { return RowByRowMerge(savepoint, true); });
    FreshCopy(pristine, autocommit);
    const int step = std::max(1, s.Total() / s.Sample);
    TResult acAppend = Measure([&] { return RowByRowAppend(autocommit, false, step); });
    TResult acMerge = Measure([&] { return RowByRowMerge(autocommit, false); });

    // Another program's reads and writes of the main tables while UpdData runs.
    FreshCopy(pristine, probed);
    TBlocking blocking = ProbeWhile(probed, [&] {
      TOurs o(probed);
      AppendExchangeRows(o.Tables, o.Report, s.Options);
      UpdData(o.Tables, true, "", o.Report, s.Options);
    });

    bool same = true;
    for (const char* t : {"TILASTO", "KORTTI", "KORTTIPA", "Asiakas", "ZNetTila", "ZNetKo", "ZNetKoPa", "ZNetAsi"}) {
      bool a = SameTable(ours + "/Data/" + t + ".Nx1", setBased + "/Data/" + t + ".Nx1", t);
      bool b = SameTable(ours + "/Data/" + t + ".Nx1", savepoint + "/Data/" + t + ".Nx1", t);
      if (!a || !b) std::cout << "  results differ in " << t << "\n";
      same = same && a && b;
    }

    std::printf("Merge benchmark (SQLite %s, %ld cores)\n", sqlite3_libversion(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("  main tables KORTTI, KORTTIPA, Asiakas, TILASTO: %d rows each\n", s.Main);
    std::printf("  package: %d rows per keyed kind (1/2 new keys, 1/4 newer and 1/4 older stamps) + %d statistics rows = %d rows\n",
                s.Rows, s.Statistics(), s.Total());
    std::printf("  statistics: 1/2 new events, 1/4 already in TILASTO, 1/8 in a held event's second with another card,\n"
                "  1/8 repeating rows of the package\n");
    std::printf("  batches: commit every %d ms or %d rows, then %d ms for waiting connections; best of %d runs\n",
                s.Options.CommitMs, s.Options.CommitRows, s.Options.YieldMs, s.Reps);
    std::printf("  every connection: rollback journal, %d KiB page cache per table file, temporary store in memory\n",
                TConn::kCacheKiB);
    std::printf("  %-52s %8s %9s %10s %11s\n", "", "rows", "seconds", "rows/s", "peak RSS");
    std::printf(" AppendExchangeRows (INet exchange tables -> main database's)\n");
    Line("AppendExchangeRows", oursAppend);
    Line("(a) row by row, autocommit [sample, extrapolated]", acAppend);
    Line("(b) one transaction, savepoint per row", spAppend);
    Line("(c) set-based INSERT ... SELECT", setAppend);
    std::printf(" UpdData (exchange tables -> main tables, at the Master)\n");
    Line("UpdData", oursMerge);
    Line("(a) row by row, autocommit [sample, extrapolated]", acMerge);
    Line("(b) one transaction, savepoint per row", spMerge);
    Line("(c) set-based INSERT ... ON CONFLICT DO UPDATE", setMerge);

    const double appendRatio = oursAppend.RowsPerSecond() / setAppend.RowsPerSecond();
    const double mergeRatio = oursMerge.RowsPerSecond() / setMerge.RowsPerSecond();
    std::printf(" ratios (rows/s against the set-based reference, target >= 0.5)\n");
    std::printf("  AppendExchangeRows / (c): %.2f %s\n", appendRatio, appendRatio >= 0.5 ? "ok" : "MISSED");
    std::printf("  UpdData / (c):            %.2f %s\n", mergeRatio, mergeRatio >= 0.5 ? "ok" : "MISSED");
    std::printf("  AppendExchangeRows / (b): %.2f, UpdData / (b): %.2f; against (a): %.0fx and %.0fx\n",
                oursAppend.RowsPerSecond() / spAppend.RowsPerSecond(), oursMerge.RowsPerSecond() / spMerge.RowsPerSecond(),
                oursAppend.RowsPerSecond() / acAppend.RowsPerSecond(), oursMerge.RowsPerSecond() / acMerge.RowsPerSecond());
    std::printf(" tables after ours equal those after (b) and (c): %s\n", same ? "yes" : "NO");
    std::printf(" another program during AppendExchangeRows + UpdData (%d probes of the main and exchange tables):\n"
                "  longest time to open and read a table %.0f ms, to post a row %.0f ms (target: never over 500 ms) %s\n",
                blocking.Probes, blocking.ReadMs, blocking.WriteMs,
                blocking.ReadMs <= 500 && blocking.WriteMs <= 500 ? "ok" : "MISSED");
    return appendRatio >= 0.5 && mergeRatio >= 0.5 && same && blocking.ReadMs <= 500 && blocking.WriteMs <= 500 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "bench_merge: " << e.what() << "\n";
    return 1;
  }
}
