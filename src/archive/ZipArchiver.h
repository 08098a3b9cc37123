#pragma once
// TZipArchiver: creates password-protected ZIP packages from the files of one
// directory and extracts their entries into a directory. One package is open
// at a time; added files are only read when the package is closed, and every
// entry streams through fixed-size buffers, so memory does not grow with the
// size of the files.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Errors.h"

namespace trelvo {

// Error numbers of the component. An operating-system failure carries its
// errno instead, any other failure 0.
enum : int {
  zeInvalidPassword = 4,
  zeDuplicateName = 7,
  zeDirectoryMissing = 19,
  zeFailedCrc = 23,
  zeArchiveBlank = 27,
  zeNotPKZip = 28,
  zeUnhandledType = 35,
};

// The message belonging to one of the numbers above ("" for others).
std::string ZipErrorMessage(int code);

enum TZipProcessType { ptAdd, ptExtract };

// How entries added with a password are encrypted. Both kinds are read
// whatever is set, so installations can change over one at a time.
enum TZipEncryption {
  zcZipCrypto,  // the traditional PKWARE cipher, readable by every ZIP program
  zcAes256,     // AES-256 entries (AE-2): authenticated, for data worth protecting
};
enum TZipErrorClass {
  ecFile,      // the file system refused (open, read, write, rename)
  ecData,      // damaged entry data or a failed check
  ecPassword,  // a password was needed
  ecArchive,   // the archive's structure or contents (names, methods)
};

class TOutFile;

class EZipError : public Exception {
 public:
  explicit EZipError(int code) : EZipError(code, ZipErrorMessage(code)) {}
  EZipError(int code, const std::string& message)
      : EZipError(code, code == zeFailedCrc ? ecData : code == zeInvalidPassword ? ecPassword : ecArchive, message) {}
  EZipError(int code, TZipErrorClass errorClass, const std::string& message)
      : Exception(message), Code_(code), Class_(errorClass) {}
  int ErrorCode() const { return Code_; }
  TZipErrorClass ErrorClass() const { return Class_; }

 private:
  int Code_;
  TZipErrorClass Class_;
};

// Raised when a progress handler sets Abort: the operation stops as a whole,
// it is no failure of one item.
class EZipAborted : public EZipError {
 public:
  EZipAborted() : EZipError(0, "Operation aborted") {}
};

// MS-DOS attribute bits as the entries store them.
enum : std::uint32_t {
  zaReadOnly = 0x01,
  zaHidden = 0x02,
  zaSysFile = 0x04,
  zaDirectory = 0x10,
  zaArchive = 0x20,
};

struct TZipItem {
  std::string FileName;  // the stored name
  std::uint16_t VersionMadeBy = 20, VersionNeeded = 20;
  std::uint16_t Flags = 0;
  std::uint16_t Method = 8;
  std::uint16_t DosTime = 0, DosDate = 0;
  std::uint32_t Crc32 = 0;
  std::uint64_t CompressedSize = 0, UncompressedSize = 0;
  std::uint32_t ExternalAttributes = 0;
  std::uint64_t LocalHeaderOffset = 0;
  // Set while the entry is only queued: the file read when the archive is written.
  std::string SourcePath;
  // Of an AES entry (Method 99), from its extra field: AE-1 or AE-2, the key
  // strength (3 for AES-256) and the compression method of the data; 0 for
  // any other entry.
  std::uint16_t AesVersion = 0;
  std::uint8_t AesStrength = 0;
  std::uint16_t AesMethod = 0;

  bool Encrypted() const { return Flags & 1; }
  bool Aes() const { return AesVersion != 0; }
  // The compression method of the data, under the AES layer where there is one.
  std::uint16_t DataMethod() const { return Aes() ? AesMethod : Method; }
  bool Queued() const { return !SourcePath.empty(); }
  TDateTime DateTime() const;
};

class TZipArchiver {
 public:
  using TNotifyEvent = std::function<void(TZipArchiver& sender)>;
  using TItemProgressEvent =
      std::function<void(TZipArchiver& sender, const TZipItem& item, int progress, bool& abort)>;
  using TItemFailureEvent = std::function<void(TZipArchiver& sender, const TZipItem& item,
                                               TZipProcessType processType, TZipErrorClass errorClass,
                                               int errorCode)>;

  TZipArchiver();
  // Releases an open package without writing queued entries: only
  // CloseArchive writes, because writing can fail and a destructor cannot say so.
  ~TZipArchiver();
  TZipArchiver(const TZipArchiver&) = delete;
  TZipArchiver& operator=(const TZipArchiver&) = delete;

  void OpenArchive(const std::string& path);
  void CloseArchive();
  // attributes: extra MS-DOS attribute bits to take besides plain, read-only
  // and archive files (zaHidden, zaSysFile); the program always passes 0.
  void AddFiles(const std::string& mask, std::uint32_t attributes = 0);
  void ExtractFiles(const std::string& mask);

  const std::string& BaseDirectory() const { return BaseDirectory_; }
  void SetBaseDirectory(const std::string& directory);
  const std::string& Password() const { return Password_; }
  void SetPassword(const std::string& password) { Password_ = password; }

  bool Active() const;
  const std::string& FileName() const;
  // The entries in archive order, queued ones last.
  const std::vector<TZipItem>& Items() const;

  int DeflateLevel = 6;
  // For the entries added from now on; entries already in the package keep theirs.
  TZipEncryption Encryption = zcZipCrypto;
  // Fills the random bytes of each encryption header and AES salt. Must be
  // cryptographically strong (the default is the kernel's); replaceable so
  // that a test can make packages that are equal byte for byte.
  std::function<void(std::uint8_t* bytes, std::size_t size)> RandomSource;

  TNotifyEvent OnLoad;
  TNotifyEvent OnSave;
  TItemProgressEvent OnItemProgress;
  TItemFailureEvent OnItemFailure;

 private:
  struct TState;  // the open package; defined with the code

  void RequireOpen() const;
  void ExtractOne(const TZipItem& item);
  void WriteArchive(TState& state);
  bool WriteNewEntry(TOutFile& out, TZipItem& item);
  void Progress(const TZipItem& item, std::uint64_t done, std::uint64_t total);
  void Failure(const TZipItem& item, TZipProcessType processType, TZipErrorClass errorClass, int errorCode);

  std::string BaseDirectory_;
  std::string Password_;
  std::unique_ptr<TState> State_;
};

}  // namespace trelvo
