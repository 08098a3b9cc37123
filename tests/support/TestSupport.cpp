#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
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
  // Below the kernel's ephemeral range: there every outgoing connection and
  // every passive data listener of the tests running side by side takes its
  // ports, so a port the kernel handed out and we released is soon someone
  // else's. Random, so parallel test processes rarely pick the same one.
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = pick(random);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (free) return port;
  }
  throw std::runtime_error("no free loopback port");
}

TTmpfsMount::TTmpfsMount(size_t sizeBytes) {
  std::string pattern = (std::filesystem::temp_directory_path() / "trelvo-tmpfs-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  Path_ = pattern + "/";
  if (::geteuid() != 0) {
    Error_ = "mounting a tmpfs needs root";
    return;
  }
  const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
  if (::mount("tmpfs", pattern.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    Error_ = std::string("mount tmpfs: ") + std::strerror(errno);
    return;
  }
  Mounted_ = true;
}

TTmpfsMount::~TTmpfsMount() {
  // A lazy unmount still succeeds when a test left a file open on it.
  if (Mounted_) ::umount2(Path_.c_str(), MNT_DETACH);
  std::error_code ec;
  std::filesystem::remove(Path_, ec);
}

size_t TTmpfsMount::FreeBytes() const {
  struct statvfs st {};
  if (::statvfs(Path_.c_str(), &st) != 0) return 0;
  return static_cast<size_t>(st.f_bavail) * st.f_frsize;
}

void TTmpfsMount::Fill(size_t leaveFree) {
  const std::string filler = Path_ + ".filler";
  FILE* f = std::fopen(filler.c_str(), "ab");
  if (!f) throw std::runtime_error("cannot write " + filler);
  std::setvbuf(f, nullptr, _IONBF, 0);
  // Small blocks at the end, so "full" really leaves less than one page.
  std::array<char, 65536> block{};
  size_t chunk = block.size();
  while (chunk > 0) {
    const size_t free = FreeBytes();
    if (free <= leaveFree) break;
    const size_t want = std::min(chunk, free - leaveFree);
    if (std::fwrite(block.data(), 1, want, f) != want) {
      std::clearerr(f);
      chunk /= 2;
    }
  }
  std::fclose(f);
}

void TTmpfsMount::Release() {
  std::error_code ec;
  std::filesystem::remove(Path_ + ".filler", ec);
}

}  // namespace trelvo::test
