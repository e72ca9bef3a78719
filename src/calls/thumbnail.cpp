#include "calls/thumbnail.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/error_state.h"
#include "calls/arguments.h"
#include "formats/stb_writer.h"
#include "heif/primary_image.h"
#include "pixels/pixel_rows.h"
#include "pixels/scale.h"

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

bool choose_embedded_thumbnail(heif_image_handle* primary, EmbeddedChoice choice, int box, HandleHolder* out) {
  const int n = heif_image_handle_get_number_of_thumbnails(primary);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) ids.resize(static_cast<size_t>(heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), n)));
  if (choice == EmbeddedChoice::First && ids.size() > 1) ids.resize(1);
  int best_side = 0;
  for (const heif_item_id id : ids) {
    HandleHolder thumb;
    if (heif_image_handle_get_thumbnail(primary, id, thumb.out()).code != heif_error_Ok || !thumb) continue;
    const int w = heif_image_handle_get_width(thumb.get()), h = heif_image_handle_get_height(thumb.get());
    const int side = w > h ? w : h;
    if (choice == EmbeddedChoice::First || (side >= box && (best_side == 0 || side < best_side))) {
      best_side = side;
      out->reset(thumb.release());
    }
  }
  return static_cast<bool>(*out);
}

namespace {

const OpenTexts kThumbnailOpenTexts = {"Failed allocating heif context",
                                       {"Failed reading HEIC file for thumbnail", FailureTail::None},
                                       {"Failed getting primary image handle", FailureTail::None}};

int thumbnail_call(const char* in, const char* out, int box) {
  if (!paths_given(in, out, "lumetra_thumbnail")) return 0;
  // Declared in release order's reverse: raster, image, thumbnail handle,
  // primary handle, context (then the file's bytes it read from).
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder primary;
  if (!open_primary_image(in, &file, &ctx, &primary, kThumbnailOpenTexts)) return 0;
  HandleHolder embedded;
  choose_embedded_thumbnail(primary.get(), EmbeddedChoice::First, box, &embedded);  // none: the primary image
  ImageHolder image;
  PackedRows rows;
  const heif_error err = decode_packed(ctx.get(), embedded ? embedded.get() : primary.get(), &image, &rows, true);
  if (err.code != heif_error_Ok || !image || !packed_rows(image.get(), &rows)) {
    set_error("Failed decoding thumbnail image");
    return 0;
  }
  const int w = rows.width, h = rows.height, ch = rows.channels;
  const size_t row_len = static_cast<size_t>(w) * static_cast<size_t>(ch);

  int ow = w, oh = h;
  if (!embedded) thumbnail_size(w, h, &ow, &oh, box);
  HeapBlock raster;
  if (ow != w || oh != h) {
    raster.reset(static_cast<unsigned char*>(std::malloc(size_t(ow) * size_t(oh) * size_t(ch))));
    if (raster) {
      scale_nearest(rows.plane, rows.stride, w, h, ch, raster.get(), ow, oh);
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
    copy_plane_rows(raster.get(), rows.plane, rows.stride, row_len, h);
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
