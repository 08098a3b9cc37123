#pragma once
// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320, pre- and
// post-inverted). The byte table is shared with the PKWARE cipher, whose key
// schedule steps the same CRC one byte at a time.
#include <array>
#include <cstddef>
#include <cstdint>

namespace trelvo {

using TCrc32Tables = std::array<std::array<std::uint32_t, 256>, 8>;
extern const TCrc32Tables kCrc32Tables;

// Continues a running CRC: start with 0, feed the data in any number of pieces.
std::uint32_t UpdateCrc32(std::uint32_t crc, const void* data, std::size_t size);

// One step of the raw (not inverted) register, as the cipher's keys use it.
inline std::uint32_t Crc32Step(std::uint32_t reg, std::uint8_t b) {
  return kCrc32Tables[0][(reg ^ b) & 0xFF] ^ (reg >> 8);
}

}  // namespace trelvo
