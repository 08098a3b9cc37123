// trelvo-admin pack | unpack | list: the archive component as the run uses
// it, with the main window's handlers printing the run-log lines.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "Admin.h"
#include "archive/ZipArchiver.h"
#include "common/DateTime.h"
#include "common/Text.h"
#include "core/TrelvoCore.h"

namespace trelvo::admin {
namespace {

// The component wants a full path; the operator may give a relative one.
std::string FullPath(const std::string& path) { return std::filesystem::absolute(path).lexically_normal().string(); }

// Runs one guarded archive step the way the transfer procedures do: the
// package is closed on every path, an error becomes the two "(Zip-rikki)"
// lines, and any failed item shows in TransferOk.
int RunGuarded(TTrelvoCore& core, const char* failureLine, const std::function<void(TZipArchiver&)>& step) {
  core.TransferOk = true;
  TZipArchiver& zip = core.ZipArchiver;
  try {
    try {
      step(zip);
    } catch (...) {
      zip.CloseArchive();
      throw;
    }
    zip.CloseArchive();
  } catch (const std::exception& e) {
    core.Log(failureLine);
    core.Log(std::string("Virhe : ") + e.what());
    std::cerr << "trelvo-admin: " << e.what() << "\n";
    return 1;
  }
  if (!core.TransferOk) {
    std::cerr << "trelvo-admin: some entries failed\n";
    return 1;
  }
  return 0;
}

int RunPack(const TArgs& args) {
  args.Expect(3, 3);
  const std::string encryption = LowerCase(args.Option("encryption", "zipcrypto"));
  if (encryption != "zipcrypto" && encryption != "aes256") throw EUsage("--encryption must be zipcrypto or aes256");
  THeadlessView view(&std::cout);
  TTrelvoCore core(HomeDir(args), &view);
  return RunGuarded(core, "Tiedoston pakkaus ei onnistu (Zip-rikki)!", [&](TZipArchiver& zip) {
    zip.Encryption = encryption == "aes256" ? zcAes256 : zcZipCrypto;
    zip.OpenArchive(FullPath(args.At(0)));
    zip.SetBaseDirectory(args.At(1));
    zip.SetPassword(args.Option("password"));
    zip.AddFiles(args.At(2), 0);
  });
}

int RunUnpack(const TArgs& args) {
  args.Expect(2, 3);
  THeadlessView view(&std::cout);
  TTrelvoCore core(HomeDir(args), &view);
  return RunGuarded(core, "Tiedoston purku ei onnistu (Zip-rikki)!", [&](TZipArchiver& zip) {
    zip.OpenArchive(FullPath(args.At(0)));
    zip.SetBaseDirectory(args.At(1));
    zip.SetPassword(args.Option("password"));
    zip.ExtractFiles(args.Get(2, "*"));
  });
}

int RunList(const TArgs& args) {
  args.Expect(1, 1);
  const std::string path = FullPath(args.At(0));
  if (!std::filesystem::is_regular_file(path)) {
    std::cerr << "trelvo-admin list: " << path << ": no such file\n";
    return 1;
  }
  TZipArchiver zip;
  try {
    zip.OpenArchive(path);
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin list: " << e.what() << "\n";
    return 1;
  }
  std::printf("%12s %12s %-8s %-19s %-8s %s\n", "Size", "Packed", "Method", "Modified", "CRC-32", "Name");
  for (const TZipItem& item : zip.Items()) {
    const std::uint16_t method = item.DataMethod();
    const char* encryption = !item.Encrypted() ? ""
                             : !item.Aes()     ? " (encrypted)"
                             : item.AesStrength == 3 ? " (AES-256)"
                             : item.AesStrength == 2 ? " (AES-192)"
                                                     : " (AES-128)";
    std::printf("%12llu %12llu %-8s %-19s %08x %s%s\n", static_cast<unsigned long long>(item.UncompressedSize),
                static_cast<unsigned long long>(item.CompressedSize),
                method == 8 ? "Deflate" : method == 0 ? "Stored" : "Other", DateTimeToStr(item.DateTime()).c_str(),
                item.Crc32, item.FileName.c_str(), encryption);
  }
  std::printf("%zu entries\n", zip.Items().size());
  zip.CloseArchive();
  return 0;
}

TRELVO_ADMIN_COMMAND("pack", "pack ZIP DIR MASK [--password P] [--encryption zipcrypto|aes256]", {}, RunPack,
                     "Adds the files of DIR matching MASK to the package ZIP, as the runs pack.\n"
                     "MASK is one mask or several separated by ';' (Kortti*.Nx1;Asiakas.Nx1), matched without\n"
                     "regard to letter case. Prints the run-log lines of the packing.\n"
                     "\n"
                     "  --password P    encrypt the entries (the installations' ZipPassword)\n"
                     "  --encryption E  zipcrypto (default): the traditional ZIP cipher; aes256: AES-256\n"
                     "                  entries, as the runs write with ZipEncryption=AES256",
                     {"password", "encryption"});
TRELVO_ADMIN_COMMAND("unpack", "unpack ZIP DIR [MASK] [--password P]", {}, RunUnpack,
                     "Extracts the entries of ZIP matching MASK (default *) into DIR, as the runs unpack.\n"
                     "Exit 1 when the package cannot be read or an entry fails (a wrong password, a damaged\n"
                     "entry); the other entries are still extracted.\n"
                     "\n"
                     "  --password P  the packages' password",
                     {"password"});
TRELVO_ADMIN_COMMAND("list", "list ZIP", {}, RunList,
                     "Lists the entries of a package.\n"
                     "Sizes, method, time, CRC-32, name, and whether the entry is encrypted (and with AES).\n"
                     "Needs no password.",
                     {});

}  // namespace
}  // namespace trelvo::admin
