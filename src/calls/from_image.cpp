#include "calls/from_image.h"

#include <cstddef>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "calls/arguments.h"
#include "formats/stb_reader.h"
#include "heif/encoder.h"

namespace {

// Loads, encodes and writes; false with the last-error text set. Everything
// acquired is released on return, in the order: encoder, image, EXIF
// block, converted buffer and loaded block (the source image), context.
bool encode_source(const char* in, const char* out, int quality) {
  ContextHolder ctx;
  SourceImage src;
  if (!load_source_image(in, &src)) return false;
  ctx.reset(new_heif_context());
  if (!ctx) {
    set_error("Failed to allocate heif context");
    return false;
  }
  // The EXIF of a JPEG source, carried as it is.
  unsigned char* raw_exif = nullptr;
  size_t exif_size = 0;
  if (!load_jpeg_exif_block(in, &raw_exif, &exif_size)) exif_size = 0;
  HeapBlock exif(raw_exif);
  ImageHolder image;
  if (!fill_heif_image(src.pixels, src.width, src.height, src.bytes_per_pixel, &image)) return false;
  EncoderHolder encoder;
  if (!heif_encoder_for(ctx.get(), heif_compression_HEVC, quality, &encoder) &&
      !heif_encoder_for(ctx.get(), heif_compression_AV1, quality, &encoder)) {
    set_error("No supported HEIF encoder found (HEVC/AV1)");
    return false;
  }
  return encode_heif_file(ctx.get(), encoder.get(), image.get(), {exif.get(), exif_size}, {}, out);
}

int from_image_call(const char* in, const char* out, int quality) {
  if (!paths_given(in, out, "lumetra_from_image")) return 0;
  if (!encode_source(in, out, settled_quality(quality, 85))) return 0;
  clear_error();  // after every release
  return 1;
}

}  // namespace

int encode_from_image(const char* in, const char* out, int quality) {
  return without_exceptions("lumetra_from_image", 0, [&] { return from_image_call(in, out, quality); });
}
