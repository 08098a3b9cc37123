#pragma once
// INI files with the semantics the program's settings have always had:
// section and key names without regard to letter case, the first of duplicate
// sections or keys wins, a missing file/section/key gives the default, values
// read are at most 2047 characters, and writing one key rewrites only that
// key's line, keeping every other line, comment and order of the file.
#include <string>
#include <vector>

#include "common/Errors.h"

namespace trelvo {

class EIniFileError : public EInOutError {
 public:
  using EInOutError::EInOutError;
};

class TIniFile {
 public:
  static constexpr size_t kMaxValueLength = 2047;

  // Reads the file now; a missing or unreadable file reads as empty.
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return FileName_; }
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // A value that is not a decimal number gives def.
  long long ReadInteger(const std::string& section, const std::string& key, long long def) const;
  // Section names in file order (first spelling of each).
  std::vector<std::string> ReadSections() const;
  // Key names of a section in file order.
  std::vector<std::string> ReadSection(const std::string& section) const;

  // Writes one key and replaces the file atomically, readable by its owner
  // only, with the old file's owner and group. Throws EIniFileError naming
  // the file when the system refuses, when the file was there but could not
  // be read, and when its owner cannot be kept.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, long long value);

 private:
  struct Line {
    std::string Text;    // without line end
    std::string Ending;  // "\n", "\r\n" or "" for a last line without one
  };
  enum class Kind { Other, Section, Key };
  static Kind Classify(const std::string& text, std::string& name, std::string& value);
  // Index of the first section line with that name, or -1.
  long FindSection(const std::string& section) const;
  // Index of the first key line of the section starting at sectionLine, or -1.
  long FindKey(long sectionLine, const std::string& key) const;
  void Save() const;

  std::string FileName_;
  std::vector<Line> Lines_;
  int ReadError_ = 0;  // errno of a file that exists but could not be read
};

}  // namespace trelvo
