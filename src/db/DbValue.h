#pragma once
// Typed field values. Dates and times travel as the program's date-time
// number (days since 30.12.1899, time of day as the fraction), never as text,
// so a copy between two tables of the same definition is exact.
#include <cstdint>
#include <string>

#include "common/DateTime.h"

namespace trelvo {

enum class TFieldType { ftString, ftInteger, ftFloat, ftBoolean, ftDate, ftTime, ftDateTime };

// The column type written into a table file for each field type, and back.
// Unknown declared types read as text.
const char* FieldTypeDecl(TFieldType type);
TFieldType FieldTypeFromDecl(const std::string& decl);
const char* FieldTypeName(TFieldType type);  // "text", "integer", ... for messages

class TValue {
 public:
  enum TKind { vkNull, vkInteger, vkReal, vkBoolean, vkText, vkDateTime };

  TValue() = default;
  static TValue Integer(std::int64_t v) { TValue r; r.Kind_ = vkInteger; r.Int_ = v; return r; }
  static TValue Real(double v) { TValue r; r.Kind_ = vkReal; r.Real_ = v; return r; }
  static TValue Boolean(bool v) { TValue r; r.Kind_ = vkBoolean; r.Int_ = v ? 1 : 0; return r; }
  static TValue Text(std::string v) { TValue r; r.Kind_ = vkText; r.Text_ = std::move(v); return r; }
  static TValue DateTime(TDateTime v) { TValue r; r.Kind_ = vkDateTime; r.Real_ = v; return r; }

  // In place, keeping the text's buffer: a merge refills the same values for
  // every row and must not allocate for each.
  void SetNull() { Kind_ = vkNull; Text_.clear(); }
  void SetText(const char* text, std::size_t size) { Kind_ = vkText; Text_.assign(text, size); }
  void SetInteger(std::int64_t v) { Kind_ = vkInteger; Int_ = v; Text_.clear(); }
  void SetReal(double v) { Kind_ = vkReal; Real_ = v; Text_.clear(); }

  TKind Kind() const { return Kind_; }
  bool IsNull() const { return Kind_ == vkNull; }
  // Raw access; the caller checks Kind() first.
  std::int64_t IntegerValue() const { return Int_; }
  double RealValue() const { return Real_; }
  bool BooleanValue() const { return Int_ != 0; }
  const std::string& TextValue() const { return Text_; }
  TDateTime DateTimeValue() const { return Real_; }
  // Numeric kinds (integer, real, boolean, date-time) as a number.
  double Number() const { return Kind_ == vkInteger || Kind_ == vkBoolean ? static_cast<double>(Int_) : Real_; }

  bool operator==(const TValue& other) const;
  // For tests and messages: "null", "integer 5", "text 'abc'", ...
  std::string Describe() const;

 private:
  TKind Kind_ = vkNull;
  std::int64_t Int_ = 0;
  double Real_ = 0;
  std::string Text_;
};

}  // namespace trelvo
