#pragma once
// The run log: every line goes to a spool file as it comes, so the saved log
// is the whole run however long; in memory (and in the view) only its last
// lines stay, so a head office's evening at a thousand sites takes no more
// memory than one at ten.
#include <cstdio>
#include <string>
#include <vector>

namespace trelvo {

class TTrelvoView;

class TMemoLog {
 public:
  // The lines kept in memory: at least this many of the newest, at most twice.
  static constexpr size_t kTail = 5000;

  TMemoLog();
  ~TMemoLog();
  TMemoLog(const TMemoLog&) = delete;
  TMemoLog& operator=(const TMemoLog&) = delete;

  void SetView(TTrelvoView* view) { View_ = view; }
  void Add(const std::string& line);
  void Clear();
  // The newest lines; when earlier ones have left memory, the first line
  // says how many of them are in the saved file only.
  const std::vector<std::string>& Lines() const { return Lines_; }
  // Every line since the last Clear, in order.
  long long Count() const { return Count_; }
  // Every line since the last Clear, one per line, LF ends, replacing the
  // file atomically. Throws EInOutError naming the file when it cannot be
  // written.
  void SaveToFile(const std::string& fileName) const;

 private:
  void Trim();

  std::vector<std::string> Lines_;
  long long Count_ = 0;
  long long Dropped_ = 0;
  // The whole log since Clear; anonymous, so nothing is left behind.
  std::FILE* Spool_ = nullptr;
  bool SpoolFailed_ = false;
  TTrelvoView* View_ = nullptr;
};

// Writes data to fileName through a temporary file in the same directory and a
// rename, so a reader never sees half a file. Throws EInOutError.
void WriteFileAtomically(const std::string& fileName, const std::string& data);

}  // namespace trelvo
