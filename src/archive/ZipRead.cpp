// Reading packages: the central directory on open, and extracting entries
// through a temporary file that replaces the target only after its check.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "archive/Crc32.h"
#include "archive/ZipAes.h"
#include "archive/ZipCipher.h"
#include "archive/ZipInternal.h"
#include "common/Text.h"

namespace trelvo {
namespace {

constexpr std::size_t kMaxComment = 0xFFFF;

// Another entry of dir whose name equals name but for letter case, or "".
std::string CaseVariantIn(const std::string& dir, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return {};
  while (dirent* e = ::readdir(d.get()))
    if (name != e->d_name && SameText(name, e->d_name)) return e->d_name;
  return {};
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

struct TInflater {
  TInflater() {
    if (inflateInit2(&Stream, -MAX_WBITS) != Z_OK) throw EZipError(0, "Cannot initialise Inflate");
  }
  ~TInflater() { inflateEnd(&Stream); }
  z_stream Stream{};
};

// Inflate takes most of an unpack; reading and decrypting with its
// authentication code, and writing the output, most of the rest. So an entry
// longer than one buffer has its data read and decrypted a few buffers ahead
// on one thread and its inflated output written on another, while the
// caller's thread inflates. Everything the caller sees (progress, errors, the
// verdict on the authentication code) stays on the caller's thread.

// Buffers passed in order from a filling thread to a draining one.
class TChunkRing {
 public:
  TChunkRing(std::size_t slots, std::size_t size) : Slots_(slots) {
    for (TSlot& s : Slots_) s.Data.resize(size);
  }
  // Filling side: the next free buffer, waiting for one; nullptr once the
  // ring is stopped, or the draining side's error.
  std::uint8_t* Free() {
    std::unique_lock<std::mutex> lock(Mutex_);
    Changed_.wait(lock, [this] { return Stop_ || Ready_ < Slots_.size(); });
    if (Stop_) {
      if (Error_) std::rethrow_exception(Error_);
      return nullptr;
    }
    return Slots_[(Head_ + Ready_) % Slots_.size()].Data.data();
  }
  void Filled(std::size_t size) {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Slots_[(Head_ + Ready_) % Slots_.size()].Size = size;
      ++Ready_;
    }
    Changed_.notify_all();
  }
  // No more buffers come; the draining side gets error after the last one.
  void Close(std::exception_ptr error = nullptr) {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Closed_ = true;
      Error_ = error;
    }
    Changed_.notify_all();
  }
  // Draining side: the oldest filled buffer, which stays the caller's until
  // Release(); false at the end or when stopped.
  bool Take(std::uint8_t*& data, std::size_t& size) {
    std::unique_lock<std::mutex> lock(Mutex_);
    Changed_.wait(lock, [this] { return Stop_ || Ready_ > 0 || Closed_; });
    if (Stop_) return false;
    if (Ready_ == 0) {
      if (Error_) std::rethrow_exception(Error_);
      return false;
    }
    data = Slots_[Head_].Data.data();
    size = Slots_[Head_].Size;
    return true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      --Ready_;
      Head_ = (Head_ + 1) % Slots_.size();
    }
    Changed_.notify_all();
  }
  // Either side gives up (the draining one with its error): wakes the other.
  void Stop(std::exception_ptr error = nullptr) {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Stop_ = true;
      if (error) Error_ = error;
    }
    Changed_.notify_all();
  }
  std::uint8_t* First() { return Slots_[0].Data.data(); }

 private:
  struct TSlot {
    std::vector<std::uint8_t> Data;
    std::size_t Size = 0;
  };
  std::vector<TSlot> Slots_;
  std::mutex Mutex_;
  std::condition_variable Changed_;
  std::size_t Ready_ = 0, Head_ = 0;  // filled buffers, the oldest of them
  bool Closed_ = false, Stop_ = false;
  std::exception_ptr Error_;
};

// Enough buffers in flight that a slow moment on one side does not stall the
// other, few enough to keep memory flat.
constexpr std::size_t kAheadBuffers = 4;

// A thread that is stopped and waited for however its owner is left.
class TWorker {
 public:
  ~TWorker() { Join(); }
  // False when the system has no thread to give; the caller then does the
  // work itself.
  bool Start(std::function<void()> run) {
    try {
      Thread_ = std::thread(std::move(run));
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }
  void Join() {
    if (Thread_.joinable()) Thread_.join();
  }

 private:
  std::thread Thread_;
};

// An entry's data in buffer-sized chunks, each read and decrypted by fill.
class TChunkSource {
 public:
  using TFill = std::function<void(std::uint8_t* data, std::size_t size)>;
  TChunkSource(std::uint64_t total, TFill fill)
      : Remaining_(total),
        Fill_(std::move(fill)),
        Ring_(total > kZipBufferSize ? kAheadBuffers : 1,
              static_cast<std::size_t>(std::min<std::uint64_t>(total, kZipBufferSize))) {
    Ahead_ = total > kZipBufferSize && Worker_.Start([this] { Produce(); });
  }
  ~TChunkSource() {
    Ring_.Stop();
    Worker_.Join();
  }
  TChunkSource(const TChunkSource&) = delete;
  TChunkSource& operator=(const TChunkSource&) = delete;

  // The next chunk, valid until the next call; false after the last one.
  // Rethrows what reading or decrypting threw, after the chunks before it.
  bool Next(std::uint8_t*& data, std::size_t& size) {
    if (!Ahead_) {
      if (Remaining_ == 0) return false;
      size = NextSize();
      data = Ring_.First();
      Fill_(data, size);
      Remaining_ -= size;
      return true;
    }
    if (Holding_) Ring_.Release();
    Holding_ = Ring_.Take(data, size);
    return Holding_;
  }

 private:
  std::size_t NextSize() const { return static_cast<std::size_t>(std::min<std::uint64_t>(Remaining_, kZipBufferSize)); }
  void Produce() {
    try {
      while (Remaining_ > 0) {
        std::uint8_t* data = Ring_.Free();
        if (!data) return;
        const std::size_t size = NextSize();
        Fill_(data, size);
        Remaining_ -= size;
        Ring_.Filled(size);
      }
      Ring_.Close();
    } catch (...) {
      Ring_.Close(std::current_exception());
    }
  }

  std::uint64_t Remaining_;  // the filling thread's alone
  TFill Fill_;
  TChunkRing Ring_;
  TWorker Worker_;  // last: stopped before the rest goes
  bool Ahead_ = false, Holding_ = false;
};

// An entry's output into the temporary file, with the CRC of what passed
// when asked for. Deflated output of more than a buffer is written on a
// second thread, in whole buffers.
class TChunkSink {
 public:
  TChunkSink(int fd, bool crc, bool ahead) : Crc_(crc), Ring_(ahead ? kAheadBuffers : 1, ahead ? kZipBufferSize : 0) {
    Ahead_ = ahead && Worker_.Start([this, fd] { Drain(fd); });
    if (!Ahead_) Out_.emplace(fd);
  }
  ~TChunkSink() {
    Ring_.Stop();
    Worker_.Join();
  }
  TChunkSink(const TChunkSink&) = delete;
  TChunkSink& operator=(const TChunkSink&) = delete;

  // Where the next output goes, and how much fits there.
  std::uint8_t* Space(std::size_t& room) {
    if (!Ahead_) {
      if (Spare_.empty()) Spare_.resize(kZipBufferSize);
      room = Spare_.size();
      return Spare_.data();
    }
    if (!Slot_) {
      Slot_ = Ring_.Free();
      Used_ = 0;
    }
    room = kZipBufferSize - Used_;
    return Slot_ + Used_;
  }
  // size bytes have been put at Space().
  void Commit(std::size_t size) {
    if (!Ahead_) return Write(Spare_.data(), size);
    Used_ += size;
    if (Used_ == kZipBufferSize) Pass();
  }
  // Output that lies elsewhere (stored data).
  void Put(const std::uint8_t* data, std::size_t size) {
    while (Ahead_ && size > 0) {
      std::size_t room = 0;
      std::uint8_t* to = Space(room);
      const std::size_t n = std::min(room, size);
      std::memcpy(to, data, n);
      Commit(n);
      data += n, size -= n;
    }
    if (!Ahead_) Write(data, size);
  }
  // Waits until everything is in the file; rethrows a failed write.
  // Returns the CRC.
  std::uint32_t Finish() {
    if (!Ahead_) {
      Out_->Flush();
      return CrcValue_;
    }
    if (Slot_ && Used_ > 0) Pass();
    Ring_.Close();
    Worker_.Join();
    Ring_.Free();  // rethrows the writer's error, if it had one
    return CrcValue_;
  }

 private:
  void Write(const std::uint8_t* data, std::size_t size) {
    if (Crc_) CrcValue_ = UpdateCrc32(CrcValue_, data, size);
    Out_->Write(data, size);
  }
  void Pass() {
    Ring_.Filled(Used_);
    Slot_ = nullptr;
    Used_ = 0;
  }
  void Drain(int fd) {
    try {
      Out_.emplace(fd);
      std::uint8_t* data = nullptr;
      std::size_t size = 0;
      while (Ring_.Take(data, size)) {
        Write(data, size);
        Ring_.Release();
      }
      Out_->Flush();
    } catch (...) {
      Ring_.Stop(std::current_exception());
    }
  }

  const bool Crc_;
  std::uint32_t CrcValue_ = 0;  // the writing thread's until Finish()
  std::optional<TOutFile> Out_;
  std::vector<std::uint8_t> Spare_;
  TChunkRing Ring_;
  std::uint8_t* Slot_ = nullptr;
  std::size_t Used_ = 0;
  TWorker Worker_;  // last: stopped before the rest goes
  bool Ahead_ = false;
};

}  // namespace

void ReadAesExtra(const std::uint8_t* extra, std::size_t size, TZipItem& item) {
  TLeReader r(extra, size);
  while (!r.Failed() && r.Position() + 4 <= size) {
    const std::uint16_t id = r.U16(), length = r.U16();
    const std::size_t start = r.Position();
    if (id == TZipAes::kExtraId && length >= 7) {
      const std::uint16_t version = r.U16();
      const std::string vendor = r.Text(2);
      const std::uint8_t strength = r.U8();
      const std::uint16_t method = r.U16();
      // Anything but AE-1 or AE-2 is a format this reader does not know:
      // the entry stays without AES values and is refused as unsupported.
      if (r.Failed() || vendor != "AE" || (version != 1 && version != 2)) return;
      item.AesVersion = version;
      item.AesStrength = strength;
      item.AesMethod = method;
      return;
    }
    r.Skip(length);
    if (r.Position() != start + length) return;
  }
}

std::vector<TZipItem> ReadCentralDirectory(int fd, std::uint64_t& centralOffset) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) ThrowSystemError(errno, "Cannot read archive file");
  const std::uint64_t fileSize = static_cast<std::uint64_t>(st.st_size);
  if (fileSize == 0) {
    centralOffset = 0;
    return {};
  }

  std::uint8_t head[2] = {0, 0};
  ReadExactAt(fd, head, std::min<std::uint64_t>(2, fileSize), 0);
  const bool signature = head[0] == 'P' && head[1] == 'K';

  // The end record sits in the last 22 bytes plus at most a 64 KB comment.
  const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndRecordSize + kMaxComment));
  std::vector<std::uint8_t> tail(tailSize);
  const std::uint64_t tailStart = fileSize - tailSize;
  if (!ReadExactAt(fd, tail.data(), tailSize, tailStart)) throw EZipError(zeNotPKZip);
  std::size_t end = std::string::npos;
  for (std::size_t i = tailSize >= kEndRecordSize ? tailSize - kEndRecordSize + 1 : 0; i-- > 0;) {
    if (tail[i] == 'P' && tail[i + 1] == 'K' && tail[i + 2] == 5 && tail[i + 3] == 6) {
      end = i;
      break;
    }
  }
  if (end == std::string::npos) throw EZipError(signature ? zeNotPKZip : zeUnhandledType);

  TLeReader eocd(tail.data() + end, tailSize - end);
  eocd.U32();
  const std::uint16_t disk = eocd.U16(), centralDisk = eocd.U16();
  const std::uint16_t onDisk = eocd.U16(), total = eocd.U16();
  const std::uint32_t centralSize = eocd.U32(), offset = eocd.U32();
  const std::uint64_t endPosition = tailStart + end;
  // Spanned archives and ZIP64 records are not read: a single package of
  // this program never needs them.
  if (eocd.Failed() || disk != 0 || centralDisk != 0 || onDisk != total || offset == 0xFFFFFFFFu ||
      static_cast<std::uint64_t>(offset) + centralSize > endPosition)
    throw EZipError(zeNotPKZip);

  std::vector<std::uint8_t> central(centralSize);
  if (!ReadExactAt(fd, central.data(), central.size(), offset)) throw EZipError(zeNotPKZip);
  TLeReader r(central.data(), central.size());
  std::vector<TZipItem> items;
  items.reserve(total);
  for (unsigned i = 0; i < total; ++i) {
    if (r.U32() != kCentralHeaderSignature) throw EZipError(zeNotPKZip);
    TZipItem item;
    item.VersionMadeBy = r.U16();
    item.VersionNeeded = r.U16();
    item.Flags = r.U16();
    item.Method = r.U16();
    item.DosTime = r.U16();
    item.DosDate = r.U16();
    item.Crc32 = r.U32();
    item.CompressedSize = r.U32();
    item.UncompressedSize = r.U32();
    const std::uint16_t nameLength = r.U16(), extraLength = r.U16(), commentLength = r.U16();
    r.Skip(2 + 2);  // disk number, internal attributes
    item.ExternalAttributes = r.U32();
    item.LocalHeaderOffset = r.U32();
    item.FileName = r.Text(nameLength);
    const std::size_t extraStart = r.Position();
    r.Skip(extraLength + commentLength);
    if (r.Failed() || item.LocalHeaderOffset >= offset) throw EZipError(zeNotPKZip);
    if (item.Method == TZipAes::kMethod) ReadAesExtra(central.data() + extraStart, extraLength, item);
    items.push_back(std::move(item));
  }
  centralOffset = offset;
  return items;
}

void TZipArchiver::ExtractOne(const TZipItem& item) {
  const std::string name = ZipFileNamePart(item.FileName);
  if (name.empty() || name == "." || name == "..")
    throw EZipError(0, "Invalid entry name \"" + item.FileName + "\"");
  if (!IsDirectoryPath(BaseDirectory_)) throw EZipError(zeDirectoryMissing);
  if (item.Encrypted() && Password_.empty()) throw EZipError(zeInvalidPassword);
  if ((item.Flags & 0x40) || (item.Method == TZipAes::kMethod && !item.Aes()) ||
      (item.Aes() && (!item.Encrypted() || TZipAes::SaltSize(item.AesStrength) == 0)))
    throw EZipError(0, "Unsupported encryption in \"" + item.FileName + "\"");
  const std::uint16_t method = item.DataMethod();
  if (method != 0 && method != 8)
    throw EZipError(0, "Unsupported compression method " + IntToStr(method) + " in \"" + item.FileName + "\"");

  const int fd = State_->Fd.Get();
  const std::uint64_t limit = State_->CentralOffset;
  std::uint8_t local[kLocalHeaderSize];
  if (item.LocalHeaderOffset + kLocalHeaderSize > limit ||
      !ReadExactAt(fd, local, sizeof local, item.LocalHeaderOffset))
    throw EZipError(0, "Entry \"" + item.FileName + "\" lies outside the archive");
  TLeReader lr(local, sizeof local);
  const std::uint32_t signature = lr.U32();
  lr.Skip(22);
  const std::uint16_t nameLength = lr.U16(), extraLength = lr.U16();
  std::uint64_t position = item.LocalHeaderOffset + kLocalHeaderSize + nameLength + extraLength;
  // Data running into the central directory (or past the end) is damaged:
  // refuse before writing anything.
  if (signature != kLocalHeaderSignature || position + item.CompressedSize > limit)
    throw EZipError(0, "Entry \"" + item.FileName + "\" lies outside the archive");

  const std::string dir = IncludeTrailingPathDelimiter(BaseDirectory_);
  const std::string variant = CaseVariantIn(dir, name);
  const std::string target = dir + (variant.empty() ? name : variant);

  TTempFile temp(dir);
  std::uint64_t remaining = item.CompressedSize;
  std::unique_ptr<TZipCipher> cipher;
  std::unique_ptr<TZipAes> aes;
  std::uint64_t macPosition = 0;
  if (item.Aes()) {
    const std::size_t saltSize = TZipAes::SaltSize(item.AesStrength);
    const std::size_t headSize = saltSize + TZipAes::kVerifierSize;
    std::uint8_t head[16 + TZipAes::kVerifierSize];
    if (remaining < headSize + TZipAes::kMacSize || !ReadExactAt(fd, head, headSize, position))
      throw EZipError(zeFailedCrc);
    aes = std::make_unique<TZipAes>(Password_, item.AesStrength, head);
    // A differing verifier is a wrong password for certain; a matching one
    // is a 1-in-65536 hint, so the authentication code still decides.
    if (std::memcmp(aes->Verifier(), head + saltSize, TZipAes::kVerifierSize) != 0) throw EZipError(zeFailedCrc);
    position += headSize;
    remaining -= headSize + TZipAes::kMacSize;
    macPosition = position + remaining;
  } else if (item.Encrypted()) {
    std::uint8_t header[TZipCipher::kHeaderSize];
    if (remaining < sizeof header || !ReadExactAt(fd, header, sizeof header, position))
      throw EZipError(zeFailedCrc);
    cipher = std::make_unique<TZipCipher>(Password_);
    cipher->Decrypt(header, sizeof header);
    // The check byte tells a wrong password from damaged data only by
    // chance; either way nothing is decoded and the entry fails its check.
    const std::uint8_t check = (item.Flags & 0x08) ? item.DosTime >> 8 : item.Crc32 >> 24;
    if (header[sizeof header - 1] != check) throw EZipError(zeFailedCrc);
    position += sizeof header;
    remaining -= sizeof header;
  }
  Progress(item, 0, item.UncompressedSize);

  // AE-2 leaves the CRC out (it would tell something of the plain text); its
  // authentication code checks every byte instead.
  const bool checkCrc = !item.Aes() || item.AesVersion == 1;
  TChunkSink sink(temp.Fd(), checkCrc, method == 8 && item.UncompressedSize > kZipBufferSize);
  std::uint64_t written = 0;
  // More data than the entry declares is damage (or a bomb): stop before it
  // goes out.
  auto count = [&](std::size_t size) {
    if (written + size > item.UncompressedSize) throw EZipError(zeFailedCrc);
    written += size;
    Progress(item, written, item.UncompressedSize);
  };

  std::unique_ptr<TInflater> inflater;
  if (method == 8) inflater = std::make_unique<TInflater>();
  bool finished = method == 0;
  auto inflateInto = [&](int flush) {
    z_stream& zs = inflater->Stream;
    std::size_t room = 0;
    zs.next_out = sink.Space(room);
    zs.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&zs, flush);
    const std::size_t produced = room - zs.avail_out;
    count(produced);
    sink.Commit(produced);
    return rc;
  };
  // Stored AES data leaves this thread idle but for the writes, so it takes
  // the key stream and the reading thread keeps the authentication code.
  const bool splitAes = aes && !inflater;
  // The decryptors and position belong to the source until it has run dry.
  TChunkSource source(remaining, [&, position](std::uint8_t* data, std::size_t size) mutable {
    if (!ReadExactAt(fd, data, size, position)) throw EZipError(zeFailedCrc);
    position += size;
    if (cipher) cipher->Decrypt(data, size);
    if (splitAes) {
      aes->Authenticate(data, size);
    } else if (aes) {
      aes->Decrypt(data, size);
    }
  });
  std::uint8_t* in = nullptr;
  std::size_t chunk = 0;
  while (source.Next(in, chunk)) {
    if (splitAes) aes->ApplyKeyStream(in, chunk);
    if (!inflater) {
      count(chunk);
      sink.Put(in, chunk);
      continue;
    }
    z_stream& zs = inflater->Stream;
    zs.next_in = in;
    zs.avail_in = static_cast<uInt>(chunk);
    while (zs.avail_in > 0 && !finished) {
      const int rc = inflateInto(Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) throw EZipError(zeFailedCrc);
      finished = rc == Z_STREAM_END;
    }
  }
  if (inflater && !finished) {
    // The input is used up but zlib may still hold output for a full buffer.
    for (;;) {
      const int rc = inflateInto(Z_FINISH);
      if (rc == Z_STREAM_END) break;
      if (rc != Z_OK && !(rc == Z_BUF_ERROR && inflater->Stream.avail_out == 0)) throw EZipError(zeFailedCrc);
    }
  }
  if (aes) {
    std::uint8_t stored[TZipAes::kMacSize], computed[TZipAes::kMacSize];
    if (!ReadExactAt(fd, stored, sizeof stored, macPosition)) throw EZipError(zeFailedCrc);
    aes->Finish(computed);
    if (CRYPTO_memcmp(stored, computed, sizeof stored) != 0) throw EZipError(zeFailedCrc);
  }
  const std::uint32_t crc = sink.Finish();
  if (written != item.UncompressedSize || (checkCrc && crc != item.Crc32)) throw EZipError(zeFailedCrc);

  const std::time_t when = FromDosDateTime(item.DosTime, item.DosDate);
  const struct timespec times[2] = {{when, 0}, {when, 0}};
  mode_t mode = 0666 & ~CurrentUmask();
  if (item.ExternalAttributes & zaReadOnly) mode &= ~static_cast<mode_t>(0222);
  if (::futimens(temp.Fd(), times) != 0 || ::fchmod(temp.Fd(), mode) != 0)
    ThrowSystemError(errno, "Cannot set the time of " + target);
  temp.Commit(target);
}

}  // namespace trelvo
