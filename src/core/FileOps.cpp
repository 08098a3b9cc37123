// The file operations of the transfers: delete and copy by "dir/mask" path,
// each file logged, failures logged and remembered in TransferOk.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "common/Text.h"
#include "core/TrelvoCore.h"

namespace trelvo {
namespace {

// Another entry of dir whose name equals name but for letter case, or "".
std::string CaseVariantIn(const std::string& dir, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.empty() ? "." : dir.c_str()), closedir);
  if (!d) return {};
  while (dirent* e = readdir(d.get()))
    if (name != e->d_name && SameText(name, e->d_name)) return e->d_name;
  return {};
}

// Copies source to destination like the platform copy: contents, permission
// bits and last write time. An existing destination (in any letter case) is
// replaced through a temporary file and a rename, so it is never half
// written. Returns 0 or the errno of the failure.
int CopyOneFile(const std::string& source, const std::string& destination, bool failIfExists, bool sync) {
  const std::string dir = ExtractFilePath(destination);
  const std::string name = ExtractFileName(destination);
  const std::string variant = CaseVariantIn(dir, name);
  struct stat dst {};
  const bool exists = ::stat(destination.c_str(), &dst) == 0;
  if (failIfExists && (exists || !variant.empty())) return EEXIST;
  if (exists && S_ISDIR(dst.st_mode)) return EISDIR;

  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat src {};
  if (::fstat(in, &src) != 0 || S_ISDIR(src.st_mode)) {
    int err = S_ISDIR(src.st_mode) ? EISDIR : errno;
    ::close(in);
    return err;
  }
  std::string tmp = dir + "." + name + ".XXXXXX";
  int out = ::mkstemp(tmp.data());
  if (out < 0) {
    int err = errno;
    ::close(in);
    return err;
  }
  int err = 0;
  static constexpr size_t kBuffer = 1 << 20;
  std::unique_ptr<char[]> buf(new char[kBuffer]);
  for (;;) {
    ssize_t n = ::read(in, buf.get(), kBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) { err = errno; break; }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf.get() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) { err = errno; break; }
      done += w;
    }
    if (err) break;
  }
  if (!err) {
    ::fchmod(out, src.st_mode & 07777);
    struct timespec times[2] = {src.st_atim, src.st_mtim};
    ::futimens(out, times);
    if (sync && ::fsync(out) != 0) err = errno;
  }
  if (::close(out) != 0 && !err) err = errno;
  ::close(in);
  if (!err && std::rename(tmp.c_str(), destination.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(tmp.c_str());
    return err;
  }
  if (!variant.empty()) ::unlink((dir + variant).c_str());
  return 0;
}

}  // namespace

void TTrelvoCore::FileFinderFileFound(const TFoundFileInfo& info) {
  FoundFiles.push_back(info.Path + info.Name);
}

bool TTrelvoCore::FindFiles(const std::string& path) {
  FoundFiles.clear();
  FileFinder.RootPath = ExtractFilePath(path);
  FileFinder.FileNames.clear();
  FileFinder.FileNames.push_back(ExtractFileName(path));
  return FileFinder.Search();
}

bool TTrelvoCore::DeleteFiles(const std::string& path) {
  if (path.find('*') != std::string::npos) Log("Poistetaan : " + path);
  if (path.empty()) return false;
  try {
    if (FindFiles(path)) {
      for (const auto& entry : FoundFiles) {
        Log("Poistetaan : " + entry);
        if (::unlink(entry.c_str()) != 0) {
          Log("Virhe : Tiedoston poistossa (1).");
          TransferOk = false;
        }
      }
    }
  } catch (const std::exception& e) {
    Log("Virhe : Tiedoston poistossa (2).");
    Log(std::string("Virhe : ") + e.what());
    TransferOk = false;
  }
  return TransferOk;
}

bool TTrelvoCore::CopyFiles(const std::string& source, const std::string& targetDir, bool failIfExists,
                            std::vector<std::string>* unsynced) {
  bool result = true;
  try {
    if (FindFiles(source)) {
      std::string target = targetDir;
      NormalizeDir(target);
      for (const auto& entry : FoundFiles) {
        const std::string destination = target + ExtractFileName(entry);
        Log("Cp : " + entry);
        Log("  -> " + destination);
        if (unsynced) unsynced->push_back(destination);
        if (int err = CopyOneFile(entry, destination, failIfExists, !unsynced); err != 0) {
          Log("Source      : " + entry);
          Log("Destination : " + destination);
          Log("FileCopySilent : (" + IntToStr(err) + ") " + SysErrorMessage(err));
          TransferOk = false;
          result = false;
        }
      }
    }
  } catch (const std::exception& e) {
    Log("Virhe : Tiedoston kopioinnissa (2).");
    Log(std::string("Virhe : ") + e.what());
    TransferOk = false;
    result = false;
  }
  return result;
}

}  // namespace trelvo
