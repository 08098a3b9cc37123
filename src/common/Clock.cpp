#include "common/Clock.h"

#include <chrono>

namespace trelvo {

TDateTime TSystemClock::Now() const {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  return FromUnixTime(system_clock::to_time_t(now), static_cast<int>(ms));
}

}  // namespace trelvo
