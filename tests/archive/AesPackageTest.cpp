// AES-256 entries: what is written, reading them back, refusing a wrong
// password or damaged data before a byte reaches the target, and packages
// exchanged with 7-Zip in both directions.
#include <gtest/gtest.h>
#include <utime.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "ZipTestSupport.h"
#include "archive/ZipInternal.h"

namespace trelvo::test {
namespace {

constexpr const char* kPassword = "QQrrM3819Q";
constexpr std::size_t kSalt = 16, kVerifier = 2, kMac = 10;

// The AES extra field as it must stand in both headers.
std::string AesExtra(std::uint16_t version, std::uint8_t strength, std::uint16_t method) {
  std::string e;
  Put16(e, 0x9901), Put16(e, 7), Put16(e, version);
  e += "AE";
  e += static_cast<char>(strength);
  Put16(e, method);
  return e;
}

class AesPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(Tmp / "src");
    MakeDir(Tmp / "out");
    A.Zip.Encryption = zcAes256;
  }
  std::string Src(const std::string& name) const { return Tmp / ("src/" + name); }
  std::string Out(const std::string& name) const { return Tmp / ("out/" + name); }
  void Put(const std::string& name, const std::string& data, time_t mtime = 1700000000) {
    WriteFile(Src(name), data);
    struct utimbuf t {mtime, mtime};
    ::utime(Src(name).c_str(), &t);
  }
  // A stored entry (random bytes) and a deflated one: damage in a stored
  // entry is caught by nothing but the authentication code.
  void PutTwo() {
    Put("Random.bin", RandomBytes(70000, 4));
    Put("Table.Nx1", TableLikeBytes(300000));
  }
  void PutInteropFiles() {
    Put("ZNetAsi.Nx1", TableLikeBytes(400000));
    Put("MiXeD.CaSe.txt", "Mixed case name\r\n");
    Put("empty.Nx1", "");
    Put("RANDOM.BIN", RandomBytes(150000, 9));
  }
  void ExpectSameTrees() {
    EXPECT_EQ(ListDir(Tmp / "out"), ListDir(Tmp / "src"));
    for (const auto& name : ListDir(Tmp / "src"))
      EXPECT_EQ(ReadFile(Out(name)), ReadFile(Src(name))) << name;
  }
  void ClearOut() {
    for (const auto& name : ListDir(Tmp / "out")) std::filesystem::remove_all(Out(name));
  }
  static std::string Quote(const std::string& s) { return "'" + s + "'"; }
  int SevenZip(const std::string& args, std::string* output) {
    return RunCommand("/usr/bin/7z " + args + " 2>&1", output);
  }
  TTempDir Tmp;
  TRecordingArchiver A;
};

TEST_F(AesPackageTest, RoundTripAndLayout) {
  Put("Table.Nx1", TableLikeBytes(3 * 1024 * 1024 + 17), 1700000000);  // several buffers
  Put("Random.bin", RandomBytes(300000, 1), 1600000002);
  Put("Empty.Nx1", "", 1500000004);
  Put("Pieni.txt", "ab", 1400000006);
  // Each call gives other bytes, so a salt can be traced to its call.
  int calls = 0;
  A.Zip.RandomSource = [&calls](std::uint8_t* b, std::size_t n) {
    ++calls;
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(calls * 16 + i);
  };
  A.Pack(Tmp / "p.zip", Tmp / "src", {"Table.Nx1", "Random.bin", "Empty.Nx1", "Pieni.txt"}, kPassword);

  const std::string z = ReadFile(Tmp / "p.zip");
  const TRawLayout layout = WalkPackage(z);
  ASSERT_EQ(layout.Error, "");
  ASSERT_EQ(layout.Entries.size(), 4u);
  struct Want {
    const char* Name;
    std::uint16_t Method;
    std::uint32_t Size;
  } want[] = {{"Table.Nx1", 8, 3 * 1024 * 1024 + 17}, {"Random.bin", 0, 300000}, {"Empty.Nx1", 0, 0}, {"Pieni.txt", 0, 2}};
  for (std::size_t i = 0; i < 4; ++i) {
    const TRawEntry& e = layout.Entries[i];
    SCOPED_TRACE(e.Name);
    EXPECT_EQ(e.Name, want[i].Name);
    EXPECT_EQ(e.Method, 99);
    EXPECT_EQ(e.CentralMethod, 99);
    EXPECT_EQ(e.LocalExtra, AesExtra(2, 3, want[i].Method));
    EXPECT_EQ(e.CentralExtra, AesExtra(2, 3, want[i].Method));
    EXPECT_EQ(e.VersionNeeded, 51);
    EXPECT_EQ(e.Flags, 1);
    EXPECT_EQ(e.CentralFlags, 1);
    EXPECT_FALSE(e.HasDescriptor);
    EXPECT_EQ(e.Crc, 0u);  // AE-2: no CRC of the plain text
    EXPECT_EQ(e.UncompressedSize, want[i].Size);
    if (want[i].Method == 0) {
      EXPECT_EQ(e.CompressedSize, e.UncompressedSize + kSalt + kVerifier + kMac);
    } else {
      EXPECT_LT(e.CompressedSize, e.UncompressedSize / 4);
    }
  }
  // Deflate made the random file longer, so it was stored in a second pass;
  // that pass has a salt of its own, never the first pass's key stream again.
  const TRawEntry& random = layout.Entries[1];
  const std::string firstSalt = z.substr(layout.Entries[0].DataOffset, kSalt);
  const std::string randomSalt = z.substr(random.DataOffset, kSalt);
  EXPECT_EQ(calls, 6);  // Table, Random twice, Empty, Pieni twice
  EXPECT_EQ(static_cast<unsigned char>(randomSalt[0]), 3 * 16) << "the salt of the stored pass";
  EXPECT_NE(firstSalt, randomSalt);

  A.Unpack(Tmp / "p.zip", Tmp / "out", "*", kPassword);
  EXPECT_TRUE(A.Failures.empty());
  ExpectSameTrees();
  for (const auto& name : ListDir(Tmp / "src")) EXPECT_EQ(MTime(Out(name)), MTime(Src(name))) << name;
}

// Nothing of a refused entry reaches the target: a file of its name keeps
// its old contents, no temporary is left, and the next entry still comes out.
TEST_F(AesPackageTest, WrongPasswordAndDamageAreRefusedBeforeWriting) {
  PutTwo();
  A.Pack(Tmp / "p.zip", Tmp / "src", {"Random.bin", "Table.Nx1"}, kPassword);
  const std::string good = ReadFile(Tmp / "p.zip");
  const TRawLayout layout = WalkPackage(good);
  ASSERT_EQ(layout.Entries.size(), 2u);
  const TRawEntry& random = layout.Entries[0];
  const TRawEntry& table = layout.Entries[1];
  const std::size_t randomData = random.DataOffset + kSalt + kVerifier;
  const std::size_t tableData = table.DataOffset + kSalt + kVerifier;
  const std::size_t randomMac = random.DataOffset + random.CompressedSize - kMac;

  struct Case {
    const char* What;
    std::size_t Flip;  // 0: none
    const char* Password;
    std::vector<std::string> Failing;
  } cases[] = {
      {"wrong password", 0, "QQrrM3819q", {"Random.bin", "Table.Nx1"}},
      {"first data byte of a stored entry", randomData, kPassword, {"Random.bin"}},
      {"last data byte of a stored entry", randomMac - 1, kPassword, {"Random.bin"}},
      {"authentication code", randomMac + 9, kPassword, {"Random.bin"}},
      {"inside deflated data", tableData + table.CompressedSize / 2, kPassword, {"Table.Nx1"}},
      {"salt", table.DataOffset + 3, kPassword, {"Table.Nx1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::string z = good;
    if (c.Flip) z[c.Flip] = static_cast<char>(z[c.Flip] ^ 0x20);
    WriteFile(Tmp / "d.zip", z);
    ClearOut();
    for (const std::string& name : c.Failing) WriteFile(Out(name), "old contents");
    A.Failures.clear();
    A.Unpack(Tmp / "d.zip", Tmp / "out", "*", c.Password);

    std::vector<TFailure> expected;
    for (const std::string& name : c.Failing) expected.push_back({name, ptExtract, 23});
    EXPECT_EQ(A.Failures, expected);
    for (const std::string& name : c.Failing) EXPECT_EQ(ReadFile(Out(name)), "old contents") << name;
    EXPECT_EQ(ListDir(Tmp / "out"), (std::vector<std::string>{"Random.bin", "Table.Nx1"}));
    for (const std::string name : {"Random.bin", "Table.Nx1"}) {
      if (std::find(c.Failing.begin(), c.Failing.end(), name) == c.Failing.end()) {
        EXPECT_EQ(ReadFile(Out(name)), ReadFile(Src(name))) << name;
      }
    }
  }
}

// AE-1 entries carry the CRC and it is checked besides the code; AE-2 ones
// carry none, and whatever stands in the field is not held against them.
TEST_F(AesPackageTest, CrcIsCheckedForAe1Only) {
  PutTwo();
  A.Pack(Tmp / "p.zip", Tmp / "src", {"Random.bin", "Table.Nx1"}, kPassword);
  const std::string good = ReadFile(Tmp / "p.zip");
  const TRawLayout layout = WalkPackage(good);
  struct Case {
    std::uint16_t Version;
    bool RightCrc;
    bool Fails;
  } cases[] = {{1, true, false}, {1, false, true}, {2, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("AE-" + std::to_string(c.Version) + (c.RightCrc ? " right CRC" : " wrong CRC"));
    std::string z = good;
    for (const TRawEntry& e : layout.Entries) {
      std::string crc, version;
      Put32(crc, Crc(ReadFile(Src(e.Name))) ^ (c.RightCrc ? 0u : 0x01000000u));
      Put16(version, c.Version);
      const std::size_t localExtra = e.DataOffset - e.LocalExtra.size();
      const std::size_t centralExtra = e.CentralOffset + 46 + e.Name.size();
      z.replace(e.LocalOffset + 14, 4, crc).replace(e.CentralOffset + 16, 4, crc);
      z.replace(localExtra + 4, 2, version).replace(centralExtra + 4, 2, version);
    }
    WriteFile(Tmp / "v.zip", z);
    ClearOut();
    A.Failures.clear();
    A.Unpack(Tmp / "v.zip", Tmp / "out", "*", kPassword);
    if (c.Fails) {
      EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"Random.bin", ptExtract, 23}, {"Table.Nx1", ptExtract, 23}}));
      EXPECT_TRUE(ListDir(Tmp / "out").empty());
    } else {
      EXPECT_TRUE(A.Failures.empty());
      ExpectSameTrees();
    }
  }
}

// AES entries that cannot be read: each one refused alone, with the numbers
// the run log knows (4 no password, 23 damaged, 0 not supported).
TEST_F(AesPackageTest, UnreadableEntries) {
  Put("Table.Nx1", TableLikeBytes(5000));
  A.Pack(Tmp / "p.zip", Tmp / "src", {"*"}, kPassword);
  const std::string good = ReadFile(Tmp / "p.zip");
  const TRawEntry e = WalkPackage(good).Entries.at(0);
  const std::size_t centralExtra = e.CentralOffset + 46 + e.Name.size();
  struct Case {
    const char* What;
    std::function<void(std::string&)> Damage;
    const char* Password;
    int Code;
  } cases[] = {
      {"no password", [](std::string&) {}, "", 4},
      {"unknown key strength", [&](std::string& z) { z[centralExtra + 8] = 4; }, kPassword, 0},
      {"another vendor", [&](std::string& z) { z[centralExtra + 6] = 'X'; }, kPassword, 0},
      {"method 99 without its extra field", [&](std::string& z) { z[centralExtra] = 0x02; }, kPassword, 0},
      {"unknown compression method under the AES layer", [&](std::string& z) { z[centralExtra + 9] = 14; }, kPassword, 0},
      {"shorter than salt, verifier and code",
       [&](std::string& z) {
         std::string size;
         Put32(size, kSalt + kVerifier + kMac - 1);
         z.replace(e.CentralOffset + 20, 4, size);
       },
       kPassword, 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::string z = good;
    c.Damage(z);
    WriteFile(Tmp / "u.zip", z);
    A.Failures.clear();
    A.Unpack(Tmp / "u.zip", Tmp / "out", "*", c.Password);
    EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"Table.Nx1", ptExtract, c.Code}}));
    EXPECT_TRUE(ListDir(Tmp / "out").empty());
  }
}

// A package can hold both kinds: entries already in it are copied as they
// are (the AES one keeps its extra field in the rewritten central
// directory), new ones get the kind set now.
TEST_F(AesPackageTest, MixedPackageReadsWithOursAnd7Zip) {
  PutTwo();
  A.Pack(Tmp / "m.zip", Tmp / "src", {"Table.Nx1"}, kPassword);
  A.Zip.Encryption = zcZipCrypto;
  A.Pack(Tmp / "m.zip", Tmp / "src", {"Random.bin"}, kPassword);
  const TRawLayout layout = WalkPackage(ReadFile(Tmp / "m.zip"));
  ASSERT_EQ(layout.Error, "");
  ASSERT_EQ(layout.Entries.size(), 2u);
  EXPECT_EQ(layout.Entries[0].CentralMethod, 99);
  EXPECT_EQ(layout.Entries[0].CentralExtra, AesExtra(2, 3, 8));
  EXPECT_EQ(layout.Entries[1].CentralFlags, 9);
  EXPECT_EQ(layout.Entries[1].CentralExtra, "");

  A.Unpack(Tmp / "m.zip", Tmp / "out", "*", kPassword);
  EXPECT_TRUE(A.Failures.empty());
  ExpectSameTrees();

  std::string output;
  ClearOut();
  ASSERT_EQ(SevenZip("x -y -p" + std::string(kPassword) + " -o" + Quote(Tmp / "out") + " " + Quote(Tmp / "m.zip"), &output), 0)
      << output;
  ExpectSameTrees();
}

class AesInteropTest : public AesPackageTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    AesPackageTest::SetUp();
    PutInteropFiles();
  }
  std::string Password() const { return GetParam(); }
};

TEST_P(AesInteropTest, OursExtractWith7Zip) {
  A.Pack(Tmp / "t.zip", Tmp / "src", {"*"}, Password());
  std::string output;
  ASSERT_EQ(SevenZip("l -slt " + Quote(Tmp / "t.zip"), &output), 0) << output;
  EXPECT_NE(output.find("Method = AES-256 Deflate"), std::string::npos) << output;
  EXPECT_NE(output.find("Method = AES-256 Store"), std::string::npos) << output;
  ASSERT_EQ(SevenZip("x -y -p" + Quote(Password()) + " -o" + Quote(Tmp / "out") + " " + Quote(Tmp / "t.zip"), &output), 0)
      << output;
  ExpectSameTrees();
  EXPECT_EQ(MTime(Out("ZNetAsi.Nx1")) / 2, MTime(Src("ZNetAsi.Nx1")) / 2);
  // 7-Zip too refuses them under another password.
  EXPECT_NE(SevenZip("t -p" + Quote(Password() + "x") + " " + Quote(Tmp / "t.zip"), &output), 0) << output;
}

// 7-Zip writes ZIP entries only under ASCII passwords.
TEST_F(AesPackageTest, SevenZipPackagesExtractWithOurs) {
  PutInteropFiles();
  const std::string password = kPassword;
  for (const std::string options : {"-mem=AES256 -mx=5", "-mem=AES256 -mx=0", "-mem=AES128 -mx=9"}) {
    SCOPED_TRACE("7z a " + options);
    ::unlink((Tmp / "z.zip").c_str());
    ClearOut();
    std::string output;
    ASSERT_EQ(RunCommand("cd " + Quote(Tmp / "src") + " && /usr/bin/7z a -tzip " + options + " -p" + Quote(password) +
                             " " + Quote(Tmp / "z.zip") + " . 2>&1",
                         &output),
              0)
        << output;
    A.Failures.clear();
    A.Unpack(Tmp / "z.zip", Tmp / "out", "*", password);
    EXPECT_TRUE(A.Failures.empty());
    ExpectSameTrees();

    ClearOut();
    A.Failures.clear();
    A.Unpack(Tmp / "z.zip", Tmp / "out", "*", password + "x");
    EXPECT_EQ(A.Failures.size(), 4u);
    for (const TFailure& f : A.Failures) EXPECT_EQ(f.ErrorCode, 23) << f.Name;
    EXPECT_TRUE(ListDir(Tmp / "out").empty());
  }
}

// Entries are read and decrypted a buffer at a time, a large one ahead on
// a second thread: stored entries (their data as long as the file) just
// below, at and above one buffer and over two, written by 7-Zip, come out
// whole, and damage in the last chunk of the longest is still refused.
TEST_F(AesPackageTest, EntriesAroundTheBufferSize) {
  const std::size_t b = kZipBufferSize;
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"a.bin", b - 1}, {"b.bin", b}, {"c.bin", b + 1}, {"d.bin", 2 * b + 7}};
  for (std::size_t i = 0; i < files.size(); ++i) Put(files[i].first, RandomBytes(files[i].second, 20 + static_cast<int>(i)));
  std::string output;
  ASSERT_EQ(RunCommand("cd " + Quote(Tmp / "src") + " && /usr/bin/7z a -tzip -mem=AES256 -mx=0 -p" + kPassword + " " +
                           Quote(Tmp / "z.zip") + " . 2>&1",
                       &output),
            0)
      << output;
  A.Unpack(Tmp / "z.zip", Tmp / "out", "*", kPassword);
  EXPECT_TRUE(A.Failures.empty());
  ExpectSameTrees();

  std::string z = ReadFile(Tmp / "z.zip");
  const TRawLayout layout = WalkPackage(z);
  const auto d = std::find_if(layout.Entries.begin(), layout.Entries.end(), [](const TRawEntry& e) { return e.Name == "d.bin"; });
  ASSERT_NE(d, layout.Entries.end());
  const std::size_t last = d->DataOffset + d->CompressedSize - kMac - 1;
  z[last] = static_cast<char>(z[last] ^ 0x01);
  WriteFile(Tmp / "d.zip", z);
  ClearOut();
  WriteFile(Out("d.bin"), "old contents");
  A.Failures.clear();
  A.Unpack(Tmp / "d.zip", Tmp / "out", "d.bin", kPassword);
  EXPECT_EQ(A.Failures, (std::vector<TFailure>{{"d.bin", ptExtract, 23}}));
  EXPECT_EQ(ReadFile(Out("d.bin")), "old contents");
  EXPECT_EQ(ListDir(Tmp / "out"), (std::vector<std::string>{"d.bin"}));
}

// 7-Zip takes the password as UTF-8 for AES entries, as a password typed
// on this system is, so a non-ASCII one opens our packages there too.
INSTANTIATE_TEST_SUITE_P(Passwords, AesInteropTest, ::testing::Values(kPassword, "P\xC3\xA4iv\xC3\xA4 \xE2\x82\xAC!"),
                         [](const auto& info) { return info.index == 0 ? "Ascii" : "Utf8"; });

}  // namespace
}  // namespace trelvo::test
