#pragma once
// The traditional PKWARE stream cipher: three 32-bit keys initialised from the
// password and updated with every plain byte.
#include <cstddef>
#include <cstdint>
#include <string>

namespace trelvo {

class TZipCipher {
 public:
  static constexpr std::size_t kHeaderSize = 12;

  explicit TZipCipher(const std::string& password);
  void Encrypt(std::uint8_t* data, std::size_t size);
  void Decrypt(std::uint8_t* data, std::size_t size);

 private:
  void UpdateKeys(std::uint8_t plain);

  std::uint32_t Key0_ = 0x12345678, Key1_ = 0x23456789, Key2_ = 0x34567890;
};

}  // namespace trelvo
