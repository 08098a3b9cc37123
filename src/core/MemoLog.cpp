#include "core/MemoLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/Errors.h"
#include "common/Text.h"
#include "core/View.h"

namespace trelvo {

void THeadlessView::LogAppended(const std::string& line) {
  if (Echo_) *Echo_ << line << '\n' << std::flush;
}

void TMemoLog::Add(const std::string& line) {
  Lines_.push_back(line);
  if (View_) View_->LogAppended(line);
}

void TMemoLog::Clear() {
  Lines_.clear();
  if (View_) View_->LogCleared();
}

void TMemoLog::SaveToFile(const std::string& fileName) const {
  std::string data;
  for (const auto& line : Lines_) data += line + "\n";
  WriteFileAtomically(fileName, data);
}

void WriteFileAtomically(const std::string& fileName, const std::string& data) {
  const std::string tmp = ExtractFilePath(fileName) + "." + ExtractFileName(fileName) + ".tmp~";
  auto fail = [&](int err) {
    ::unlink(tmp.c_str());
    throw EInOutError("Cannot create file \"" + fileName + "\". " + SysErrorMessage(err));
  };
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw EInOutError("Cannot create file \"" + fileName + "\". " + SysErrorMessage(errno));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      fail(err);
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) fail(errno);
  struct stat st {};
  if (::stat(fileName.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) fail(EISDIR);
  if (std::rename(tmp.c_str(), fileName.c_str()) != 0) fail(errno);
}

}  // namespace trelvo
