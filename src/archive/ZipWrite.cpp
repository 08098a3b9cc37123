// Writing packages: the entries already in the archive are copied as they
// are, queued files are compressed (and encrypted) straight into a temporary
// file beside the package, which then replaces the package.
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>

#include "archive/Crc32.h"
#include "archive/ZipAes.h"
#include "archive/ZipCipher.h"
#include "archive/ZipInternal.h"
#include "common/Text.h"

namespace trelvo {
namespace {

// A source file could not be read; the entry is left out, the package goes on.
struct ESourceRead {};

struct TPumpResult {
  std::uint32_t Crc = 0;
  std::uint64_t Size = 0, Compressed = 0;
};

struct TDeflater {
  // memLevel 9 doubles the hash table (256 KB): measured about 13 % faster
  // on table files than the default 8, and a little smaller.
  explicit TDeflater(int level) {
    if (deflateInit2(&Stream, level, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
      throw EZipError(0, "Cannot initialise Deflate");
  }
  ~TDeflater() { deflateEnd(&Stream); }
  z_stream Stream{};
};

bool HasHighByte(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 128; });
}

std::vector<std::uint8_t> LocalHeader(const TZipItem& item) {
  TLeWriter w;
  w.U32(kLocalHeaderSignature);
  w.U16(item.VersionNeeded);
  w.U16(item.Flags);
  w.U16(item.Method);
  w.U16(item.DosTime);
  w.U16(item.DosDate);
  w.U32(item.Crc32);
  w.U32(static_cast<std::uint32_t>(item.CompressedSize));
  w.U32(static_cast<std::uint32_t>(item.UncompressedSize));
  w.U16(static_cast<std::uint16_t>(item.FileName.size()));
  w.U16(item.Aes() ? kAesExtraSize : 0);
  w.Text(item.FileName);
  if (item.Aes()) WriteAesExtra(w, item);
  return std::move(w.Bytes);
}

// The data's compression method into the headers: under the AES layer the
// headers say 99 and the extra field holds the real method.
void SetDataMethod(TZipItem& item, std::uint16_t method) {
  if (item.Aes()) {
    item.AesMethod = method;
    item.Method = TZipAes::kMethod;
    item.VersionNeeded = 51;
  } else {
    item.Method = method;
    item.VersionNeeded = method == 8 ? 20 : 10;
  }
}

std::size_t ReadSome(int fd, std::uint8_t* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw ESourceRead{};
  }
}

}  // namespace

bool TZipArchiver::WriteNewEntry(TOutFile& out, TZipItem& item) {
  TFd source(::open(item.SourcePath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!source || ::fstat(source.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Failure(item, ptAdd, ecFile, 0);
    return false;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxZipSize) {
    Failure(item, ptAdd, ecArchive, 0);
    return false;
  }
  ::posix_fadvise(source.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const bool aes = !Password_.empty() && Encryption == zcAes256;
  const bool zipCrypto = !Password_.empty() && !aes;
  item.UncompressedSize = static_cast<std::uint64_t>(st.st_size);
  ToDosDateTime(st.st_mtime, item.DosTime, item.DosDate);
  item.ExternalAttributes = DosAttributes(item.FileName, st.st_mode);
  // An AES entry needs no data descriptor: the header is patched with the
  // sizes, and AE-2 stores no CRC.
  item.Flags = zipCrypto ? 9 : aes ? 1 : 0;
  item.VersionMadeBy = HasHighByte(item.FileName) ? (11 << 8 | 20) : 20;
  item.AesVersion = aes ? 2 : 0;
  item.AesStrength = aes ? TZipAes::kStrength256 : 0;
  SetDataMethod(item, st.st_size == 0 ? 0 : 8);
  item.Crc32 = 0;
  item.CompressedSize = 0;
  const std::size_t aesSaltSize = TZipAes::SaltSize(TZipAes::kStrength256);
  const std::uint64_t aesOverhead = aes ? aesSaltSize + TZipAes::kVerifierSize + TZipAes::kMacSize : 0;

  const std::uint64_t headerPosition = out.Position();
  if (headerPosition > kMaxZipSize) throw EZipError(0, "Archive too large");
  const std::vector<std::uint8_t> header = LocalHeader(item);
  out.Write(header.data(), header.size());
  const std::uint64_t dataPosition = out.Position();

  std::vector<std::uint8_t> in(kZipBufferSize), packed(kZipBufferSize);
  auto pump = [&](bool compress) {
    TPumpResult r;
    std::unique_ptr<TZipCipher> cipher;
    std::unique_ptr<TZipAes> aesCipher;
    if (aes) {
      // A new salt on every pass: the stored pass after a Deflate that grew
      // must not encrypt other bytes with the first pass's key stream.
      std::uint8_t head[16 + TZipAes::kVerifierSize];
      RandomSource(head, aesSaltSize);
      aesCipher = std::make_unique<TZipAes>(Password_, TZipAes::kStrength256, head);
      std::memcpy(head + aesSaltSize, aesCipher->Verifier(), TZipAes::kVerifierSize);
      out.Write(head, aesSaltSize + TZipAes::kVerifierSize);
      r.Compressed = aesSaltSize + TZipAes::kVerifierSize;
    }
    auto seal = [&](std::uint8_t* data, std::size_t size) {
      if (cipher) cipher->Encrypt(data, size);
      if (aesCipher) aesCipher->Encrypt(data, size);
    };
    if (zipCrypto) {
      // With the data descriptor flag set, readers check the last header byte
      // against the time, so the header can be made before the CRC is known.
      std::uint8_t header[TZipCipher::kHeaderSize];
      RandomSource(header, 10);
      header[10] = static_cast<std::uint8_t>(item.DosTime & 0xFF);
      header[11] = static_cast<std::uint8_t>(item.DosTime >> 8);
      cipher = std::make_unique<TZipCipher>(Password_);
      cipher->Encrypt(header, sizeof header);
      out.Write(header, sizeof header);
      r.Compressed = sizeof header;
    }
    std::unique_ptr<TDeflater> deflater;
    if (compress) deflater = std::make_unique<TDeflater>(DeflateLevel);
    Progress(item, 0, item.UncompressedSize);
    for (;;) {
      const std::size_t n = ReadSome(source.Get(), in.data(), in.size());
      if (!aes) r.Crc = UpdateCrc32(r.Crc, in.data(), n);
      r.Size += n;
      if (!deflater) {
        seal(in.data(), n);
        out.Write(in.data(), n);
        r.Compressed += n;
      } else {
        z_stream& zs = deflater->Stream;
        zs.next_in = in.data();
        zs.avail_in = static_cast<uInt>(n);
        const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
          zs.next_out = packed.data();
          zs.avail_out = static_cast<uInt>(packed.size());
          if (deflate(&zs, flush) == Z_STREAM_ERROR) throw EZipError(0, "Deflate failed");
          const std::size_t produced = packed.size() - zs.avail_out;
          seal(packed.data(), produced);
          out.Write(packed.data(), produced);
          r.Compressed += produced;
        } while (zs.avail_out == 0);
      }
      if (n == 0) break;
      Progress(item, r.Size, item.UncompressedSize);
    }
    if (aesCipher) {
      std::uint8_t mac[TZipAes::kMacSize];
      aesCipher->Finish(mac);
      out.Write(mac, sizeof mac);
      r.Compressed += sizeof mac;
    }
    Progress(item, 1, 1);
    return r;
  };

  TPumpResult result;
  try {
    if (item.DataMethod() == 8) {
      result = pump(true);
      // Deflate made it longer: store the file instead. The AES salt,
      // verifier and code cost the same either way, so only the data counts.
      if (result.Compressed - aesOverhead > result.Size) {
        SetDataMethod(item, 0);
        out.TruncateTo(dataPosition);
        if (::lseek(source.Get(), 0, SEEK_SET) != 0) throw ESourceRead{};
      }
    }
    if (item.DataMethod() == 0) result = pump(false);
  } catch (const ESourceRead&) {
    out.TruncateTo(headerPosition);
    Failure(item, ptAdd, ecFile, 0);
    return false;
  }
  if (result.Compressed > kMaxZipSize || result.Size > kMaxZipSize) {
    out.TruncateTo(headerPosition);
    Failure(item, ptAdd, ecArchive, 0);
    return false;
  }
  item.Crc32 = result.Crc;
  item.UncompressedSize = result.Size;
  item.CompressedSize = result.Compressed;
  // Readers that ignore the descriptor find the real values in the header.
  out.PatchAt(headerPosition, LocalHeader(item));
  if (zipCrypto) {
    TLeWriter d;
    d.U32(item.Crc32);
    d.U32(static_cast<std::uint32_t>(item.CompressedSize));
    d.U32(static_cast<std::uint32_t>(item.UncompressedSize));
    out.Write(d.Bytes.data(), d.Bytes.size());
  }
  item.LocalHeaderOffset = headerPosition;
  item.SourcePath.clear();
  return true;
}

void TZipArchiver::WriteArchive(TState& state) {
  TTempFile temp(ExtractFilePath(state.FileName));
  TOutFile out(temp.Fd());
  std::vector<TZipItem> written;
  std::vector<std::uint8_t> buffer;

  for (TZipItem item : state.Items) {
    if (item.Queued()) {
      if (WriteNewEntry(out, item)) written.push_back(std::move(item));
      continue;
    }
    // An entry already in the package is copied unchanged: header, data and
    // descriptor (with or without its optional signature).
    const int fd = state.Fd.Get();
    std::uint8_t local[kLocalHeaderSize];
    if (!ReadExactAt(fd, local, sizeof local, item.LocalHeaderOffset)) throw EZipError(zeNotPKZip);
    TLeReader lr(local, sizeof local);
    const std::uint32_t signature = lr.U32();
    lr.Skip(22);
    const std::uint16_t nameLength = lr.U16(), extraLength = lr.U16();
    std::uint64_t end = item.LocalHeaderOffset + kLocalHeaderSize + nameLength + extraLength + item.CompressedSize;
    if (item.Flags & 0x08) {
      std::uint8_t sig[4];
      if (!ReadExactAt(fd, sig, sizeof sig, end)) throw EZipError(zeNotPKZip);
      end += TLeReader(sig, 4).U32() == kDescriptorSignature ? kDescriptorSize + 4 : kDescriptorSize;
    }
    if (signature != kLocalHeaderSignature || end > state.CentralOffset) throw EZipError(zeNotPKZip);
    buffer.resize(kZipBufferSize);
    const std::uint64_t newOffset = out.Position();
    for (std::uint64_t at = item.LocalHeaderOffset; at < end;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, buffer.size()));
      if (!ReadExactAt(fd, buffer.data(), n, at)) throw EZipError(zeNotPKZip);
      out.Write(buffer.data(), n);
      at += n;
    }
    item.LocalHeaderOffset = newOffset;
    written.push_back(std::move(item));
  }

  const std::uint64_t centralOffset = out.Position();
  for (const TZipItem& item : written) {
    TLeWriter w;
    w.U32(kCentralHeaderSignature);
    w.U16(item.VersionMadeBy);
    w.U16(item.VersionNeeded);
    w.U16(item.Flags);
    w.U16(item.Method);
    w.U16(item.DosTime);
    w.U16(item.DosDate);
    w.U32(item.Crc32);
    w.U32(static_cast<std::uint32_t>(item.CompressedSize));
    w.U32(static_cast<std::uint32_t>(item.UncompressedSize));
    w.U16(static_cast<std::uint16_t>(item.FileName.size()));
    w.U16(item.Aes() ? kAesExtraSize : 0);
    w.U16(0);  // comment
    w.U16(0);  // disk
    w.U16(0);  // internal attributes
    w.U32(item.ExternalAttributes);
    w.U32(static_cast<std::uint32_t>(item.LocalHeaderOffset));
    w.Text(item.FileName);
    if (item.Aes()) WriteAesExtra(w, item);
    out.Write(w.Bytes.data(), w.Bytes.size());
  }
  const std::uint64_t centralSize = out.Position() - centralOffset;
  if (written.size() > 0xFFFF || out.Position() > kMaxZipSize) throw EZipError(0, "Archive too large");
  TLeWriter e;
  e.U32(kEndRecordSignature);
  e.U16(0);
  e.U16(0);
  e.U16(static_cast<std::uint16_t>(written.size()));
  e.U16(static_cast<std::uint16_t>(written.size()));
  e.U32(static_cast<std::uint32_t>(centralSize));
  e.U32(static_cast<std::uint32_t>(centralOffset));
  e.U16(0);
  out.Write(e.Bytes.data(), e.Bytes.size());
  out.Flush();

  struct stat st {};
  const mode_t mode = ::stat(state.FileName.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (::fchmod(temp.Fd(), mode) != 0) ThrowSystemError(errno, "Cannot write " + state.FileName);
  temp.Commit(state.FileName);
  state.Items = std::move(written);
  state.CentralOffset = centralOffset;
}

}  // namespace trelvo
