#include "calls/fitted_thumbnail.h"

#include <cstdlib>

#include "base/error_state.h"
#include "calls/thumbnail.h"
#include "formats/stb_writer.h"
#include "heif/primary_image.h"
#include "pixels/scale.h"

namespace {

const int kThumbnailJpegQuality = 85;

const OpenTexts kFitOpenTexts = {"Failed allocating heif context",
                                 {"Failed reading HEIC file for thumbnail", FailureTail::Reason},
                                 {"Failed getting primary image handle", FailureTail::None}};

int fit_call(const char* in, const char* out, int box) {
  if (in == nullptr || out == nullptr || box < 1) {
    set_error("Invalid arguments to thumbnail");
    return 0;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder primary, embedded;
  if (!open_primary_image(in, &file, &ctx, &primary, kFitOpenTexts)) return 0;
  // A thumbnail that cannot be decoded gives way to the primary image.
  ImageHolder image;
  PackedRows rows;
  heif_error err{heif_error_Decoder_plugin_error, heif_suberror_Unspecified, nullptr};
  if (choose_embedded_thumbnail(primary.get(), EmbeddedChoice::SmallestReaching, box, &embedded)) {
    err = decode_packed(ctx.get(), embedded.get(), &image, &rows, true);
  }
  if (err.code != heif_error_Ok || !image) err = decode_packed(ctx.get(), primary.get(), &image, &rows, true);
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed decoding thumbnail image: %s", heif_error_text(err));
    return 0;
  }
  if (!packed_rows(image.get(), &rows)) {
    set_error("Failed decoding thumbnail image");
    return 0;
  }
  int ow = rows.width, oh = rows.height;
  thumbnail_size(rows.width, rows.height, &ow, &oh, box);
  HeapBlock raster(static_cast<unsigned char*>(std::malloc(size_t(ow) * size_t(oh) * size_t(rows.channels))));
  if (!raster) {
    set_error("Out of memory allocating pixel buffer");
    return 0;
  }
  scale_area(rows.plane, rows.stride, rows.width, rows.height, rows.channels, raster.get(), ow, oh);
  image.reset();
  if (write_raster(output_format_for(out), out, ow, oh, rows.channels, raster.get(), kThumbnailJpegQuality) == 0) {
    set_error("Failed writing thumbnail image output file");
    return 0;
  }
  clear_error();
  return 1;
}

}  // namespace

int thumbnail_fit(const char* in, const char* out, int box) {
  return without_exceptions("thumbnail", 0, [&] { return fit_call(in, out, box); });
}
