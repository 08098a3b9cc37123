// A listing from the server (NLST or MLSD), as the collecting steps read it:
// every name taken from it is a plain file name, every name that passes the
// check stays inside the download directory, and the run log's form of any
// name is free of control bytes.
#include "FuzzSupport.h"
#include "ftp/ListedNames.h"

using namespace trelvo;
using trelvo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const std::string& listed : SplitListing(text)) {
    Require(listed.find('\n') == std::string::npos, "one name per line");
    for (unsigned char c : PrintableName(listed)) Require(c >= 0x20 && c != 0x7f, "the log shows no control byte");
    if (!IsSafeListedName(listed)) continue;
    const std::string name = listed.rfind("./", 0) == 0 ? listed.substr(2) : listed;
    Require(!name.empty() && name != "." && name != "..", "a name that is a file");
    for (unsigned char c : name) {
      Require(c != '/', "no directory part");
      Require(c >= 0x20 && c != 0x7f, "no control byte in a file name");
    }
  }
  for (bool machine : {false, true}) {
    for (const std::string& name : ListedFileNames(text, machine)) {
      Require(!name.empty() && name != "." && name != "..", "a listed name that is a file");
      Require(name.find('/') == std::string::npos && name.find('\n') == std::string::npos, "no path part, one line");
    }
  }
  return 0;
}
