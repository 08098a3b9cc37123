#include "archive/ZipAes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/ZipArchiver.h"

namespace trelvo {
namespace {

constexpr int kIterations = 1000;
constexpr std::size_t kBlock = 16;
// Key stream made per call to libcrypto: enough blocks that its parallel AES
// runs at full speed, few enough to stay in the first-level cache.
constexpr std::size_t kBatchBlocks = 1024;

std::size_t KeySize(int strength) { return strength >= 1 && strength <= 3 ? 8 + 8 * static_cast<std::size_t>(strength) : 0; }

const EVP_CIPHER* BlockCipher(int strength) {
  switch (strength) {
    case 1: return EVP_aes_128_ecb();
    case 2: return EVP_aes_192_ecb();
    default: return EVP_aes_256_ecb();
  }
}

[[noreturn]] void Refused(const char* what) { throw EZipError(0, std::string("Cannot initialise AES: ") + what); }

}  // namespace

struct TZipAes::TImpl {
  EVP_CIPHER_CTX* Cipher = nullptr;
  EVP_MAC* Mac = nullptr;
  EVP_MAC_CTX* MacCtx = nullptr;
  std::uint64_t Counter = 0;  // the last block number used; the first block is 1
  std::vector<std::uint8_t> Stream = std::vector<std::uint8_t>(kBatchBlocks * kBlock);
  std::size_t StreamUsed = 0, StreamFilled = 0;

  ~TImpl() {
    EVP_CIPHER_CTX_free(Cipher);
    EVP_MAC_CTX_free(MacCtx);
    EVP_MAC_free(Mac);
    OPENSSL_cleanse(Stream.data(), Stream.size());
  }

  // Key stream for at least wanted bytes (as far as one batch goes).
  void Refill(std::size_t wanted) {
    const std::size_t blocks = std::min(kBatchBlocks, (wanted + kBlock - 1) / kBlock);
    // The counter is a 128-bit little-endian number; an entry below 4 GB
    // never reaches its upper half, which stays zero.
    std::uint8_t* p = Stream.data();
    for (std::size_t i = 0; i < blocks; ++i, p += kBlock) {
      std::uint64_t c = ++Counter;
      for (int b = 0; b < 8; ++b, c >>= 8) p[b] = static_cast<std::uint8_t>(c);
      std::memset(p + 8, 0, 8);
    }
    int produced = 0;
    if (EVP_EncryptUpdate(Cipher, Stream.data(), &produced, Stream.data(), static_cast<int>(blocks * kBlock)) != 1 ||
        produced != static_cast<int>(blocks * kBlock))
      throw EZipError(0, "AES failed");
    StreamUsed = 0;
    StreamFilled = blocks * kBlock;
  }
};

std::size_t TZipAes::SaltSize(int strength) { return KeySize(strength) / 2; }

TZipAes::TZipAes(const std::string& password, int strength, const std::uint8_t* salt) : Impl_(std::make_unique<TImpl>()) {
  const std::size_t keySize = KeySize(strength);
  if (keySize == 0) Refused("unknown key strength");
  std::vector<std::uint8_t> keys(2 * keySize + kVerifierSize);
  struct TWipe {
    std::vector<std::uint8_t>& Keys;
    ~TWipe() { OPENSSL_cleanse(Keys.data(), Keys.size()); }
  } wipe{keys};
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, static_cast<int>(SaltSize(strength)),
                        kIterations, EVP_sha1(), static_cast<int>(keys.size()), keys.data()) != 1)
    Refused("key derivation");
  std::memcpy(Verifier_, keys.data() + 2 * keySize, kVerifierSize);

  TImpl& d = *Impl_;
  d.Cipher = EVP_CIPHER_CTX_new();
  if (!d.Cipher || EVP_EncryptInit_ex(d.Cipher, BlockCipher(strength), nullptr, keys.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(d.Cipher, 0) != 1)
    Refused("cipher");
  d.Mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
  d.MacCtx = d.Mac ? EVP_MAC_CTX_new(d.Mac) : nullptr;
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (!d.MacCtx || EVP_MAC_init(d.MacCtx, keys.data() + keySize, keySize, params) != 1) Refused("HMAC");
}

TZipAes::~TZipAes() = default;

void TZipAes::ApplyKeyStream(std::uint8_t* data, std::size_t size) {
  TImpl& d = *Impl_;
  while (size > 0) {
    if (d.StreamUsed == d.StreamFilled) d.Refill(size);
    const std::size_t n = std::min(size, d.StreamFilled - d.StreamUsed);
    const std::uint8_t* k = d.Stream.data() + d.StreamUsed;
    for (std::size_t i = 0; i < n; ++i) data[i] ^= k[i];
    data += n;
    size -= n;
    d.StreamUsed += n;
  }
}

void TZipAes::Authenticate(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && EVP_MAC_update(Impl_->MacCtx, data, size) != 1) throw EZipError(0, "HMAC failed");
}

void TZipAes::Encrypt(std::uint8_t* data, std::size_t size) {
  ApplyKeyStream(data, size);
  Authenticate(data, size);
}

void TZipAes::Decrypt(std::uint8_t* data, std::size_t size) {
  Authenticate(data, size);
  ApplyKeyStream(data, size);
}

void TZipAes::Finish(std::uint8_t mac[kMacSize]) {
  std::uint8_t full[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  if (EVP_MAC_final(Impl_->MacCtx, full, &length, sizeof full) != 1 || length < kMacSize)
    throw EZipError(0, "HMAC failed");
  std::memcpy(mac, full, kMacSize);
}

}  // namespace trelvo
