// parse_exif_to_json on arbitrary blocks; the first two bytes pick the
// output capacity.
#include <cstring>

#include "fuzz_support.h"
#include "reports/exif_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cap = (size_t(data[0]) << 8 | data[1]) % 1100;
  data += 2, size -= 2;
  // The block lives in its own heap copy so that ASan sees every overread.
  std::vector<uint8_t> block(data, data + size);
  std::vector<char> out(cap + 16, '#');
  const int r = parse_exif_to_json(block.empty() ? nullptr : block.data(), block.size(), out.data(), cap);
  if (cap < 22) {
    FUZZ_CHECK(r == 0);
    for (char c : out) FUZZ_CHECK(c == '#');
    return 0;
  }
  for (size_t i = cap; i < out.size(); ++i) FUZZ_CHECK(out[i] == '#');  // never past the capacity
  FUZZ_CHECK(std::memchr(out.data(), '\0', cap) != nullptr);
  if (r == 0) {
    FUZZ_CHECK(std::strcmp(out.data(), "{\"ExifPresent\":false}") == 0);
  } else {
    FUZZ_CHECK(r == 1 && cap >= 32);
    FUZZ_CHECK(std::strncmp(out.data(), "{\"Make\":\"", cap - 1 < 9 ? cap - 1 : 9) == 0);
    if (cap >= 648) FUZZ_CHECK(keys_are(out.data(), kExifKeys));
  }
  return 0;
}
