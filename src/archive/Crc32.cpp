#include "archive/Crc32.h"

#include <cstring>

namespace trelvo {
namespace {

// Slicing-by-8: eight tables let the loop fold eight input bytes per step,
// which keeps the checksum far below the cost of inflating the same data.
constexpr TCrc32Tables MakeTables() {
  TCrc32Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i)
    for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}

}  // namespace

constexpr TCrc32Tables kCrc32TablesInit = MakeTables();
const TCrc32Tables kCrc32Tables = kCrc32TablesInit;

std::uint32_t UpdateCrc32(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const auto& t = kCrc32TablesInit;
  std::uint32_t c = ~crc;
  while (size >= 8) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);  // x86-64 is little-endian; the fold assumes it
    std::memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace trelvo
