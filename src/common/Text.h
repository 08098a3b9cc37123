#pragma once
// Small text helpers with the original platform's semantics: ASCII-only case
// folding (names and keys are ASCII), paths with "/" as the directory separator.
#include <string>
#include <vector>

namespace trelvo {

std::string UpperCase(std::string s);
std::string LowerCase(std::string s);
bool SameText(const std::string& a, const std::string& b);
std::string Trim(const std::string& s);
std::string TrimRight(const std::string& s);
std::string IntToStr(long long value);
// Decimal with optional sign and surrounding blanks; anything else gives def.
long long StrToInt64Def(const std::string& s, long long def);
int StrToIntDef(const std::string& s, int def);
bool StartsWith(const std::string& s, const std::string& prefix);
bool EndsWith(const std::string& s, const std::string& suffix);
std::vector<std::string> SplitString(const std::string& s, char separator);

// Directory part including the trailing "/" ("" when there is none).
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);
// Extension with its dot, "" when none.
std::string ExtractFileExt(const std::string& path);
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingPathDelimiter(const std::string& dir);

// The system's text for an errno value.
std::string SysErrorMessage(int code);

}  // namespace trelvo
