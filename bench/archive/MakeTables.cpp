// bench_archive_tables DIR SCALE_MB [NAME]
// Writes table files of about SCALE_MB megabytes in total into DIR: SQLite
// databases (rollback journal, as the program keeps its tables) with the
// columns and value mix of the customer, card, card place and visit tables,
// so that their pages compress like real ones. With NAME, one table file of
// that name holds everything (for the memory test).
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TRandom {
  std::uint64_t State = 0x9E3779B97F4A7C15ull;
  std::uint32_t Next() {
    State ^= State << 13, State ^= State >> 7, State ^= State << 17;
    return static_cast<std::uint32_t>(State >> 11);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }
  template <class T>
  const T& Pick(const std::vector<T>& v) { return v[static_cast<std::size_t>(Below(static_cast<int>(v.size())))]; }
};

const std::vector<std::string> kFirst = {"Matti", "Maija", "Juha", "Anna", "Timo", "Liisa", "Pekka", "Sari", "Jari", "Tuula",
                                         "Mikko", "Päivi", "Kari", "Leena", "Antti", "Minna", "Jukka", "Hanna", "Ville", "Riikka"};
const std::vector<std::string> kLast = {"Virtanen", "Korhonen", "Mäkinen", "Nieminen", "Mäkelä", "Hämäläinen", "Laine",
                                        "Heikkinen", "Koskinen", "Järvinen", "Lehtonen", "Lehtinen", "Saarinen", "Salminen",
                                        "Heinonen", "Niemi", "Heikkilä", "Kinnunen", "Salonen", "Turunen"};
const std::vector<std::string> kStreet = {"Kauppakatu", "Rantatie", "Koulukatu", "Puistotie", "Asemakatu", "Myllytie",
                                          "Kirkkokatu", "Teollisuustie", "Sepänkatu", "Koivukuja"};
const std::vector<std::string> kCity = {"Helsinki", "Tampere", "Turku", "Oulu", "Jyväskylä", "Kuopio", "Lahti", "Pori",
                                        "Joensuu", "Vaasa", "Seinäjoki", "Rovaniemi"};
const std::vector<std::string> kPlace = {"Kuntosali", "Uimahalli", "Keilahalli", "Jäähalli", "Tennis", "Sulkapallo",
                                         "Ryhmäliikunta", "Sauna", "Kylpylä", "Squash"};

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

double DateNumber(TRandom& r) { return 43000 + r.Below(2500) + r.Below(86400) / 86400.0; }

// Fills one table file until it reaches bytes.
void MakeTable(const std::string& path, const std::string& table, long long bytes, TRandom& r) {
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, path.c_str());
  Check(sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA page_size=4096; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr), db, "pragma");
  std::string create, insert;
  if (table == "Asiakas" || table == "ZNetAsi") {
    create = "CREATE TABLE " + table + " (AsNo INTEGER PRIMARY KEY, Sukunimi TEXT, Etunimi TEXT, Osoite TEXT, PostiNo TEXT,"
             " Toimipaikka TEXT, Puhelin TEXT, Email TEXT, SyntPvm REAL, Luokka INTEGER, Alennus REAL, AikaLeima REAL, Lisatieto TEXT);"
             "CREATE INDEX " + table + "_Nimi ON " + table + "(Sukunimi, Etunimi);";
    insert = "INSERT INTO " + table + " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)";
  } else if (table == "KORTTI" || table == "ZNetKo") {
    create = "CREATE TABLE " + table + " (KorttiNo INTEGER PRIMARY KEY, AsNo INTEGER, KorttiLyh TEXT, Voimassa REAL, Saldo REAL,"
             " Tila INTEGER, Myyja TEXT, AikaLeima REAL, Huom TEXT, Kerrat INTEGER, Hinta REAL, Paikka INTEGER, Tunnus TEXT);"
             "CREATE INDEX " + table + "_As ON " + table + "(AsNo);";
    insert = "INSERT INTO " + table + " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)";
  } else if (table == "KORTTIPA" || table == "ZNetKoPa") {
    create = "CREATE TABLE " + table + " (Id INTEGER PRIMARY KEY, KorttiNo INTEGER, Paikka TEXT, Alku REAL, Loppu REAL, Kerrat INTEGER,"
             " Kaytetty INTEGER, Hinta REAL, AikaLeima REAL, Kassa TEXT, Tila INTEGER, Huom TEXT, Jarj INTEGER);"
             "CREATE INDEX " + table + "_Kortti ON " + table + "(KorttiNo, Paikka);";
    insert = "INSERT INTO " + table + " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)";
  } else {
    create = "CREATE TABLE " + table + " (Id INTEGER PRIMARY KEY, KorttiNo INTEGER, AsNo INTEGER, Paikka TEXT, Sisaan REAL, Ulos REAL,"
             " Kassa TEXT, Myyja TEXT, Summa REAL, Tyyppi INTEGER, AikaLeima REAL, Huom TEXT, Viikko INTEGER);"
             "CREATE INDEX " + table + "_Aika ON " + table + "(Sisaan);";
    insert = "INSERT INTO " + table + " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)";
  }
  Check(sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr), db, "create");
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, insert.c_str(), -1, &st, nullptr), db, "prepare");
  auto text = [&](int i, const std::string& s) { sqlite3_bind_text(st, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT); };
  const int perCheck = 20000;
  for (long long id = 1;; ++id) {
    if (id % perCheck == 1) {
      sqlite3_exec(db, id == 1 ? "BEGIN" : "COMMIT; BEGIN", nullptr, nullptr, nullptr);
      sqlite3_int64 pages = 0, size = 0;
      sqlite3_stmt* q = nullptr;
      sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &q, nullptr);
      if (sqlite3_step(q) == SQLITE_ROW) pages = sqlite3_column_int64(q, 0);
      sqlite3_finalize(q);
      size = pages * 4096;
      if (size >= bytes) break;
    }
    sqlite3_bind_int64(st, 1, id);
    if (create.find("Sukunimi") != std::string::npos) {
      const std::string last = r.Pick(kLast), first = r.Pick(kFirst);
      text(2, last);
      text(3, first);
      text(4, r.Pick(kStreet) + " " + std::to_string(1 + r.Below(120)) + (r.Below(3) ? "" : " B " + std::to_string(1 + r.Below(40))));
      char post[8];
      std::snprintf(post, sizeof post, "%05d", r.Below(99999));
      text(5, post);
      text(6, r.Pick(kCity));
      text(7, "040-" + std::to_string(1000000 + r.Below(8999999)));
      text(8, r.Below(4) ? first + "." + last + "@example.fi" : "");
      sqlite3_bind_double(st, 9, 10000 + r.Below(30000));
      sqlite3_bind_int(st, 10, r.Below(6));
      sqlite3_bind_double(st, 11, r.Below(5) * 5.0);
      sqlite3_bind_double(st, 12, DateNumber(r));
      text(13, r.Below(8) ? "" : "Asiakas " + std::to_string(r.Below(1000)));
    } else {
      sqlite3_bind_int64(st, 2, 100000 + r.Below(400000));
      if (create.find("KorttiLyh") != std::string::npos) {
        text(3, "K" + std::to_string(r.Below(50)));
      } else {
        sqlite3_bind_int64(st, 3, 1 + r.Below(200000));
      }
      text(4, r.Pick(kPlace));
      sqlite3_bind_double(st, 4 + 1, DateNumber(r));
      sqlite3_bind_double(st, 6, DateNumber(r));
      text(7, "KASSA" + std::to_string(1 + r.Below(9)));
      text(8, r.Pick(kFirst));
      sqlite3_bind_double(st, 9, r.Below(20000) / 100.0);
      sqlite3_bind_int(st, 10, r.Below(4));
      sqlite3_bind_double(st, 11, DateNumber(r));
      text(12, r.Below(10) ? "" : "Huom " + std::to_string(r.Below(500)));
      sqlite3_bind_int(st, 13, 1 + r.Below(52));
    }
    Check(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DIR SCALE_MB [NAME]\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  const long long mb = std::atoll(argv[2]) * 1024 * 1024;
  TRandom r;
  if (argc > 3) {
    MakeTable(dir + argv[3] + ".Nx1", "TILASTO", mb, r);
    return 0;
  }
  // Shares as a head office's master package holds them.
  struct {
    const char* Name;
    int Percent;
  } tables[] = {{"Asiakas", 25}, {"KORTTI", 20}, {"KORTTIPA", 15}, {"TILASTO", 30}, {"ZNetAsi", 4}, {"ZNetKo", 3}, {"ZNetKoPa", 1}, {"ZNetTila", 2}};
  for (const auto& t : tables) MakeTable(dir + t.Name + ".Nx1", t.Name, mb * t.Percent / 100, r);
  return 0;
}
