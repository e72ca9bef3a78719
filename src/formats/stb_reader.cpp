#include "formats/stb_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/platform.h"
#include "formats/stb_guards.h"
#include "pixels/orientation.h"

#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

namespace {

const long kExifSourceMin = 32;
const long kExifSourceMax = 20971520;
const int kMaxSourceSide = 32768;
const uint64_t kMaxPixelsPerByte = 4096;

// stb_image blocks forever reading a FIFO with no writer: such paths are
// refused before it gets them (it reports directories itself). A path that
// cannot be stat'ed is left to the reader to report.
bool refused_file_kind(const char* path) { return platform::kind_of(path) == platform::FileKind::Other; }

struct FileCloser {
  FILE* f;
  ~FileCloser() {
    if (f != nullptr) std::fclose(f);
  }
};

// Where a segment walk found the EXIF segment's TIFF data.
bool find_jpeg_exif_segment(const unsigned char* buf, size_t n, size_t* tiff_at, size_t* tiff_len) {
  if (n < 32 || buf[0] != 0xFF || buf[1] != 0xD8) return false;
  size_t p = 2;
  for (;;) {
    // Every read below is inside [0, n): p + 3 < n holds on entry because the
    // previous segment stopped unless end + 4 < n.
    if (buf[p] != 0xFF) return false;
    const unsigned char marker = buf[p + 1];
    if (marker == 0xD9 || marker == 0xDA) return false;
    const size_t len = size_t(buf[p + 2]) * 256 + buf[p + 3];
    const size_t end = p + 2 + len;
    if (end > n) return false;
    if (marker == 0xE1 && len >= 8 && std::memcmp(buf + p + 4, "Exif\0\0", 6) == 0) {
      *tiff_at = p + 10;
      *tiff_len = len - 8;
      return true;
    }
    if (end + 4 >= n) return false;
    p = end;
  }
}

}  // namespace

bool load_jpeg_exif_block(const char* path, unsigned char** block, size_t* size) {
  FileCloser file{platform::open_file(path, "rb")};
  if (file.f == nullptr) return false;
  if (std::fseek(file.f, 0, SEEK_END) != 0) return false;
  const long file_size = std::ftell(file.f);
  if (file_size < kExifSourceMin || file_size > kExifSourceMax) return false;
  if (std::fseek(file.f, 0, SEEK_SET) != 0) return false;
  HeapBlock buf(static_cast<unsigned char*>(std::malloc(static_cast<size_t>(file_size))));
  if (!buf) return false;
  const size_t n = std::fread(buf.get(), 1, static_cast<size_t>(file_size), file.f);
  std::fclose(file.f);
  file.f = nullptr;

  size_t tiff_at = 0, tiff_len = 0;
  if (!find_jpeg_exif_segment(buf.get(), n, &tiff_at, &tiff_len)) return false;
  auto* out = static_cast<unsigned char*>(std::malloc(tiff_len + 4));
  if (out == nullptr) return false;
  std::memset(out, 0, 4);
  std::memcpy(out + 4, buf.get() + tiff_at, tiff_len);
  *block = out;
  *size = tiff_len + 4;
  return true;
}

void SourceImage::release() {
  std::free(converted);  // the converted buffer goes before the loaded block
  if (loaded != nullptr) stbi_image_free(loaded);
  converted = nullptr;
  loaded = nullptr;
  pixels = nullptr;
}

namespace {

// Grey (and grey + alpha, whose transparency is kept) spread to RGB(A).
template <typename Sample>
void spread_grey(const Sample* s, Sample* d, size_t pixels, int channels) {
  const int out = channels == 1 ? 3 : 4;
  for (size_t i = 0; i < pixels; ++i, s += channels, d += out) {
    d[0] = d[1] = d[2] = s[0];
    if (channels == 2) d[3] = s[1];
  }
}

}  // namespace

bool load_source_image(const char* path, SourceImage* img, bool keep_16) {
  if (refused_file_kind(path)) {
    set_error_fmt("Failed loading source image '%s': %s", path, "can't fopen");
    return false;
  }
  if (const char* reason = source_guards::hostile_source_reason(path)) {
    set_error_fmt("Failed loading source image '%s': %s", path, reason);
    return false;
  }
  // stb opens files with the ANSI fopen on Windows: it gets ours.
  FileCloser file{platform::open_file(path, "rb")};
  if (file.f == nullptr) {
    set_error_fmt("Failed loading source image '%s': %s", path, "can't fopen");
    return false;
  }
  int w = 0, h = 0, channels = 0;
  if (stbi_info_from_file(file.f, &w, &h, &channels)) {
    // stb's header reader gives a top-down BMP's height as the file stores
    // it, negative; its loader takes the magnitude.
    const uint64_t width = static_cast<uint64_t>(w < 0 ? -int64_t(w) : w);
    const uint64_t height = static_cast<uint64_t>(h < 0 ? -int64_t(h) : h);
    // Neither libheif nor its encoders take a side beyond 32768 pixels; a
    // header claiming one is refused before gigabytes are allocated for it.
    if (width > uint64_t(kMaxSourceSide) || height > uint64_t(kMaxSourceSide)) {
      set_error_fmt("Failed loading source image '%s': %s", path, "too large");
      return false;
    }
    // No format the loader reads packs more than a few thousand pixels into
    // a byte (GIF's LZW at best about 2730): a header claiming more is a
    // bomb whose pixels the loader would invent from zeros past the end.
    const int64_t file_size = platform::size_of(path);
    if (file_size >= 0 && width * height > kMaxPixelsPerByte * uint64_t(file_size)) {
      set_error_fmt("Failed loading source image '%s': %s", path, "too large for its file size");
      return false;
    }
  }
  img->sample_bytes = keep_16 && stbi_is_16_bit_from_file(file.f) ? 2 : 1;
  img->loaded = img->sample_bytes == 2
                    ? reinterpret_cast<unsigned char*>(stbi_load_from_file_16(file.f, &w, &h, &channels, 0))
                    : stbi_load_from_file(file.f, &w, &h, &channels, 0);
  if (img->loaded == nullptr || w < 1 || h < 1) {
    set_error_fmt("Failed loading source image '%s': %s", path, stbi_failure_reason());
    return false;
  }
  img->width = w;
  img->height = h;
  img->pixels = img->loaded;
  img->bytes_per_pixel = channels * img->sample_bytes;
  if (channels == 1 || channels == 2) {
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    img->bytes_per_pixel = (channels == 1 ? 3 : 4) * img->sample_bytes;
    img->converted = static_cast<unsigned char*>(std::malloc(pixels * img->bytes_per_pixel));
    if (img->converted == nullptr) {
      set_error("Out of memory converting image channels");
      return false;
    }
    if (img->sample_bytes == 2) {
      spread_grey(reinterpret_cast<const uint16_t*>(img->loaded), reinterpret_cast<uint16_t*>(img->converted), pixels,
                  channels);
    } else {
      spread_grey(img->loaded, img->converted, pixels, channels);
    }
    img->pixels = img->converted;
  }
  return true;
}

bool turned_upright(const SourceImage& src, int o, HeapBlock* dst, int* out_w, int* out_h) {
  const Orientation orientation = Orientation::from_exif(o, src.width, src.height);
  const PixelSize size{src.sample_bytes, src.bytes_per_pixel / src.sample_bytes};
  *out_w = orientation.out_width();
  *out_h = orientation.out_height();
  dst->reset(static_cast<unsigned char*>(std::malloc(static_cast<size_t>(src.width) * src.height * size.bytes())));
  if (!*dst) return false;
  remap_pixels(orientation, size, src.pixels, static_cast<size_t>(src.width) * size.bytes(), dst->get(),
               static_cast<size_t>(*out_w) * size.bytes());
  return true;
}
