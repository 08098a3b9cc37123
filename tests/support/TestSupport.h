#pragma once
// Helpers shared by the test folders.
#include <string>
#include <vector>

namespace trelvo::test {

// A fresh directory under the system temp dir, removed with everything in it
// when the object goes. Path() ends with "/".
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return Path_; }
  std::string operator/(const std::string& name) const { return Path_ + name; }

 private:
  std::string Path_;
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void MakeDir(const std::string& path);
// Names in a directory, sorted.
std::vector<std::string> ListDir(const std::string& dir);
// Runs a shell command; returns its exit status and (optionally) its stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);
// The repository and build directories (from the environment ctest sets).
std::string SourceDir();
std::string BinaryDir();
// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// A small tmpfs mounted on a fresh temp directory, for tests of a full disk on
// a real file system. Mounting needs root: when it is not possible, Mounted()
// is false and Error() says why, so the test can skip. Unmounted and removed
// when the object goes. Path() ends with "/".
class TTmpfsMount {
 public:
  explicit TTmpfsMount(size_t sizeBytes);
  ~TTmpfsMount();
  TTmpfsMount(const TTmpfsMount&) = delete;
  TTmpfsMount& operator=(const TTmpfsMount&) = delete;
  bool Mounted() const { return Mounted_; }
  const std::string& Error() const { return Error_; }
  const std::string& Path() const { return Path_; }
  std::string operator/(const std::string& name) const { return Path_ + name; }
  // Bytes still free for an ordinary writer.
  size_t FreeBytes() const;
  // Takes space with a filler file until at most leaveFree bytes are free
  // (0: completely full); Release() gives it back.
  void Fill(size_t leaveFree = 0);
  void Release();

 private:
  std::string Path_;
  std::string Error_;
  bool Mounted_ = false;
};

}  // namespace trelvo::test
