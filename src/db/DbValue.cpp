#include "db/DbValue.h"

#include <charconv>

#include "common/Text.h"

namespace trelvo {

const char* FieldTypeDecl(TFieldType type) {
  switch (type) {
    case TFieldType::ftString: return "TEXT";
    case TFieldType::ftInteger: return "INTEGER";
    case TFieldType::ftFloat: return "REAL";
    case TFieldType::ftBoolean: return "BOOLEAN";
    case TFieldType::ftDate: return "DATE";
    case TFieldType::ftTime: return "TIME";
    case TFieldType::ftDateTime: return "DATETIME";
  }
  return "TEXT";
}

TFieldType FieldTypeFromDecl(const std::string& decl) {
  std::string d = UpperCase(decl);
  auto has = [&](const char* part) { return d.find(part) != std::string::npos; };
  if (has("BOOL")) return TFieldType::ftBoolean;
  if (has("DATETIME") || has("TIMESTAMP")) return TFieldType::ftDateTime;
  if (has("DATE")) return TFieldType::ftDate;
  if (has("TIME")) return TFieldType::ftTime;
  if (has("INT")) return TFieldType::ftInteger;
  if (has("REAL") || has("FLOA") || has("DOUB") || has("MONEY") || has("CURRENCY") || has("NUMERIC") || has("DECIMAL"))
    return TFieldType::ftFloat;
  return TFieldType::ftString;
}

const char* FieldTypeName(TFieldType type) {
  switch (type) {
    case TFieldType::ftString: return "text";
    case TFieldType::ftInteger: return "integer";
    case TFieldType::ftFloat: return "real";
    case TFieldType::ftBoolean: return "boolean";
    case TFieldType::ftDate: return "date";
    case TFieldType::ftTime: return "time";
    case TFieldType::ftDateTime: return "date-time";
  }
  return "text";
}

bool TValue::operator==(const TValue& other) const {
  if (Kind_ != other.Kind_) return false;
  switch (Kind_) {
    case vkNull: return true;
    case vkInteger:
    case vkBoolean: return Int_ == other.Int_;
    case vkReal:
    case vkDateTime: return Real_ == other.Real_;
    case vkText: return Text_ == other.Text_;
  }
  return false;
}

std::string TValue::Describe() const {
  switch (Kind_) {
    case vkNull: return "null";
    case vkInteger: return "integer " + IntToStr(Int_);
    case vkBoolean: return Int_ ? "boolean true" : "boolean false";
    case vkReal: {
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, Real_);
      return "real " + std::string(buf, r.ptr);
    }
    case vkDateTime: return "date-time " + DateTimeToStr(Real_);
    case vkText: return "text '" + Text_ + "'";
  }
  return "?";
}

}  // namespace trelvo
