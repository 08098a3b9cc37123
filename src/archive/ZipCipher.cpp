#include "archive/ZipCipher.h"

#include "archive/Crc32.h"

namespace trelvo {

TZipCipher::TZipCipher(const std::string& password) {
  for (unsigned char c : password) UpdateKeys(c);
}

inline void TZipCipher::UpdateKeys(std::uint8_t plain) {
  Key0_ = Crc32Step(Key0_, plain);
  Key1_ = (Key1_ + (Key0_ & 0xFF)) * 134775813u + 1;
  Key2_ = Crc32Step(Key2_, static_cast<std::uint8_t>(Key1_ >> 24));
}

// The loops keep the keys in locals: going through the members on every byte
// costs about a third of the speed.
void TZipCipher::Encrypt(std::uint8_t* data, std::size_t size) {
  const auto& t = kCrc32Tables[0];
  std::uint32_t k0 = Key0_, k1 = Key1_, k2 = Key2_;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t s = (k2 | 2) & 0xFFFF;
    const std::uint8_t plain = data[i];
    data[i] = plain ^ static_cast<std::uint8_t>((s * (s ^ 1)) >> 8);
    k0 = t[(k0 ^ plain) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = t[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  Key0_ = k0, Key1_ = k1, Key2_ = k2;
}

void TZipCipher::Decrypt(std::uint8_t* data, std::size_t size) {
  const auto& t = kCrc32Tables[0];
  std::uint32_t k0 = Key0_, k1 = Key1_, k2 = Key2_;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t s = (k2 | 2) & 0xFFFF;
    const std::uint8_t plain = data[i] ^ static_cast<std::uint8_t>((s * (s ^ 1)) >> 8);
    data[i] = plain;
    k0 = t[(k0 ^ plain) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = t[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  Key0_ = k0, Key1_ = k1, Key2_ = k2;
}

}  // namespace trelvo
