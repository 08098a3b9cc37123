#pragma once
// Where "now" comes from. The program uses the system clock; tests and the
// demo set the time, so schedules, file-name stamps and log times can be
// checked at any moment of any day.
#include "common/DateTime.h"

namespace trelvo {

class TClock {
 public:
  virtual ~TClock() = default;
  virtual TDateTime Now() const = 0;
  TDateTime Today() const { return DateOf(Now()); }
};

class TSystemClock : public TClock {
 public:
  TDateTime Now() const override;
};

class TFixedClock : public TClock {
 public:
  explicit TFixedClock(TDateTime now = 0) : Now_(now) {}
  TDateTime Now() const override { return Now_; }
  void Set(TDateTime now) { Now_ = now; }
  void AdvanceSeconds(double seconds) { Now_ += seconds / 86400.0; }

 private:
  TDateTime Now_;
};

}  // namespace trelvo
