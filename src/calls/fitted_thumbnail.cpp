#include "calls/fitted_thumbnail.h"

#include <cstdlib>

#include "base/error_state.h"
#include "calls/raster_to_raster.h"
#include "calls/thumbnail.h"
#include "formats/metadata.h"
#include "formats/stb_writer.h"
#include "heif/item_metadata.h"
#include "heif/primary_image.h"
#include "lumetra.h"
#include "pixels/pixel_rows.h"
#include "pixels/scale.h"

namespace {

const int kThumbnailJpegQuality = 85;

const OpenTexts kFitOpenTexts = {"Failed allocating heif context",
                                 {"Failed reading HEIC file for thumbnail", FailureTail::Reason},
                                 {"Failed getting primary image handle", FailureTail::None}};

// The colour profile of the picture the thumbnail shows: its own item's,
// else the primary's (an nclx description alone has no profile to copy).
PictureMetadata shown_profile(heif_context* ctx, heif_image_handle* shown, heif_image_handle* primary) {
  PictureMetadata md = heif_item_metadata(ctx, shown, LUMETRA_KEEP_ICC);
  if (md.icc.empty() && shown != primary) md = heif_item_metadata(ctx, primary, LUMETRA_KEEP_ICC);
  return md;
}

// JPEG and PNG thumbnails with a profile go through libjpeg/libpng, which
// carry it; the others through stb's writers.
bool write_thumbnail(const char* out, const PixelRows& rows, const PictureMetadata& md) {
  const OutputFormat format = output_format_for(out);
  if (md.icc.empty() || format == OutputFormat::Bmp) {
    return write_raster(format, out, rows.width, rows.height, rows.channels, rows.pixels, kThumbnailJpegQuality) != 0;
  }
  return write_picture(out, format, rows, kThumbnailJpegQuality, md, nullptr);
}

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
  heif_image_handle* shown = embedded.get();
  if (err.code != heif_error_Ok || !image) {
    shown = primary.get();
    err = decode_packed(ctx.get(), primary.get(), &image, &rows, true);
  }
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
  const PictureMetadata md = shown_profile(ctx.get(), shown, primary.get());
  if (!write_thumbnail(out, PixelRows{raster.get(), size_t(ow) * rows.channels, ow, oh, rows.channels, 8}, md)) {
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
