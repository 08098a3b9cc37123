#include "core/MemoLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>

#include "common/Errors.h"
#include "common/Text.h"
#include "core/View.h"

namespace trelvo {

namespace {

// The temporary file, filled by write(fd) until it returns false, then
// renamed over fileName. write gives 0 or an errno.
void ReplaceFile(const std::string& fileName, const std::function<int(int)>& write) {
  const std::string tmp = ExtractFilePath(fileName) + "." + ExtractFileName(fileName) + ".tmp~";
  auto fail = [&](int err) {
    ::unlink(tmp.c_str());
    throw EInOutError("Cannot create file \"" + fileName + "\". " + SysErrorMessage(err));
  };
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw EInOutError("Cannot create file \"" + fileName + "\". " + SysErrorMessage(errno));
  if (int err = write(fd); err != 0) {
    ::close(fd);
    fail(err);
  }
  if (::close(fd) != 0) fail(errno);
  struct stat st {};
  if (::stat(fileName.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) fail(EISDIR);
  if (std::rename(tmp.c_str(), fileName.c_str()) != 0) fail(errno);
}

int WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

void THeadlessView::LogAppended(const std::string& line) {
  if (Echo_) *Echo_ << line << '\n' << std::flush;
}

TMemoLog::TMemoLog() : Spool_(std::tmpfile()) {}

TMemoLog::~TMemoLog() {
  if (Spool_) std::fclose(Spool_);
}

void TMemoLog::Add(const std::string& line) {
  if (Spool_ && !SpoolFailed_ && (std::fwrite(line.data(), 1, line.size(), Spool_) != line.size() ||
                                  std::fputc('\n', Spool_) == EOF))
    SpoolFailed_ = true;
  ++Count_;
  Lines_.push_back(line);
  if (Lines_.size() > 2 * kTail + 1) Trim();
  if (View_) View_->LogAppended(line);
}

// Down to the header and the newest kTail lines, at most once every kTail
// lines, so adding a line stays cheap.
void TMemoLog::Trim() {
  const size_t header = Dropped_ > 0 ? 1 : 0;
  const size_t drop = Lines_.size() - header - kTail;
  Lines_.erase(Lines_.begin() + static_cast<long>(header), Lines_.begin() + static_cast<long>(header + drop));
  Dropped_ += static_cast<long long>(drop);
  const std::string text = "(" + IntToStr(Dropped_) + " aiempaa riviä on vain tallennetussa lokitiedostossa)";
  if (header)
    Lines_[0] = text;
  else
    Lines_.insert(Lines_.begin(), text);
}

void TMemoLog::Clear() {
  Lines_.clear();
  Count_ = 0;
  Dropped_ = 0;
  SpoolFailed_ = false;
  if (Spool_) {
    std::fflush(Spool_);
    if (::ftruncate(fileno(Spool_), 0) != 0) SpoolFailed_ = true;
    std::rewind(Spool_);
  }
  if (View_) View_->LogCleared();
}

void TMemoLog::SaveToFile(const std::string& fileName) const {
  if (!Spool_ || SpoolFailed_ || std::fflush(Spool_) != 0) {
    // Without the spool only the lines in memory can be saved.
    std::string data;
    for (const auto& line : Lines_) data += line + "\n";
    WriteFileAtomically(fileName, data);
    return;
  }
  const int spool = fileno(Spool_);
  ReplaceFile(fileName, [&](int fd) {
    static constexpr size_t kBuffer = 1 << 16;
    std::vector<char> buf(kBuffer);
    for (off_t at = 0;;) {
      ssize_t n = ::pread(spool, buf.data(), kBuffer, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return 0;
      if (int err = WriteAll(fd, buf.data(), static_cast<size_t>(n)); err != 0) return err;
      at += n;
    }
  });
}

void WriteFileAtomically(const std::string& fileName, const std::string& data) {
  ReplaceFile(fileName, [&](int fd) { return WriteAll(fd, data.data(), data.size()); });
}

}  // namespace trelvo
