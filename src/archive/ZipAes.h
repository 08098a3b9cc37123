#pragma once
// The AES entry cipher of ZIP (AE-1 and AE-2): keys from the password and a
// per-entry salt, AES in counter mode with a little-endian counter, and an
// HMAC-SHA1 over the encrypted bytes. Unlike the traditional cipher it tells
// a wrong password from damage reliably, because the code covers every byte.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace trelvo {

class TZipAes {
 public:
  static constexpr std::uint16_t kExtraId = 0x9901;
  static constexpr std::uint16_t kMethod = 99;  // the headers' method of every AES entry
  static constexpr std::size_t kVerifierSize = 2;
  static constexpr std::size_t kMacSize = 10;
  static constexpr int kStrength256 = 3;

  // Salt bytes for a key strength (1, 2, 3 for AES-128, -192, -256); 0 for
  // a strength that does not exist.
  static std::size_t SaltSize(int strength);

  // Derives the keys; throws EZipError when libcrypto refuses.
  TZipAes(const std::string& password, int strength, const std::uint8_t* salt);
  ~TZipAes();
  TZipAes(const TZipAes&) = delete;
  TZipAes& operator=(const TZipAes&) = delete;

  // The 2 bytes stored after the salt; a reader compares them before it
  // decrypts anything.
  const std::uint8_t* Verifier() const { return Verifier_; }

  // Both work in place on any number of pieces of any length.
  void Encrypt(std::uint8_t* data, std::size_t size);  // encrypt, then authenticate
  void Decrypt(std::uint8_t* data, std::size_t size);  // authenticate, then decrypt
  // The authentication code over everything that passed; once per entry.
  void Finish(std::uint8_t mac[kMacSize]);

  // The two halves of Decrypt, for a reader that runs them on two threads:
  // they share no state, so each may run on its own thread, in order there.
  void Authenticate(const std::uint8_t* data, std::size_t size);
  void ApplyKeyStream(std::uint8_t* data, std::size_t size);

 private:

  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
  std::uint8_t Verifier_[kVerifierSize] = {0, 0};
};

}  // namespace trelvo
