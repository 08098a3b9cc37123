#pragma once
// Pieces shared by the reading and the writing side of TZipArchiver; not part
// of the component's interface.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive/ZipArchiver.h"

namespace trelvo {

// Every entry's data passes through buffers of this size: large enough that
// system calls cost nothing next to Deflate, small enough to keep memory flat.
constexpr std::size_t kZipBufferSize = 256 * 1024;

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kDescriptorSize = 12;
// Without ZIP64 records every size and offset must fit 32 bits.
constexpr std::uint64_t kMaxZipSize = 0xFFFFFFFEu;

// Writes little-endian fields into a byte vector.
class TLeWriter {
 public:
  void U16(std::uint16_t v) { Bytes.push_back(v & 0xFF), Bytes.push_back(v >> 8); }
  void U32(std::uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  void Text(const std::string& s) { Bytes.insert(Bytes.end(), s.begin(), s.end()); }
  std::vector<std::uint8_t> Bytes;
};

// Reads little-endian fields from a byte range. A read past the end yields
// zeros and sets Failed, which stays set, so a parser checks once at the end
// of a record and can never read outside the buffer.
class TLeReader {
 public:
  TLeReader(const std::uint8_t* data, std::size_t size) : Data_(data), Size_(size) {}
  std::uint8_t U8() {
    const std::uint8_t* p = Take(1);
    return p ? p[0] : 0;
  }
  std::uint16_t U16() {
    const std::uint8_t* p = Take(2);
    return p ? static_cast<std::uint16_t>(p[0] | p[1] << 8) : 0;
  }
  std::uint32_t U32() {
    const std::uint8_t* p = Take(4);
    return p ? static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                   static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24
             : 0;
  }
  std::string Text(std::size_t n) {
    const std::uint8_t* p = Take(n);
    return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
  }
  void Skip(std::size_t n) { Take(n); }
  std::size_t Position() const { return Pos_; }
  bool Failed() const { return Failed_; }

 private:
  const std::uint8_t* Take(std::size_t n) {
    if (Failed_ || n > Size_ - Pos_) {
      Failed_ = true;
      return nullptr;
    }
    const std::uint8_t* p = Data_ + Pos_;
    Pos_ += n;
    return p;
  }
  const std::uint8_t* Data_;
  std::size_t Size_;
  std::size_t Pos_ = 0;
  bool Failed_ = false;
};

// An owned file descriptor.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : Fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& o) noexcept : Fd_(o.Fd_) { o.Fd_ = -1; }
  TFd& operator=(TFd&& o) noexcept {
    if (this != &o) Reset(), Fd_ = o.Fd_, o.Fd_ = -1;
    return *this;
  }
  int Get() const { return Fd_; }
  explicit operator bool() const { return Fd_ >= 0; }
  void Reset() {
    if (Fd_ >= 0) ::close(Fd_);
    Fd_ = -1;
  }

 private:
  int Fd_ = -1;
};

// A temporary file beside its final place; removed unless Commit() renamed it.
class TTempFile {
 public:
  // Creates a hidden file in dir; throws EZipError with errno.
  explicit TTempFile(const std::string& dir);
  ~TTempFile();
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  int Fd() const { return Fd_.Get(); }
  const std::string& Path() const { return Path_; }
  // Closes the file and renames it to target; throws EZipError with errno.
  void Commit(const std::string& target);

 private:
  TFd Fd_;
  std::string Path_;
  bool Committed_ = false;
};

// Buffered sequential writer that can go back to patch a header or cut the
// file short again (an entry that is rewritten as stored, or left out).
class TOutFile {
 public:
  explicit TOutFile(int fd) : Fd_(fd), Buffer_(kZipBufferSize) {}
  void Write(const void* data, std::size_t size);
  void Flush();
  std::uint64_t Position() const { return Flushed_ + Used_; }
  void PatchAt(std::uint64_t position, const std::vector<std::uint8_t>& bytes);
  void TruncateTo(std::uint64_t position);

 private:
  void WriteAll(const std::uint8_t* data, std::size_t size);
  int Fd_;
  std::vector<std::uint8_t> Buffer_;
  std::size_t Used_ = 0;
  std::uint64_t Flushed_ = 0;
};

// pread of exactly size bytes at offset; false at the end of the file, throws
// EZipError with errno on a failure.
bool ReadExactAt(int fd, void* data, std::size_t size, std::uint64_t offset);

// An EZipError carrying errno and the system's text after a short context.
[[noreturn]] void ThrowSystemError(int error, const std::string& context);

void ToDosDateTime(std::time_t t, std::uint16_t& dosTime, std::uint16_t& dosDate);
std::time_t FromDosDateTime(std::uint16_t dosTime, std::uint16_t dosDate);
// MS-DOS attribute bits of a file as the platform maps them.
std::uint32_t DosAttributes(const std::string& name, mode_t mode);

// The central-directory entries of an archive file; throws EZipError 28 or
// 35. centralOffset receives where the central directory starts, which is
// also where entry data must end.
std::vector<TZipItem> ReadCentralDirectory(int fd, std::uint64_t& centralOffset);

// The extra field of an AES entry: id 0x9901, 7 bytes of version, "AE",
// key strength and the data's compression method.
constexpr std::size_t kAesExtraSize = 4 + 7;
inline void WriteAesExtra(TLeWriter& w, const TZipItem& item) {
  w.U16(0x9901);
  w.U16(7);
  w.U16(item.AesVersion);
  w.Text("AE");
  w.Bytes.push_back(item.AesStrength);
  w.U16(item.AesMethod);
}

// Looks through an entry's extra fields for the AES one and fills the item's
// Aes* values from it; an entry without one keeps zeros.
void ReadAesExtra(const std::uint8_t* extra, std::size_t size, TZipItem& item);

bool IsDirectoryPath(const std::string& path);

// The name part after the last "/" or "\".
std::string ZipFileNamePart(const std::string& storedName);

struct TZipArchiver::TState {
  std::string FileName;
  TFd Fd;  // the archive as opened; empty for a new one
  std::uint64_t CentralOffset = 0;
  std::vector<TZipItem> Items;
};

}  // namespace trelvo
