// The encoder's JPEG segment walk, fed as files through the same function
// lumetra_from_image uses.
#include <cstring>

#include "fuzz_support.h"
#include "internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = write_input("in.jpg", data, size);
  unsigned char* block = nullptr;
  size_t block_size = 0;
  if (load_jpeg_exif_block(path.c_str(), &block, &block_size)) {
    FUZZ_CHECK(block != nullptr && block_size >= 4 && block_size <= size);
    FUZZ_CHECK(std::memcmp(block, "\0\0\0\0", 4) == 0);
    // The TIFF data is a run of the file's own bytes, right after "Exif\0\0".
    bool found = false;
    for (size_t at = 10; !found && at + (block_size - 4) <= size; ++at)
      found = std::memcmp(data + at - 6, "Exif\0\0", 6) == 0 && std::memcmp(data + at, block + 4, block_size - 4) == 0;
    FUZZ_CHECK(found);
    std::free(block);
  }
  return 0;
}
