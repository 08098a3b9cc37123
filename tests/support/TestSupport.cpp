#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace trelvo::test {

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "trelvo-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  Path_ = pattern + "/";
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Restore write bits first: tests make read-only files and directories.
  for (auto it = std::filesystem::recursive_directory_iterator(Path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(Path_, ec);
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void MakeDir(const std::string& path) { std::filesystem::create_directories(path); }

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  std::array<char, 4096> buf{};
  std::string out;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int status = pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SourceDir() {
  const char* s = std::getenv("TRELVO_SOURCE_DIR");
  return s && *s ? s : TRELVO_SOURCE_DIR_BUILT;
}

std::string BinaryDir() {
  const char* s = std::getenv("TRELVO_BINARY_DIR");
  return s && *s ? s : TRELVO_BINARY_DIR_BUILT;
}

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool TTmpfsMount::Available() { return ::geteuid() == 0; }

TTmpfsMount::TTmpfsMount(size_t sizeBytes) {
  const std::string options = "size=" + std::to_string(sizeBytes);
  if (::mount("tmpfs", Dir_.Path().c_str(), "tmpfs", 0, options.c_str()) != 0)
    throw std::runtime_error("mount tmpfs on " + Dir_.Path() + " failed");
  Mounted_ = true;
}

TTmpfsMount::~TTmpfsMount() {
  if (Mounted_) ::umount2(Dir_.Path().c_str(), MNT_DETACH);
}

size_t TTmpfsMount::FreeBytes() const {
  struct statvfs st {};
  if (::statvfs(Dir_.Path().c_str(), &st) != 0) return 0;
  return static_cast<size_t>(st.f_bavail) * st.f_frsize;
}

void TTmpfsMount::Fill(size_t leaveFree) {
  FILE* f = std::fopen((Dir_.Path() + ".filler").c_str(), "ab");
  if (!f) throw std::runtime_error("cannot make the filler file");
  static const std::array<char, 4096> block{};
  for (size_t free = FreeBytes(); free > leaveFree; free = FreeBytes()) {
    const size_t n = std::min(block.size(), free - leaveFree);
    if (std::fwrite(block.data(), 1, n, f) != n || std::fflush(f) != 0) break;
  }
  std::fclose(f);
}

void TTmpfsMount::Release() { std::remove((Dir_.Path() + ".filler").c_str()); }

}  // namespace trelvo::test
