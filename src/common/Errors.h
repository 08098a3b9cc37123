#pragma once
// Base of the program's exceptions. Each component derives its own class so a
// procedure can tell where an error came from; Message() is the text that the
// run log shows after "Virhe : ".
#include <stdexcept>
#include <string>

namespace trelvo {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A text that should have held a number, date or time did not.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A file the program had to write or read could not be.
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace trelvo
