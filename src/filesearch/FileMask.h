#pragma once
// File-name masks: "*" any run, "?" one character, "[a-z]" and "[!...]" sets,
// letter case ignored, whole-name match.
#include <string>
#include <vector>

#include "common/Errors.h"

namespace trelvo {

class EFileMaskError : public Exception {
 public:
  using Exception::Exception;
};

class TFileMask {
 public:
  // Throws EFileMaskError "'<mask>' is an invalid mask at (<pos>)".
  explicit TFileMask(const std::string& mask);
  bool Matches(const std::string& name) const;
  const std::string& Mask() const { return Mask_; }

 private:
  struct Range {
    char32_t First, Last;
  };
  struct Part {
    enum Kind { Literal, AnyChar, Star, Set } Kind;
    char32_t Char = 0;  // Literal, upper-cased
    bool Negated = false;
    std::vector<Range> Ranges;  // Set, upper-cased
  };
  static Part MakePart(enum Part::Kind kind, char32_t c = 0) {
    Part p;
    p.Kind = kind;
    p.Char = c;
    return p;
  }
  bool PartMatches(const Part& part, char32_t c) const;

  std::string Mask_;
  std::vector<Part> Parts_;
};

// UTF-8 text as code points (a byte that is no valid UTF-8 stands for itself),
// and the upper case the masks compare in.
std::u32string DecodeName(const std::string& text);
char32_t UpperChar(char32_t c);

}  // namespace trelvo
