#include "db/DbTable.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>

#include "common/Errors.h"
#include "common/Text.h"
#include "db/DbDatabase.h"
#include "db/DbError.h"
#include "db/DbSchema.h"
#include "db/DbTableInternal.h"
#include "db/Sqlite.h"

namespace trelvo {

namespace dbtable {

// Rows read ahead per query: enough to make the lookup of the next batch
// negligible, small enough to keep memory flat.
constexpr int kBatchRows = 256;
constexpr int kCachePerTableKiB = 6144;


std::string FileUri(const std::string& path, const char* mode = "rw") {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      static const char* hex = "0123456789ABCDEF";
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  // Without create: a file that vanished must not come back empty.
  return uri + "?mode=" + mode;
}

void ReadColumn(sqlite3_stmt* st, int i, TValue& into) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER: into.SetInteger(sqlite3_column_int64(st, i)); break;
    case SQLITE_FLOAT: into.SetReal(sqlite3_column_double(st, i)); break;
    case SQLITE_NULL: into.SetNull(); break;
    default: {
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      into.SetText(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(st, i)));
      break;
    }
  }
}

void Bind(sqlite3_stmt* st, int param, const TValue& v) {
  switch (v.Kind()) {
    case TValue::vkNull: sqlite3_bind_null(st, param); break;
    case TValue::vkInteger:
    case TValue::vkBoolean: sqlite3_bind_int64(st, param, v.IntegerValue()); break;
    case TValue::vkReal:
    case TValue::vkDateTime: sqlite3_bind_double(st, param, v.RealValue()); break;
    case TValue::vkText:
      // Every caller keeps the value alive until the statement is reset, so
      // SQLite need not copy it (a merge binds every field of every row).
      sqlite3_bind_text(st, param, v.TextValue().data(), static_cast<int>(v.TextValue().size()), SQLITE_STATIC);
      break;
  }
}

std::string FormatReal(double d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

bool ParseInteger(const std::string& text, std::int64_t& out) {
  std::string t = Trim(text);
  const char* b = t.data();
  if (!t.empty() && t[0] == '+') ++b;
  auto r = std::from_chars(b, t.data() + t.size(), out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && !t.empty();
}

bool ParseReal(const std::string& text, double& out) {
  std::string t = Trim(text);
  const char* b = t.data();
  if (!t.empty() && t[0] == '+') ++b;
  auto r = std::from_chars(b, t.data() + t.size(), out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && !t.empty();
}

// Field lookups run several times per row in a merge; no copies here.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Whether a stored value is the same as another, bit for bit: a real of -0.0
// is a change from 0.0.
bool SameStored(const TValue& a, const TValue& b) {
  if (a.Kind() != b.Kind()) return false;
  switch (a.Kind()) {
    case TValue::vkNull: return true;
    case TValue::vkInteger:
    case TValue::vkBoolean: return a.IntegerValue() == b.IntegerValue();
    case TValue::vkReal:
    case TValue::vkDateTime: {
      const double x = a.RealValue(), y = b.RealValue();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case TValue::vkText: return a.TextValue() == b.TextValue();
  }
  return false;
}

// Distinct sets of changed fields whose update statements are kept per
// table; further sets use the update of every field.
constexpr size_t kMaxUpdateStatements = 16;

bool IsDateKind(TFieldType t) {
  return t == TFieldType::ftDate || t == TFieldType::ftTime || t == TFieldType::ftDateTime;
}

// "At or after" / "after" a row in index order, for the key columns given and
// the rowid, with ?1.. for the key values and the next parameter for the
// rowid. NULL sorts first but compares as unknown, so key values that are
// null (bits of nulls) need their own condition; without them the row-value
// form lets the index range-scan.
std::string AfterCondition(const std::vector<std::string>& keyColumns, unsigned nulls, bool inclusive) {
  const std::string rowidParam = "?" + IntToStr(static_cast<long long>(keyColumns.size()) + 1);
  const std::string op = inclusive ? " >= " : " > ";
  if (nulls == 0) {
    std::string lhs = "(", rhs = "(";
    for (size_t i = 0; i < keyColumns.size(); ++i) {
      lhs += keyColumns[i] + ", ";
      rhs += "?" + IntToStr(static_cast<long long>(i) + 1) + ", ";
    }
    return lhs + "rowid)" + op + rhs + rowidParam + ")";
  }
  std::string cond = "rowid" + op + rowidParam;
  for (size_t j = keyColumns.size(); j-- > 0;) {
    const std::string& col = keyColumns[j];
    std::string p = "?" + IntToStr(static_cast<long long>(j) + 1);
    if (nulls & (1u << j))
      cond = "(" + col + " IS NOT NULL OR (" + col + " IS NULL AND " + cond + "))";
    else
      cond = "(" + col + " > " + p + " OR (" + col + " = " + p + " AND " + cond + "))";
  }
  return cond;
}

// SQLite's column affinity for a declared type, by SQLite's own rules.
TAffinity AffinityOf(const std::string& decl) {
  const std::string d = UpperCase(decl);
  auto has = [&](const char* part) { return d.find(part) != std::string::npos; };
  if (has("INT")) return TAffinity::Integer;
  if (has("CHAR") || has("CLOB") || has("TEXT")) return TAffinity::Text;
  if (has("BLOB") || Trim(d).empty()) return TAffinity::Blob;
  if (has("REAL") || has("FLOA") || has("DOUB")) return TAffinity::Real;
  return TAffinity::Numeric;
}

// True for a value of a field of this type and affinity that the row-by-row
// copy (Value() converted by SetValue(), then bound) would not hand to SQLite
// as it is stored; false or null for one it would, so that a copy in SQL
// stores the same. Both sides declare the same type, so SQLite's conversion
// on storing is the same either way. "" for a pairing no field of ours has:
// those go row by row. Plain comparisons, as every copied row is checked:
// null compares as null, numbers sort before texts and texts before blobs,
// and a column of integer or numeric affinity keeps no whole number as a real
// (only numbers beyond 64 bits).
std::string ChangedByCopy(const std::string& c, TFieldType type, TAffinity affinity) {
  const bool numeric = affinity == TAffinity::Numeric;
  switch (type) {
    // A text column turns numbers into texts: only a blob is not a text.
    case TFieldType::ftString: return affinity == TAffinity::Text ? c + " >= x''" : "";
    // Only an integer: a text, a blob or a real is unequal to its cast.
    case TFieldType::ftInteger: return affinity == TAffinity::Integer ? c + " <> CAST(" + c + " AS INTEGER)" : "";
    // A real, or an integer a double holds exactly; a real column holds no integers.
    case TFieldType::ftFloat:
      if (affinity == TAffinity::Real) return c + " >= ''";
      [[fallthrough]];
    case TFieldType::ftDateTime: return numeric ? c + " NOT BETWEEN -9007199254740991 AND 9007199254740991" : "";
    case TFieldType::ftBoolean: return numeric ? c + " NOT IN (0, 1)" : "";
    // Whole days from 1 January 0001 to 31 December 9999.
    case TFieldType::ftDate:
      return numeric ? c + " NOT BETWEEN -693593 AND 2958465 OR " + c + " <> CAST(" + c + " AS INTEGER)" : "";
    // A time of day in whole milliseconds, as the copy rounds it.
    case TFieldType::ftTime:
      return numeric ? c + " < 0 OR " + c + " >= 1 OR " + c + " <> round(" + c + " * 86400000.0) / 86400000.0" : "";
  }
  return "";
}

}  // namespace dbtable

using namespace dbtable;


// ---- field ----

[[noreturn]] static void Mismatch(const TDbTable& table, const TDbField& field, const std::string& what) {
  throw EDatabaseError(dbeTypeMismatch,
                       "Field " + field.FieldName() + " of table " + table.TableName() + ": " + what);
}

TValue TDbField::Value() const {
  const TValue& v = Table_->Stored(Index_);
  if (v.IsNull()) return v;
  switch (Type_) {
    case TFieldType::ftString:
      if (v.Kind() == TValue::vkText) return v;
      if (v.Kind() == TValue::vkInteger) return TValue::Text(IntToStr(v.IntegerValue()));
      return TValue::Text(FormatReal(v.RealValue()));
    case TFieldType::ftInteger:
      if (v.Kind() == TValue::vkInteger) return v;
      if (v.Kind() == TValue::vkReal && v.RealValue() == static_cast<double>(static_cast<std::int64_t>(v.RealValue())))
        return TValue::Integer(static_cast<std::int64_t>(v.RealValue()));
      break;
    case TFieldType::ftFloat:
      if (v.Kind() != TValue::vkText) return TValue::Real(v.Number());
      break;
    case TFieldType::ftBoolean:
      if (v.Kind() != TValue::vkText) return TValue::Boolean(v.Number() != 0);
      break;
    case TFieldType::ftDate:
    case TFieldType::ftTime:
    case TFieldType::ftDateTime:
      if (v.Kind() != TValue::vkText) return TValue::DateTime(v.Number());
      break;
  }
  Mismatch(*Table_, *this, "holds " + v.Describe() + ", not a " + FieldTypeName(Type_) + " value");
}

void TDbField::SetValue(const TValue& value) {
  TValue& slot = Table_->Editable(Index_);
  if (value.IsNull()) {
    slot = TValue();
    return;
  }
  TValue::TKind k = value.Kind();
  bool numeric = k == TValue::vkInteger || k == TValue::vkReal || k == TValue::vkDateTime;
  switch (Type_) {
    case TFieldType::ftString:
      if (k == TValue::vkText) return void(slot = value);
      break;
    case TFieldType::ftInteger:
      if (k == TValue::vkInteger) return void(slot = value);
      if (k == TValue::vkReal && value.RealValue() == static_cast<double>(static_cast<std::int64_t>(value.RealValue())))
        return void(slot = TValue::Integer(static_cast<std::int64_t>(value.RealValue())));
      break;
    case TFieldType::ftFloat:
      if (numeric) return void(slot = TValue::Real(value.Number()));
      break;
    case TFieldType::ftBoolean:
      if (k == TValue::vkBoolean) return void(slot = TValue::Integer(value.BooleanValue() ? 1 : 0));
      break;
    case TFieldType::ftDate:
      if (numeric) return void(slot = TValue::Real(DateOf(value.Number())));
      break;
    case TFieldType::ftTime:
      if (numeric) return void(slot = TValue::Real(TimeOf(value.Number())));
      break;
    case TFieldType::ftDateTime:
      if (numeric) return void(slot = TValue::Real(value.Number()));
      break;
  }
  Mismatch(*Table_, *this, "cannot hold " + value.Describe() + " (a " + FieldTypeName(Type_) + " field)");
}

void TDbField::SetValueFrom(const TDbField& source) {
  // Where the source's Value() would be its stored value unchanged, that is
  // passed on as it is; every other case converts as Value() does.
  const TValue& stored = source.Table_->Stored(source.Index_);
  const TValue::TKind k = stored.Kind();
  const TFieldType t = source.Type_;
  if (k == TValue::vkNull || (t == TFieldType::ftString && k == TValue::vkText) ||
      (t == TFieldType::ftInteger && k == TValue::vkInteger) || (t == TFieldType::ftFloat && k == TValue::vkReal))
    return SetValue(stored);
  SetValue(source.Value());
}

bool TDbField::IsNull() const { return Table_->Stored(Index_).IsNull(); }

std::string TDbField::AsString() const {
  const TValue& stored = Table_->Stored(Index_);
  if (stored.IsNull()) return "";
  // Text where a number belongs is shown as it is: listings must not fail on it.
  if (stored.Kind() == TValue::vkText) return stored.TextValue();
  TValue v = Value();
  switch (Type_) {
    case TFieldType::ftString: return v.TextValue();
    case TFieldType::ftInteger: return IntToStr(v.IntegerValue());
    case TFieldType::ftFloat: return FormatReal(v.RealValue());
    case TFieldType::ftBoolean: return v.BooleanValue() ? "True" : "False";
    case TFieldType::ftDate: return DateToStr(v.DateTimeValue());
    case TFieldType::ftTime: return TimeToStr(v.DateTimeValue());
    case TFieldType::ftDateTime: return DateTimeToStr(v.DateTimeValue());
  }
  return "";
}

void TDbField::SetAsString(const std::string& text) {
  if (Type_ == TFieldType::ftString) return SetValue(TValue::Text(text));
  if (Trim(text).empty()) return SetValue(TValue());
  std::int64_t i = 0;
  double d = 0;
  switch (Type_) {
    case TFieldType::ftInteger:
      if (ParseInteger(text, i)) return SetValue(TValue::Integer(i));
      break;
    case TFieldType::ftFloat:
      if (ParseReal(text, d)) return SetValue(TValue::Real(d));
      break;
    case TFieldType::ftBoolean: {
      std::string t = UpperCase(Trim(text));
      if (t == "TRUE" || t == "1" || t == "YES") return SetValue(TValue::Boolean(true));
      if (t == "FALSE" || t == "0" || t == "NO") return SetValue(TValue::Boolean(false));
      break;
    }
    default:
      try {
        TDateTime dt = Type_ == TFieldType::ftTime ? StrToTime(Trim(text)) : StrToDateTime(text);
        return SetValue(TValue::DateTime(dt));
      } catch (const EConvertError&) {
      }
      break;
  }
  Mismatch(*Table_, *this, "'" + text + "' is not a valid " + FieldTypeName(Type_) + " value");
}

TDateTime TDbField::AsDateTime() const {
  const TValue& stored = Table_->Stored(Index_);
  if (stored.IsNull()) return 0;
  if (stored.Kind() == TValue::vkText) {
    TDateTime dt = 0;
    if (TryStrToDateTime(stored.TextValue(), dt)) return dt;
    Mismatch(*Table_, *this, "'" + stored.TextValue() + "' is not a valid date-time value");
  }
  return stored.Number();
}

std::int64_t TDbField::AsInteger() const {
  TValue v = IsNull() ? TValue() : Value();
  switch (v.Kind()) {
    case TValue::vkNull: return 0;
    case TValue::vkText: {
      std::int64_t i = 0;
      if (ParseInteger(v.TextValue(), i)) return i;
      Mismatch(*Table_, *this, "'" + v.TextValue() + "' is not a valid integer value");
    }
    case TValue::vkInteger:
    case TValue::vkBoolean: return v.IntegerValue();
    default: return static_cast<std::int64_t>(v.Number());
  }
}

double TDbField::AsFloat() const {
  TValue v = IsNull() ? TValue() : Value();
  if (v.IsNull()) return 0;
  if (v.Kind() == TValue::vkText) {
    double d = 0;
    if (ParseReal(v.TextValue(), d)) return d;
    Mismatch(*Table_, *this, "'" + v.TextValue() + "' is not a valid real value");
  }
  return v.Number();
}

bool TDbField::AsBoolean() const {
  TValue v = IsNull() ? TValue() : Value();
  if (v.IsNull()) return false;
  if (v.Kind() == TValue::vkText) Mismatch(*Table_, *this, "'" + v.TextValue() + "' is not a valid boolean value");
  return v.Number() != 0;
}

// ---- table ----

TDbTable::TDbTable(TDbDatabase& database, std::string tableName, std::string indexFieldNames)
    : Database_(&database),
      TableName_(std::move(tableName)),
      IndexFieldNames_(std::move(indexFieldNames)),
      StepContext_("Table " + TableName_) {}

TDbTable::~TDbTable() { CloseNow(false); }

void TDbTable::Fail(int code, const std::string& description) const {
  throw EDatabaseError(code, "Table " + TableName_ + ": " + description);
}

void TDbTable::CheckActive() const {
  if (!Active()) Fail(dbeTableClosed, "the table is not open");
}

std::string TDbTable::Quoted() const { return Schema_ + "." + QuoteName(SqlName_); }

void TDbTable::Open() {
  if (Active()) return;
  Database_->Open();
  if (Database_->InTransaction()) Fail(dbeTransaction, "a table cannot be opened inside a transaction");
  const std::string& dir = Database_->Directory();
  std::string file = FindTableFile(dir, TableName_);
  if (file.empty()) Fail(dbeTableNotFound, "no table file " + TableName_ + ".Nx1 in " + dir);

  TSqliteConnection& conn = Database_->Connection();
  std::string schema = Database_->NewSchemaName();
  {
    TStatement attach(conn.Handle(), "ATTACH DATABASE ?1 AS " + schema);
    std::string uri = FileUri(file);
    sqlite3_bind_text(attach.Get(), 1, uri.c_str(), -1, SQLITE_TRANSIENT);
    try {
      attach.Step("Table " + TableName_ + ": opening " + file);
    } catch (const EDatabaseError& e) {
      if (e.ErrorCode() == dbeTableLocked) Fail(dbeTableLocked, file + " is locked by another user");
      if (e.ErrorCode() == dbeNotATableFile) Fail(dbeNotATableFile, file + " is not a table file");
      Fail(e.ErrorCode(), "cannot open " + file + " (" + e.Description() + ")");
    }
  }
  auto impl = std::make_unique<TImpl>();
  try {
    {
      TStatement find(conn.Handle(), "SELECT name FROM " + schema + ".sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
      sqlite3_bind_text(find.Get(), 1, TableName_.c_str(), -1, SQLITE_TRANSIENT);
      int rc;
      try {
        rc = find.Step("Table " + TableName_);
      } catch (const EDatabaseError& e) {
        if (e.ErrorCode() == dbeTableLocked) Fail(dbeTableLocked, file + " is locked by another user");
        Fail(dbeNotATableFile, file + " is not a table file");
      }
      if (rc != SQLITE_ROW) Fail(dbeTableNotFound, "the file " + file + " holds no table " + TableName_);
      SqlName_ = reinterpret_cast<const char*>(sqlite3_column_text(find.Get(), 0));
    }
    {
      // Table files travel whole, so a file someone switched to WAL goes back
      // to the rollback journal before we write to it.
      TStatement mode(conn.Handle(), "PRAGMA " + schema + ".journal_mode");
      if (mode.Step("Table " + TableName_) == SQLITE_ROW &&
          SameText(reinterpret_cast<const char*>(sqlite3_column_text(mode.Get(), 0)), "wal")) {
        mode = TStatement();
        conn.Exec("PRAGMA " + schema + ".journal_mode = DELETE", "Table " + TableName_ + ": journal mode");
      }
    }
    // A merge looks main rows up all over the table; a fixed page cache per
    // file keeps those pages at hand while memory stays the same for any size.
    conn.Exec("PRAGMA " + schema + ".cache_size = -" + IntToStr(kCachePerTableKiB), "Table " + TableName_);
    // A commit is the deletion of the file's journal; only a synced
    // directory keeps it deleted through a power cut, so only then may a
    // result line or a deleted package rely on the commit.
    conn.Exec("PRAGMA " + schema + ".synchronous = EXTRA", "Table " + TableName_);
    Fields_.clear();
    {
      TStatement cols(conn.Handle(), "SELECT name, type FROM pragma_table_info(?1, ?2)");
      sqlite3_bind_text(cols.Get(), 1, SqlName_.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(cols.Get(), 2, schema.c_str(), -1, SQLITE_TRANSIENT);
      while (cols.Step("Table " + TableName_) == SQLITE_ROW) {
        std::string name = reinterpret_cast<const char*>(sqlite3_column_text(cols.Get(), 0));
        const unsigned char* decl = sqlite3_column_text(cols.Get(), 1);
        impl->Decls.push_back(decl ? reinterpret_cast<const char*>(decl) : "");
        Fields_.push_back(TDbField(*this, static_cast<int>(Fields_.size()), name, FieldTypeFromDecl(impl->Decls.back())));
      }
    }
    KeyFields_.clear();
    for (const std::string& part : SplitString(IndexFieldNames_, ';')) {
      std::string name = Trim(part);
      if (name.empty()) continue;
      TDbField* f = FindField(name);
      if (!f) Fail(dbeFieldNotFound, "index field " + name + " not found");
      KeyFields_.push_back(f->Index());
    }
    impl->Columns = "rowid";
    for (const TDbField& f : Fields_) impl->Columns += ", " + QuoteName(f.FieldName());
    impl->OrderBy = " ORDER BY ";
    for (int k : KeyFields_) impl->KeyColumns.push_back(QuoteName(Fields_[k].FieldName()));
    for (const std::string& k : impl->KeyColumns) impl->OrderBy += k + ", ";
    impl->OrderBy += "rowid";
  } catch (...) {
    Fields_.clear();
    KeyFields_.clear();
    impl.reset();
    try {
      conn.Exec("DETACH DATABASE " + schema, "Close table");
    } catch (const EDatabaseError&) {
    }
    throw;
  }
  Schema_ = schema;
  FileName_ = file;
  Impl_ = std::move(impl);
  State_ = TDataSetState::dsBrowse;
  Database_->Attach(this);
  try {
    // Positioned on the first row, reading only that one: most tables are
    // opened to be looked up in or appended to, not read through, and a
    // batch read of a big table costs pages no one asked for.
    if (!Impl_->FirstRow)
      Impl_->FirstRow = TStatement(Database_->Connection().Handle(),
                                   "SELECT " + Impl_->Columns + " FROM " + Quoted() + Impl_->OrderBy + " LIMIT 1");
    ReadBatch(Impl_->FirstRow, 1);
    HasCur_ = BatchSize_ != 0;
    Eof_ = !HasCur_;
    if (HasCur_) std::swap(Cur_, Batch_[0]);
  } catch (...) {
    CloseNow(false);
    throw;
  }
}

void TDbTable::SetCommitSyncsDirectory(bool syncs) {
  CheckActive();
  Database_->Connection().Exec("PRAGMA " + Schema_ + ".synchronous = " + (syncs ? "EXTRA" : "FULL"),
                               StepContext_ + ": synchronous");
}

void TDbTable::Close() { CloseNow(false); }

void TDbTable::CloseNow(bool databaseClosing) {
  if (!Active()) return;
  const std::string copySchema = Impl_->CopyAttached ? Impl_->CopySchema : "";
  Impl_.reset();
  if (!databaseClosing) {
    Database_->ReleaseSchema(Schema_);
    if (!copySchema.empty()) Database_->ReleaseSchema(copySchema);
  }
  Database_->Detach(this);
  State_ = TDataSetState::dsInactive;
  Fields_.clear();
  KeyFields_.clear();
  Cur_ = TRow();
  EditRow_ = TRow();
  HasCur_ = false;
  Eof_ = true;
  ForgetBatch();
  Batch_.clear();
  Schema_.clear();
  FileName_.clear();
}

int TDbTable::RecordCount() {
  CheckActive();
  sqlite3* db = Database_->Connection().Handle();
  if (!Impl_->Count) Impl_->Count = TStatement(db, "SELECT count(*) FROM " + Quoted());
  TStatement& st = Impl_->Count;
  st.Step("Table " + TableName_ + ": counting rows");
  int n = sqlite3_column_int(st.Get(), 0);
  st.Reset();
  return n;
}

void TDbTable::PostPending() {
  if (State_ == TDataSetState::dsEdit || State_ == TDataSetState::dsInsert) Post();
}

void TDbTable::ForgetBatch() {
  BatchSize_ = 0;
  BatchPos_ = 0;
  BatchIsLast_ = false;
}

void TDbTable::LoadBatch(bool fromStart) {
  sqlite3* db = Database_->Connection().Handle();
  TStatement* st;
  const std::string limit = " LIMIT " + IntToStr(kBatchRows);
  if (fromStart) {
    if (!Impl_->FirstBatch) Impl_->FirstBatch = TStatement(db, "SELECT " + Impl_->Columns + " FROM " + Quoted() + Impl_->OrderBy + limit);
    st = &Impl_->FirstBatch;
  } else {
    // "After the current row" in index order.
    unsigned nulls = 0;
    for (size_t i = 0; i < KeyFields_.size(); ++i)
      if (Cur_.Values[KeyFields_[i]].IsNull()) nulls |= 1u << i;
    TStatement& slot = nulls == 0 ? Impl_->AfterBatch : Impl_->AfterWithNulls[nulls];
    if (!slot)
      slot = TStatement(db, "SELECT " + Impl_->Columns + " FROM " + Quoted() + " WHERE " +
                                AfterCondition(Impl_->KeyColumns, nulls, false) + Impl_->OrderBy + limit);
    st = &slot;
    for (size_t i = 0; i < KeyFields_.size(); ++i) Bind(st->Get(), static_cast<int>(i) + 1, Cur_.Values[KeyFields_[i]]);
    sqlite3_bind_int64(st->Get(), static_cast<int>(KeyFields_.size()) + 1, Cur_.RowId);
  }
  ReadBatch(*st, kBatchRows);
}

void TDbTable::ReadBatch(TStatement& st, size_t limit) {
  BatchSize_ = 0;
  BatchPos_ = 0;
  const int n = FieldCount();
  try {
    while (st.Step(StepContext_, ": reading") == SQLITE_ROW) {
      if (BatchSize_ == Batch_.size()) Batch_.emplace_back();
      TRow& row = Batch_[BatchSize_];
      row.RowId = sqlite3_column_int64(st.Get(), 0);
      row.Values.resize(n);
      for (int i = 0; i < n; ++i) ReadColumn(st.Get(), i + 1, row.Values[i]);
      ++BatchSize_;
    }
  } catch (...) {
    st.Rewind();
    BatchSize_ = 0;
    throw;
  }
  st.Rewind();
  BatchIsLast_ = BatchSize_ < limit;
}

void TDbTable::First() {
  CheckActive();
  PostPending();
  LoadBatch(true);
  if (BatchSize_ == 0) {
    HasCur_ = false;
    Eof_ = true;
    Cur_ = TRow();
    return;
  }
  std::swap(Cur_, Batch_[0]);
  HasCur_ = true;
  Eof_ = false;
}

void TDbTable::Next() {
  CheckActive();
  PostPending();
  if (!HasCur_ || Eof_) {
    Eof_ = true;
    return;
  }
  if (BatchPos_ + 1 < BatchSize_) {
    // Rows behind the cursor are never read again, so the slot may take
    // the old current row's storage.
    std::swap(Cur_, Batch_[++BatchPos_]);
    return;
  }
  if (BatchSize_ != 0 && BatchIsLast_) {
    Eof_ = true;
    return;
  }
  LoadBatch(false);
  if (BatchSize_ == 0) {
    Eof_ = true;
    BatchIsLast_ = true;
    return;
  }
  std::swap(Cur_, Batch_[0]);
}

TDbField& TDbTable::Fields(int index) {
  if (index < 0 || index >= FieldCount()) Fail(dbeFieldNotFound, "no field number " + IntToStr(index));
  return Fields_[index];
}

TDbField* TDbTable::FindField(const std::string& name) {
  for (TDbField& f : Fields_)
    if (SameName(f.FieldName(), name)) return &f;
  return nullptr;
}

TDbField& TDbTable::FieldByName(const std::string& name) {
  TDbField* f = FindField(name);
  if (!f) Fail(dbeFieldNotFound, "field " + name + " not found");
  return *f;
}

bool TDbTable::FindKey(const std::vector<std::string>& keyValues) {
  CheckActive();
  PostPending();
  if (keyValues.empty() || keyValues.size() > KeyFields_.size())
    Fail(dbeBadKey, IntToStr(static_cast<long long>(keyValues.size())) + " key values for the index " + IndexFieldNames_);
  // The key texts are parsed as the key fields' types; a text that cannot be
  // such a value can match nothing, except that it is an error to look up
  // a date by a text that is no date.
  std::vector<TValue>& keys = Impl_->Keys;
  keys.resize(keyValues.size());
  // An empty text key also finds a null key: both read as "" as text, so a
  // row without a key is found again instead of being added once more.
  size_t emptyTexts = 0;
  for (size_t i = 0; i < keyValues.size(); ++i) {
    const TDbField& f = Fields_[KeyFields_[i]];
    const std::string& text = keyValues[i];
    if (f.DataType() == TFieldType::ftString) {
      if (text.empty()) emptyTexts |= size_t{1} << i;
      keys[i].SetText(text.data(), text.size());
      continue;
    }
    if (Trim(text).empty()) return false;
    std::int64_t iv = 0;
    double dv = 0;
    TDateTime dt = 0;
    switch (f.DataType()) {
      case TFieldType::ftInteger:
        if (!ParseInteger(text, iv)) Mismatch(*this, f, "'" + text + "' is not a valid integer key");
        keys[i].SetInteger(iv);
        break;
      case TFieldType::ftFloat:
        if (!ParseReal(text, dv)) Mismatch(*this, f, "'" + text + "' is not a valid real key");
        keys[i].SetReal(dv);
        break;
      case TFieldType::ftBoolean:
        keys[i].SetInteger(SameText(Trim(text), "True") || Trim(text) == "1" ? 1 : 0);
        break;
      default:
        if (IsDateKind(f.DataType())) {
          if (f.DataType() == TFieldType::ftTime) {
            try {
              dt = StrToTime(Trim(text));
            } catch (const EConvertError&) {
              Mismatch(*this, f, "'" + text + "' is not a valid time key");
            }
          } else if (!TryStrToDateTime(text, dt)) {
            Mismatch(*this, f, "'" + text + "' is not a valid date-time key");
          }
          keys[i].SetReal(dt);
        }
        break;
    }
  }
  sqlite3* db = Database_->Connection().Handle();
  TStatement& st = Impl_->Find[keys.size() << 8 | emptyTexts];
  if (!st) {
    std::string where;
    for (size_t i = 0; i < keys.size(); ++i) {
      const std::string name = QuoteName(Fields_[KeyFields_[i]].FieldName());
      const std::string param = "?" + IntToStr(static_cast<long long>(i) + 1);
      where += i ? " AND " : "";
      where += (emptyTexts >> i & 1) ? "(" + name + " = " + param + " OR " + name + " IS NULL)" : name + " = " + param;
    }
    st = TStatement(db, "SELECT " + Impl_->Columns + " FROM " + Quoted() + " WHERE " + where + Impl_->OrderBy + " LIMIT 1");
  }
  for (size_t i = 0; i < keys.size(); ++i) Bind(st.Get(), static_cast<int>(i) + 1, keys[i]);
  bool found = st.Step(StepContext_, ": find") == SQLITE_ROW;
  if (found) {
    Cur_.RowId = sqlite3_column_int64(st.Get(), 0);
    Cur_.Values.resize(Fields_.size());
    for (int i = 0; i < FieldCount(); ++i) ReadColumn(st.Get(), i + 1, Cur_.Values[i]);
    HasCur_ = true;
    Eof_ = false;
    ForgetBatch();
  }
  st.Rewind();
  return found;
}

bool TDbTable::FindRange(const std::vector<TValue>& keyValues, const TValue& low, const TValue& high) {
  CheckActive();
  if (keyValues.size() >= KeyFields_.size() || low.IsNull() != high.IsNull())
    Fail(dbeBadKey, IntToStr(static_cast<long long>(keyValues.size())) + " key values and a range for the index " +
                        IndexFieldNames_);
  PostPending();
  const size_t n = keyValues.size();
  TStatement& st = Impl_->Range[n << 1 | (low.IsNull() ? 1 : 0)];
  if (!st) {
    // "IS" matches a null as well and still seeks in the index as "=" does.
    std::string where;
    for (size_t i = 0; i < n; ++i)
      where += QuoteName(Fields_[KeyFields_[i]].FieldName()) + " IS ?" + IntToStr(static_cast<long long>(i) + 1) + " AND ";
    const std::string next = QuoteName(Fields_[KeyFields_[n]].FieldName());
    const std::string p = "?" + IntToStr(static_cast<long long>(n) + 1), q = "?" + IntToStr(static_cast<long long>(n) + 2);
    where += low.IsNull() ? next + " IS NULL" : next + " >= " + p + " AND " + next + " <= " + q;
    st = TStatement(Database_->Connection().Handle(),
                    "SELECT " + Impl_->Columns + " FROM " + Quoted() + " WHERE " + where + Impl_->OrderBy);
  }
  for (size_t i = 0; i < n; ++i) Bind(st.Get(), static_cast<int>(i) + 1, keyValues[i]);
  if (!low.IsNull()) {
    Bind(st.Get(), static_cast<int>(n) + 1, low);
    Bind(st.Get(), static_cast<int>(n) + 2, high);
  }
  ReadBatch(st, SIZE_MAX);
  if (BatchSize_ == 0) {
    ForgetBatch();
    return false;
  }
  std::swap(Cur_, Batch_[0]);
  HasCur_ = true;
  Eof_ = false;
  return true;
}

void TDbTable::Edit() {
  CheckActive();
  if (State_ == TDataSetState::dsEdit || State_ == TDataSetState::dsInsert) return;
  if (!HasCur_) Fail(dbeNoCurrentRow, "no current row to edit");
  EditRow_ = Cur_;
  State_ = TDataSetState::dsEdit;
}

void TDbTable::Append() {
  CheckActive();
  PostPending();
  EditRow_.RowId = 0;
  EditRow_.Values.resize(Fields_.size());
  for (TValue& v : EditRow_.Values) v.SetNull();
  State_ = TDataSetState::dsInsert;
}

void TDbTable::Post() {
  CheckActive();
  if (State_ != TDataSetState::dsEdit && State_ != TDataSetState::dsInsert) Fail(dbeNotEditing, "not in edit or insert mode");
  sqlite3* db = Database_->Connection().Handle();
  const int n = FieldCount();
  const bool inserting = State_ == TDataSetState::dsInsert;
  if (!inserting && n <= 64) {
    // Only the fields the edit changed are written: an index none of whose
    // fields changed is then left alone, which a merge's updates mostly are.
    std::uint64_t changed = 0;
    for (int i = 0; i < n; ++i)
      if (i >= static_cast<int>(Cur_.Values.size()) || !SameStored(EditRow_.Values[i], Cur_.Values[i]))
        changed |= std::uint64_t{1} << i;
    if (changed != 0 && changed != (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1)) {
      auto it = Impl_->UpdateChanged.find(changed);
      if (it == Impl_->UpdateChanged.end() && Impl_->UpdateChanged.size() < kMaxUpdateStatements) {
        std::string sets;
        int p = 0;
        for (int i = 0; i < n; ++i)
          if (changed >> i & 1) {
            sets += (p ? ", " : "") + QuoteName(Fields_[i].FieldName()) + " = ?";
            sets += IntToStr(++p);
          }
        it = Impl_->UpdateChanged
                 .emplace(changed, TStatement(db, "UPDATE " + Quoted() + " SET " + sets + " WHERE rowid = ?" + IntToStr(p + 1)))
                 .first;
      }
      if (it != Impl_->UpdateChanged.end()) {
        TStatement& st = it->second;
        int p = 0;
        for (int i = 0; i < n; ++i)
          if (changed >> i & 1) Bind(st.Get(), ++p, EditRow_.Values[i]);
        sqlite3_bind_int64(st.Get(), p + 1, EditRow_.RowId);
        st.Step(StepContext_, ": post");
        st.Rewind();
        if (sqlite3_changes(db) == 0) Fail(dbeNoCurrentRow, "the edited row no longer exists");
        std::swap(Cur_, EditRow_);
        HasCur_ = true;
        Eof_ = false;
        State_ = TDataSetState::dsBrowse;
        ForgetBatch();
        return;
      }
    }
  }
  TStatement& st = inserting ? Impl_->Insert : Impl_->Update;
  if (!st) {
    std::string sql;
    if (inserting) {
      std::string cols, params;
      for (int i = 0; i < n; ++i) {
        cols += (i ? ", " : "") + QuoteName(Fields_[i].FieldName());
        params += (i ? ", ?" : "?") + IntToStr(i + 1);
      }
      sql = "INSERT INTO " + Quoted() + " (" + cols + ") VALUES (" + params + ")";
    } else {
      std::string sets;
      for (int i = 0; i < n; ++i) sets += (i ? ", " : "") + QuoteName(Fields_[i].FieldName()) + " = ?" + IntToStr(i + 1);
      sql = "UPDATE " + Quoted() + " SET " + sets + " WHERE rowid = ?" + IntToStr(n + 1);
    }
    st = TStatement(db, sql);
  }
  for (int i = 0; i < n; ++i) Bind(st.Get(), i + 1, EditRow_.Values[i]);
  if (!inserting) sqlite3_bind_int64(st.Get(), n + 1, EditRow_.RowId);
  st.Step(StepContext_, ": post");
  st.Rewind();
  if (inserting) {
    EditRow_.RowId = sqlite3_last_insert_rowid(db);
  } else if (sqlite3_changes(db) == 0) {
    Fail(dbeNoCurrentRow, "the edited row no longer exists");
  }
  // The old current row's storage serves the next edit.
  std::swap(Cur_, EditRow_);
  HasCur_ = true;
  Eof_ = false;
  State_ = TDataSetState::dsBrowse;
  ForgetBatch();
}

void TDbTable::Delete() {
  CheckActive();
  Cancel();
  if (!HasCur_ || Eof_) Fail(dbeNoCurrentRow, "no current row to delete");
  sqlite3* db = Database_->Connection().Handle();
  if (!Impl_->Remove) Impl_->Remove = TStatement(db, "DELETE FROM " + Quoted() + " WHERE rowid = ?1");
  TStatement& st = Impl_->Remove;
  sqlite3_bind_int64(st.Get(), 1, Cur_.RowId);
  st.Step(StepContext_, ": delete");
  st.Rewind();
  // The rows read ahead behind the deleted one are still as they were, and
  // the read after them starts from the deleted row's key, which needs no row.
  Next();
  if (Eof_) HasCur_ = false;
}

void TDbTable::EmptyTable() {
  CheckActive();
  Cancel();
  Database_->Connection().Exec("DELETE FROM " + Quoted(), StepContext_ + ": delete");
  ForgetBatch();
  HasCur_ = false;
  Eof_ = true;
}

bool TDbTable::PrepareAppendFrom(TDbTable& source) {
  CheckActive();
  source.CheckActive();
  const int n = FieldCount();
  if (n == 0 || source.FieldCount() < n || Database_->InTransaction()) return false;
  for (int i = 0; i < n; ++i)
    if (!SameText(Trim(Impl_->Decls[i]), Trim(source.Impl_->Decls[i])) ||
        ChangedByCopy("c", source.Fields_[i].DataType(), AffinityOf(source.Impl_->Decls[i])).empty())
      return false;
  TSqliteConnection& conn = Database_->Connection();
  std::string schema = source.Schema_;
  const bool attach = &source.Database() != Database_;
  if (attach) {
    schema = Database_->NewSchemaName();
    TStatement st(conn.Handle(), "ATTACH DATABASE ?1 AS " + schema);
    const std::string uri = FileUri(source.FileName_, "ro");
    sqlite3_bind_text(st.Get(), 1, uri.c_str(), -1, SQLITE_TRANSIENT);
    try {
      st.Step("Table " + TableName_ + ": reading " + source.FileName_);
    } catch (const EDatabaseError&) {
      return false;  // the rows go one by one, which reports what is wrong
    }
  }
  Impl_->CopyRows.clear();
  if (Impl_->CopyAttached) Database_->ReleaseSchema(Impl_->CopySchema);
  Impl_->CopySource = &source;
  Impl_->CopySourceSchema = source.Schema_;
  Impl_->CopySchema = schema;
  Impl_->CopyAttached = attach;
  return true;
}

int TDbTable::AppendRowsFrom(TDbTable& source, int maxRows) {
  CheckActive();
  source.CheckActive();
  if (Impl_->CopySource != &source || Impl_->CopySourceSchema != source.Schema_ || maxRows <= 0 || !source.HasCur_ ||
      source.Eof_ || source.State_ != TDataSetState::dsBrowse)
    return 0;
  PostPending();
  const size_t keys = source.KeyFields_.size();
  unsigned nulls = 0;
  for (size_t i = 0; i < keys; ++i)
    if (source.Cur_.Values[source.KeyFields_[i]].IsNull()) nulls |= 1u << i;
  const std::string from = AfterCondition(source.Impl_->KeyColumns, nulls, true) + source.Impl_->OrderBy;
  const std::string limitParam = "?" + IntToStr(static_cast<long long>(keys) + 2);
  auto bindPosition = [&](TStatement& st) {
    for (size_t i = 0; i < keys; ++i) Bind(st.Get(), static_cast<int>(i) + 1, source.Cur_.Values[source.KeyFields_[i]]);
    sqlite3_bind_int64(st.Get(), static_cast<int>(keys) + 1, source.Cur_.RowId);
  };

  sqlite3* db = Database_->Connection().Handle();
  TStatement& copy = Impl_->CopyRows[nulls];
  if (!copy) {
    // A row with a value the row-by-row copy would store otherwise makes
    // the statement fail (abs() of the smallest integer overflows), and
    // with it the whole chunk: the caller then goes row by row.
    std::string to, pick, changed;
    for (int i = 0; i < FieldCount(); ++i) {
      const std::string name = QuoteName(source.Fields_[i].FieldName());
      to += (i ? ", " : "") + QuoteName(Fields_[i].FieldName());
      if (i) pick += ", " + name;
      changed += (i ? " OR " : "") + ChangedByCopy(name, source.Fields_[i].DataType(), AffinityOf(source.Impl_->Decls[i]));
    }
    pick = "CASE WHEN " + changed + " THEN abs(-9223372036854775807 - 1 - (rowid <> rowid)) ELSE " +
           QuoteName(source.Fields_[0].FieldName()) + " END" + pick;
    copy = TStatement(db, "INSERT INTO " + Quoted() + " (" + to + ") SELECT " + pick + " FROM " + Impl_->CopySchema + "." +
                              QuoteName(source.SqlName_) + " WHERE " + from + " LIMIT " + limitParam);
  }
  bindPosition(copy);
  sqlite3_bind_int(copy.Get(), static_cast<int>(keys) + 2, maxRows);
  copy.Step(StepContext_, ": post");
  copy.Rewind();
  const int copied = sqlite3_changes(db);
  HasCur_ = false;
  Eof_ = true;
  ForgetBatch();

  // The source moves on to the first row after those copied, through its own
  // connection; skipping in the index reads no row that is passed.
  TStatement& skip = source.Impl_->SkipRows[nulls];
  if (!skip)
    skip = TStatement(source.Database_->Connection().Handle(), "SELECT " + source.Impl_->Columns + " FROM " + source.Quoted() +
                                                                   " WHERE " + from + " LIMIT 1 OFFSET " + limitParam);
  bindPosition(skip);
  sqlite3_bind_int(skip.Get(), static_cast<int>(keys) + 2, copied);
  source.ReadBatch(skip, 1);
  if (source.BatchSize_ == 0) {
    source.Eof_ = true;
    source.BatchIsLast_ = true;
  } else {
    std::swap(source.Cur_, source.Batch_[0]);
    source.ForgetBatch();
  }
  return copied;
}

void TDbTable::Cancel() {
  if (State_ == TDataSetState::dsEdit || State_ == TDataSetState::dsInsert) {
    State_ = TDataSetState::dsBrowse;
  }
}

const TValue& TDbTable::Stored(int index) const {
  static const TValue kNull;
  const TRow& row = (State_ == TDataSetState::dsEdit || State_ == TDataSetState::dsInsert) ? EditRow_ : Cur_;
  if (index < 0 || index >= static_cast<int>(row.Values.size())) return kNull;
  return row.Values[index];
}

TValue& TDbTable::Editable(int index) {
  if (State_ != TDataSetState::dsEdit && State_ != TDataSetState::dsInsert)
    Fail(dbeNotEditing, "not in edit or insert mode");
  return EditRow_.Values[index];
}

}  // namespace trelvo
