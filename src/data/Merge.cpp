#include "data/Merge.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
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
  // Inside a transaction of the caller (a head office's batch of packages)
  // the rows are the caller's to commit: nothing here commits them.
  TRowBatch(TDbDatabase& db, const TMergeOptions& options)
      : Db_(db), Options_(options), Outer_(db.InTransaction()) {}
  ~TRowBatch() {
    if (Outer_) return;
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
    if (Outer_ || Db_.InTransaction()) return;
    Db_.StartTransaction();
    Started_ = std::chrono::steady_clock::now();
    Rows_ = 0;
  }
  // After a row failed: false when the storage itself undid the whole
  // transaction (a full disk, an I/O error); then the rows since the last
  // commit are gone too, and going on would hide that.
  bool RowFailed() const { return Db_.InTransaction(); }
  // How many rows may still go into the open batch at once.
  int Room(int most) const {
    if (Outer_ || !Db_.InTransaction()) return most;
    return std::max(1, std::min(most, Options_.CommitRows - Rows_));
  }
  void CommitIfDue(int rows = 1) {
    if (Outer_ || !Db_.InTransaction()) return;
    if ((Rows_ += rows) < Options_.CommitRows &&
        std::chrono::steady_clock::now() - Started_ < std::chrono::milliseconds(Options_.CommitMs))
      return;
    Db_.Commit();
    // Other connections poll for the locks a batch holds; a short pause
    // lets the ones waiting in, instead of the next batch taking the locks
    // again at once.
    if (Options_.YieldMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Options_.YieldMs));
  }
  void Finish() {
    if (!Outer_ && Db_.InTransaction()) Db_.Commit();
  }

 private:
  TDbDatabase& Db_;
  TMergeOptions Options_;
  std::chrono::steady_clock::time_point Started_;
  int Rows_ = 0;
  bool Outer_;
};

// Opens a table for a kind unless the caller keeps it open, and closes only
// what it opened.
class TKindTable {
 public:
  explicit TKindTable(TDbTable& table) : Table_(table), Opened_(!table.Active()) {
    if (Opened_) table.Open();
  }
  ~TKindTable() {
    if (Opened_) Table_.Close();
  }
  TKindTable(const TKindTable&) = delete;
  TKindTable& operator=(const TKindTable&) = delete;

 private:
  TDbTable& Table_;
  bool Opened_;
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
  // A line for the run log after the kind's rows, or "".
  virtual std::string Summary() const { return ""; }
  // Handles the current source row and up to max - 1 after it at once, as
  // Handle() would one by one without an error, and moves the source past
  // them. Returns how many; -n when the next n rows have to go one by one
  // (then it is asked again after them); 0 when every row has to (then it is
  // not asked again for this kind).
  virtual int HandleMany(int /*max*/) { return 0; }
};

using THandlerFactory = std::function<std::unique_ptr<TRowHandler>()>;

// Rows handled at once where a kind can: a few milliseconds of work, so the
// window and the batch's commit by time come round as often as before.
constexpr int kManyRows = 1000;

// A failure of the storage under a row, not of the row's values.
bool StorageFailure(const std::exception& e) {
  auto* db = dynamic_cast<const EDatabaseError*>(&e);
  return db && (db->ErrorCode() == dbeStorage || db->ErrorCode() == dbeTableLocked);
}

[[noreturn]] void RaiseFor(const TDbTable& table, const TDbTable& dest, const std::exception& e) {
  if (dynamic_cast<const EMergeError*>(&e)) throw;
  auto* db = dynamic_cast<const EDatabaseError*>(&e);
  throw EMergeError(table.TableName(), &table.Database() != &dest.Database(), db ? db->ErrorCode() : dbeIo,
                    ErrorText(e));
}

void RunKindBody(TDbTable& source, TDbTable& dest, const std::string& label, TRunReport& report,
                 const TMergeOptions& options, const THandlerFactory& makeHandler);

// Opens openFirst then openSecond and closes them in reverse on every path.
// Errors leave as EMergeError naming the table they concern.
void RunKind(TDbTable& openFirst, TDbTable& openSecond, TDbTable& source, TDbTable& dest, const std::string& label,
             TRunReport& report, const TMergeOptions& options, const THandlerFactory& makeHandler) {
  std::optional<TKindTable> first, second;
  try {
    first.emplace(openFirst);
  } catch (const std::exception& e) {
    RaiseFor(openFirst, dest, e);
  }
  try {
    second.emplace(openSecond);
  } catch (const std::exception& e) {
    RaiseFor(openSecond, dest, e);
  }
  try {
    RunKindBody(source, dest, label, report, options, makeHandler);
  } catch (const std::exception& e) {
    RaiseFor(dest, dest, e);
  }
}

void RunKindBody(TDbTable& source, TDbTable& dest, const std::string& label, TRunReport& report,
                 const TMergeOptions& options, const THandlerFactory& makeHandler) {

  const int total = source.RecordCount();
  report.Log(label + IntToStr(total) + " kpl...");
  report.SetMeter(0);
  std::unique_ptr<TRowHandler> handler = makeHandler();

  TRowBatch batch(dest.Database(), options);
  long long done = 0;
  bool many = true;
  int alone = 0;  // rows to go one by one before many are tried again
  for (source.First(); !source.Eof();) {
    batch.BeginRow();
    int rows = 0;
    if (many && alone == 0) {
      try {
        rows = handler->HandleMany(batch.Room(kManyRows));
      } catch (const std::exception& e) {
        // Nothing of the failed rows stays; one by one, the row at fault is
        // logged with its key as always.
        if (!batch.RowFailed() || StorageFailure(e)) throw;
      }
      if (rows == 0) many = false;
      if (rows < 0) {
        alone = -rows;
        rows = 0;
      }
    }
    if (alone > 0) --alone;
    if (rows > 0) {
      for (int i = 0; i < rows; ++i) {
        report.SetMeter(MergePercent(++done, total));
        if (i + 1 < rows) report.ProcessMessages();
      }
      batch.CommitIfDue(rows);
      report.ProcessMessages();
      continue;
    }
    try {
      handler->Handle();
    } catch (const std::exception& e) {
      // The failed row's pending insert or edit goes with it; left pending,
      // the next row's move would post it again and repeat the error under
      // that row's key.
      dest.Cancel();
      if (!batch.RowFailed() || StorageFailure(e)) throw;
      report.Log("Virhe : " + ErrorText(e) + " (" + handler->ErrorKey() + ")");
    }
    ++done;
    report.SetMeter(MergePercent(done, total));
    // A due batch is committed before the window runs, so whatever the user
    // starts meanwhile meets no open transaction at those rows.
    batch.CommitIfDue();
    report.ProcessMessages();
    source.Next();
  }
  batch.Finish();
  if (const std::string summary = handler->Summary(); !summary.empty()) report.Log(summary);
}

// ---- UpdData ----

// Every statistics row is a new event, except one that TILASTO already
// holds. A package merged at the head office but never confirmed to its
// site comes back with the next send, and a site merges its unconfirmed rows
// on every receive; appending them each time counted the same visits twice. Two rows are one event when every copied field reads
// the same as text, which is how far anyone can tell them apart: times to
// the second, and an empty text the same as none.
class TAppendStatistics : public TRowHandler {
 public:
  TAppendStatistics(TDbTable& exchange, TDbTable& main, bool setBased)
      : Exchange_(exchange),
        Main_(main),
        Copy_(ByName(exchange, main,
                     {"TapPvm", "TapAika", "TapPaikka", "TapKortti", "TapAsiNro", "TapYriNro", "TapTyyppi", "TapNode",
                      "TapLaskuPvm", "TapLaskuAika", "TapVara", "TapAsiSum", "TapYriSum"})),
        TapPvm_(Ref(exchange, "TapPvm")),
        TapAika_(Ref(exchange, "TapAika")),
        ExchangeTexts_(Copy_.size()),
        HaveText_(Copy_.size(), 0) {
    // The lookup runs only where every field is there and the main table's
    // key fields are dates and times as the index orders them; otherwise the
    // copy below reports what is wrong, as it always has.
    Lookup_ = std::all_of(Copy_.begin(), Copy_.end(), [](const TCopyPair& p) { return p.From.Field && p.To.Field; });
    if (Lookup_) {
      MainPvm_ = Copy_[0].To.Field;
      MainAika_ = Copy_[1].To.Field;
      Lookup_ = SameText(Main_.IndexFieldNames(), "TapPvm;TapAika") && IsDateKind(MainPvm_->DataType()) &&
                IsDateKind(MainAika_->DataType());
      if (setBased) {
        TDbTable::TMergeRule rule;
        for (const TCopyPair& p : Copy_) rule.Copy.push_back({p.From.Field->Index(), p.To.Field->Index()});
        if (Lookup_) {
          rule.HeldDate = Copy_[0].From.Field->Index();
          rule.HeldTime = Copy_[1].From.Field->Index();
        }
        SetBased_ = Main_.PrepareMergeFrom(exchange, rule);
      }
    }
  }
  // The visits of a package in a few statements: new ones added, ones
  // TILASTO holds with the same stored values kept out; a row that may read
  // the same as one it holds goes one by one, through the check below.
  int HandleMany(int max) override {
    if (!SetBased_) return 0;
    const int n = Main_.MergeRowsFrom(Exchange_, max, Kept_);
    Skipped_ += static_cast<long long>(Kept_.size());
    for (int i = 0; i < n; ++i) Exchange_.Next();
    return n;
  }
  void Handle() override {
    if (Lookup_ && AlreadyHeld()) {
      ++Skipped_;
      return;
    }
    Main_.Append();
    CopyFields(Copy_);
    Main_.Post();
  }
  std::string ErrorKey() const override { return StatisticsKey(TapPvm_, TapAika_); }
  std::string Summary() const override {
    return Skipped_ == 0 ? "" : "Tilasto-tiedot: " + IntToStr(Skipped_) + " kpl oli jo kannassa, ei lisätty uudelleen";
  }

 private:
  static bool IsDateKind(TFieldType t) {
    return t == TFieldType::ftDate || t == TFieldType::ftTime || t == TFieldType::ftDateTime;
  }
  // The number a field of this type keeps of a date-time, as the copy would
  // store it.
  static TDateTime AsStored(TFieldType t, TDateTime v) {
    return t == TFieldType::ftDate ? DateOf(v) : t == TFieldType::ftTime ? TimeOf(v) : v;
  }

  // Whether TILASTO has a row that this exchange row would only repeat. The
  // candidates are the rows of the same date within the same second, found
  // through TILASTO's index on TapPvm, TapAika.
  bool AlreadyHeld() {
    TValue pvm, aika;
    try {
      pvm = Copy_[0].From.Field->Value();
      aika = Copy_[1].From.Field->Value();
    } catch (const EDatabaseError&) {
      return false;  // not a date or time: the copy fails on it
    }
    Key_.resize(1);
    if (pvm.IsNull())
      Key_[0].SetNull();
    else
      Key_[0].SetReal(AsStored(MainPvm_->DataType(), pvm.Number()));
    TValue lo, hi;
    if (!aika.IsNull()) {
      // The second the time shows (read as whole milliseconds), widened by a
      // millisecond each way; the texts decide.
      const TDateTime t = AsStored(MainAika_->DataType(), aika.Number());
      const double ms = std::floor(std::round(t * kMsPerDay) / 1000) * 1000;
      lo.SetReal((ms - 1) / kMsPerDay);
      hi.SetReal((ms + 1000) / kMsPerDay);
    }
    ++Row_;
    for (bool found = Main_.FindRange(Key_, lo, hi); found && !Main_.Eof(); Main_.Next())
      if (SameShown()) return true;
    return false;
  }

  bool SameShown() {
    for (size_t i = 0; i < Copy_.size(); ++i) {
      const TDbField& from = *Copy_[i].From.Field;
      const TDbField& to = *Copy_[i].To.Field;
      // Equal values of one type read alike, so most fields need no text.
      if (from.DataType() == to.DataType() && SameValue(from, to)) continue;
      try {
        if (HaveText_[i] != Row_) {
          ExchangeTexts_[i] = from.AsString();
          HaveText_[i] = Row_;
        }
        if (to.AsString() != ExchangeTexts_[i]) return false;
      } catch (const EDatabaseError&) {
        return false;  // a value that has no text form is never taken as the same
      }
    }
    return true;
  }

  // The same stored value; a real to the bit, as its text shows -0 apart from 0.
  static bool SameValue(const TDbField& a, const TDbField& b) {
    try {
      const TValue x = a.Value(), y = b.Value();
      if (x.Kind() != y.Kind()) return false;
      if (x.Kind() != TValue::vkReal && x.Kind() != TValue::vkDateTime) return x == y;
      const double p = x.RealValue(), q = y.RealValue();
      return std::memcmp(&p, &q, sizeof p) == 0;
    } catch (const EDatabaseError&) {
      return false;
    }
  }

  static constexpr double kMsPerDay = 86400000.0;
  TDbTable& Exchange_;
  TDbTable& Main_;
  bool SetBased_ = false;
  std::vector<int> Kept_;
  std::vector<TCopyPair> Copy_;
  TFieldRef TapPvm_, TapAika_;
  bool Lookup_ = false;
  TDbField* MainPvm_ = nullptr;
  TDbField* MainAika_ = nullptr;
  std::vector<TValue> Key_;  // kept from row to row
  // Texts of the exchange row's fields, each made when first needed.
  std::vector<std::string> ExchangeTexts_;
  std::vector<long long> HaveText_;  // the row each text is of
  long long Row_ = 0;
  long long Skipped_ = 0;
};

enum class TKeyedKind { Card, CardPlace, Customer };

// Rules K, P and A: insert a new key; overwrite an existing main row only
// with a strictly later stamp.
class TMergeKeyed : public TRowHandler {
 public:
  TMergeKeyed(TKeyedKind kind, TDbTable& exchange, TDbTable& main, TRunReport& report, bool setBased)
      : Kind_(kind), Exchange_(exchange), Main_(main), Report_(report) {
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
    if (setBased) SetBased_ = PrepareSetBased();
  }

  // The rows of a package in a few statements, as Handle() would do them;
  // the log gets its lines for the rows kept out, in their order.
  int HandleMany(int max) override {
    if (!SetBased_) return 0;
    const int n = Main_.MergeRowsFrom(Exchange_, max, Kept_);
    size_t next = 0;
    for (int i = 0; i < n; ++i) {
      if (next < Kept_.size() && Kept_[next] == i) {
        Report_.Log(LaterLine(Key1_.Get().AsString()));
        ++next;
      }
      Exchange_.Next();
    }
    return n;
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

  bool PrepareSetBased() {
    TDbTable::TMergeRule rule;
    for (const TCopyPair& p : Copy_) {
      if (!p.From.Field || !p.To.Field) return false;
      rule.Copy.push_back({p.From.Field->Index(), p.To.Field->Index()});
    }
    if (!Key1_.Field || !RowStamp_.Field || !MainStamp_.Field) return false;
    rule.SourceKey.push_back(Key1_.Field->Index());
    if (Kind_ == TKeyedKind::CardPlace) {
      if (!Second_.Field || !MainTime_.Field) return false;
      rule.SourceKey.push_back(Second_.Field->Index());
      rule.StampTime = MainTime_.Field->Index();
    }
    rule.SourceStamp = RowStamp_.Field->Index();
    rule.Stamp = MainStamp_.Field->Index();
    return Main_.PrepareMergeFrom(Exchange_, rule);
  }

  TKeyedKind Kind_;
  TDbTable& Exchange_;
  TDbTable& Main_;
  TRunReport& Report_;
  bool SetBased_ = false;
  std::vector<int> Kept_;
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
    // A site's package has a few hundred rows a kind: for those, attaching
    // its file costs more than copying in bulk saves.
    if (source.RecordCount() >= kManyRows) dest.PrepareAppendFrom(source);
  }

  // Most packages hold only values that copy unchanged; those rows are
  // copied in SQL, a thousand at a time, which is several times faster
  // than row by row and stores exactly the same. Not prepared (a small
  // kind, other field types), the copy takes none.
  int HandleMany(int max) override { return Dest_.AppendRowsFrom(Source_, max); }

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
            [&] { return std::make_unique<TAppendStatistics>(ex, main, options.SetBased); });
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
            [&] { return std::make_unique<TMergeKeyed>(r.Kind, r.Exchange, r.Main, report, options.SetBasedKeyed); });
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
