#include "heif/encode_raster.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "base/platform.h"
#include "formats/jpeg_reader.h"
#include "formats/metadata.h"
#include "formats/stb_reader.h"
#include "formats/xmp_gain_map.h"
#include "heif/encode_settings.h"
#include "heif/encoder.h"
#include "lumetra.h"
#include "pixels/orientation.h"

namespace {

// The picture as a libheif image, with its metadata. A JPEG that needs no
// turning goes straight to YCbCr planes; anything else through stb_image's
// RGB(A), turned upright where asked.
bool source_picture(const char* in, int flags, ImageHolder* image, PictureMetadata* md) {
  // Only a regular file is read before the loader has vetted it: a FIFO
  // would block here.
  const bool regular = platform::kind_of(in) == platform::FileKind::Regular;
  if (regular) {
    ByteBlock bytes;
    if (read_metadata_carrier(in, &bytes)) *md = raster_metadata(bytes);
    const bool turn = (flags & LUMETRA_UPRIGHT) && exif_orientation(md->exif) >= 2;
    if (md->jpeg_quality > 0 && !turn && load_jpeg_ycbcr(bytes.data(), bytes.size(), image)) return true;
  }
  SourceImage src;
  if (!load_source_image(in, &src, (flags & LUMETRA_KEEP_DEPTH) != 0)) return false;
  if (!regular) *md = read_raster_metadata(in);
  int w = src.width, h = src.height;
  const unsigned char* pixels = src.pixels;
  HeapBlock turned;
  const int orientation = exif_orientation(md->exif);
  if ((flags & LUMETRA_UPRIGHT) && orientation >= 2) {
    if (!turned_upright(src, orientation, &turned, &w, &h)) {
      set_error("Out of memory turning the image upright");
      return false;
    }
    pixels = turned.get();
    set_exif_orientation(&md->exif, 1);
    set_xmp_orientation(&md->xmp, 1);
  }
  return src.sample_bytes == 2
             ? fill_heif_image_10bit(reinterpret_cast<const uint16_t*>(pixels), w, h, src.bytes_per_pixel / 2, image)
             : fill_heif_image(pixels, w, h, src.bytes_per_pixel, image);
}

}  // namespace

// Released in the order encoder, image, context.
bool raster_to_heif(const char* in, const char* out, bool av1, int quality, int flags,
                    const std::vector<HeifAddition*>& additions) {
  ContextHolder ctx;
  ImageHolder image;
  PictureMetadata md;
  if (!source_picture(in, flags, &image, &md)) return false;
  if (!(flags & LUMETRA_KEEP_ICC)) md.icc.clear();
  if (!(flags & LUMETRA_KEEP_EXIF)) md.exif.clear();
  if (!(flags & LUMETRA_KEEP_XMP)) md.xmp.clear();
  // A gain map goes in as a tmap item, which describes it; appended images
  // stay out: XMP that describes either (hdrgm, a container directory) does
  // not go in.
  if (!remove_gain_map_xmp(&md.xmp)) md.xmp.clear();
  if (!md.icc.empty()) heif_image_set_raw_color_profile(image.get(), "prof", md.icc.data(), md.icc.size());

  ctx.reset(new_heif_context());
  if (!ctx) {
    set_error("Failed to allocate heif context");
    return false;
  }
  EncoderHolder encoder;
  if (quality <= 0) quality = quality_for_source(md.jpeg_quality, av1);
  if (!output_encoder(ctx.get(), av1, quality, flags, &encoder)) return false;
  return encode_heif_file(ctx.get(), encoder.get(), image.get(), {md.exif.data(), md.exif.size()},
                          {md.xmp.data(), md.xmp.size()}, out, additions);
}
