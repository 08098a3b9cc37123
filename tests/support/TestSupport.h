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

// A tmpfs of sizeBytes mounted on a fresh directory, for tests of a full
// disk on a real file system; unmounted (with what it holds) when the object
// goes. Needs root: check Available() and skip otherwise.
class TTmpfsMount {
 public:
  explicit TTmpfsMount(size_t sizeBytes);
  ~TTmpfsMount();
  TTmpfsMount(const TTmpfsMount&) = delete;
  TTmpfsMount& operator=(const TTmpfsMount&) = delete;
  static bool Available();
  // Ends with "/".
  const std::string& Path() const { return Dir_.Path(); }
  size_t FreeBytes() const;
  // A filler file takes the space until at most leaveFree bytes are free.
  void Fill(size_t leaveFree = 0);
  // The filler goes: the space is free again.
  void Release();

 private:
  TTempDir Dir_;
  bool Mounted_ = false;
};

}  // namespace trelvo::test
