#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "MergeFixture.h"
#include "data/Merge.h"
#include "db/DbError.h"

using namespace trelvo;
using namespace trelvo::test;

namespace {

const std::string kHeading = "Päivitetään tiedot Master-kantaan (UpdData)...";

TRowValues Card(const std::string& lyh, const std::string& asNo, const TValue& stamp, const std::string& nro = "N") {
  return {{"KorttiNro", Txt(nro)}, {"KorttiLyh", Txt(lyh)}, {"AsNo", Txt(asNo)},       {"YrNo", Int(7)},
          {"AikaLeima", stamp},    {"PinKoodi", Txt("1234")}, {"NaytaSaldoLCD", TValue::Boolean(true)}};
}

TRowValues Statistic(int minute, const std::string& card) {
  return {{"TapPvm", Stamp(2004, 2, 1)}, {"TapAika", TValue::DateTime(EncodeTime(10, minute, 0))},
          {"TapPaikka", Txt("P1")},      {"TapKortti", Txt(card)},
          {"TapAsiNro", Int(5)},         {"TapAsiSum", TValue::Real(12.5)}};
}

TEST(MergePercent, RoundsHalvesToEvenAndStopsAt100) {
  struct {
    long long Done, Total;
    int Percent;
  } cases[] = {{1, 3, 33}, {2, 3, 67}, {3, 3, 100}, {1, 8, 12},  {3, 8, 38},   {5, 8, 62},
               {0, 0, 0},  {1, 0, 100}, {5, 4, 100}, {1, 200, 0}, {3, 200, 2}, {199, 200, 100}};
  for (const auto& c : cases) EXPECT_EQ(c.Percent, MergePercent(c.Done, c.Total)) << c.Done << " of " << c.Total;
}

using UpdData = MergeFixture;

TEST_F(UpdData, ASiteWithoutMasterStatisticsSkipsStatisticsWithoutALine) {
  Add("ZNetTila", {Statistic(15, "C1")});
  trelvo::UpdData(Tables, false, "", Report);
  EXPECT_EQ((Lines{kHeading, "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...", "Asiakastiedot-tiedot: 0 kpl..."}),
            Report.Lines);
  EXPECT_EQ((std::vector<int>{0, 0, 0}), Report.Meters);
  EXPECT_EQ(0, Count("TILASTO"));
  EXPECT_TRUE(AllClosed());

  Report.Lines.clear();
  Report.Meters.clear();
  trelvo::UpdData(Tables, false, "Tilasto", Report);
  EXPECT_EQ("Tilasto-tiedot: 1 kpl...", Report.Lines.at(1));
  EXPECT_EQ(1, Count("TILASTO"));
}

// A package merged but never confirmed to its site comes again; its events
// must not be counted twice. The count line still counts the rows read.
TEST_F(UpdData, StatisticsMergedAgainAddNothing) {
  Add("ZNetTila", {Statistic(16, "C2"), Statistic(15, "C1"),
                   {{"TapPvm", Stamp(2004, 2, 1)}, {"TapKortti", Txt("NOTIME")}},
                   {{"TapAika", TValue::DateTime(EncodeTime(9, 0, 0))}, {"TapKortti", Txt("NODATE")}},
                   {{"TapKortti", Txt("NOKEY")}}});
  const Lines merged{"||NOKEY|", "|09:00:00|NODATE|", "01.02.2004||NOTIME|", "01.02.2004|10:15:00|C1|5",
                     "01.02.2004|10:16:00|C2|5"};
  const std::vector<std::string> fields{"TapPvm", "TapAika", "TapKortti", "TapAsiNro"};
  trelvo::UpdData(Tables, true, "", Report);
  ASSERT_EQ(merged, Rows("TILASTO", "TapPvm;TapAika", fields));
  EXPECT_EQ((Lines{kHeading, "Tilasto-tiedot: 5 kpl...", "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...",
                   "Asiakastiedot-tiedot: 0 kpl..."}),
            Report.Lines);

  Report.Lines.clear();
  Report.Meters.clear();
  trelvo::UpdData(Tables, true, "", Report);
  EXPECT_EQ(merged, Rows("TILASTO", "TapPvm;TapAika", fields));
  EXPECT_EQ((Lines{kHeading, "Tilasto-tiedot: 5 kpl...", "Tilasto-tiedot: 5 kpl oli jo kannassa, ei lisätty uudelleen",
                   "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...", "Asiakastiedot-tiedot: 0 kpl..."}),
            Report.Lines);
  EXPECT_EQ((std::vector<int>{0, 20, 40, 60, 80, 100, 0, 0, 0}), Report.Meters);
  EXPECT_EQ(5, Count("ZNetTila")) << "the exchange rows are left for the caller";
  EXPECT_TRUE(AllClosed());
}

TRowValues FullStatistic() {
  return {{"TapPvm", Stamp(2004, 2, 1)},      {"TapAika", TValue::DateTime(EncodeTime(10, 15, 0))},
          {"TapPaikka", Txt("P1")},           {"TapKortti", Txt("C1")},
          {"TapAsiNro", Int(5)},              {"TapYriNro", Int(6)},
          {"TapTyyppi", Int(1)},              {"TapNode", Int(2)},
          {"TapLaskuPvm", Stamp(2004, 3, 1)}, {"TapLaskuAika", TValue::DateTime(EncodeTime(8, 0, 0))},
          {"TapVara", Txt("")},               {"TapAsiSum", TValue::Real(12.5)},
          {"TapYriSum", TValue::Real(0.25)}};
}

// TILASTO holds one event; the exchange row is that event with one field
// changed. Only a change that shows in the field's text is another event.
TEST_F(UpdData, AStatisticsRowDifferingInAnyCopiedFieldIsAnotherEvent) {
  auto time = [](int h, int n, int sec, int ms = 0) { return TValue::DateTime(EncodeTime(h, n, sec, ms)); };
  struct {
    const char* Field;
    TValue Value;
    bool Added;
  } cases[] = {
      {"TapPvm", Stamp(2004, 2, 2), true},
      {"TapAika", time(10, 15, 1), true},
      {"TapAika", time(10, 14, 59, 999), true},
      {"TapAika", time(10, 15, 0, 400), false},
      {"TapAika", time(10, 15, 0, 999), false},
      {"TapPaikka", Txt("P2"), true},
      {"TapPaikka", Txt("p1"), true},
      {"TapKortti", Txt("C1 "), true},
      {"TapAsiNro", Int(50), true},
      {"TapAsiNro", Null(), true},
      {"TapYriNro", Int(7), true},
      {"TapTyyppi", Int(0), true},
      {"TapNode", Int(3), true},
      {"TapLaskuPvm", Stamp(2004, 3, 2), true},
      {"TapLaskuAika", time(8, 0, 1), true},
      {"TapLaskuAika", time(8, 0, 0, 300), false},
      {"TapVara", Txt("v"), true},
      {"TapVara", Null(), false},  // an empty text and none read alike
      {"TapAsiSum", TValue::Real(12.51), true},
      {"TapYriSum", Null(), true},
      {"TapYriSum", TValue::Real(-0.25), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " " + c.Value.Describe());
    Recreate(Data, Def("TILASTO"));
    Recreate(Data, Def("ZNetTila"));
    Add("TILASTO", {FullStatistic()});
    TRowValues row = FullStatistic();
    for (auto& [name, value] : row)
      if (name == c.Field) value = c.Value;
    Add("ZNetTila", {row});
    Report.Lines.clear();
    trelvo::UpdData(Tables, true, "", Report);
    EXPECT_EQ(c.Added ? 2 : 1, Count("TILASTO"));
    EXPECT_EQ("Tilasto-tiedot: 1 kpl...", Report.Lines.at(1));
    EXPECT_EQ(!c.Added, Report.Lines.at(2) == "Tilasto-tiedot: 1 kpl oli jo kannassa, ei lisätty uudelleen");
  }
}

// Values another program wrote below the millisecond, on both sides, read
// as the second they show (to the nearest millisecond, then cut).
TEST_F(UpdData, StatisticsTimesCountToTheSecondTheyShow) {
  Add("TILASTO", {FullStatistic(), FullStatistic()});
  Add("ZNetTila", {FullStatistic(), FullStatistic(), FullStatistic(), FullStatistic()});
  auto set = [](const std::string& file, const std::string& table, int rowid, const std::string& card, double seconds) {
    char time[40];
    std::snprintf(time, sizeof time, "%.17g", EncodeTime(10, 15, 0) + seconds / 86400);
    RawExec(file, "UPDATE " + table + " SET TapKortti = '" + card + "', TapAika = " + time +
                      " WHERE rowid = " + std::to_string(rowid));
  };
  set(Data + "TILASTO.Nx1", "TILASTO", 1, "C1", -0.0003);
  set(Data + "TILASTO.Nx1", "TILASTO", 2, "C2", 0.9993);
  set(Data + "ZNetTila.Nx1", "ZNetTila", 1, "C1", 0.5);
  set(Data + "ZNetTila.Nx1", "ZNetTila", 2, "C2", 0);
  set(Data + "ZNetTila.Nx1", "ZNetTila", 3, "C1", 0.9996);
  set(Data + "ZNetTila.Nx1", "ZNetTila", 4, "C2", -0.0006);
  trelvo::UpdData(Tables, true, "", Report);
  EXPECT_EQ((Lines{"10:14:59|C2", "10:15:00|C1", "10:15:00|C2", "10:15:01|C1"}),
            Rows("TILASTO", "TapPvm;TapAika", {"TapAika", "TapKortti"}));
  EXPECT_EQ("Tilasto-tiedot: 2 kpl oli jo kannassa, ei lisätty uudelleen", Report.Lines.at(2));
}

// Rows of one package that repeat each other are one event; events of other
// cards in the same second stay apart, however many there are.
TEST_F(UpdData, RepeatedRowsOfOnePackageAreOneEventAmongManyInTheSameSecond) {
  std::vector<TRowValues> held, package;
  for (int i = 0; i < 12; ++i) held.push_back(Statistic(15, "C" + std::to_string(i)));
  Add("TILASTO", held);
  for (const char* card : {"C11", "NEW", "C0", "NEW", "C7", "NEW", "C12"}) package.push_back(Statistic(15, card));
  package.push_back(Statistic(16, "C11"));
  Add("ZNetTila", package);
  trelvo::UpdData(Tables, true, "", Report);
  Lines cards = Rows("TILASTO", "TapPvm;TapAika", {"TapAika", "TapKortti"});
  std::sort(cards.begin(), cards.end());
  Lines expected;
  for (int i = 0; i < 13; ++i) expected.push_back("10:15:00|C" + std::to_string(i));
  expected.push_back("10:15:00|NEW");
  expected.push_back("10:16:00|C11");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, cards);
  EXPECT_EQ("Tilasto-tiedot: 8 kpl...", Report.Lines.at(1));
  EXPECT_EQ("Tilasto-tiedot: 5 kpl oli jo kannassa, ei lisätty uudelleen", Report.Lines.at(2));
}

TEST_F(UpdData, AnExistingCardIsOverwrittenOnlyByAStrictlyLaterStamp) {
  struct {
    const char* Key;
    TValue MainStamp, RowStamp;
    bool RowWins;
  } cases[] = {
      {"LATER", Stamp(2004, 2, 1, 10), Stamp(2004, 2, 1, 10, 0, 1), true},
      {"EQUAL", Stamp(2004, 2, 1, 10), Stamp(2004, 2, 1, 10), false},
      {"EARLIER", Stamp(2004, 2, 1, 10), Stamp(2004, 1, 31, 23), false},
      {"MAINNULL", Null(), Stamp(1999, 1, 1), true},
      {"BOTHNULL", Null(), Null(), false},
      {"ROWNULL", Stamp(1899, 12, 30), Null(), false},
  };
  for (const auto& c : cases) {
    Add("KORTTI", {Card(c.Key, "OLD", c.MainStamp)});
    Add("ZNetKo", {Card(c.Key, "NEW", c.RowStamp, "N2")});
  }
  trelvo::UpdData(Tables, false, "", Report);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Key);
    TDbTable t(Main(), "KORTTI", "KorttiLyh");
    t.Open();
    ASSERT_TRUE(t.FindKey({c.Key}));
    EXPECT_EQ(c.RowWins ? "NEW" : "OLD", t.FieldByName("AsNo").AsString());
    EXPECT_EQ(c.RowWins ? "N2" : "N", t.FieldByName("KorttiNro").AsString());
    EXPECT_TRUE(t.FieldByName("AikaLeima").Value() == (c.RowWins ? c.RowStamp : c.MainStamp));
    t.Close();
    const std::string line = std::string("Kortti: ") + c.Key + " päivitetty myöhemmin!";
    EXPECT_EQ(c.RowWins ? 0 : 1, std::count(Report.Lines.begin(), Report.Lines.end(), line));
  }
  EXPECT_EQ(6, Count("KORTTI"));
  EXPECT_EQ("Kortti-tiedot: 6 kpl...", Report.Lines.at(1));
}

TEST_F(UpdData, ANewKeyIsInsertedEvenWithANullStampAndNullsStayNull) {
  Add("ZNetKo", {{{"KorttiLyh", Txt("K1")}, {"AsNo", Txt("A1")}}});
  trelvo::UpdData(Tables, false, "", Report);
  EXPECT_EQ((Lines{"|K1|A1||||"}), Rows("KORTTI", "KorttiLyh",
                                         {"KorttiNro", "KorttiLyh", "AsNo", "YrNo", "AikaLeima", "PinKoodi", "NaytaSaldoLCD"}));
  TDbTable t(Main(), "KORTTI", "KorttiLyh");
  t.Open();
  EXPECT_TRUE(t.FieldByName("AikaLeima").IsNull());
  EXPECT_TRUE(t.FieldByName("YrNo").IsNull());
}

TEST_F(UpdData, CardRowsWithoutAKeyMeetTheSameMainRow) {
  Add("ZNetKo", {Card("", "A1", Stamp(2004, 3, 1)), {{"AsNo", Txt("A2")}, {"AikaLeima", Stamp(2004, 3, 2)}},
                 {{"AsNo", Txt("A3")}, {"AikaLeima", Stamp(2004, 3, 2)}}});
  trelvo::UpdData(Tables, false, "", Report);
  // One keyless main row: inserted, then updated by the later stamp, then kept.
  EXPECT_EQ((Lines{"|A2"}), Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "AsNo"}));
  EXPECT_NE(std::find(Report.Lines.begin(), Report.Lines.end(), "Kortti:  päivitetty myöhemmin!"), Report.Lines.end());
}

TEST_F(UpdData, ThreeRowsForOneNewCardInsertThenUpdateThenKeepWithTheMeterPerRow) {
  Add("ZNetKo", {Card("K9", "A3", Stamp(2004, 3, 1, 12)), Card("K9", "A1", Stamp(2004, 3, 1, 11)),
                 Card("K9", "A2", Stamp(2004, 3, 1, 12))});
  trelvo::UpdData(Tables, false, "", Report);
  // Visited in stamp order (then as entered): A1 inserted, A3 updates it, A2
  // has the same stamp as A3 and is kept out.
  EXPECT_EQ((Lines{"K9|A3"}), Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "AsNo"}));
  EXPECT_EQ((Lines{kHeading, "Kortti-tiedot: 3 kpl...", "Kortti: K9 päivitetty myöhemmin!", "Kortin paikka-tiedot: 0 kpl...",
                   "Asiakastiedot-tiedot: 0 kpl..."}),
            Report.Lines);
  EXPECT_EQ((std::vector<int>{0, 33, 67, 100, 0, 0}), Report.Meters);
  EXPECT_EQ(3, Report.ProcessCalls);
}

TEST_F(UpdData, OneOfEightRowsMovesTheMeterTo12) {
  std::vector<TRowValues> rows;
  for (int i = 0; i < 8; ++i) rows.push_back(Card("K" + std::to_string(i), "A", Stamp(2004, 1, 1 + i)));
  Add("ZNetKo", rows);
  trelvo::UpdData(Tables, false, "", Report);
  EXPECT_EQ((std::vector<int>{0, 12, 25, 38, 50, 62, 75, 88, 100, 0, 0}), Report.Meters);
}

TEST_F(UpdData, ACardPlaceStampIsMuutettuPlusMuutettuAika) {
  auto place = [](const std::string& lyh, const std::string& paikka, const TValue& muutettu, const TValue& aika) {
    return TRowValues{{"KorttiLyh", Txt(lyh)}, {"Paikka", Txt(paikka)}, {"Tyyppi", Int(1)},
                      {"Muutettu", muutettu},   {"MuutettuAika", aika},   {"KayntiLkm", Int(10)}};
  };
  const TValue noon = TValue::DateTime(EncodeTime(12, 0, 0));
  Add("KORTTIPA", {place("P1", "A", Stamp(2004, 2, 1), noon),  // 1.2.2004 12:00
                   place("P2", "A", Null(), noon),             // no date: compared as 0
                   place("P3", "A", Stamp(2004, 2, 1), noon),
                   place("P4", "A", Stamp(2004, 2, 1), Null())});  // the date alone
  auto row = [&](const std::string& lyh, const std::string& paikka, const TValue& stamp) {
    TRowValues r = place(lyh, paikka, Stamp(2004, 2, 2), TValue::DateTime(EncodeTime(8, 30, 0)));
    r.push_back({"AikaLeima", stamp});
    r.push_back({"KayntiLkm", Int(99)});
    return r;
  };
  Add("ZNetKoPa", {row("P1", "A", Stamp(2004, 2, 1, 11)),            // before noon of the main row: kept
                   row("P2", "A", Stamp(2000, 1, 1)),                // any positive stamp wins over 0
                   row("P3", "A", Stamp(2004, 2, 1, 12, 30)),        // after noon: wins
                   row("P4", "A", Stamp(2004, 2, 1, 0, 0, 1)),       // a second after the date: wins
                   row("P3", "B", Stamp(2004, 2, 3))});              // new second key part: inserted
  trelvo::UpdData(Tables, false, "", Report);
  // KayntiLkm 99 marks a row that came from the exchange table; AikaLeima is
  // not copied, the row's own Muutettu and MuutettuAika are.
  EXPECT_EQ((Lines{"P1|A|01.02.2004|12:00:00|10", "P2|A|02.02.2004|08:30:00|99", "P3|A|02.02.2004|08:30:00|99",
                   "P3|B|02.02.2004|08:30:00|99", "P4|A|02.02.2004|08:30:00|99"}),
            Rows("KORTTIPA", "KorttiLyh;Paikka", {"KorttiLyh", "Paikka", "Muutettu", "MuutettuAika", "KayntiLkm"}));
  EXPECT_EQ(1, std::count(Report.Lines.begin(), Report.Lines.end(), "Kortti: P1-A päivitetty myöhemmin!"));
}

TEST_F(UpdData, CustomersAreMergedByAsNoWithTheirOwnLines) {
  auto customer = [](const std::string& asNo, const std::string& name, const TValue& stamp) {
    return TRowValues{{"AsNo", Txt(asNo)},     {"AsNimi", Txt(name)},           {"AikaLeima", stamp},
                      {"AsRyhma", Int(3)},     {"Laskutettu", TValue::Real(1.25)}, {"SyntymaAika", Stamp(1970, 5, 6)},
                      {"Email1", Txt("a@b.fi")}};
  };
  Add("Asiakas", {customer("100", "Vanha", Stamp(2004, 2, 1)), customer("200", "Vanha", Stamp(2004, 2, 1))});
  Add("ZNetAsi", {customer("100", "Uusi ", Stamp(2004, 1, 1)), customer("200", "Uusi", Stamp(2004, 3, 1)),
                  customer("300", "Uusi", Stamp(2004, 3, 1))});
  trelvo::UpdData(Tables, false, "", Report);
  EXPECT_EQ((Lines{"100|Vanha|01.02.2004 00:00:00|3|1.25|06.05.1970|a@b.fi",
                   "200|Uusi|01.03.2004 00:00:00|3|1.25|06.05.1970|a@b.fi",
                   "300|Uusi|01.03.2004 00:00:00|3|1.25|06.05.1970|a@b.fi"}),
            Rows("Asiakas", "AsNo", {"AsNo", "AsNimi", "AikaLeima", "AsRyhma", "Laskutettu", "SyntymaAika", "Email1"}));
  EXPECT_EQ((Lines{kHeading, "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...", "Asiakastiedot-tiedot: 3 kpl...",
                   "Asiakas: 100-Uusi  päivitetty myöhemmin!"}),
            Report.Lines);
}

// A key violation on one row: logged once under that row's key, and the rows
// around it are merged as if it had not been there.
TEST_F(UpdData, AFailingPostIsLoggedOnceAndTheFollowingRowsStillMerge) {
  TDbTableDef kortti = Def("KORTTI");
  kortti.Indexes.push_back({"KorttiNro", "KorttiNro", true});
  Recreate(Data, kortti);
  Add("KORTTI", {Card("X", "AX", Stamp(2004, 1, 1), "N1")});
  Add("ZNetKo", {Card("A", "AA", Stamp(2004, 2, 1), "N2"), Card("B", " \tAB  ", Stamp(2004, 2, 2), "N1"),
                 Card("C", "AC", Stamp(2004, 2, 3), "N3"), Card("X", "AX2", Stamp(2004, 2, 4), "N4")});
  trelvo::UpdData(Tables, false, "", Report);
  EXPECT_EQ((Lines{"A|N2|AA", "C|N3|AC", "X|N4|AX2"}), Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "KorttiNro", "AsNo"}));
  ASSERT_EQ(5u, Report.Lines.size());
  EXPECT_EQ("Kortti-tiedot: 4 kpl...", Report.Lines[1]);
  const std::string& error = Report.Lines[2];
  EXPECT_EQ(0u, error.find("Virhe : Table KORTTI: post: key violation")) << error;
  EXPECT_TRUE(error.ends_with(" (B-AB)")) << error;
  EXPECT_EQ((std::vector<int>{0, 25, 50, 75, 100, 0, 0}), Report.Meters);
  EXPECT_TRUE(AllClosed());
}

// A statistics row fails half-way through its copy: nothing of it is left in
// TILASTO, not even as a half-filled row posted by the next row's append.
TEST_F(UpdData, AStatisticsRowThatFailsMidCopyLeavesNothing) {
  Add("ZNetTila", {Statistic(15, "C1"), Statistic(16, "BAD"), Statistic(17, "C3")});
  RawExec(Data + "ZNetTila.Nx1", "UPDATE ZNetTila SET TapYriSum = 'paljon' WHERE TapKortti = 'BAD'");
  RawExec(Data + "ZNetTila.Nx1", "INSERT INTO ZNetTila (TapPvm, TapAika, TapKortti) VALUES ('eilen', 0.5, 'BAD2')");
  trelvo::UpdData(Tables, true, "", Report);
  EXPECT_EQ((Lines{"10:15:00|C1", "10:17:00|C3"}), Rows("TILASTO", "TapPvm;TapAika", {"TapAika", "TapKortti"}));
  EXPECT_EQ((Lines{kHeading, "Tilasto-tiedot: 4 kpl...",
                   "Virhe : Field TapYriSum of table ZNetTila: holds text 'paljon', not a real value (01.02.2004 10:16:00)",
                   "Virhe : Field TapPvm of table ZNetTila: holds text 'eilen', not a date value (eilen 12:00:00)",
                   "Kortti-tiedot: 0 kpl...", "Kortin paikka-tiedot: 0 kpl...", "Asiakastiedot-tiedot: 0 kpl..."}),
            Report.Lines);
}

TEST_F(UpdData, BadRowsAndAFieldMissingFromAMainTableAreLoggedPerRowAndTheLaterKindsRun) {
  Recreate(Data, Without(Def("KORTTI"), "PinKoodi"));
  Add("ZNetKo", {Card("K1", "A1", Stamp(2004, 1, 1)), Card("K2", "A2 ", Stamp(2004, 1, 2))});
  Add("KORTTIPA", {{{"KorttiLyh", Txt("P1")}, {"Paikka", Txt("A")}, {"Muutettu", Stamp(2004, 1, 1)}}});
  Add("ZNetKoPa", {{{"KorttiLyh", Txt("P1")}, {"Paikka", Txt("A ")}, {"AikaLeima", Stamp(2004, 1, 2)}},
                   {{"KorttiLyh", Txt("P1")}, {"Paikka", Txt("A")}, {"AikaLeima", Stamp(2004, 1, 3)}},
                   {{"Paikka", Txt("Q")}, {"AikaLeima", Stamp(2004, 1, 4)}}});
  RawExec(Data + "ZNetKoPa.Nx1", "UPDATE ZNetKoPa SET AikaLeima = 'huomenna' WHERE Paikka = 'A'");
  Add("ZNetAsi", {{{"AsNo", Txt("9")}, {"AsNimi", Txt("Nimi")}}});
  trelvo::UpdData(Tables, false, "", Report);
  EXPECT_EQ((Lines{kHeading, "Kortti-tiedot: 2 kpl...", "Virhe : Table KORTTI: field PinKoodi not found (K1-A1)",
                   "Virhe : Table KORTTI: field PinKoodi not found (K2-A2)", "Kortin paikka-tiedot: 3 kpl...",
                   "Virhe : Field AikaLeima of table ZNetKoPa: 'huomenna' is not a valid date-time value (P1-A)",
                   "Asiakastiedot-tiedot: 1 kpl..."}),
            Report.Lines);
  EXPECT_EQ(0, Count("KORTTI"));
  // "A " is its own key; the row with no KorttiLyh is a new key as well.
  EXPECT_EQ((Lines{"|Q", "P1|A", "P1|A "}), Rows("KORTTIPA", "KorttiLyh;Paikka", {"KorttiLyh", "Paikka"}));
  EXPECT_EQ(1, Count("Asiakas"));
  EXPECT_TRUE(AllClosed());
}

TEST_F(UpdData, AnErrorOutsideTheRowsEndsTheMergeWithTheDoneRowsKeptAndTablesClosed) {
  Add("ZNetKo", {Card("K1", "A1", Stamp(2004, 1, 1))});
  Add("ZNetAsi", {{{"AsNo", Txt("9")}}});
  ASSERT_EQ(0, std::remove((Data + "KORTTIPA.Nx1").c_str()));
  EXPECT_THROW(trelvo::UpdData(Tables, true, "", Report), EDatabaseError);
  EXPECT_EQ((Lines{kHeading, "Tilasto-tiedot: 0 kpl...", "Kortti-tiedot: 1 kpl..."}), Report.Lines);
  EXPECT_EQ(1, Count("KORTTI"));
  EXPECT_EQ(0, Count("Asiakas"));
  EXPECT_TRUE(AllClosed());
}

TEST_F(UpdData, AnErrorBetweenRowsCommitsTheRowsBeforeIt) {
  Add("ZNetKo", {Card("K1", "A1", Stamp(2004, 1, 1)), Card("K2", "A2", Stamp(2004, 1, 2)), Card("K3", "A3", Stamp(2004, 1, 3))});
  Report.OnProcessMessages = [&] {
    if (Report.ProcessCalls == 2) throw std::runtime_error("window gone");
  };
  // Row by row, the window runs after each row; set-based, after the rows
  // written together, and then those are the rows done.
  TMergeOptions rowByRow;
  rowByRow.SetBased = false;
  EXPECT_THROW(trelvo::UpdData(Tables, false, "", Report, rowByRow), std::runtime_error);
  EXPECT_EQ((Lines{"K1", "K2"}), Rows("KORTTI", "KorttiLyh", {"KorttiLyh"}));
  EXPECT_TRUE(AllClosed());

  Report.ProcessCalls = 0;
  TMergeOptions setBased;
  setBased.SetBasedKeyed = true;
  EXPECT_THROW(trelvo::UpdData(Tables, false, "", Report, setBased), std::runtime_error);
  EXPECT_EQ((Lines{"K1", "K2", "K3"}), Rows("KORTTI", "KorttiLyh", {"KorttiLyh"}));
  EXPECT_TRUE(AllClosed());
}

// Between batches another program can read and write the table files at once.
TEST_F(UpdData, RowsAreCommittedInBatchesBeforeTheWindowRuns) {
  std::vector<TRowValues> rows;
  for (int i = 0; i < 5; ++i) rows.push_back(Card("K" + std::to_string(i), "A", Stamp(2004, 1, 1 + i)));
  Add("ZNetKo", rows);
  std::vector<int> seen;
  std::vector<bool> writable;
  Report.OnProcessMessages = [&] {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((Data + "KORTTI.Nx1").c_str(), &db));
    sqlite3_busy_timeout(db, 0);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT count(*) FROM KORTTI", -1, &st, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st)) << "a reader was locked out";
    seen.push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    writable.push_back(sqlite3_exec(db, "BEGIN IMMEDIATE; ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK);
    sqlite3_close(db);
  };
  TMergeOptions options;
  options.CommitRows = 2;
  trelvo::UpdData(Tables, false, "", Report, options);
  // Readers are never kept out; writers wait only while a batch is open, and
  // every second row commits before the window runs.
  EXPECT_EQ((std::vector<int>{0, 2, 2, 4, 4}), seen);
  EXPECT_EQ((std::vector<bool>{false, true, false, true, false}), writable);
  EXPECT_EQ(5, Count("KORTTI"));
}

}  // namespace

namespace {

// Rows written together: when the table refuses one of them, none of the
// others is lost or written twice, and the refused one is logged as a row of
// its own, as row by row.
class UpdDataRefusal : public MergeFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(UpdDataRefusal, ARowTheTableRefusesFailsAlone) {
  Add("KORTTI", {Card("K1", "A1", Stamp(2004, 1, 1))});
  Add("ZNetKo", {Card("K2", "A2", Stamp(2004, 1, 2)), Card("K1", "A1", Stamp(2004, 1, 3), "REFUSED"),
                 Card("K3", "A3", Stamp(2004, 1, 4))});
  RawExec(Data + "KORTTI.Nx1",
          "CREATE TRIGGER refuse BEFORE UPDATE ON KORTTI WHEN NEW.KorttiNro = 'REFUSED' "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  TMergeOptions options;
  options.SetBased = options.SetBasedKeyed = GetParam();
  trelvo::UpdData(Tables, false, "", Report, options);
  EXPECT_EQ((Lines{"K1|N|01.01.2004 00:00:00", "K2|N|02.01.2004 00:00:00", "K3|N|04.01.2004 00:00:00"}),
            Rows("KORTTI", "KorttiLyh", {"KorttiLyh", "KorttiNro", "AikaLeima"}));
  ASSERT_EQ(5u, Report.Lines.size());
  EXPECT_EQ("Kortti-tiedot: 3 kpl...", Report.Lines[1]);
  EXPECT_NE(std::string::npos, Report.Lines[2].find("refused")) << Report.Lines[2];
  EXPECT_NE(std::string::npos, Report.Lines[2].find("(K1-A1)")) << Report.Lines[2];
  EXPECT_EQ((std::vector<int>{0, 33, 67, 100, 0, 0}), Report.Meters);
}

INSTANTIATE_TEST_SUITE_P(Ways, UpdDataRefusal, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SetBased" : "RowByRow"; });

}  // namespace
