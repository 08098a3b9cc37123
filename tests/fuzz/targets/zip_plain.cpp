// Packages read without a password: encrypted entries must fail cleanly.
#include "ZipTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trelvo::fuzz::RunZip(data, size, "");
}
