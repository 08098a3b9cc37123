#include "filesearch/FileFinder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <deque>
#include <memory>

namespace trelvo {
namespace {

TDateTime FromTimespec(const struct timespec& ts) {
  return FromUnixTime(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

bool AnyMatches(const std::vector<TFileMask>& masks, const std::string& name) {
  for (const auto& m : masks)
    if (m.Matches(name)) return true;
  return false;
}

}  // namespace

TSystemTime ToSystemTime(TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  TSystemTime t;
  t.Year = static_cast<std::uint16_t>(p.Year);
  t.Month = static_cast<std::uint16_t>(p.Month);
  t.DayOfWeek = static_cast<std::uint16_t>(DayOfWeek(value) - 1);  // 0 = Sunday
  t.Day = static_cast<std::uint16_t>(p.Day);
  t.Hour = static_cast<std::uint16_t>(p.Hour);
  t.Minute = static_cast<std::uint16_t>(p.Minute);
  t.Second = static_cast<std::uint16_t>(p.Second);
  t.Milliseconds = static_cast<std::uint16_t>(p.MilliSecond);
  return t;
}

bool ReadFileInfo(const std::string& folder, const std::string& name, TFoundFileInfo& info) {
  const std::string full = folder + name;
  struct statx sx {};
  // Follow links like the original listing did; a dangling link is still listed.
  if (statx(AT_FDCWD, full.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0 &&
      statx(AT_FDCWD, full.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
    return false;
  info.Name = name;
  info.Path = folder;
  info.Attr = 0;
  const bool dir = S_ISDIR(sx.stx_mode);
  const bool reg = S_ISREG(sx.stx_mode);
  if (dir) info.Attr |= faDirectory;
  if (reg) info.Attr |= faArchive;
  if (!dir && !reg) info.Attr |= faSysFile;
  if (!(sx.stx_mode & S_IWUSR)) info.Attr |= faReadOnly;
  if (!name.empty() && name[0] == '.') info.Attr |= faHidden;
  info.FullSize = sx.stx_size;
  info.Size = static_cast<std::uint32_t>(sx.stx_size);
  auto ts = [](const struct statx_timestamp& t) {
    struct timespec s {};
    s.tv_sec = t.tv_sec;
    s.tv_nsec = t.tv_nsec;
    return s;
  };
  info.LastWriteTime = ToSystemTime(FromTimespec(ts(sx.stx_mtime)));
  info.LastAccessTime = ToSystemTime(FromTimespec(ts(sx.stx_atime)));
  info.CreationTime = (sx.stx_mask & STATX_BTIME) ? ToSystemTime(FromTimespec(ts(sx.stx_btime)))
                                                  : info.LastWriteTime;
  return true;
}

bool TFileSearchEngine::Execute() {
  const auto started = std::chrono::steady_clock::now();
  std::vector<TFileMask> names, excluded;
  for (const auto& m : FileNames) names.emplace_back(m);
  for (const auto& m : ExcludedFiles) excluded.emplace_back(m);
  bool anyFileMaskAll = false;
  for (const auto& m : FileNames) anyFileMaskAll = anyFileMaskAll || m == "*.*";

  TSearchStatistics stats;
  std::deque<std::string> queue{RootPath};
  bool result = true;
  while (!queue.empty()) {
    std::string folder = queue.front();
    queue.pop_front();
    if (folder.empty() || folder.back() != '/') folder += '/';
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
      result = false;
      break;
    }
    ++stats.Folders;
    if (OnChangeFolder) OnChangeFolder(folder);
    while (dirent* e = readdir(dir.get())) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      TFoundFileInfo info;
      if (!ReadFileInfo(folder, name, info)) continue;  // vanished while listing
      const bool isDir = info.Attr & faDirectory;
      if (isDir && (SearchOptions & sfIncludeSubfolder)) queue.push_back(folder + name);
      const bool qualifies =
          ((info.Attr & faReadOnly) && (SearchOptions & sfLookForReadOnlyFile)) ||
          ((info.Attr & faHidden) && (SearchOptions & sfLookForHiddenFile)) ||
          ((info.Attr & faSysFile) && (SearchOptions & sfLookForSystemFile)) ||
          (isDir && (SearchOptions & sfLookForDirectory)) ||
          ((info.Attr & faArchive) && (SearchOptions & sfLookForArchiveFile)) ||
          ((SearchOptions & sfLookForAnyFile) && !isDir);
      if (!qualifies) continue;
      if (FilterKind & filterOnDate) {
        TSystemTime w = info.LastWriteTime;
        TDateTime when = EncodeDateTime({w.Year, w.Month, w.Day, w.Hour, w.Minute, w.Second, w.Milliseconds});
        if (when < MinDate || when > MaxDate) continue;
      }
      if ((FilterKind & filterOnSize) && (info.FullSize < MinSize || info.FullSize > MaxSize)) continue;
      if (AnyMatches(excluded, name)) continue;
      if (!AnyMatches(names, name) && !(isDir && anyFileMaskAll)) continue;
      if (OnAcceptFile && !OnAcceptFile(info)) continue;
      ++stats.FilesFound;
      if (OnFileFound) OnFileFound(info);
    }
  }
  stats.ElapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (OnStatistics) OnStatistics(stats);
  return result;
}

bool TFileFinder::Search() {
  TFileSearchEngine engine;
  static_cast<TFileSearchProperties&>(engine) = *this;
  return engine.Execute();
}

}  // namespace trelvo
