#pragma once
// Helpers for the archive tests: a recording archiver, a reader of the raw
// package layout, and a builder of hand-made (also hostile) packages.
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "archive/ZipArchiver.h"
#include "TestSupport.h"

namespace trelvo::test {

struct TFailure {
  std::string Name;
  TZipProcessType ProcessType;
  int ErrorCode;
  bool operator==(const TFailure&) const = default;
};

inline void PrintTo(const TFailure& f, std::ostream* os) {
  *os << "{" << f.Name << ", " << (f.ProcessType == ptAdd ? "add" : "extract") << ", " << f.ErrorCode << "}";
}

// An archiver whose events are recorded, with a fixed random source so that
// packages come out the same every time.
struct TRecordingArchiver {
  TZipArchiver Zip;
  std::vector<TFailure> Failures;
  std::vector<std::string> Events;  // "load", "save", "progress <name> <percent>"
  TRecordingArchiver() {
    Zip.RandomSource = [](std::uint8_t* b, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(0xA5 + i);
    };
    Zip.OnLoad = [this](TZipArchiver&) { Events.push_back("load"); };
    Zip.OnSave = [this](TZipArchiver&) { Events.push_back("save"); };
    Zip.OnItemProgress = [this](TZipArchiver&, const TZipItem& item, int progress, bool&) {
      Events.push_back("progress " + item.FileName + " " + std::to_string(progress));
    };
    Zip.OnItemFailure = [this](TZipArchiver&, const TZipItem& item, TZipProcessType type, TZipErrorClass, int code) {
      Failures.push_back({item.FileName, type, code});
    };
  }
  // One whole package: open, add each mask, close.
  void Pack(const std::string& zip, const std::string& dir, const std::vector<std::string>& masks,
            const std::string& password = "") {
    Zip.OpenArchive(zip);
    Zip.SetBaseDirectory(dir);
    Zip.SetPassword(password);
    for (const auto& m : masks) Zip.AddFiles(m, 0);
    Zip.CloseArchive();
  }
  void Unpack(const std::string& zip, const std::string& dir, const std::string& mask = "*",
              const std::string& password = "") {
    Zip.OpenArchive(zip);
    Zip.SetBaseDirectory(dir);
    Zip.SetPassword(password);
    Zip.ExtractFiles(mask);
    Zip.CloseArchive();
  }
};

inline std::uint16_t Le16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s.at(at)) | static_cast<unsigned char>(s.at(at + 1)) << 8);
}
inline std::uint32_t Le32(const std::string& s, std::size_t at) { return Le16(s, at) | static_cast<std::uint32_t>(Le16(s, at + 2)) << 16; }
inline void Put16(std::string& s, std::uint16_t v) { s += static_cast<char>(v & 0xFF), s += static_cast<char>(v >> 8); }
inline void Put32(std::string& s, std::uint32_t v) { Put16(s, v & 0xFFFF), Put16(s, static_cast<std::uint16_t>(v >> 16)); }

// One entry as found by walking the package from its first byte.
struct TRawEntry {
  std::string Name;
  std::uint16_t VersionNeeded = 0, Flags = 0, Method = 0, DosTime = 0;
  std::uint32_t Crc = 0, CompressedSize = 0, UncompressedSize = 0;
  bool HasDescriptor = false;
  std::uint32_t DescCrc = 0, DescCompressed = 0, DescUncompressed = 0;
  std::size_t LocalOffset = 0, DataOffset = 0;  // where the header and the data begin
  std::string LocalExtra;
  // From the central directory:
  std::uint16_t VersionMadeBy = 0, CentralFlags = 0, CentralMethod = 0, ExtraLength = 0, CommentLength = 0;
  std::uint32_t ExternalAttributes = 0;
  std::size_t CentralOffset = 0;
  std::string CentralExtra;
};

struct TRawLayout {
  std::vector<TRawEntry> Entries;
  std::size_t CentralOffset = 0;
  std::string Error;  // empty when the walk met exactly the expected records
};

// Walks local header, data, optional 12-byte descriptor, ... then the central
// directory and the end record; anything between records is an error, so a
// descriptor written twice (or missing) shows.
inline TRawLayout WalkPackage(const std::string& z) {
  TRawLayout out;
  std::size_t p = 0;
  try {
    while (Le32(z, p) == 0x04034b50) {
      TRawEntry e;
      e.LocalOffset = p;
      e.VersionNeeded = Le16(z, p + 4);
      e.Flags = Le16(z, p + 6);
      e.Method = Le16(z, p + 8);
      e.DosTime = Le16(z, p + 10);
      e.Crc = Le32(z, p + 14);
      e.CompressedSize = Le32(z, p + 18);
      e.UncompressedSize = Le32(z, p + 22);
      const std::uint16_t n = Le16(z, p + 26), m = Le16(z, p + 28);
      e.Name = z.substr(p + 30, n);
      e.ExtraLength = m;
      e.LocalExtra = z.substr(p + 30 + n, m);
      e.DataOffset = p + 30 + n + m;
      p += 30 + n + m + e.CompressedSize;
      if (e.Flags & 8) {
        e.HasDescriptor = true;
        e.DescCrc = Le32(z, p), e.DescCompressed = Le32(z, p + 4), e.DescUncompressed = Le32(z, p + 8);
        p += 12;
      }
      out.Entries.push_back(e);
    }
    out.CentralOffset = p;
    for (auto& e : out.Entries) {
      if (Le32(z, p) != 0x02014b50) return out.Error = "no central header at " + std::to_string(p), out;
      e.CentralOffset = p;
      e.VersionMadeBy = Le16(z, p + 4);
      e.CentralFlags = Le16(z, p + 8);
      e.CentralMethod = Le16(z, p + 10);
      const std::uint16_t n = Le16(z, p + 28), m = Le16(z, p + 30), k = Le16(z, p + 32);
      e.ExtraLength = static_cast<std::uint16_t>(e.ExtraLength + m);
      e.CentralExtra = z.substr(p + 46 + n, m);
      e.CommentLength = k;
      e.ExternalAttributes = Le32(z, p + 38);
      p += 46 + n + m + k;
    }
    if (Le32(z, p) != 0x06054b50) return out.Error = "no end record at " + std::to_string(p), out;
    if (p + 22 != z.size()) out.Error = "bytes after the end record";
  } catch (const std::out_of_range&) {
    out.Error = "truncated";
  }
  return out;
}

inline std::string RawDeflate(const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline std::uint32_t Crc(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// A hand-made entry: the bytes stored and the values the headers claim.
struct TMadeEntry {
  std::string Name;
  std::string Stored;  // the data bytes as they stand in the package
  std::uint16_t Method = 8;
  std::uint32_t Crc = 0, UncompressedSize = 0;
  static TMadeEntry Deflated(const std::string& name, const std::string& data) {
    return {name, RawDeflate(data), 8, test::Crc(data), static_cast<std::uint32_t>(data.size())};
  }
};

// A package of the given entries without encryption; the local and central
// headers both carry the claimed values.
inline std::string MakePackage(const std::vector<TMadeEntry>& entries) {
  std::string z, central;
  for (const auto& e : entries) {
    const std::uint32_t offset = static_cast<std::uint32_t>(z.size());
    std::string common;
    Put16(common, 20), Put16(common, 0), Put16(common, e.Method), Put16(common, 0x6000), Put16(common, 0x5821);
    Put32(common, e.Crc), Put32(common, static_cast<std::uint32_t>(e.Stored.size())), Put32(common, e.UncompressedSize);
    Put16(common, static_cast<std::uint16_t>(e.Name.size())), Put16(common, 0);
    Put32(z, 0x04034b50);
    z += common + e.Name + e.Stored;
    Put32(central, 0x02014b50), Put16(central, 20);
    central += common;
    Put16(central, 0), Put16(central, 0), Put16(central, 0), Put32(central, 0x20), Put32(central, offset);
    central += e.Name;
  }
  const std::uint32_t cdOffset = static_cast<std::uint32_t>(z.size());
  z += central;
  Put32(z, 0x06054b50), Put16(z, 0), Put16(z, 0);
  Put16(z, static_cast<std::uint16_t>(entries.size())), Put16(z, static_cast<std::uint16_t>(entries.size()));
  Put32(z, static_cast<std::uint32_t>(central.size())), Put32(z, cdOffset), Put16(z, 0);
  return z;
}

inline std::string RandomBytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Text that compresses like a table file: repeated records with varying numbers.
inline std::string TableLikeBytes(std::size_t n) {
  std::string s;
  for (int i = 0; s.size() < n; ++i) s += "Asiakas;" + std::to_string(i * 7919 % 100003) + ";Kortti;0000" + std::to_string(i % 97) + ";\n";
  s.resize(n);
  return s;
}

inline time_t MTime(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mtime;
}

}  // namespace trelvo::test
