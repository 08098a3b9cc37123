#include "filesearch/FileMask.h"

namespace trelvo {
namespace {

constexpr int kMaxStarParts = 30;

[[noreturn]] void Invalid(const std::string& mask, size_t pos) {
  throw EFileMaskError("'" + mask + "' is an invalid mask at (" + std::to_string(pos) + ")");
}

}  // namespace

std::u32string DecodeName(const std::string& s) {
  std::u32string out;
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len > 0 && i + static_cast<size_t>(len) <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      // Not UTF-8: the raw byte, kept apart from real code points.
      out.push_back(0xDC00 + b);
      ++i;
    } else {
      out.push_back(cp);
      i += static_cast<size_t>(len);
    }
  }
  return out;
}

char32_t UpperChar(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
  // Latin-1 letters (ä, ö, å...), enough for the names this program meets.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  return c;
}

TFileMask::TFileMask(const std::string& mask) : Mask_(mask) {
  const std::u32string m = DecodeName(mask);
  int starParts = 0;
  size_t i = 0;
  while (i < m.size()) {
    const size_t pos = i + 1;  // 1-based, in characters
    char32_t c = m[i];
    if (c == '*') {
      if (++starParts > kMaxStarParts) Invalid(mask, pos);
      // Consecutive stars, and a "?" right after a star, add nothing.
      while (i + 1 < m.size() && (m[i + 1] == '*' || m[i + 1] == '?')) ++i;
      Parts_.push_back(MakePart(Part::Star));
      ++i;
    } else if (c == '?') {
      Parts_.push_back(MakePart(Part::AnyChar));
      ++i;
    } else if (c == '[') {
      Part set = MakePart(Part::Set);
      ++i;
      if (i < m.size() && m[i] == '!') {
        set.Negated = true;
        ++i;
      }
      bool closed = false;
      while (i < m.size()) {
        if (m[i] == ']') {
          closed = true;
          ++i;
          break;
        }
        char32_t first = UpperChar(m[i]);
        if (i + 2 < m.size() && m[i + 1] == '-' && m[i + 2] != ']') {
          set.Ranges.push_back({first, UpperChar(m[i + 2])});
          i += 3;
        } else {
          set.Ranges.push_back({first, first});
          ++i;
        }
      }
      if (!closed || set.Ranges.empty()) Invalid(mask, closed ? i : m.size() + 1);
      Parts_.push_back(std::move(set));
    } else {
      Parts_.push_back(MakePart(Part::Literal, UpperChar(c)));
      ++i;
    }
  }
}

bool TFileMask::PartMatches(const Part& part, char32_t c) const {
  switch (part.Kind) {
    case Part::Literal:
      return part.Char == c;
    case Part::AnyChar:
      return true;
    case Part::Set: {
      bool in = false;
      for (const Range& r : part.Ranges) in = in || (c >= r.First && c <= r.Last);
      return in != part.Negated;
    }
    case Part::Star:
      break;
  }
  return false;
}

bool TFileMask::Matches(const std::string& name) const {
  std::u32string n = DecodeName(name);
  for (char32_t& c : n) c = UpperChar(c);
  // Greedy match with one remembered star: linear for these single-character parts.
  size_t p = 0, s = 0;
  size_t starPart = std::string::npos, starName = 0;
  while (s < n.size()) {
    if (p < Parts_.size() && Parts_[p].Kind == Part::Star) {
      starPart = p++;
      starName = s;
    } else if (p < Parts_.size() && PartMatches(Parts_[p], n[s])) {
      ++p;
      ++s;
    } else if (starPart != std::string::npos) {
      p = starPart + 1;
      s = ++starName;
    } else {
      return false;
    }
  }
  while (p < Parts_.size() && Parts_[p].Kind == Part::Star) ++p;
  return p == Parts_.size();
}

}  // namespace trelvo
