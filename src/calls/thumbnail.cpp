#include "calls/thumbnail.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "formats/stb_writer.h"
#include "heif/decode_upright.h"
#include "heif/open_file.h"
#include "pixels/pixel_rows.h"

namespace {
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

namespace {

int thumbnail_call(const char* in, const char* out, int box) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_thumbnail");
    return 0;
  }
  // Declared in release order's reverse: raster, image, thumbnail handle,
  // primary handle, context (then the file's bytes it read from).
  HeifFileBytes file;
  ContextHolder ctx(new_heif_context());
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

}  // namespace

int thumbnail_in_box(const char* in, const char* out, int box) {
  return without_exceptions("lumetra_thumbnail", 0, [&] { return thumbnail_call(in, out, box); });
}
