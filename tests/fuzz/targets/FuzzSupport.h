#pragma once
// What the fuzz targets share: a scratch directory of the process's own,
// removed at exit, and a check that aborts (so libFuzzer keeps the input)
// when a property of the parsed result does not hold.
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace trelvo::fuzz {

inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

inline std::string& ScratchPath() {
  static std::string path;
  return path;
}

inline void RemoveScratch() {
  if (ScratchPath().empty()) return;
  ::nftw(
      ScratchPath().c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// The same directory for the whole run: one per process, so parallel jobs
// never share one.
inline const std::string& Scratch() {
  if (ScratchPath().empty()) {
    // Memory-backed where the machine has it: the targets write and sync
    // files at every input.
    const char* base = std::getenv("TMPDIR");
    std::string dir = base && *base ? base : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = dir + "/trelvo-fuzz.XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    ScratchPath() = tmpl;
    std::atexit(RemoveScratch);
  }
  return ScratchPath();
}

inline void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
}

}  // namespace trelvo::fuzz
