#pragma once
// Finding the files of a folder by mask. TFileFinder is the component the
// program owns; TFileSearchEngine does the listing and filtering.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "filesearch/FileMask.h"

namespace trelvo {

// MS-DOS attribute bits, as Linux files map to them: read-only = the owner may
// not write; hidden = the name begins with "."; system = neither a regular
// file nor a directory; archive = every regular file.
enum : std::uint32_t {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faDirectory = 0x10,
  faArchive = 0x20,
};

struct TSystemTime {
  std::uint16_t Year = 0, Month = 0, DayOfWeek = 0, Day = 0;
  std::uint16_t Hour = 0, Minute = 0, Second = 0, Milliseconds = 0;
};

struct TFoundFileInfo {
  std::string Name;
  std::string Path;  // the folder, ending with "/"
  std::uint32_t Attr = 0;
  std::uint32_t Size = 0;      // low 32 bits, as the record always held
  std::uint64_t FullSize = 0;  // the real size
  TSystemTime CreationTime, LastAccessTime, LastWriteTime;
};

// Attributes and times of one path as the search reports them; false when the
// path cannot be read.
bool ReadFileInfo(const std::string& folder, const std::string& name, TFoundFileInfo& info);
TSystemTime ToSystemTime(TDateTime value);

enum TSearchOption : unsigned {
  sfIncludeSubfolder = 1u << 0,
  sfLookForReadOnlyFile = 1u << 1,
  sfLookForHiddenFile = 1u << 2,
  sfLookForSystemFile = 1u << 3,
  sfLookForDirectory = 1u << 4,
  sfLookForArchiveFile = 1u << 5,
  sfLookForAnyFile = 1u << 6,
};
using TSearchOptions = unsigned;
constexpr TSearchOptions kAllSearchOptions = 0x7F;

enum TFilterKind : unsigned { filterOnDate = 1u << 0, filterOnSize = 1u << 1 };

struct TSearchStatistics {
  int Folders = 0;
  int FilesFound = 0;
  double ElapsedSeconds = 0;
};

// What a search looks for; the finder hands its copy to the engine.
struct TFileSearchProperties {
  std::string RootPath;
  std::vector<std::string> FileNames;
  std::vector<std::string> ExcludedFiles;
  TSearchOptions SearchOptions = kAllSearchOptions;
  unsigned FilterKind = 0;
  // Filters, when switched on: last write time and size within the bounds.
  TDateTime MinDate = 0, MaxDate = 2958465.99999;  // up to 31.12.9999
  std::uint64_t MinSize = 0, MaxSize = UINT64_MAX;

  std::function<void(const TFoundFileInfo&)> OnFileFound;
  std::function<bool(const TFoundFileInfo&)> OnAcceptFile;
  std::function<void(const std::string& folder)> OnChangeFolder;
  std::function<void(const TSearchStatistics&)> OnStatistics;
};

class TFileSearchEngine : public TFileSearchProperties {
 public:
  // False when a folder could not be listed (the search stops there). Throws
  // EFileMaskError on an invalid mask.
  bool Execute();
};

class TFileFinder : public TFileSearchProperties {
 public:
  bool Search();
};

}  // namespace trelvo
