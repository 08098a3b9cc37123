#include "common/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/Text.h"

namespace trelvo {
namespace {

// Only blanks and tabs surround names and values; other control bytes are data.
std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : FileName_(std::move(fileName)) {
  const int fd = ::open(FileName_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) ReadError_ = errno;
    return;
  }
  ::close(fd);
  std::ifstream in(FileName_, std::ios::binary);
  if (!in) return;
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string data = buffer.str();
  size_t start = 0;
  while (start < data.size()) {
    size_t nl = data.find('\n', start);
    const bool lastLine = nl == std::string::npos;
    size_t end = lastLine ? data.size() : nl;
    const bool crlf = !lastLine && end > start && data[end - 1] == '\r';
    if (crlf || (lastLine && end > start && data[end - 1] == '\r')) --end;
    Lines_.push_back({data.substr(start, end - start), lastLine ? std::string() : std::string(crlf ? "\r\n" : "\n")});
    start = lastLine ? data.size() : nl + 1;
  }
}

TIniFile::Kind TIniFile::Classify(const std::string& text, std::string& name, std::string& value) {
  std::string t = TrimBlanks(text);
  if (t.empty() || t[0] == ';') return Kind::Other;
  if (t[0] == '[') {
    size_t close = t.find(']');
    if (close == std::string::npos) return Kind::Other;
    name = TrimBlanks(t.substr(1, close - 1));
    return Kind::Section;
  }
  size_t eq = t.find('=');
  if (eq == std::string::npos) return Kind::Other;
  name = TrimBlanks(t.substr(0, eq));
  value = TrimBlanks(t.substr(eq + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return name.empty() ? Kind::Other : Kind::Key;
}

long TIniFile::FindSection(const std::string& section) const {
  std::string name, value;
  for (size_t i = 0; i < Lines_.size(); ++i)
    if (Classify(Lines_[i].Text, name, value) == Kind::Section && SameText(name, section))
      return static_cast<long>(i);
  return -1;
}

long TIniFile::FindKey(long sectionLine, const std::string& key) const {
  std::string name, value;
  for (size_t i = static_cast<size_t>(sectionLine) + 1; i < Lines_.size(); ++i) {
    Kind kind = Classify(Lines_[i].Text, name, value);
    if (kind == Kind::Section) break;
    if (kind == Kind::Key && SameText(name, key)) return static_cast<long>(i);
  }
  return -1;
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(section) >= 0; }

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  long s = FindSection(section);
  return s >= 0 && FindKey(s, key) >= 0;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  long s = FindSection(section);
  if (s < 0) return def;
  long k = FindKey(s, key);
  if (k < 0) return def;
  std::string name, value;
  Classify(Lines_[static_cast<size_t>(k)].Text, name, value);
  if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
  return value;
}

long long TIniFile::ReadInteger(const std::string& section, const std::string& key, long long def) const {
  return StrToInt64Def(ReadString(section, key, ""), def);
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> result;
  std::string name, value;
  for (const Line& line : Lines_) {
    if (Classify(line.Text, name, value) != Kind::Section) continue;
    bool seen = false;
    for (const auto& r : result) seen = seen || SameText(r, name);
    if (!seen) result.push_back(name);
  }
  return result;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> result;
  long s = FindSection(section);
  if (s < 0) return result;
  std::string name, value;
  for (size_t i = static_cast<size_t>(s) + 1; i < Lines_.size(); ++i) {
    Kind kind = Classify(Lines_[i].Text, name, value);
    if (kind == Kind::Section) break;
    if (kind != Kind::Key) continue;
    bool seen = false;
    for (const auto& r : result) seen = seen || SameText(r, name);
    if (!seen) result.push_back(name);
  }
  return result;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::vector<Line> before = Lines_;
  long s = FindSection(section);
  if (s < 0) {
    if (!Lines_.empty() && Lines_.back().Ending.empty()) Lines_.back().Ending = "\n";
    if (!Lines_.empty() && !TrimBlanks(Lines_.back().Text).empty()) Lines_.push_back({"", "\n"});
    Lines_.push_back({"[" + section + "]", "\n"});
    Lines_.push_back({key + "=" + value, "\n"});
  } else if (long k = FindKey(s, key); k >= 0) {
    Lines_[static_cast<size_t>(k)].Text = key + "=" + value;
  } else {
    // After the section's last key (blank lines and comments that follow stay below it).
    size_t insertAt = static_cast<size_t>(s) + 1;
    std::string name, v;
    for (size_t i = static_cast<size_t>(s) + 1; i < Lines_.size(); ++i) {
      Kind kind = Classify(Lines_[i].Text, name, v);
      if (kind == Kind::Section) break;
      if (kind == Kind::Key) insertAt = i + 1;
    }
    if (insertAt == Lines_.size() && !Lines_.empty() && Lines_.back().Ending.empty())
      Lines_.back().Ending = "\n";
    Lines_.insert(Lines_.begin() + static_cast<long>(insertAt), Line{key + "=" + value, "\n"});
  }
  try {
    Save();
  } catch (...) {
    Lines_ = std::move(before);
    throw;
  }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, long long value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::Save() const {
  auto fail = [&](int err) {
    throw EIniFileError("Cannot write file " + FileName_ + ": " + SysErrorMessage(err));
  };
  // A file that is there but could not be read would be replaced by the one
  // key being written, losing every other setting.
  if (ReadError_ != 0) fail(ReadError_);
  struct stat existing {};
  const bool exists = ::stat(FileName_.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) fail(EISDIR);
  // A read-only settings file stays unwritten even for root, who could
  // otherwise rename over it.
  if (exists && S_ISREG(existing.st_mode) && !(existing.st_mode & S_IWUSR)) fail(EACCES);

  // Written beside the file and renamed over it, so a crash or a full disk
  // never leaves a half-written file. mkstemp makes the new file 0600 and
  // under a name nobody else can have laid a link at beforehand.
  std::string tmp = FileName_ + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) fail(errno);
  int err = 0;
  auto check = [&](bool ok) {
    if (!ok && err == 0) err = errno ? errno : EIO;
    return ok;
  };
  // Settings hold the passwords, so only the owner reads them, whatever the
  // umask or the old file allowed.
  check(::fchmod(fd, 0600) == 0);
  // The service may run as another user than the one who edits: the file
  // keeps its owner and group, or is not written at all, since a file the
  // service can no longer read would start it with defaults.
  if (exists && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()))
    check(::fchown(fd, existing.st_uid, existing.st_gid) == 0);
  std::string data;
  for (const Line& line : Lines_) data += line.Text + line.Ending;
  for (size_t done = 0; err == 0 && done < data.size();) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (!check(n > 0)) break;
    done += static_cast<size_t>(n);
  }
  if (err == 0) check(::fsync(fd) == 0);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0) check(std::rename(tmp.c_str(), FileName_.c_str()) == 0);
  if (err != 0) {
    ::unlink(tmp.c_str());
    fail(err);
  }
  // The rename itself lasts through a power cut only once the directory is on disk.
  std::string dir = FileName_.substr(0, FileName_.rfind('/') + 1);
  int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

}  // namespace trelvo
