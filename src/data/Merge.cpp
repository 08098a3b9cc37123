#include "data/Merge.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/Text.h"
#include "db/DbError.h"

namespace trelvo {

int MergePercent(long long done, long long total) {
  if (total <= 0) total = 1;
  // Exact integer rounding: 1 of 8 is 12.5, which must give 12, not 13.
  long long scaled = done * 100;
  long long q = scaled / total, r = scaled % total;
  if (2 * r > total || (2 * r == total && q % 2 != 0)) ++q;
  return q > 100 ? 100 : static_cast<int>(q);
}

namespace {

std::string ErrorText(const std::exception& e) {
  if (auto* db = dynamic_cast<const EDatabaseError*>(&e)) return db->Description();
  return e.what();
}

// ---- batched writes ----

// The rows of one kind go into transactions of at most CommitRows rows or
// CommitMs milliseconds. On any way out that is not Finish() (an error
// outside the rows), what was done is still committed, so rows done before
// the error stay done.
//
// A row needs no savepoint of its own: it writes at most one statement (its
// post), and SQLite undoes a failed statement as a whole while the
// transaction goes on, so a failed row has left nothing behind. A savepoint
// per row would guard that one statement a second time and cost a tenth of
// the merge's speed.
class TRowBatch {
 public:
  TRowBatch(TDbDatabase& db, const TMergeOptions& options) : Db_(db), Options_(options) {}
  ~TRowBatch() {
    try {
      if (Db_.InTransaction()) Db_.Commit();
    } catch (const std::exception&) {
      try {
        if (Db_.InTransaction()) Db_.Rollback();
      } catch (const std::exception&) {
      }
    }
  }
  TRowBatch(const TRowBatch&) = delete;
  TRowBatch& operator=(const TRowBatch&) = delete;

  void BeginRow() {
    if (Db_.InTransaction()) return;
    Db_.StartTransaction();
    Started_ = std::chrono::steady_clock::now();
    Rows_ = 0;
  }
  // After a row failed: false when the storage itself undid the whole
  // transaction (a full disk, an I/O error); then the rows since the last
  // commit are gone too, and going on would hide that.
  bool RowFailed() const { return Db_.InTransaction(); }
  void CommitIfDue() {
    if (!Db_.InTransaction()) return;
    if (++Rows_ < Options_.CommitRows &&
        std::chrono::steady_clock::now() - Started_ < std::chrono::milliseconds(Options_.CommitMs))
      return;
    Db_.Commit();
    // Other connections poll for the locks a batch holds; a short pause
    // lets the ones waiting in, instead of the next batch taking the locks
    // again at once.
    if (Options_.YieldMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Options_.YieldMs));
  }
  void Finish() {
    if (Db_.InTransaction()) Db_.Commit();
  }

 private:
  TDbDatabase& Db_;
  TMergeOptions Options_;
  std::chrono::steady_clock::time_point Started_;
  int Rows_ = 0;
};

// ---- fields ----

// A field looked up once per kind. A field the table lacks is asked for again
// at each row, so every row fails with the table's own error for it.
struct TFieldRef {
  TDbTable* Table = nullptr;
  TDbField* Field = nullptr;
  std::string Name;

  TDbField& Get() const { return Field ? *Field : Table->FieldByName(Name); }
  // For log lines: a missing or unreadable field gives "".
  std::string Text() const {
    if (!Field) return "";
    try {
      return Field->AsString();
    } catch (const std::exception&) {
      return "";
    }
  }
  // The date or time part of an error key; a value that is no date-time is
  // shown as it is stored.
  std::string Formatted(const char* picture, const char* prefix) const {
    if (!Field) return prefix;
    try {
      return FormatDateTime(picture, Field->AsDateTime());
    } catch (const std::exception&) {
      return prefix + Text();
    }
  }
};

TFieldRef Ref(TDbTable& table, const std::string& name) { return {&table, table.FindField(name), name}; }

std::string StatisticsKey(const TFieldRef& tapPvm, const TFieldRef& tapAika) {
  return tapPvm.Formatted("dd.mm.yyyy", "") + tapAika.Formatted(" hh:nn:ss", " ");
}

struct TCopyPair {
  TFieldRef From, To;
};

std::vector<TCopyPair> ByName(TDbTable& from, TDbTable& to, const std::vector<const char*>& names) {
  std::vector<TCopyPair> pairs;
  for (const char* n : names) pairs.push_back({Ref(from, n), Ref(to, n)});
  return pairs;
}

void CopyFields(const std::vector<TCopyPair>& pairs) {
  for (const TCopyPair& p : pairs) {
    TDbField& from = p.From.Get();
    if (p.To.Field) {
      p.To.Field->SetValueFrom(from);
      continue;
    }
    // The source's value is read first, so a bad value is reported before
    // the missing field.
    TValue v = from.Value();
    p.To.Get().SetValue(v);
  }
}

// ---- the frame of one kind ----

class TRowHandler {
 public:
  virtual ~TRowHandler() = default;
  virtual void Handle() = 0;
  // Never throws: it is asked for while a row's error is being logged.
  virtual std::string ErrorKey() const = 0;
};

using THandlerFactory = std::function<std::unique_ptr<TRowHandler>()>;

// Opens openFirst then openSecond and closes them in reverse on every path.
void RunKind(TDbTable& openFirst, TDbTable& openSecond, TDbTable& source, TDbTable& dest, const std::string& label,
             TRunReport& report, const TMergeOptions& options, const THandlerFactory& makeHandler) {
  openFirst.Open();
  TTableCloser closeFirst(openFirst);
  openSecond.Open();
  TTableCloser closeSecond(openSecond);

  const int total = source.RecordCount();
  report.Log(label + IntToStr(total) + " kpl...");
  report.SetMeter(0);
  std::unique_ptr<TRowHandler> handler = makeHandler();

  TRowBatch batch(dest.Database(), options);
  long long done = 0;
  for (source.First(); !source.Eof(); source.Next()) {
    batch.BeginRow();
    try {
      handler->Handle();
    } catch (const std::exception& e) {
      // The failed row's pending insert or edit goes with it; left pending,
      // the next row's move would post it again and repeat the error under
      // that row's key.
      dest.Cancel();
      if (!batch.RowFailed()) throw;
      report.Log("Virhe : " + ErrorText(e) + " (" + handler->ErrorKey() + ")");
    }
    ++done;
    report.SetMeter(MergePercent(done, total));
    // A due batch is committed before the window runs, so whatever the user
    // starts meanwhile meets no open transaction at those rows.
    batch.CommitIfDue();
    report.ProcessMessages();
  }
  batch.Finish();
}

// ---- UpdData ----

class TAppendStatistics : public TRowHandler {
 public:
  TAppendStatistics(TDbTable& exchange, TDbTable& main)
      : Main_(main),
        Copy_(ByName(exchange, main,
                     {"TapPvm", "TapAika", "TapPaikka", "TapKortti", "TapAsiNro", "TapYriNro", "TapTyyppi", "TapNode",
                      "TapLaskuPvm", "TapLaskuAika", "TapVara", "TapAsiSum", "TapYriSum"})),
        TapPvm_(Ref(exchange, "TapPvm")),
        TapAika_(Ref(exchange, "TapAika")) {}
  void Handle() override {
    Main_.Append();
    CopyFields(Copy_);
    Main_.Post();
  }
  std::string ErrorKey() const override { return StatisticsKey(TapPvm_, TapAika_); }

 private:
  TDbTable& Main_;
  std::vector<TCopyPair> Copy_;
  TFieldRef TapPvm_, TapAika_;
};

enum class TKeyedKind { Card, CardPlace, Customer };

// Rules K, P and A: insert a new key; overwrite an existing main row only
// with a strictly later stamp.
class TMergeKeyed : public TRowHandler {
 public:
  TMergeKeyed(TKeyedKind kind, TDbTable& exchange, TDbTable& main, TRunReport& report)
      : Kind_(kind), Main_(main), Report_(report) {
    switch (kind) {
      case TKeyedKind::Card:
        Copy_ = ByName(exchange, main, {"KorttiNro", "KorttiLyh", "AsNo", "YrNo", "AikaLeima", "PinKoodi", "NaytaSaldoLCD"});
        Key1_ = Ref(exchange, "KorttiLyh");
        Second_ = Ref(exchange, "AsNo");
        MainStamp_ = Ref(main, "AikaLeima");
        break;
      case TKeyedKind::CardPlace:
        Copy_ = ByName(exchange, main,
                       {"KorttiLyh", "Paikka", "Tyyppi", "VoimAlkaen", "VoimAsti", "KayntiLkm", "KaytyLkm", "AikaRyhma",
                        "KayPvm", "KayAika", "MsgNro", "Laskutus", "UusintaAika", "Muutettu", "MuutettuAika", "Sormi",
                        "JaadytysPvm"});
        Key1_ = Ref(exchange, "KorttiLyh");
        Second_ = Ref(exchange, "Paikka");
        MainStamp_ = Ref(main, "Muutettu");
        MainTime_ = Ref(main, "MuutettuAika");
        break;
      case TKeyedKind::Customer:
        Copy_ = ByName(exchange, main,
                       {"AsNo", "AsRyhma", "AsNimi", "PostiNo", "PostiToimiPaikka", "KatuOsoite1", "KatuOsoite2",
                        "YhteysHenkilo", "PuhNo", "AsLasNo", "Laskutettu", "LaskutettuEdVuosi", "SyntymaAika",
                        "Huomioitavaa1", "Huomioitavaa2", "MatkaPuh", "Email1", "AikaLeima"});
        Key1_ = Ref(exchange, "AsNo");
        Second_ = Ref(exchange, "AsNimi");
        MainStamp_ = Ref(main, "AikaLeima");
        break;
    }
    RowStamp_ = Ref(exchange, "AikaLeima");
  }

  void Handle() override {
    std::vector<std::string>& key = Key_;
    key.resize(Kind_ == TKeyedKind::CardPlace ? 2 : 1);
    key[0] = Key1_.Get().AsString();
    const std::string& key1 = key[0];
    if (Kind_ == TKeyedKind::CardPlace) key[1] = Second_.Get().AsString();
    if (!Main_.FindKey(key)) {
      Main_.Append();
      CopyFields(Copy_);
      Main_.Post();
      return;
    }
    TDateTime mainStamp = MainStamp_.Get().AsDateTime();
    if (Kind_ == TKeyedKind::CardPlace && mainStamp != 0) {
      TDbField& time = MainTime_.Get();
      if (!time.IsNull()) mainStamp += time.AsDateTime();
    }
    const TDateTime rowStamp = RowStamp_.Get().AsDateTime();
    if (mainStamp >= rowStamp) {
      Report_.Log(LaterLine(key1));
      return;
    }
    Main_.Edit();
    CopyFields(Copy_);
    Main_.Post();
  }

  std::string ErrorKey() const override { return Key1_.Text() + "-" + Trim(Second_.Text()); }

 private:
  std::string LaterLine(const std::string& key1) const {
    switch (Kind_) {
      case TKeyedKind::Card: return "Kortti: " + key1 + " päivitetty myöhemmin!";
      case TKeyedKind::CardPlace: return "Kortti: " + key1 + "-" + Second_.Get().AsString() + " päivitetty myöhemmin!";
      case TKeyedKind::Customer: return "Asiakas: " + key1 + "-" + Second_.Get().AsString() + " päivitetty myöhemmin!";
    }
    return "";
  }

  TKeyedKind Kind_;
  TDbTable& Main_;
  TRunReport& Report_;
  std::vector<TCopyPair> Copy_;
  TFieldRef Key1_, Second_, RowStamp_, MainStamp_, MainTime_;
  std::vector<std::string> Key_;  // kept from row to row
};

// ---- AppendExchangeRows ----

enum class TExchangeKind { Statistics, Card, CardPlace, Customer };

class TAppendByPosition : public TRowHandler {
 public:
  TAppendByPosition(TExchangeKind kind, TDbTable& source, TDbTable& dest) : Kind_(kind), Source_(source), Dest_(dest) {
    for (int i = 0; i < dest.FieldCount(); ++i) {
      From_.push_back(i < source.FieldCount() ? &source.Fields(i) : nullptr);
      To_.push_back(&dest.Fields(i));
    }
    switch (kind) {
      case TExchangeKind::Statistics:
        Key1_ = Ref(source, "TapPvm");
        Key2_ = Ref(source, "TapAika");
        break;
      case TExchangeKind::Card:
        Key1_ = Ref(source, "KorttiLyh");
        Key2_ = Ref(source, "AsNo");
        break;
      case TExchangeKind::CardPlace:
        Key1_ = Ref(source, "KorttiLyh");
        Key2_ = Ref(source, "Paikka");
        break;
      case TExchangeKind::Customer: Key1_ = Ref(source, "AsNo"); break;
    }
  }

  void Handle() override {
    Dest_.Append();
    for (size_t i = 0; i < To_.size(); ++i) {
      // A source with fewer fields fails here with its own "no field" error.
      TDbField& from = From_[i] ? *From_[i] : Source_.Fields(static_cast<int>(i));
      To_[i]->SetValueFrom(from);
    }
    Dest_.Post();
  }

  std::string ErrorKey() const override {
    switch (Kind_) {
      case TExchangeKind::Statistics: return StatisticsKey(Key1_, Key2_);
      case TExchangeKind::Card: return Key1_.Text() + "-" + Trim(Key2_.Text());
      case TExchangeKind::CardPlace: return Key1_.Text() + "-" + Key2_.Text();
      case TExchangeKind::Customer: return Key1_.Text();
    }
    return "";
  }

 private:
  TExchangeKind Kind_;
  TDbTable& Source_;
  TDbTable& Dest_;
  std::vector<TDbField*> From_, To_;
  TFieldRef Key1_, Key2_;
};

}  // namespace

void UpdData(TTables& tables, bool isMaster, const std::string& masterStatistics, TRunReport& report,
             const TMergeOptions& options) {
  report.Log("Päivitetään tiedot Master-kantaan (UpdData)...");
  if (isMaster || !masterStatistics.empty()) {
    TDbTable& ex = tables.TblZNetTi;
    TDbTable& main = tables.TblTilasto;
    RunKind(ex, main, ex, main, "Tilasto-tiedot: ", report, options,
            [&] { return std::make_unique<TAppendStatistics>(ex, main); });
  }
  struct TKeyedRun {
    TKeyedKind Kind;
    TDbTable& Exchange;
    TDbTable& Main;
    const char* Label;
  };
  const TKeyedRun runs[] = {
      {TKeyedKind::Card, tables.TblZNetKo, tables.TblKortti, "Kortti-tiedot: "},
      {TKeyedKind::CardPlace, tables.TblZNetKoPa, tables.TblKorttiPa, "Kortin paikka-tiedot: "},
      {TKeyedKind::Customer, tables.TblZNetAsi, tables.TblAsiakas, "Asiakastiedot-tiedot: "},
  };
  for (const TKeyedRun& r : runs) {
    RunKind(r.Exchange, r.Main, r.Exchange, r.Main, r.Label, report, options,
            [&] { return std::make_unique<TMergeKeyed>(r.Kind, r.Exchange, r.Main, report); });
  }
}

void AppendExchangeRows(TTables& tables, TRunReport& report, const TMergeOptions& options) {
  struct TCopyRun {
    TExchangeKind Kind;
    TDbTable& Dest;
    TDbTable& Source;
    const char* Label;
  };
  const TCopyRun runs[] = {
      {TExchangeKind::Statistics, tables.TblZNetTi, tables.TblZNetTiTmp, "Tilasto-tiedot: "},
      {TExchangeKind::Card, tables.TblZNetKo, tables.TblZNetKoTmp, "Kortti-tiedot: "},
      {TExchangeKind::CardPlace, tables.TblZNetKoPa, tables.TblZNetKoPaTmp, "Kortin paikka-tiedot: "},
      {TExchangeKind::Customer, tables.TblZNetAsi, tables.TblZNetAsiTmp, "Asiakas-tiedot: "},
  };
  for (const TCopyRun& r : runs) {
    RunKind(r.Dest, r.Source, r.Source, r.Dest, r.Label, report, options,
            [&] { return std::make_unique<TAppendByPosition>(r.Kind, r.Source, r.Dest); });
  }
}

}  // namespace trelvo
