#pragma once
// A table object: one table of a database, visited in the order of its
// index fields (then insertion order), looked up by the index's key.
// Per-row operations run on prepared statements kept for the table's open
// life, and rows are read ahead in small batches, so no read statement stays
// open between calls (a merge may commit or roll back at any row).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/DbValue.h"

namespace trelvo {

class TDbDatabase;
class TDbTable;
class TStatement;

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class TDbField {
 public:
  const std::string& FieldName() const { return Name_; }
  const std::string& DisplayName() const { return Name_; }
  TFieldType DataType() const { return Type_; }
  int Index() const { return Index_; }

  // The value in the field's own kind: text, integer, real, boolean or
  // date-time (date, time and date-time fields). Null stays null. A stored
  // value that the field's type cannot hold raises dbeTypeMismatch.
  TValue Value() const;
  // Only in edit or insert state. Null passes; a value of another kind is
  // converted when nothing is lost (integer to real, a number to a date-time),
  // otherwise dbeTypeMismatch. A date field keeps the whole days, a time
  // field the time of day.
  void SetValue(const TValue& value);
  // SetValue(source.Value()), without copying the source's value on the way.
  void SetValueFrom(const TDbField& source);
  void Clear() { SetValue(TValue()); }

  bool IsNull() const;
  // dd.mm.yyyy, hh:nn:ss, dd.mm.yyyy hh:nn:ss for the date kinds; "" for null.
  std::string AsString() const;
  // Parses text into the field's type (empty text gives null for non-text fields).
  void SetAsString(const std::string& text);
  // Date kinds and numbers as the date-time number; null gives 0; text must
  // be a date-time text.
  TDateTime AsDateTime() const;
  std::int64_t AsInteger() const;  // null gives 0
  double AsFloat() const;          // null gives 0
  bool AsBoolean() const;          // null gives false

 private:
  friend class TDbTable;
  TDbField(TDbTable& table, int index, std::string name, TFieldType type)
      : Table_(&table), Index_(index), Name_(std::move(name)), Type_(type) {}
  TDbTable* Table_;
  int Index_;
  std::string Name_;
  TFieldType Type_;
};

class TDbTable {
 public:
  // indexFieldNames: "AikaLeima" or "KorttiLyh;Paikka" (any letter case).
  TDbTable(TDbDatabase& database, std::string tableName, std::string indexFieldNames);
  ~TDbTable();
  TDbTable(const TDbTable&) = delete;
  TDbTable& operator=(const TDbTable&) = delete;

  TDbDatabase& Database() const { return *Database_; }
  const std::string& TableName() const { return TableName_; }
  const std::string& IndexFieldNames() const { return IndexFieldNames_; }

  // Opens the database (and so the session and engine) when needed, finds
  // the file <TableName>.Nx1 in the alias directory in any letter case, and
  // is positioned on the first row. Throws EDatabaseError.
  void Open();
  // A pending edit or insert is dropped.
  void Close();
  bool Active() const { return State_ != TDataSetState::dsInactive; }
  TDataSetState State() const { return State_; }
  // The file the open table lives in.
  const std::string& FileName() const { return FileName_; }
  // Whether a commit also syncs the directory after deleting its journal
  // (the default). Without, the commit is durable only once the caller has
  // synced the table's file system: a caller that commits several table
  // files at once syncs that once instead of once per file.
  void SetCommitSyncsDirectory(bool syncs);

  int RecordCount();
  // A pending edit or insert is posted first, as a move does.
  void First();
  void Next();
  bool Eof() const { return Eof_; }
  // Whether there is a current row (false on an empty table).
  bool HasCurrentRow() const { return HasCur_; }

  int FieldCount() const { return static_cast<int>(Fields_.size()); }
  TDbField& Fields(int index);              // dbeFieldNotFound when out of range
  TDbField* FindField(const std::string& name);  // case-insensitive; nullptr when absent
  TDbField& FieldByName(const std::string& name);  // dbeFieldNotFound when absent

  // Values as text in the order of the index fields (one or two). True and
  // positioned on the first such row when found; false and not moved when not.
  bool FindKey(const std::vector<std::string>& keyValues);
  // The rows whose leading index fields hold keyValues (typed values; a null
  // matches a null) and whose next index field lies from low to high
  // (inclusive), or is null when both are. True and positioned on the first
  // of them in index order, and Next() visits the others and is at the end
  // after the last; false and not moved when there are none. All of them are
  // read at once: meant for narrow ranges.
  bool FindRange(const std::vector<TValue>& keyValues, const TValue& low, const TValue& high);

  void Edit();    // dbeNoCurrentRow on an empty table
  void Append();  // a new row with every field null
  // Writes the edited or appended row; it stays the current row. On failure
  // (dbeKeyViolation, dbeTableLocked, ...) the state stays edit or insert.
  void Post();
  void Cancel();
  // Removes the current row and moves to the next one in index order (Eof,
  // and no current row, when it was the last). A pending edit is dropped.
  void Delete();

  // Removes every row, as one statement (inside the caller's transaction,
  // when there is one); the table is then at its end with no current row.
  void EmptyTable();
  // Copying many rows of another table at once, as AppendRowsFrom below.
  // Possible when this table has as many fields as the source or fewer,
  // each declared with the source's type at the same position. Attaches the
  // source's file to this table's database, so it cannot run inside a
  // transaction; false leaves nothing behind.
  bool PrepareAppendFrom(TDbTable& source);
  // The source's current row and up to maxRows - 1 rows after it in the
  // source's index order become new rows of this table, in that order, field
  // by position, exactly as Append, SetValueFrom field by field and Post
  // would store them; the source then stands on the row after them (or at
  // the end), and this table has no current row. Returns how many rows were
  // copied: 0 when PrepareAppendFrom has not made this source ready or the
  // source has no current row. Raises EDatabaseError, having copied none of
  // the rows, when one of them holds a value that the row-by-row copy would
  // convert, round or refuse (a text in a number field, a time of day in a
  // date field, a number in a text field...), and on any failure of the
  // write (a key violation, a full disk): those rows need going one by one.
  int AppendRowsFrom(TDbTable& source, int maxRows);

  // Merging many rows of another table of the same database at once, with
  // the result a merge row by row gets: fields by index.
  struct TMergeRule {
    // Every field the merge copies, the source's and this table's; each
    // pair declared alike.
    std::vector<std::pair<int, int>> Copy;
    // Keyed: the source's text fields that hold this table's index key, in
    // the index's order. A row whose key this table lacks is added; one
    // whose key it has overwrites the copied fields of that row when the
    // source's stamp is later than this table's, and is kept out otherwise.
    // A stamp that is null counts as 0; StampTime, when given, is added to a
    // Stamp that is not 0.
    std::vector<int> SourceKey;
    int SourceStamp = -1, Stamp = -1, StampTime = -1;
    // Not keyed: every row is added, except one this table holds already:
    // a row with the same HeldDate and a HeldTime at most two seconds apart
    // (source fields). One with the same stored values in every copied field
    // is kept out; one whose copied texts and integers merely read the same
    // goes one by one. -1: every row is added.
    int HeldDate = -1, HeldTime = -1;
  };
  // False, with nothing prepared, when the rule cannot run set-based here:
  // the source is of another database, a pair is declared differently or of
  // a type the check below does not cover, a key field is no text field of
  // this table's index.
  bool PrepareMergeFrom(TDbTable& source, const TMergeRule& rule);
  // From the source's current row on, in the source's index order:
  // > 0: that many rows were merged as the rule says; keptOut holds the
  //      positions among them (0 the current row) of the rows kept out. The
  //      source has not moved.
  // < 0: that many rows must go one by one, nothing was written for them: a
  //      value the row copy would convert, a key that is empty or comes
  //      again among the rows looked at, a stamp that is no number, a row
  //      this table may hold, or a write that failed for the values.
  // 0:   not prepared, or no current row.
  // A failure of the storage (a full disk, a lock) is raised with nothing of
  // the rows written. The rows looked at are sorted out once, up to maxRows
  // at a time: the caller changes this table only through these rows until
  // it has passed them.
  int MergeRowsFrom(TDbTable& source, int maxRows, std::vector<int>& keptOut);

 private:
  friend class TDbField;
  friend class TDbDatabase;
  struct TImpl;
  struct TRow {
    std::int64_t RowId = 0;
    std::vector<TValue> Values;  // as stored
  };
  const TValue& Stored(int index) const;
  TValue& Editable(int index);
  [[noreturn]] void Fail(int code, const std::string& description) const;
  void CheckActive() const;
  void PostPending();
  void LoadBatch(bool fromStart);
  void ReadBatch(TStatement& st, size_t limit);
  void ForgetBatch();
  void CloseNow(bool databaseClosing);
  std::string Quoted() const;

  TDbDatabase* Database_;
  std::string TableName_;
  std::string IndexFieldNames_;
  std::string FileName_;
  std::string Schema_;
  std::string SqlName_;  // the table's name inside its file
  std::string StepContext_;  // "Table <name>", for errors of per-row statements
  TDataSetState State_ = TDataSetState::dsInactive;
  std::vector<TDbField> Fields_;
  std::vector<int> KeyFields_;
  TRow Cur_;
  TRow EditRow_;
  bool HasCur_ = false;
  bool Eof_ = true;
  // Rows read ahead; the first BatchSize_ are valid. The rest keep their
  // storage for the next batch, as Cur_ and EditRow_ keep theirs from row to
  // row.
  std::vector<TRow> Batch_;
  size_t BatchSize_ = 0;
  size_t BatchPos_ = 0;
  bool BatchIsLast_ = false;
  std::unique_ptr<TImpl> Impl_;
};

}  // namespace trelvo
