#include "lumetra.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libheif/heif.h>

#include "error_state.h"
#include "exif_parse.h"
#include "heif_decode.h"
#include "heif_holders.h"
#include "heif_input.h"
#include "internal.h"
#include "output_file.h"
#include "platform.h"
#include "source_guards.h"

#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

// ---------------------------------------------------------------------------
// Process-wide state and reporting

char g_last_error[1024];
char g_info_json[1024];
char g_exif_json[8192];

void set_error(const char* message) {
  std::snprintf(g_last_error, sizeof g_last_error, "%s", message != nullptr ? message : "");
}

void set_error_fmt(const char* format, ...) {
  char scratch[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(scratch, sizeof scratch, format, args);
  va_end(args);
  set_error(scratch);
}

extern "C" LUMETRA_API int lumetra_init(void) {
  clear_error();
  return 1;
}

extern "C" LUMETRA_API void lumetra_cleanup(void) {
  g_last_error[0] = '\0';
  g_info_json[0] = '\0';
  g_exif_json[0] = '\0';
}

extern "C" LUMETRA_API const char* lumetra_last_error(void) { return g_last_error; }

namespace {

// libheif and stb_image block forever reading a FIFO with no writer, and
// libheif reading a directory can run away with memory: such paths are
// refused before a reader gets them. A path that cannot be stat'ed is left
// to the reader to report.
bool refused_file_kind(const char* path, bool directory_ok) {
  const platform::FileKind kind = platform::kind_of(path);
  return kind == platform::FileKind::Other || (!directory_ok && kind == platform::FileKind::Directory);
}

// Whether a plane of this stride holds rows of row_len bytes.
bool plane_holds_rows(const void* plane, int stride, size_t row_len) {
  return plane != nullptr && stride >= 0 && static_cast<size_t>(stride) >= row_len;
}

}  // namespace

// ---------------------------------------------------------------------------
// HEIF detection

// libheif 1.19 answers "yes" for every ftyp box (MP4, QuickTime, CR3 raw
// too). Its yes only counts for the major brands that name an image format
// of the HEIF family, the ones older libheif said yes to; anything else goes
// on to the brand scan.
static bool major_brand_is_heif_family(const uint8_t* buf) {
  static const char kFamily[][5] = {"heic", "heix", "avif", "hevc", "hevx", "heim",
                                    "heis", "hevm", "hevs", "msf1", "avis", "vvic"};
  for (const char* brand : kFamily) {
    if (std::memcmp(buf + 8, brand, 4) == 0) return true;
  }
  return false;
}

static int is_heic_call(const char* path) {
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

// ---------------------------------------------------------------------------
// Primary image decoding

bool copy_plane_rows(unsigned char* dst, const unsigned char* plane, int stride, size_t row_len, int rows) {
  if (!plane_holds_rows(plane, stride, row_len)) return false;
  for (int y = 0; y < rows; ++y) {
    std::memcpy(dst, plane, row_len);
    dst += row_len;
    plane += stride;
  }
  return true;
}

static int g_decoding_threads = 0;  // 0: libheif's own choice
void set_decoding_threads(int threads) { g_decoding_threads = threads; }

bool open_primary_image(const char* path, HeifFileBytes* file, ContextHolder* ctx, HandleHolder* handle) {
  ctx->reset(heif_context_alloc());
  if (!*ctx) {
    set_error("Failed to allocate heif context");
    return false;
  }
  if (g_decoding_threads > 0) heif_context_set_max_decoding_threads(ctx->get(), g_decoding_threads);
  heif_error err = read_heif_file(ctx->get(), path, file);
  if (err.code != heif_error_Ok) {
    set_error_fmt("Failed to read HEIC file '%s': %s", path, heif_error_text(err));
    return false;
  }
  err = heif_context_get_primary_image_handle(ctx->get(), handle->out());
  if (err.code != heif_error_Ok || !*handle) {
    set_error_fmt("Failed to get primary image handle: %s", heif_error_text(err));
    return false;
  }
  return true;
}

int decode_heic_pixels(const char* path, unsigned char** pixels, int* width, int* height, int* channels) {
  if (path == nullptr || pixels == nullptr || width == nullptr || height == nullptr || channels == nullptr) {
    set_error("Invalid null arguments to decode_heic_pixels");
    return 0;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(path, &file, &ctx, &handle)) return 0;
  heif_error err;
  const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  const int ch = alpha ? 4 : 3;
  ImageHolder image;
  err = decode_upright(ctx.get(), handle.get(), alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                       image.out());
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed to decode HEIC image: %s", heif_error_text(err));
    return 0;
  }
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_primary_width(image.get());
  const int h = heif_image_get_primary_height(image.get());
  const size_t row_len = static_cast<size_t>(w) * static_cast<size_t>(ch);
  if (w <= 0 || h <= 0 || !plane_holds_rows(plane, stride, row_len)) {
    set_error("Failed to retrieve decoded image plane");
    return 0;
  }
  auto* raster = static_cast<unsigned char*>(std::malloc(static_cast<uint64_t>(h) * row_len));
  if (raster == nullptr) {
    set_error("Out of memory allocating pixel buffer");
    return 0;
  }
  copy_plane_rows(raster, plane, stride, row_len, h);
  *pixels = raster;
  *width = w;
  *height = h;
  *channels = ch;
  image.reset();
  handle.reset();
  ctx.reset();
  clear_error();
  return 1;
}

// ---------------------------------------------------------------------------
// Conversion to JPEG, PNG and BMP

int str_ends_with_nocase(const char* text, const char* suffix) {
  const size_t text_len = std::strlen(text);
  const size_t suffix_len = std::strlen(suffix);
  if (text_len < suffix_len) return 0;
  if (suffix_len == 0) return 1;
  const char* tail = text + (text_len - suffix_len);
  for (size_t i = 0; i < suffix_len; ++i) {
    if (std::tolower(static_cast<unsigned char>(tail[i])) != std::tolower(static_cast<unsigned char>(suffix[i]))) {
      return 0;
    }
  }
  return 1;
}

const char* output_extension(const char* path) {
  const char* dot = std::strrchr(path, '.');
  return (dot == nullptr || dot == path) ? "" : dot;
}

OutputFormat output_format_for(const char* path) {
  const char* ext = output_extension(path);
  if (str_ends_with_nocase(ext, ".jpg") || str_ends_with_nocase(ext, ".jpeg")) return OutputFormat::Jpeg;
  if (str_ends_with_nocase(ext, ".png")) return OutputFormat::Png;
  if (str_ends_with_nocase(ext, ".bmp")) return OutputFormat::Bmp;
  return OutputFormat::Png;
}

namespace {

// stb's file writers ignore failed writes and a failed close (a full disk
// reads as success), so the encoded bytes go through this checked sink.
struct CheckedFile {
  FILE* f;
  bool failed;
};

void write_checked(void* context, void* data, int size) {
  auto* out = static_cast<CheckedFile*>(context);
  if (!out->failed && size > 0 && std::fwrite(data, 1, static_cast<size_t>(size), out->f) != static_cast<size_t>(size)) {
    out->failed = true;
  }
}

}  // namespace

// The writers' own encoders with their defaults, writing to `path`; 0 on
// any failure, and then the file that was at `path` is untouched.
int write_raster(OutputFormat format, const char* path, int w, int h, int ch, const unsigned char* px, int quality) {
  OutputFile file(path);
  CheckedFile out{file.open(), false};
  if (out.f == nullptr) return 0;
  int encoded = 0;
  switch (format) {
    case OutputFormat::Jpeg: encoded = stbi_write_jpg_to_func(write_checked, &out, w, h, ch, px, quality); break;
    case OutputFormat::Bmp: encoded = stbi_write_bmp_to_func(write_checked, &out, w, h, ch, px); break;
    case OutputFormat::Png: encoded = stbi_write_png_to_func(write_checked, &out, w, h, ch, px, w * ch); break;
  }
  if (encoded == 0 || out.failed) return 0;
  return file.commit() ? 1 : 0;
}

namespace {

int convert_heif_call(const char* in, const char* out, OutputFormat format, int quality, const char* write_failure) {
  unsigned char* raw = nullptr;
  int w = 0, h = 0, ch = 0;
  if (!decode_heic_pixels(in, &raw, &w, &h, &ch)) return 0;
  HeapBlock raster(raw);
  const int written = write_raster(format, out, w, h, ch, raster.get(), quality);
  raster.reset();
  if (written == 0) {
    set_error(write_failure);
    return 0;
  }
  clear_error();
  return 1;
}

int convert_heif(const char* call, const char* in, const char* out, OutputFormat format, int quality,
                 const char* write_failure) {
  return without_exceptions(call, 0,
                            [&] { return convert_heif_call(in, out, format, quality, write_failure); });
}

}  // namespace

extern "C" LUMETRA_API int lumetra_to_jpg(const char* in, const char* out, int quality) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_jpg");
    return 0;
  }
  if (quality <= 0) quality = 90;
  if (quality > 100) quality = 100;
  return convert_heif("lumetra_to_jpg", in, out, OutputFormat::Jpeg, quality, "Failed writing JPEG output file");
}

extern "C" LUMETRA_API int lumetra_to_png(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_png");
    return 0;
  }
  return convert_heif("lumetra_to_png", in, out, OutputFormat::Png, 0, "Failed writing PNG output file");
}

extern "C" LUMETRA_API int lumetra_to_bmp(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_bmp");
    return 0;
  }
  return convert_heif("lumetra_to_bmp", in, out, OutputFormat::Bmp, 0, "Failed writing BMP output file");
}

extern "C" LUMETRA_API int lumetra_to_image(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_image");
    return 0;
  }
  switch (output_format_for(out)) {
    case OutputFormat::Jpeg: return lumetra_to_jpg(in, out, 90);
    case OutputFormat::Bmp: return lumetra_to_bmp(in, out);
    case OutputFormat::Png: break;
  }
  return lumetra_to_png(in, out);
}

// ---------------------------------------------------------------------------
// Thumbnails

namespace {
const int kThumbnailBox = 320;
const int kThumbnailJpegQuality = 85;
}  // namespace

void thumbnail_size(int width, int height, int* out_width, int* out_height, int box) {
  int ow = width, oh = height;
  if (width <= box && height <= box) {
    // fits as it is
  } else if (width >= height) {
    ow = box;
    oh = static_cast<int>(int64_t(height) * box / width);
    if (oh == 0) oh = 1;
  } else {
    oh = box;
    ow = static_cast<int>(int64_t(width) * box / height);
    if (ow == 0) ow = 1;
  }
  *out_width = ow;
  *out_height = oh;
}

void scale_nearest(const unsigned char* plane, int stride, int width, int height, int channels, unsigned char* dst,
                   int out_width, int out_height) {
  for (int y = 0; y < out_height; ++y) {
    const int64_t sy = int64_t(y) * height / out_height;
    const unsigned char* src_row = plane + sy * stride;
    for (int x = 0; x < out_width; ++x) {
      const int64_t sx = int64_t(x) * width / out_width;
      std::memcpy(dst, src_row + sx * channels, static_cast<size_t>(channels));
      dst += channels;
    }
  }
}

static int thumbnail_call(const char* in, const char* out, int box) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_thumbnail");
    return 0;
  }
  // Declared in release order's reverse: raster, image, thumbnail handle,
  // primary handle, context (then the file's bytes it read from).
  HeifFileBytes file;
  ContextHolder ctx(heif_context_alloc());
  if (!ctx) {
    set_error("Failed allocating heif context");
    return 0;
  }
  if (read_heif_file(ctx.get(), in, &file).code != heif_error_Ok) {
    set_error("Failed reading HEIC file for thumbnail");
    return 0;
  }
  HandleHolder primary;
  heif_error err = heif_context_get_primary_image_handle(ctx.get(), primary.out());
  if (err.code != heif_error_Ok || !primary) {
    set_error("Failed getting primary image handle");
    return 0;
  }
  HandleHolder embedded;
  if (heif_image_handle_get_number_of_thumbnails(primary.get()) > 0) {
    heif_item_id id = 0;
    heif_image_handle_get_list_of_thumbnail_IDs(primary.get(), &id, 1);
    heif_image_handle_get_thumbnail(primary.get(), id, embedded.out());  // failure: use the primary image
  }
  heif_image_handle* chosen = embedded ? embedded.get() : primary.get();

  const bool alpha = heif_image_handle_has_alpha_channel(chosen) != 0;
  const int ch = alpha ? 4 : 3;
  ImageHolder image;
  err = decode_upright(ctx.get(), chosen, alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                       image.out());
  if (err.code != heif_error_Ok || !image) {
    set_error("Failed decoding thumbnail image");
    return 0;
  }
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_primary_width(image.get());
  const int h = heif_image_get_primary_height(image.get());
  const size_t row_len = static_cast<size_t>(w > 0 ? w : 0) * static_cast<size_t>(ch);
  if (w <= 0 || h <= 0 || !plane_holds_rows(plane, stride, row_len)) {
    set_error("Failed decoding thumbnail image");
    return 0;
  }

  int ow = w, oh = h;
  if (!embedded) thumbnail_size(w, h, &ow, &oh, box);
  HeapBlock raster;
  if (ow != w || oh != h) {
    raster.reset(static_cast<unsigned char*>(std::malloc(size_t(ow) * size_t(oh) * size_t(ch))));
    if (raster) {
      scale_nearest(plane, stride, w, h, ch, raster.get(), ow, oh);
    } else {
      ow = w, oh = h;  // fall back to the unscaled copy
    }
  }
  if (!raster) {
    raster.reset(static_cast<unsigned char*>(std::malloc(size_t(h) * row_len)));
    if (!raster) {
      set_error("Failed writing thumbnail image output file");
      return 0;
    }
    copy_plane_rows(raster.get(), plane, stride, row_len, h);
  }

  const int written = write_raster(output_format_for(out), out, ow, oh, ch, raster.get(), kThumbnailJpegQuality);
  raster.reset();
  image.reset();
  embedded.reset();
  primary.reset();
  ctx.reset();
  if (written == 0) {
    set_error("Failed writing thumbnail image output file");
    return 0;
  }
  clear_error();
  return 1;
}

// ---------------------------------------------------------------------------
// Information report

static const char* info_call(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    set_error("Invalid null file path for lumetra_info");
    return nullptr;
  }
  HeifFileBytes file;
  ContextHolder ctx(heif_context_alloc());
  if (!ctx) {
    set_error("Failed allocating heif context");
    return nullptr;
  }
  heif_error err = read_heif_file(ctx.get(), path, &file);
  if (err.code != heif_error_Ok) {
    set_error_fmt("Failed reading HEIC file for info: %s", heif_error_text(err));
    return nullptr;
  }
  HandleHolder handle;
  err = heif_context_get_primary_image_handle(ctx.get(), handle.out());
  if (err.code != heif_error_Ok || !handle) {
    set_error("Failed getting primary image handle");
    return nullptr;
  }
  const int width = heif_image_handle_get_width(handle.get());
  const int height = heif_image_handle_get_height(handle.get());
  const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
  const int alpha = heif_image_handle_has_alpha_channel(handle.get());
  const int thumbnails = heif_image_handle_get_number_of_thumbnails(handle.get());
  const int exif_blocks = heif_image_handle_get_number_of_metadata_blocks(handle.get(), "Exif");
  const int images = heif_context_get_number_of_top_level_images(ctx.get());
  std::snprintf(g_info_json, sizeof g_info_json,
                "{\"width\":%d,\"height\":%d,\"bit_depth\":%d,\"has_alpha\":%s,\"has_thumbnail\":%s,"
                "\"color_space\":\"%s\",\"exif\":%s,\"image_count\":%d}",
                width, height, bits > 0 ? bits : 8, alpha ? "true" : "false", thumbnails > 0 ? "true" : "false",
                "YCbCr", exif_blocks > 0 ? "true" : "false", images > 0 ? images : 1);
  handle.reset();
  ctx.reset();
  clear_error();
  return g_info_json;
}

// ---------------------------------------------------------------------------
// EXIF report

static const char* exif_call(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    set_error("Invalid null file path for lumetra_exif");
    return nullptr;
  }
  HeifFileBytes file;
  ContextHolder ctx(heif_context_alloc());
  if (!ctx) {
    set_error("Failed allocating heif context");
    return nullptr;
  }
  if (read_heif_file(ctx.get(), path, &file).code != heif_error_Ok) {
    set_error("Failed reading HEIC file for EXIF");
    return nullptr;
  }
  HandleHolder handle;
  const heif_error err = heif_context_get_primary_image_handle(ctx.get(), handle.out());
  if (err.code != heif_error_Ok || !handle) {
    set_error("Failed getting primary image handle");
    return nullptr;
  }
  bool parsed = false;
  if (heif_image_handle_get_number_of_metadata_blocks(handle.get(), "Exif") > 0) {
    heif_item_id id = 0;
    heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1);
    const size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    if (size > 4) {
      HeapBlock block(static_cast<unsigned char*>(std::malloc(size)));
      if (!block) {
        set_error("Out of memory allocating metadata buffer");
        return nullptr;
      }
      if (heif_image_handle_get_metadata(handle.get(), id, block.get()).code == heif_error_Ok) {
        parse_exif_to_json(block.get(), size, g_exif_json, sizeof g_exif_json);
        parsed = true;
      }
    }
  }
  if (!parsed) std::memcpy(g_exif_json, "{\"ExifPresent\":false}", 22);
  handle.reset();
  ctx.reset();
  clear_error();
  return g_exif_json;
}

// ---------------------------------------------------------------------------
// Encoding raster files to HEIF

namespace {

const int kEncoderThumbnailBox = 160;
const long kExifSourceMin = 32;
const long kExifSourceMax = 20971520;
const int kMaxSourceSide = 32768;
const uint64_t kMaxPixelsPerByte = 4096;


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

void carry_jpeg_exif(heif_context* ctx, const heif_image_handle* primary, const char* source_path) {
  unsigned char* raw = nullptr;
  size_t size = 0;
  if (!load_jpeg_exif_block(source_path, &raw, &size)) return;
  HeapBlock block(raw);
  heif_context_add_exif_metadata(ctx, primary, block.get(), static_cast<int>(size));
}

}  // namespace

bool load_jpeg_exif_block(const char* path, unsigned char** block, size_t* size) {
  FileCloser file{std::fopen(path, "rb")};
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

SourceImage::~SourceImage() {
  std::free(converted);  // the converted buffer goes before the loaded block
  if (loaded != nullptr) stbi_image_free(loaded);
}

bool load_source_image(const char* path, SourceImage* img) {
  if (refused_file_kind(path, true)) {  // stb_image reports directories itself
    set_error_fmt("Failed loading source image '%s': %s", path, "can't fopen");
    return false;
  }
  if (const char* reason = source_guards::hostile_source_reason(path)) {
    set_error_fmt("Failed loading source image '%s': %s", path, reason);
    return false;
  }
  int w = 0, h = 0, channels = 0;
  if (stbi_info(path, &w, &h, &channels)) {
    // Neither libheif nor its encoders take a side beyond 32768 pixels; a
    // header claiming one is refused before gigabytes are allocated for it.
    if (w > kMaxSourceSide || h > kMaxSourceSide) {
      set_error_fmt("Failed loading source image '%s': %s", path, "too large");
      return false;
    }
    // No format the loader reads packs more than a few thousand pixels into
    // a byte (GIF's LZW at best about 2730): a header claiming more is a
    // bomb whose pixels the loader would invent from zeros past the end.
    const int64_t file_size = platform::size_of(path);
    if (file_size >= 0 && uint64_t(w) * uint64_t(h) > kMaxPixelsPerByte * uint64_t(file_size)) {
      set_error_fmt("Failed loading source image '%s': %s", path, "too large for its file size");
      return false;
    }
  }
  img->loaded = stbi_load(path, &w, &h, &channels, 0);
  if (img->loaded == nullptr || w < 1 || h < 1) {
    set_error_fmt("Failed loading source image '%s': %s", path, stbi_failure_reason());
    return false;
  }
  img->width = w;
  img->height = h;
  img->pixels = img->loaded;
  img->bytes_per_pixel = channels;
  if (channels == 1 || channels == 2) {
    // Grey (and grey + alpha, whose transparency is kept) spread to RGB(A).
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    img->bytes_per_pixel = channels == 1 ? 3 : 4;
    img->converted = static_cast<unsigned char*>(std::malloc(pixels * img->bytes_per_pixel));
    if (img->converted == nullptr) {
      set_error("Out of memory converting image channels");
      return false;
    }
    const unsigned char* s = img->loaded;
    unsigned char* d = img->converted;
    for (size_t i = 0; i < pixels; ++i, s += channels, d += img->bytes_per_pixel) {
      d[0] = d[1] = d[2] = s[0];
      if (channels == 2) d[3] = s[1];
    }
    img->pixels = img->converted;
  }
  return true;
}

void add_encoder_thumbnail(heif_context* ctx, heif_image* image, heif_image_handle* primary, heif_encoder* encoder,
                           int w, int h) {
  if (w > kEncoderThumbnailBox - 1 && h > kEncoderThumbnailBox - 1 &&
      thumbnail_encodable(w, h, kEncoderThumbnailBox)) {
    HandleHolder thumbnail;
    heif_context_encode_thumbnail(ctx, image, primary, encoder, nullptr, kEncoderThumbnailBox, thumbnail.out());
  }
}

bool thumbnail_encodable(int width, int height, int box) {
  const int64_t long_side = width > height ? width : height;
  const int64_t short_side = width > height ? height : width;
  return short_side * box / long_side >= 2;
}

bool fill_heif_image(const unsigned char* pixels, int w, int h, int bytes_per_pixel, ImageHolder* image) {
  const heif_chroma chroma = bytes_per_pixel == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  heif_error err = heif_image_create(w, h, heif_colorspace_RGB, chroma, image->out());
  if (err.code != heif_error_Ok || !*image) {
    set_error("Failed to create heif image container");
    return false;
  }
  if (heif_image_add_plane(image->get(), heif_channel_interleaved, w, h, 8).code != heif_error_Ok) {
    set_error("Failed to add image plane");
    return false;
  }
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image->get(), heif_channel_interleaved, &stride);
  const size_t row_len = static_cast<size_t>(w) * bytes_per_pixel;
  if (!plane_holds_rows(plane, stride, row_len)) {
    set_error("Failed to add image plane");
    return false;
  }
  for (int y = 0; y < h; ++y) {
    std::memcpy(plane + int64_t(y) * stride, pixels + static_cast<size_t>(y) * row_len, row_len);
  }
  return true;
}

// Loads, encodes and writes; false with the last-error text set. Everything
// acquired is released on return, in the order: encoder, image, converted
// buffer and loaded block (the source image), context.
static bool encode_source(const char* in, const char* out, int quality) {
  ContextHolder ctx;
  SourceImage src;
  if (!load_source_image(in, &src)) return false;
  const int w = src.width, h = src.height, bytes_per_pixel = src.bytes_per_pixel;
  const unsigned char* source = src.pixels;

  ctx.reset(heif_context_alloc());
  if (!ctx) {
    set_error("Failed to allocate heif context");
    return false;
  }
  ImageHolder image;
  if (!fill_heif_image(source, w, h, bytes_per_pixel, &image)) return false;
  heif_error err;

  EncoderHolder encoder;
  err = heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, encoder.out());
  if (err.code != heif_error_Ok || !encoder) {
    err = heif_context_get_encoder_for_format(ctx.get(), heif_compression_AV1, encoder.out());
  }
  if (err.code != heif_error_Ok || !encoder) {
    set_error("No supported HEIF encoder found (HEVC/AV1)");
    return false;
  }
  heif_encoder_set_lossy_quality(encoder.get(), quality);

  HandleHolder primary;
  err = heif_context_encode_image(ctx.get(), image.get(), encoder.get(), nullptr, primary.out());
  if (err.code != heif_error_Ok || !primary) {
    set_error_fmt("Failed encoding image: %s", heif_error_text(err));
    return false;
  }
  carry_jpeg_exif(ctx.get(), primary.get(), in);
  add_encoder_thumbnail(ctx.get(), image.get(), primary.get(), encoder.get(), w, h);
  primary.reset();

  err = write_heif_output(ctx.get(), out);
  if (err.code != heif_error_Ok) {
    set_error_fmt("Failed writing HEIF file to disk: %s", heif_error_text(err));
    return false;
  }
  return true;
}

static int from_image_call(const char* in, const char* out, int quality) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_from_image");
    return 0;
  }
  if (quality <= 0) quality = 85;
  if (quality > 100) quality = 100;
  if (!encode_source(in, out, quality)) return 0;
  clear_error();  // after every release
  return 1;
}

// ---------------------------------------------------------------------------
// Directory batch conversion

namespace {

bool same_file(const char* a, const char* b) { return std::strcmp(a, b) == 0 || platform::same_file(a, b); }

}  // namespace

int batch_walk(const char* in_dir, const char* out_dir, int format, int quality, BatchCallback callback, void* user,
               int convert_flags) {
  if (in_dir == nullptr || out_dir == nullptr) {
    set_error("Invalid directory paths for lumetra_batch");
    return -1;
  }
  char request[260];
  if (!platform::listing_request(in_dir, request)) {
    set_error("Failed opening input directory");
    return -1;
  }
  platform::DirListing listing(request);
  if (!listing.opened()) {
    set_error("Failed opening input directory");
    return -1;
  }
  const bool png = format == 1;
  int count = 0;
  char input_path[4096];
  char stem[1024];
  char output_path[4096];
  const char sep = platform::kSeparator;
  bool is_directory = false;
  for (const char* name = listing.next(&is_directory); name != nullptr; name = listing.next(&is_directory)) {
    if (is_directory) continue;
    BatchEntry report{name, input_path, "", BatchOutcome::NotHeif, ""};
    const int in_len = std::snprintf(input_path, sizeof input_path, "%s%c%s", in_dir, sep, name);
    if (in_len < 0 || static_cast<size_t>(in_len) >= sizeof input_path) {
      report.input_path = "";
      report.outcome = BatchOutcome::PathTooLong;
      if (callback != nullptr) callback(report, user);
      continue;
    }
    if (!lumetra_is_heic(input_path)) {
      if (callback != nullptr) callback(report, user);
      continue;
    }
    std::snprintf(stem, sizeof stem, "%s", name);
    if (char* dot = std::strrchr(stem, '.')) *dot = '\0';
    const int out_len = std::snprintf(output_path, sizeof output_path, "%s%c%s.%s", out_dir, sep, stem,
                                     png ? "png" : "jpg");
    report.output_path = output_path;
    if (out_len < 0 || static_cast<size_t>(out_len) >= sizeof output_path) {
      report.output_path = "";
      report.outcome = BatchOutcome::PathTooLong;
    } else if (same_file(input_path, output_path)) {
      report.outcome = BatchOutcome::WouldOverwrite;
    } else {
      const int ok = convert_flags >= 0 ? lumetra_convert(input_path, output_path, quality, convert_flags)
                     : png             ? lumetra_to_png(input_path, output_path)
                                       : lumetra_to_jpg(input_path, output_path, quality);
      count += ok;
      report.outcome = ok ? BatchOutcome::Converted : BatchOutcome::Failed;
      report.message = ok ? "" : g_last_error;
    }
    if (callback != nullptr) callback(report, user);
  }
  clear_error();
  return count;
}

int batch_count_candidates(const char* in_dir) {
  char request[260];
  if (in_dir == nullptr || !platform::listing_request(in_dir, request)) return -1;
  platform::DirListing listing(request);
  if (!listing.opened()) return -1;
  int count = 0;
  bool is_directory = false;
  for (const char* name = listing.next(&is_directory); name != nullptr; name = listing.next(&is_directory)) {
    if (!is_directory) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Exported entry points whose work can reach into libheif or stb

extern "C" LUMETRA_API int lumetra_is_heic(const char* path) {
  try {
    return is_heic_call(path);
  } catch (...) {
    return 0;  // a predicate: no message, whatever happens
  }
}

extern "C" LUMETRA_API int lumetra_thumbnail(const char* in, const char* out) {
  return without_exceptions("lumetra_thumbnail", 0, [&] { return thumbnail_call(in, out, kThumbnailBox); });
}

extern "C" LUMETRA_API const char* lumetra_info(const char* path) {
  return without_exceptions("lumetra_info", static_cast<const char*>(nullptr), [&] { return info_call(path); });
}

extern "C" LUMETRA_API const char* lumetra_exif(const char* path) {
  return without_exceptions("lumetra_exif", static_cast<const char*>(nullptr), [&] { return exif_call(path); });
}

extern "C" LUMETRA_API int lumetra_from_image(const char* in, const char* out, int quality) {
  return without_exceptions("lumetra_from_image", 0, [&] { return from_image_call(in, out, quality); });
}

extern "C" LUMETRA_API int lumetra_batch(const char* in_dir, const char* out_dir, int format, int quality) {
  return without_exceptions("lumetra_batch", -1,
                            [&] { return batch_walk(in_dir, out_dir, format, quality, nullptr, nullptr); });
}

int thumbnail_in_box(const char* in, const char* out, int box) {
  return without_exceptions("lumetra_thumbnail", 0, [&] { return thumbnail_call(in, out, box); });
}
