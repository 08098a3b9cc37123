#pragma once
// A package from the server, opened and extracted as a receive does it:
// the central directory, every local header, the cipher and Inflate. Beyond
// not crashing, a failed entry must leave neither its file nor a temporary
// behind, and nothing may be written outside the target directory.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <vector>

#include "FuzzSupport.h"
#include "archive/ZipArchiver.h"
#include "common/Text.h"

namespace trelvo::fuzz {

inline std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

inline std::string PartOf(const std::string& stored) {
  const size_t slash = stored.find_last_of("/\\");
  return slash == std::string::npos ? stored : stored.substr(slash + 1);
}

inline int RunZip(const uint8_t* data, size_t size, const std::string& password) {
  const std::string root = Scratch();
  const std::string package = root + "/p.zip", out = root + "/out";
  ::mkdir(out.c_str(), 0755);
  WriteBytes(package, data, size);

  std::set<std::string> failed;
  std::vector<std::string> parts;  // the file-name part of every entry, upper-cased
  {
    TZipArchiver zip;
    zip.OnItemFailure = [&](TZipArchiver&, const TZipItem& item, TZipProcessType, TZipErrorClass, int) {
      failed.insert(item.FileName);
    };
    zip.OnItemProgress = [&](TZipArchiver&, const TZipItem&, int progress, bool&) {
      Require(progress >= 0 && progress <= 100, "progress within 0..100");
    };
    try {
      zip.OpenArchive(package);
      for (const TZipItem& item : zip.Items()) {
        (void)item.DateTime();
        parts.push_back(UpperCase(PartOf(item.FileName)));
      }
      zip.SetBaseDirectory(out);
      zip.SetPassword(password);
      zip.ExtractFiles("*");
      zip.CloseArchive();
    } catch (const EZipError&) {
    }
  }

  std::set<std::string> present;
  for (const std::string& name : Entries(out)) {
    Require(name.rfind(".trelvo-zip.", 0) != 0, "no temporary file left behind");
    present.insert(name);
  }
  // An entry that failed and is the only one of its file name has no file
  // (the directory started empty).
  for (const std::string& name : failed) {
    const std::string part = UpperCase(PartOf(name));
    if (std::count(parts.begin(), parts.end(), part) != 1) continue;
    for (const std::string& p : present) Require(UpperCase(p) != part, "a failed entry leaves no file");
  }
  for (const std::string& name : Entries(root))
    Require(name == "p.zip" || name == "out", "nothing written beside the target directory");
  for (const std::string& name : present) ::unlink((out + "/" + name).c_str());
  return 0;
}

}  // namespace trelvo::fuzz
