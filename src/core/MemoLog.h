#pragma once
// The run log: lines in memory, shown by the view, saved to a file at the end
// of each run.
#include <string>
#include <vector>

namespace trelvo {

class TTrelvoView;

class TMemoLog {
 public:
  void SetView(TTrelvoView* view) { View_ = view; }
  void Add(const std::string& line);
  void Clear();
  const std::vector<std::string>& Lines() const { return Lines_; }
  // One line per log line, LF ends, replacing the file atomically. Throws
  // EInOutError naming the file when it cannot be written.
  void SaveToFile(const std::string& fileName) const;

 private:
  std::vector<std::string> Lines_;
  TTrelvoView* View_ = nullptr;
};

// Writes data to fileName through a temporary file in the same directory and a
// rename, so a reader never sees half a file. Throws EInOutError.
void WriteFileAtomically(const std::string& fileName, const std::string& data);

}  // namespace trelvo
