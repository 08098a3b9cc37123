#pragma once
// What long-running work (packing, merging, transfers) needs from whoever runs
// it: somewhere to write run-log lines, a meter, and a chance for the event
// loop to breathe. The program's core implements it; tests record it.
#include <string>

namespace trelvo {

class TRunReport {
 public:
  virtual ~TRunReport() = default;
  virtual void Log(const std::string& line) = 0;
  virtual void SetMeter(int percent) = 0;
  virtual void ProcessMessages() = 0;
};

}  // namespace trelvo
