#pragma once
// Small file helpers the runs share.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/Errors.h"

namespace trelvo::runfiles {

inline bool IsDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline bool IsFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The lines of a text file without their line ends (LF or CR LF); a file
// that cannot be opened or read is an error, never an empty list.
inline std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EInOutError("Cannot open file " + path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (in.bad()) throw EInOutError("Cannot read file " + path);
  return lines;
}

}  // namespace trelvo::runfiles
