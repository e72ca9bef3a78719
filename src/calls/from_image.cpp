#include "calls/from_image.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/error_state.h"
#include "base/libheif_setup.h"
#include "base/output_file.h"
#include "formats/stb_reader.h"
#include "pixels/pixel_rows.h"

namespace {

const int kEncoderThumbnailBox = 160;

void carry_jpeg_exif(heif_context* ctx, const heif_image_handle* primary, const char* source_path) {
  unsigned char* raw = nullptr;
  size_t size = 0;
  if (!load_jpeg_exif_block(source_path, &raw, &size)) return;
  HeapBlock block(raw);
  heif_context_add_exif_metadata(ctx, primary, block.get(), static_cast<int>(size));
}

}  // namespace

void add_encoder_thumbnail(heif_context* ctx, heif_image* image, heif_image_handle* primary, heif_encoder* encoder,
                           int w, int h) {
  if (w > kEncoderThumbnailBox - 1 && h > kEncoderThumbnailBox - 1 && thumbnail_encodable(w, h, kEncoderThumbnailBox)) {
    HandleHolder thumbnail;
    heif_context_encode_thumbnail(ctx, image, primary, encoder, nullptr, kEncoderThumbnailBox, thumbnail.out());
  }
}

bool thumbnail_encodable(int width, int height, int box) {
  const int64_t long_side = width > height ? width : height;
  const int64_t short_side = width > height ? height : width;
  return short_side * box / long_side >= 2;
}

namespace {

// A new interleaved RGB(A) libheif image whose plane holds rows of row_len
// bytes; null (last-error text set) on failure.
uint8_t* new_interleaved_image(int w, int h, heif_chroma chroma, int bit_depth, size_t row_len, ImageHolder* image,
                               int* stride) {
  heif_error err = heif_image_create(w, h, heif_colorspace_RGB, chroma, image->out());
  if (err.code != heif_error_Ok || !*image) {
    set_error("Failed to create heif image container");
    return nullptr;
  }
  if (heif_image_add_plane(image->get(), heif_channel_interleaved, w, h, bit_depth).code != heif_error_Ok) {
    set_error("Failed to add image plane");
    return nullptr;
  }
  uint8_t* plane = heif_image_get_plane(image->get(), heif_channel_interleaved, stride);
  if (!plane_holds_rows(plane, *stride, row_len)) {
    set_error("Failed to add image plane");
    return nullptr;
  }
  return plane;
}

}  // namespace

bool fill_heif_image(const unsigned char* pixels, int w, int h, int bytes_per_pixel, ImageHolder* image) {
  const heif_chroma chroma = bytes_per_pixel == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  const size_t row_len = static_cast<size_t>(w) * bytes_per_pixel;
  int stride = 0;
  uint8_t* plane = new_interleaved_image(w, h, chroma, 8, row_len, image, &stride);
  if (plane == nullptr) return false;
  for (int y = 0; y < h; ++y) {
    std::memcpy(plane + int64_t(y) * stride, pixels + static_cast<size_t>(y) * row_len, row_len);
  }
  return true;
}

bool fill_heif_image_10bit(const uint16_t* pixels, int w, int h, int channels, ImageHolder* image) {
  const heif_chroma chroma = channels == 4 ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE;
  const size_t row_samples = static_cast<size_t>(w) * channels;
  int stride = 0;
  uint8_t* plane = new_interleaved_image(w, h, chroma, 10, row_samples * 2, image, &stride);
  if (plane == nullptr) return false;
  for (int y = 0; y < h; ++y) {
    uint8_t* d = plane + int64_t(y) * stride;
    const uint16_t* s = pixels + static_cast<size_t>(y) * row_samples;
    for (size_t i = 0; i < row_samples; ++i) {
      const unsigned v = s[i] >> 6;
      d[2 * i] = uint8_t(v);
      d[2 * i + 1] = uint8_t(v >> 8);
    }
  }
  return true;
}

namespace {

// Loads, encodes and writes; false with the last-error text set. Everything
// acquired is released on return, in the order: encoder, image, converted
// buffer and loaded block (the source image), context.
bool encode_source(const char* in, const char* out, int quality) {
  ContextHolder ctx;
  SourceImage src;
  if (!load_source_image(in, &src)) return false;
  const int w = src.width, h = src.height, bytes_per_pixel = src.bytes_per_pixel;
  const unsigned char* source = src.pixels;

  ctx.reset(new_heif_context());
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

int from_image_call(const char* in, const char* out, int quality) {
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

}  // namespace

int encode_from_image(const char* in, const char* out, int quality) {
  return without_exceptions("lumetra_from_image", 0, [&] { return from_image_call(in, out, quality); });
}
