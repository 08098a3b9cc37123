// MergeRowsFrom: a merge of many rows in a few statements.
//
// The rows are sorted out first, up to a window of them at a time, into a
// temporary table: for each, whether SQL can do exactly what the row-by-row
// merge would (its values are stored unchanged by the copy, its key is
// plain, its stamps are numbers, no earlier row of the window can change
// what it finds), and if so what it does (add, overwrite, keep out). Runs of
// such rows are then written with one insert and one update; the rows in
// between go one by one through the caller. A row's decision depends only on
// the rows of this table with its own key (or, not keyed, on the rows near
// its own date and time), and the earlier rows of the window that could
// touch those are exactly the ones that make it go one by one, so a
// decision made for the window holds however its rows are written.
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "db/DbDatabase.h"
#include "db/DbError.h"
#include "db/DbTableInternal.h"
#include "db/Sqlite.h"

namespace trelvo {

using namespace dbtable;

struct TMergeState {
  const TDbTable* Source = nullptr;
  std::string SourceSchema;
  TDbTable::TMergeRule Rule;
  bool Keyed = false;
  std::string Temp;  // the temporary table of the window
  bool Broken = false;  // a statement could not be made: the rest goes one by one
  std::map<unsigned, TStatement> Classify;  // by null pattern of the source's key values
  TStatement Clear, Held, ReadBack, Insert, Update, Savepoint, Release, RollbackTo;
  struct TRowClass {
    std::int64_t SourceRow;
    bool Ok;
    int Act;  // 0 kept out, 1 added, 2 overwritten
  };
  std::vector<TRowClass> Window;
  size_t Next = 0;
};

namespace {

constexpr const char* kNumberLimit = "9007199254740991";

// A value AsDateTime reads as the number it stores (or 0 for null), which a
// double holds exactly, so SQL compares it as the row merge does.
std::string Numeric(const std::string& c) {
  return "(typeof(" + c + ") IN ('null', 'real') OR (typeof(" + c + ") = 'integer' AND " + c + " BETWEEN -" +
         kNumberLimit + " AND " + kNumberLimit + "))";
}

// Two fields whose texts surely differ: a text against a text (a null reads
// as ""), an integer against an integer or a null. Anything else may read
// the same.
std::string Differs(const std::string& a, const std::string& b, TFieldType type) {
  if (type == TFieldType::ftString)
    return "(typeof(" + a + ") IN ('text', 'null') AND typeof(" + b + ") IN ('text', 'null') AND coalesce(" + a +
           ", '') <> coalesce(" + b + ", ''))";
  if (type == TFieldType::ftInteger)
    return "(typeof(" + a + ") IN ('integer', 'null') AND typeof(" + b + ") IN ('integer', 'null') AND " + a +
           " IS NOT " + b + ")";
  return "";
}

bool SameRule(const TDbTable::TMergeRule& a, const TDbTable::TMergeRule& b) {
  return a.Copy == b.Copy && a.SourceKey == b.SourceKey && a.SourceStamp == b.SourceStamp && a.Stamp == b.Stamp &&
         a.StampTime == b.StampTime && a.HeldDate == b.HeldDate && a.HeldTime == b.HeldTime;
}

}  // namespace

bool TDbTable::PrepareMergeFrom(TDbTable& source, const TMergeRule& rule) {
  CheckActive();
  source.CheckActive();
  // A head office keeps its tables open from package to package: the
  // statements stay, only the rows looked at are forgotten (the next
  // package's rows may have the same rowids).
  if (TMergeState* m = Impl_->Merge.get();
      m && !m->Broken && m->Source == &source && m->SourceSchema == source.Schema_ && SameRule(m->Rule, rule)) {
    m->Window.clear();
    m->Next = 0;
    return true;
  }
  Impl_->Merge.reset();
  if (&source.Database() != Database_ || &source == this || rule.Copy.empty()) return false;
  auto valid = [](const TDbTable& t, int i) { return i >= 0 && i < t.FieldCount(); };
  std::vector<int> destOf(source.FieldCount(), -1);
  for (const auto& [from, to] : rule.Copy) {
    if (!valid(source, from) || !valid(*this, to)) return false;
    if (!SameText(Trim(Impl_->Decls[to]), Trim(source.Impl_->Decls[from])) ||
        ChangedByCopy("c", source.Fields_[from].DataType(), AffinityOf(source.Impl_->Decls[from])).empty())
      return false;
    destOf[from] = to;
  }
  const bool keyed = !rule.SourceKey.empty();
  if (keyed) {
    if (rule.SourceKey.size() != KeyFields_.size() || !valid(source, rule.SourceStamp) || !valid(*this, rule.Stamp) ||
        (rule.StampTime != -1 && !valid(*this, rule.StampTime)))
      return false;
    for (size_t i = 0; i < rule.SourceKey.size(); ++i) {
      const int k = rule.SourceKey[i];
      if (!valid(source, k) || destOf[k] != KeyFields_[i] || Fields_[KeyFields_[i]].DataType() != TFieldType::ftString)
        return false;
    }
  } else if (rule.HeldDate != -1 || rule.HeldTime != -1) {
    if (!valid(source, rule.HeldDate) || !valid(source, rule.HeldTime) || destOf[rule.HeldDate] < 0 ||
        destOf[rule.HeldTime] < 0)
      return false;
  }
  auto state = std::make_shared<TMergeState>();
  state->Source = &source;
  state->SourceSchema = source.Schema_;
  state->Rule = rule;
  state->Keyed = keyed;
  state->Temp = "temp.trelvo_merge_" + Schema_;
  Impl_->Merge = std::move(state);
  return true;
}

int TDbTable::MergeRowsFrom(TDbTable& source, int maxRows, std::vector<int>& keptOut) {
  CheckActive();
  source.CheckActive();
  keptOut.clear();
  TMergeState* m = Impl_->Merge.get();
  if (!m || m->Broken || m->Source != &source || m->SourceSchema != source.Schema_ || maxRows <= 0 ||
      !source.HasCur_ || source.Eof_ || source.State_ != TDataSetState::dsBrowse)
    return 0;
  PostPending();
  sqlite3* db = Database_->Connection().Handle();
  const TMergeRule& rule = m->Rule;
  const std::string from = source.Quoted();
  auto x = [&](int i) { return "x." + QuoteName(source.Fields_[i].FieldName()); };
  auto col = [&](const std::string& table, int i) { return table + "." + QuoteName(Fields_[i].FieldName()); };

  if (m->Next >= m->Window.size() || m->Window[m->Next].SourceRow != source.Cur_.RowId) {
    // A new window from the current row.
    const size_t keys = source.KeyFields_.size();
    unsigned nulls = 0;
    for (size_t i = 0; i < keys; ++i)
      if (source.Cur_.Values[source.KeyFields_[i]].IsNull()) nulls |= 1u << i;
    TStatement* classify = nullptr;
    try {
      // Made again at every window: a rollback of the caller's savepoint
      // also takes back a temporary table made inside it (the statements
      // below prepare themselves again).
      Database_->Connection().Exec("CREATE TEMP TABLE IF NOT EXISTS " + m->Temp.substr(5) +
                                       " (pos INTEGER PRIMARY KEY, xrow INTEGER, mrow INTEGER, ok INTEGER, act INTEGER, d, t)",
                                   StepContext_);
      Database_->Connection().Exec("CREATE INDEX IF NOT EXISTS " + m->Temp + "_dt ON " + m->Temp.substr(5) + " (d, t)",
                                   StepContext_);
      if (!m->Clear) {
        m->Clear = TStatement(db, "DELETE FROM " + m->Temp);
        m->ReadBack = TStatement(db, "SELECT xrow, ok, act FROM " + m->Temp + " ORDER BY pos");
      }
      TStatement& st = m->Classify[nulls];
      if (!st) {
        std::string changed, order, wcols;
        for (const auto& [s, d] : rule.Copy) {
          (void)d;
          changed += (changed.empty() ? "(" : " OR (") +
                     ChangedByCopy(x(s), source.Fields_[s].DataType(), AffinityOf(source.Impl_->Decls[s])) + ")";
        }
        for (int k : source.KeyFields_) order += x(k) + ", ";
        order += "x.rowid";
        std::string wOrder;
        for (size_t i = 0; i < keys; ++i) {
          wcols += ", " + x(source.KeyFields_[i]) + " AS _o" + IntToStr(static_cast<long long>(i));
          wOrder += "_o" + IntToStr(static_cast<long long>(i)) + ", ";
        }
        wOrder += "_xrow";
        std::string plain = "CASE WHEN " + changed + " THEN 0";
        // The copied fields a held row is compared by, for the statistics.
        auto differs = [&](const std::string& a, const std::string& b) {
          std::string any;
          for (const auto& [s, d] : rule.Copy) {
            const std::string term = Differs(a == "w" ? "w._f" + IntToStr(s) : a + "." + QuoteName(source.Fields_[s].FieldName()),
                                             b + "." + QuoteName((b == "m" ? Fields_[d] : source.Fields_[s]).FieldName()),
                                             source.Fields_[s].DataType());
            if (!term.empty()) any += (any.empty() ? "" : " OR ") + term;
          }
          return any.empty() ? std::string("0") : any;
        };
        std::string sql;
        if (m->Keyed) {
          std::string keyEmpty, part, match;
          for (size_t i = 0; i < rule.SourceKey.size(); ++i) {
            const std::string k = x(rule.SourceKey[i]);
            const std::string alias = "_k" + IntToStr(static_cast<long long>(i));
            wcols += ", " + k + " AS " + alias;
            keyEmpty += (i ? " OR " : "") + ("coalesce(" + k + ", '') = '' OR typeof(" + k + ") <> 'text'");
            part += (i ? ", " : "") + ("CAST(" + alias + " AS TEXT)");
            match += (i ? " AND " : "") + (QuoteName(Fields_[KeyFields_[i]].FieldName()) + " = p." + alias);
          }
          plain += " WHEN " + keyEmpty + " THEN 0";
          plain += " WHEN NOT " + Numeric(x(rule.SourceStamp)) + " THEN 0 ELSE 1 END";
          wcols += ", coalesce(" + x(rule.SourceStamp) + ", 0) AS _xs";
          const std::string stamp = "coalesce(" + col("m", rule.Stamp) + ", 0)";
          std::string destStamp = stamp;
          std::string stampsNumeric = Numeric(col("m", rule.Stamp));
          if (rule.StampTime != -1) {
            destStamp = "CASE WHEN " + stamp + " <> 0 AND " + col("m", rule.StampTime) + " IS NOT NULL THEN " + stamp +
                        " + " + col("m", rule.StampTime) + " ELSE " + stamp + " END";
            stampsNumeric += " AND " + Numeric(col("m", rule.StampTime));
          }
          // The main row is looked up once, in the join: a column made by a
          // subquery would be looked up again wherever it is used.
          sql = "INSERT INTO " + m->Temp + " (pos, xrow, mrow, ok, act) SELECT p._pos, p._xrow, m.rowid, CASE WHEN p._ok0 = 0 OR p._dup > 1 THEN 0 WHEN m.rowid IS NULL THEN 1 WHEN " +
                stampsNumeric + " THEN 1 ELSE 0 END, CASE WHEN m.rowid IS NULL THEN 1 WHEN " + destStamp +
                " >= p._xs THEN 0 ELSE 2 END FROM (SELECT w.*, row_number() OVER (ORDER BY " + wOrder +
                ") AS _pos, row_number() OVER (PARTITION BY " + part + " ORDER BY " + wOrder +
                ") AS _dup FROM (SELECT x.rowid AS _xrow, " + plain + " AS _ok0" + wcols + " FROM " + from +
                " AS x WHERE " + AfterCondition(source.Impl_->KeyColumns, nulls, true) + " ORDER BY " + order +
                " LIMIT ?" + IntToStr(static_cast<long long>(keys) + 2) + ") AS w) AS p LEFT JOIN " + Quoted() +
                " AS m ON m.rowid = (SELECT rowid FROM " + Quoted() + " WHERE " + match + " ORDER BY rowid LIMIT 1)";
        } else {
          if (rule.HeldDate != -1) {
            plain += " WHEN " + x(rule.HeldDate) + " IS NULL OR " + x(rule.HeldTime) + " IS NULL THEN 0";
            wcols += ", " + x(rule.HeldDate) + " AS _d, " + x(rule.HeldTime) + " AS _t";
            for (const auto& [s, d] : rule.Copy) {
              (void)d;
              wcols += ", " + x(s) + " AS _f" + IntToStr(s);
            }
          } else {
            wcols += ", NULL AS _d, NULL AS _t";
          }
          plain += " ELSE 1 END";
          std::string held = "0", maybe = "0";
          if (rule.HeldDate != -1) {
            int date = -1, time = -1;
            for (const auto& [s, d] : rule.Copy) {
              if (s == rule.HeldDate) date = d;
              if (s == rule.HeldTime) time = d;
            }
            const std::string near = "SELECT 1 FROM " + Quoted() + " AS m WHERE " + col("m", date) + " = w._d AND " +
                                     col("m", time) + " BETWEEN w._t - 2.0 / 86400 AND w._t + 2.0 / 86400 AND ";
            // Held for sure: a row of the same stored values, which reads the
            // same in every field. Perhaps held: one of values that may read
            // the same; the row then goes one by one.
            std::string same;
            for (const auto& [s, d] : rule.Copy)
              same += (same.empty() ? "" : " AND ") + ("w._f" + IntToStr(s) + " IS " + col("m", d));
            same = "CASE WHEN w._ok0 = 0 THEN 0 ELSE EXISTS (" + near + same + ") END";
            maybe = "CASE WHEN w._ok0 = 0 THEN 0 ELSE EXISTS (" + near + "NOT (" + differs("w", "m") + ")) END";
            held = same;
            // An earlier row of the window near the same time, added meanwhile,
            // may be the row a later one repeats.
            m->Held = TStatement(db, "UPDATE " + m->Temp + " AS t SET ok = 0 WHERE ok = 1 AND EXISTS (SELECT 1 FROM " +
                                         m->Temp + " AS t2 JOIN " + from + " AS x2 ON x2.rowid = t2.xrow JOIN " + from +
                                         " AS x1 ON x1.rowid = t.xrow WHERE t2.d = t.d AND t2.t BETWEEN t.t - 2.0 / 86400 "
                                         "AND t.t + 2.0 / 86400 AND t2.pos < t.pos AND NOT (" +
                                         differs("x1", "x2") + "))");
          }
          // The window function keeps s apart, so each row's lookups run once.
          sql = "INSERT INTO " + m->Temp + " (pos, xrow, mrow, ok, act, d, t) SELECT s._pos, s._xrow, NULL, CASE WHEN "
                "s._ok0 = 0 THEN 0 WHEN s._same THEN 1 WHEN s._maybe THEN 0 ELSE 1 END, CASE WHEN s._same THEN 0 ELSE "
                "1 END, s._d, s._t FROM (SELECT w._xrow, w._ok0, w._d, w._t, row_number() OVER (ORDER BY " +
                wOrder + ") AS _pos, " + held + " AS _same, " + maybe + " AS _maybe FROM (SELECT x.rowid AS _xrow, " +
                plain + " AS _ok0" + wcols + " FROM " + from + " AS x WHERE " +
                AfterCondition(source.Impl_->KeyColumns, nulls, true) + " ORDER BY " + order + " LIMIT ?" +
                IntToStr(static_cast<long long>(keys) + 2) + ") AS w) AS s";
        }
        st = TStatement(db, sql);
      }
      classify = &st;
    } catch (const EDatabaseError& e) {
      if (e.ErrorCode() == dbeStorage || e.ErrorCode() == dbeTableLocked) throw;
      m->Broken = true;
      return 0;
    }
    m->Clear.Step(StepContext_, ": merge");
    m->Clear.Rewind();
    for (size_t i = 0; i < keys; ++i) Bind(classify->Get(), static_cast<int>(i) + 1, source.Cur_.Values[source.KeyFields_[i]]);
    sqlite3_bind_int64(classify->Get(), static_cast<int>(keys) + 1, source.Cur_.RowId);
    sqlite3_bind_int(classify->Get(), static_cast<int>(keys) + 2, maxRows);
    classify->Step(StepContext_, ": merge");
    classify->Rewind();
    if (m->Held) {
      m->Held.Step(StepContext_, ": merge");
      m->Held.Rewind();
    }
    m->Window.clear();
    m->Next = 0;
    while (m->ReadBack.Step(StepContext_, ": merge") == SQLITE_ROW)
      m->Window.push_back({sqlite3_column_int64(m->ReadBack.Get(), 0), sqlite3_column_int(m->ReadBack.Get(), 1) != 0,
                           sqlite3_column_int(m->ReadBack.Get(), 2)});
    m->ReadBack.Rewind();
    if (m->Window.empty() || m->Window[0].SourceRow != source.Cur_.RowId) {
      m->Window.clear();
      return 0;
    }
  }

  // The run of rows alike from the current one.
  const size_t first = m->Next;
  const bool ok = m->Window[first].Ok;
  size_t end = first + 1;
  while (end < m->Window.size() && m->Window[end].Ok == ok && end - first < static_cast<size_t>(maxRows)) ++end;
  const int count = static_cast<int>(end - first);
  if (!ok) {
    m->Next = end;
    return -count;
  }

  if (!m->Insert) {
    std::string cols, values, sets;
    for (int i = 0; i < FieldCount(); ++i) {
      std::string value = "NULL";
      for (const auto& [s, d] : rule.Copy)
        if (d == i) value = x(s);
      cols += (i ? ", " : "") + QuoteName(Fields_[i].FieldName());
      values += (i ? ", " : "") + value;
      if (value != "NULL") sets += (sets.empty() ? "" : ", ") + QuoteName(Fields_[i].FieldName()) + " = " + value;
    }
    m->Insert = TStatement(db, "INSERT INTO " + Quoted() + " (" + cols + ") SELECT " + values + " FROM " + m->Temp +
                                   " AS t JOIN " + from + " AS x ON x.rowid = t.xrow WHERE t.pos BETWEEN ?1 AND ?2 AND "
                                   "t.act = 1 ORDER BY t.pos");
    if (m->Keyed)
      m->Update = TStatement(db, "UPDATE " + Quoted() + " AS m SET " + sets + " FROM " + m->Temp + " AS t JOIN " + from +
                                     " AS x ON x.rowid = t.xrow WHERE m.rowid = t.mrow AND t.act = 2 AND t.pos BETWEEN "
                                     "?1 AND ?2");
    m->Savepoint = TStatement(db, "SAVEPOINT trelvo_merge_rows");
    m->Release = TStatement(db, "RELEASE trelvo_merge_rows");
    m->RollbackTo = TStatement(db, "ROLLBACK TO trelvo_merge_rows");
  }
  bool inserts = false, updates = false;
  for (size_t i = first; i < end; ++i) {
    inserts |= m->Window[i].Act == 1;
    updates |= m->Window[i].Act == 2;
    if (m->Window[i].Act == 0) keptOut.push_back(static_cast<int>(i - first));
  }
  // SQLite undoes a failed statement, not the insert before the update.
  m->Savepoint.Step(StepContext_, ": merge");
  m->Savepoint.Rewind();
  try {
    for (TStatement* st : {inserts ? &m->Insert : nullptr, updates ? &m->Update : nullptr}) {
      if (!st) continue;
      sqlite3_bind_int64(st->Get(), 1, static_cast<std::int64_t>(first) + 1);
      sqlite3_bind_int64(st->Get(), 2, static_cast<std::int64_t>(end));
      st->Step(StepContext_, ": post");
      st->Rewind();
    }
  } catch (const EDatabaseError& e) {
    keptOut.clear();
    const bool storage = e.ErrorCode() == dbeStorage || e.ErrorCode() == dbeTableLocked;
    if (Database_->InTransaction() || storage) {
      try {
        m->RollbackTo.Step(StepContext_, ": merge");
        m->RollbackTo.Rewind();
        m->Release.Step(StepContext_, ": merge");
        m->Release.Rewind();
      } catch (const EDatabaseError&) {
        if (!storage) throw;
      }
    }
    if (storage) throw;
    // The values of some row: one by one, each row's error is its own.
    m->Next = end;
    return -count;
  }
  m->Release.Step(StepContext_, ": merge");
  m->Release.Rewind();
  m->Next = end;
  HasCur_ = false;
  Eof_ = true;
  ForgetBatch();
  return count;
}

}  // namespace trelvo
