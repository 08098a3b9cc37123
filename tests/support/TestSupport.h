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

}  // namespace trelvo::test
