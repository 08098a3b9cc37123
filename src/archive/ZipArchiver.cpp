#include "archive/ZipArchiver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>

#include "archive/ZipInternal.h"
#include "common/Text.h"

namespace trelvo {
namespace {

// Letter case folded for ASCII only, like the rest of the program's names.
char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool MatchMask(const std::string& mask, const std::string& name) {
  std::size_t m = 0, n = 0, starM = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && (mask[m] == '?' || Fold(mask[m]) == Fold(name[n]))) {
      ++m, ++n;
    } else if (starM != std::string::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::vector<std::string> SplitMasks(const std::string& masks) {
  std::vector<std::string> result;
  for (const std::string& piece : SplitString(masks, ';'))
    if (std::string m = Trim(piece); !m.empty()) result.push_back(m);
  return result;
}

bool MatchesAny(const std::vector<std::string>& masks, const std::string& name) {
  for (const auto& m : masks)
    if (MatchMask(m, name)) return true;
  return false;
}

void SystemRandom(std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(errno, "Cannot get random bytes");
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string ZipErrorMessage(int code) {
  switch (code) {
    case zeInvalidPassword: return "Cannot extract file - invalid password";
    case zeDuplicateName: return "Cannot insert file - duplicates stored name";
    case zeDirectoryMissing: return "Directory does not exist";
    case zeFailedCrc: return "Failed CRC Check";
    case zeArchiveBlank: return "Archive does not exist - Filename is blank";
    case zeNotPKZip: return "Invalid file - not a PKZip file";
    case zeUnhandledType: return "Unhandled Archive Type";
    default: return "";
  }
}

void ThrowSystemError(int error, const std::string& context) {
  throw EZipError(error, ecFile, context + ": " + SysErrorMessage(error));
}

// ---- small file helpers ----

TTempFile::TTempFile(const std::string& dir) {
  // A fixed short name: the final name may already be as long as names get.
  Path_ = IncludeTrailingPathDelimiter(dir) + ".trelvo-zip.XXXXXX";
  int fd = ::mkstemp(Path_.data());
  if (fd < 0) ThrowSystemError(errno, "Cannot create temporary file in " + dir);
  Fd_ = TFd(fd);
}

TTempFile::~TTempFile() {
  Fd_.Reset();
  if (!Committed_) ::unlink(Path_.c_str());
}

void TTempFile::Commit(const std::string& target) {
  if (::close(Fd_.Get()) != 0) {
    const int error = errno;
    ThrowSystemError(error, "Cannot write " + target);
  }
  Fd_ = TFd();
  if (::rename(Path_.c_str(), target.c_str()) != 0) ThrowSystemError(errno, "Cannot replace " + target);
  Committed_ = true;
}

void TOutFile::WriteAll(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(Fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(errno, "Cannot write");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    Flushed_ += static_cast<std::uint64_t>(n);
  }
}

void TOutFile::Write(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (Used_ + size > Buffer_.size()) {
    Flush();
    if (size >= Buffer_.size()) return WriteAll(p, size);
  }
  std::memcpy(Buffer_.data() + Used_, p, size);
  Used_ += size;
}

void TOutFile::Flush() {
  const std::size_t used = Used_;
  Used_ = 0;
  WriteAll(Buffer_.data(), used);
}

void TOutFile::PatchAt(std::uint64_t position, const std::vector<std::uint8_t>& bytes) {
  Flush();
  if (::pwrite(Fd_, bytes.data(), bytes.size(), static_cast<off_t>(position)) != static_cast<ssize_t>(bytes.size()))
    ThrowSystemError(errno, "Cannot write");
}

void TOutFile::TruncateTo(std::uint64_t position) {
  Flush();
  if (::ftruncate(Fd_, static_cast<off_t>(position)) != 0 ||
      ::lseek(Fd_, static_cast<off_t>(position), SEEK_SET) < 0)
    ThrowSystemError(errno, "Cannot write");
  Flushed_ = position;
}

bool ReadExactAt(int fd, void* data, std::size_t size, std::uint64_t offset) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(errno, "Cannot read archive file");
    }
    if (n == 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

void ToDosDateTime(std::time_t t, std::uint16_t& dosTime, std::uint16_t& dosDate) {
  struct tm tm {};
  localtime_r(&t, &tm);
  // MS-DOS dates cover 1980 to 2107 only.
  if (tm.tm_year < 80) tm = {0, 0, 0, 1, 0, 80, 0, 0, 0, 0, nullptr};
  if (tm.tm_year > 207) tm = {58, 59, 23, 31, 11, 207, 0, 0, 0, 0, nullptr};
  dosTime = static_cast<std::uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
  dosDate = static_cast<std::uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

std::time_t FromDosDateTime(std::uint16_t dosTime, std::uint16_t dosDate) {
  struct tm tm {};
  tm.tm_year = (dosDate >> 9) + 80;
  tm.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
  tm.tm_mday = dosDate & 0x1F;
  tm.tm_hour = dosTime >> 11;
  tm.tm_min = (dosTime >> 5) & 0x3F;
  tm.tm_sec = (dosTime & 0x1F) * 2;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

std::uint32_t DosAttributes(const std::string& name, mode_t mode) {
  std::uint32_t a = 0;
  if (S_ISDIR(mode)) a |= zaDirectory;
  if (S_ISREG(mode)) a |= zaArchive;
  if (!S_ISDIR(mode) && !S_ISREG(mode)) a |= zaSysFile;
  if (!(mode & S_IWUSR)) a |= zaReadOnly;
  if (!name.empty() && name[0] == '.') a |= zaHidden;
  return a;
}

bool IsDirectoryPath(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ZipFileNamePart(const std::string& storedName) {
  const std::size_t cut = storedName.find_last_of("/\\");
  return cut == std::string::npos ? storedName : storedName.substr(cut + 1);
}

TDateTime TZipItem::DateTime() const { return FromUnixTime(FromDosDateTime(DosTime, DosDate)); }

// ---- the component ----

TZipArchiver::TZipArchiver() : RandomSource(SystemRandom) {}
TZipArchiver::~TZipArchiver() = default;

bool TZipArchiver::Active() const { return State_ != nullptr; }

const std::string& TZipArchiver::FileName() const {
  static const std::string none;
  return State_ ? State_->FileName : none;
}

const std::vector<TZipItem>& TZipArchiver::Items() const {
  static const std::vector<TZipItem> none;
  return State_ ? State_->Items : none;
}

void TZipArchiver::RequireOpen() const {
  if (!State_) throw EZipError(zeArchiveBlank);
}

void TZipArchiver::SetBaseDirectory(const std::string& directory) {
  std::string dir = directory;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (State_ && !IsDirectoryPath(dir)) throw EZipError(zeDirectoryMissing);
  BaseDirectory_ = dir;
}

void TZipArchiver::Progress(const TZipItem& item, std::uint64_t done, std::uint64_t total) {
  if (!OnItemProgress) return;
  const int percent = total == 0 || done >= total ? 100 : static_cast<int>(done * 100 / total);
  bool abort = false;
  OnItemProgress(*this, item, percent, abort);
  if (abort) throw EZipAborted();
}

void TZipArchiver::Failure(const TZipItem& item, TZipProcessType processType, TZipErrorClass errorClass,
                           int errorCode) {
  if (OnItemFailure) OnItemFailure(*this, item, processType, errorClass, errorCode);
}

void TZipArchiver::OpenArchive(const std::string& path) {
  CloseArchive();
  if (path.empty() || path[0] != '/') throw EZipError(0, "Full Path Required");
  if (!BaseDirectory_.empty() && !IsDirectoryPath(BaseDirectory_)) throw EZipError(zeDirectoryMissing);

  auto state = std::make_unique<TState>();
  state->FileName = path;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // A new package exists on disk from the start, as an empty file.
    int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (created < 0) ThrowSystemError(errno, "Cannot create " + path);
    ::close(created);
    State_ = std::move(state);
    return;
  }
  if (fd < 0) ThrowSystemError(errno, "Cannot open " + path);
  state->Fd = TFd(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) ThrowSystemError(errno, "Cannot open " + path);
  if (!S_ISREG(st.st_mode)) ThrowSystemError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "Cannot open " + path);
  state->Items = ReadCentralDirectory(fd, state->CentralOffset);
  State_ = std::move(state);
  if (OnLoad) OnLoad(*this);
}

void TZipArchiver::CloseArchive() {
  if (!State_) return;
  // Closed from here on whatever happens, so a failed write cannot leave a
  // half-open package behind for the next OpenArchive to write again.
  std::unique_ptr<TState> state = std::move(State_);
  bool queued = false;
  for (const auto& item : state->Items) queued = queued || item.Queued();
  if (!queued && !state->Items.empty()) return;
  WriteArchive(*state);
  if (OnSave) OnSave(*this);
}

void TZipArchiver::AddFiles(const std::string& mask, std::uint32_t attributes) {
  RequireOpen();
  if (!IsDirectoryPath(BaseDirectory_)) throw EZipError(zeDirectoryMissing);
  const std::string dir = IncludeTrailingPathDelimiter(BaseDirectory_);
  struct stat self {};
  const bool haveSelf = ::stat(State_->FileName.c_str(), &self) == 0;

  for (const std::string& one : SplitMasks(mask)) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) ThrowSystemError(errno, "Cannot list " + dir);
    while (dirent* e = ::readdir(d.get())) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || !MatchMask(one, name)) continue;
      struct stat st {};
      if (::stat((dir + name).c_str(), &st) != 0) continue;  // vanished, or a dangling link
      const std::uint32_t attr = DosAttributes(name, st.st_mode);
      if ((attr & zaDirectory) || ((attr & (zaHidden | zaSysFile)) & ~attributes)) continue;
      if (haveSelf && st.st_dev == self.st_dev && st.st_ino == self.st_ino) continue;

      TZipItem item;
      item.FileName = name;
      item.SourcePath = dir + name;
      item.UncompressedSize = static_cast<std::uint64_t>(st.st_size);
      item.ExternalAttributes = attr;
      bool duplicate = false;
      // Names differing only in letter case would overwrite each other where
      // the packages are unpacked, so they count as the same name.
      for (const auto& existing : State_->Items) duplicate = duplicate || SameText(existing.FileName, name);
      if (duplicate) {
        Failure(item, ptAdd, ecArchive, zeDuplicateName);
        continue;
      }
      State_->Items.push_back(std::move(item));
    }
  }
}

void TZipArchiver::ExtractFiles(const std::string& mask) {
  RequireOpen();
  const std::vector<std::string> masks = SplitMasks(mask);
  const std::vector<TZipItem> items = State_->Items;  // handlers may not disturb the walk
  for (const TZipItem& item : items) {
    if (item.Queued() || !MatchesAny(masks, item.FileName)) continue;
    // Directory entries of other archivers: no directories are made here.
    if (!item.FileName.empty() && (item.FileName.back() == '/' || item.FileName.back() == '\\')) continue;
    try {
      ExtractOne(item);
    } catch (const EZipAborted&) {
      throw;
    } catch (const EZipError& e) {
      Failure(item, ptExtract, e.ErrorClass(), e.ErrorCode());
    } catch (const std::exception&) {
      Failure(item, ptExtract, ecArchive, 0);
    }
  }
}

}  // namespace trelvo
