// Packages read with the installations' password, as every receive does.
#include "ZipTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trelvo::fuzz::RunZip(data, size, "Salasana1");
}
