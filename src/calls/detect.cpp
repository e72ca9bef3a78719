#include "calls/detect.h"

#include <cstdint>
#include <cstring>

#include <libheif/heif.h>

#include "base/platform.h"

namespace {

// libheif 1.19 answers "yes" for every ftyp box (MP4, QuickTime, CR3 raw
// too). Its yes only counts for the major brands that name an image format
// of the HEIF family, the ones older libheif said yes to; anything else goes
// on to the brand scan.
bool major_brand_is_heif_family(const uint8_t* buf) {
  static const char kFamily[][5] = {"heic", "heix", "avif", "hevc", "hevx", "heim",
                                    "heis", "hevm", "hevs", "msf1", "avis", "vvic"};
  for (const char* brand : kFamily) {
    if (std::memcmp(buf + 8, brand, 4) == 0) return true;
  }
  return false;
}

}  // namespace

int is_heif_file(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;

  // A FIFO with no writer reads as empty instead of hanging.
  uint8_t buf[64];
  long got;
  {
    platform::InputFile file;
    if (!file.open(path)) return 0;
    got = file.read(buf, sizeof buf);
  }
  if (got < 12) return 0;
  const size_t n = static_cast<size_t>(got);

  const heif_filetype_result sniffed = heif_check_filetype(buf, static_cast<int>(n));
  if ((sniffed == heif_filetype_yes_supported || sniffed == heif_filetype_yes_unsupported) &&
      major_brand_is_heif_family(buf)) {
    return 1;
  }
  if (std::memcmp(buf + 4, "ftyp", 4) != 0) return 0;

  static const char kBrands[][5] = {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs", "mif1", "msf1"};
  for (const char* brand : kBrands) {
    if (std::memcmp(buf + 8, brand, 4) == 0) return 1;
    for (size_t off = 16; off + 4 <= n; off += 4) {
      if (std::memcmp(buf + off, brand, 4) == 0) return 1;
    }
  }
  return 0;
}
