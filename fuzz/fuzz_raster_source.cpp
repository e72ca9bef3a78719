// The encoder's source path on arbitrary raster files: the loader and the
// channel normalisation always, the metadata walk of JPEG and PNG sources
// (ICC, EXIF, XMP) and its orientation rewrites, the whole encode for
// small images, and lumetra_convert's upright encode for the smallest.
#include <cstring>

#include "formats/metadata.h"
#include "fuzz_support.h"
#include "internal.h"
#include "lumetra.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = write_input("in.img", data, size);
  lumetra_init();
  int pixels = 0;
  {
    SourceImage img;
    if (load_source_image(path.c_str(), &img)) {
      FUZZ_CHECK(img.width >= 1 && img.height >= 1 && img.width <= 32768 && img.height <= 32768);
      FUZZ_CHECK(img.bytes_per_pixel == 3 || img.bytes_per_pixel == 4);
      // Touch the first and last byte: the block must be as large as claimed.
      const size_t n = size_t(img.width) * img.height * img.bytes_per_pixel;
      volatile unsigned char first = img.pixels[0], last = img.pixels[n - 1];
      (void)first, (void)last;
      pixels = img.width * img.height;
    } else {
      const char* msg = lumetra_last_error();
      FUZZ_CHECK(std::strncmp(msg, "Failed loading source image '", 29) == 0 ||
                 std::strcmp(msg, "Out of memory converting image channels") == 0);
    }
  }
  {
    PictureMetadata md = read_raster_metadata(path.c_str());
    FUZZ_CHECK(md.exif.empty() || find_tiff_header(md.exif.data(), md.exif.size()) == 0);
    const int o = exif_orientation(md.exif);
    FUZZ_CHECK(o >= 0 && o <= 8);
    const size_t exif_size = md.exif.size(), xmp_size = md.xmp.size();
    if (set_exif_orientation(&md.exif, 1)) FUZZ_CHECK(exif_orientation(md.exif) == 1);
    if (set_xmp_orientation(&md.xmp, 1)) FUZZ_CHECK(xmp_orientation(md.xmp) == 1);
    FUZZ_CHECK(md.exif.size() == exif_size && md.xmp.size() == xmp_size);  // rewritten in place
  }
  if (pixels > 0 && pixels <= 16 * 16) {
    const std::string out = fuzz_dir() + "/out-upright.heic";
    const int r = lumetra_convert(path.c_str(), out.c_str(), 10, LUMETRA_KEEP_METADATA | LUMETRA_UPRIGHT);
    FUZZ_CHECK((r == 1) == (lumetra_last_error()[0] == '\0'));
  }
  if (pixels > 0 && pixels <= 64 * 64) {
    const std::string out = fuzz_dir() + "/out.heic";
    const int r = lumetra_from_image(path.c_str(), out.c_str(), 10);
    FUZZ_CHECK((r == 1) == (lumetra_last_error()[0] == '\0'));
    if (r == 1) FUZZ_CHECK(lumetra_is_heic(out.c_str()) == 1);
  }
  return 0;
}
