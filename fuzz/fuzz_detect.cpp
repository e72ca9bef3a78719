// lumetra_is_heic on arbitrary first bytes: 0 or 1, last-error untouched.
#include <cstring>

#include "fuzz_support.h"
#include "lumetra.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = write_input("in.bin", data, size);
  lumetra_to_png(nullptr, nullptr);  // leaves a known message
  const int r = lumetra_is_heic(path.c_str());
  FUZZ_CHECK(r == 0 || r == 1);
  if (size < 12) FUZZ_CHECK(r == 0);
  if (size >= 12 && std::memcmp(data + 4, "ftyp", 4) == 0 && std::memcmp(data + 8, "heic", 4) == 0) FUZZ_CHECK(r == 1);
  FUZZ_CHECK(std::strcmp(lumetra_last_error(), "Invalid arguments to lumetra_to_png") == 0);
  return 0;
}
