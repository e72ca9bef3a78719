#include "grid_stream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

#include "error_state.h"
#include "heif_holders.h"
#include "jpeg_stream.h"
#include "output_file.h"
#include "primary_image.h"
#include "tile_bands.h"

namespace {

std::atomic<bool> g_streaming{true};

const uint32_t kGrid = uint32_t('g') << 24 | uint32_t('r') << 16 | uint32_t('i') << 8 | uint32_t('d');
const uint32_t kDimg = uint32_t('d') << 24 | uint32_t('i') << 16 | uint32_t('m') << 8 | uint32_t('g');

size_t tile_references(heif_context* ctx, heif_item_id grid) {
  size_t count = 0;
  for (int i = 0;; ++i) {
    uint32_t type = 0;
    heif_item_id* refs = nullptr;
    const size_t n = heif_context_get_item_references(ctx, grid, i, &type, &refs);
    if (refs != nullptr) heif_release_item_references(ctx, &refs);
    if (n == 0) break;
    if (type == kDimg) count += n;
  }
  return count;
}

// The irot/imir chain as one map; false for anything else (clap).
bool orientation(heif_context* ctx, heif_item_id item, Orientation* o) {
  const int kMax = 16;
  heif_property_id props[kMax];
  const int count = heif_item_get_transformation_properties(ctx, item, props, kMax);
  if (count >= kMax) return false;
  for (int i = 0; i < count; ++i) {
    switch (heif_item_get_property_type(ctx, item, props[i])) {
      case heif_item_property_type_transform_rotation:
        o->rotate_ccw(heif_item_get_property_transform_rotation_ccw(ctx, item, props[i]));
        break;
      case heif_item_property_type_transform_mirror: {
        const heif_transform_mirror_direction dir = heif_item_get_property_transform_mirror(ctx, item, props[i]);
        if (dir == heif_transform_mirror_direction_vertical) o->mirror(false);
        else if (dir == heif_transform_mirror_direction_horizontal) o->mirror(true);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The tile's planes when it is what the grid promised: 8-bit 4:2:0 of the
// tile size.
bool tile_planes(const heif_image* img, const GridShape& g, TilePlanes* p) {
  if (heif_image_get_colorspace(img) != heif_colorspace_YCbCr || heif_image_get_chroma_format(img) != heif_chroma_420 ||
      heif_image_get_primary_width(img) != g.tile_w || heif_image_get_primary_height(img) != g.tile_h) {
    return false;
  }
  const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
  for (int c = 0; c < 3; ++c) {
    int stride = 0;
    p->plane[c] = heif_image_get_plane_readonly(img, channels[c], &stride);
    const int w = c == 0 ? g.tile_w : g.tile_w / 2, h = c == 0 ? g.tile_h : g.tile_h / 2;
    if (p->plane[c] == nullptr || stride < w || heif_image_get_width(img, channels[c]) < w ||
        heif_image_get_height(img, channels[c]) < h || heif_image_get_bits_per_pixel_range(img, channels[c]) != 8) {
      return false;
    }
    p->stride[c] = static_cast<size_t>(stride);
  }
  return true;
}

}  // namespace

void set_grid_streaming(bool on) { g_streaming.store(on, std::memory_order_relaxed); }

StreamResult stream_grid_ycbcr_jpeg(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                                    const PictureMetadata& md, bool (*jpeg_colour)(const heif_color_profile_nclx*)) {
  if (!g_streaming.load(std::memory_order_relaxed)) return StreamResult::NotApplicable;
  const heif_item_id item = heif_image_handle_get_item_id(handle);
  if (heif_item_get_item_type(ctx, item) != kGrid) return StreamResult::NotApplicable;
  // Coded 4:2:0: other layouts reach 4:2:0 through a conversion that reads
  // across tile edges.
  heif_colorspace colorspace = heif_colorspace_undefined;
  heif_chroma chroma = heif_chroma_undefined;
  if (heif_image_handle_get_preferred_decoding_colorspace(handle, &colorspace, &chroma).code != heif_error_Ok ||
      colorspace != heif_colorspace_YCbCr || chroma != heif_chroma_420) {
    return StreamResult::NotApplicable;
  }
  heif_image_tiling tiling{};
  if (heif_image_handle_get_image_tiling(handle, 0, &tiling).code != heif_error_Ok) return StreamResult::NotApplicable;
  GridShape g;
  if (!grid_shape(tiling, &g) || tile_references(ctx, item) != static_cast<size_t>(g.columns) * g.rows ||
      heif_image_handle_get_ispe_width(handle) != g.width || heif_image_handle_get_ispe_height(handle) != g.height) {
    return StreamResult::NotApplicable;
  }
  Orientation orient(g.width, g.height);
  if (!orientation(ctx, item, &orient)) return StreamResult::NotApplicable;

  TileBands bands(handle, g, orient, tile_planes);
  if (!bands.start()) return StreamResult::NotApplicable;
  // The first band tells what the decoder gives before anything is written.
  if (!bands.next()) {
    if (!bands.layout_refused()) {
      set_error_fmt("Failed to decode HEIC image: %s", bands.error());
      return StreamResult::Failed;
    }
    return StreamResult::NotApplicable;
  }
  // Without an nclx box on the grid, its first tile's colour description
  // decides (its own nclx box or its stream's VUI), as in libheif's canvas.
  heif_color_profile_nclx* declared = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &declared).code == heif_error_Ok && declared != nullptr) {
    const bool usable = jpeg_colour(declared);
    heif_nclx_color_profile_free(declared);
    if (!usable) return StreamResult::NotApplicable;
  } else if (bands.coded_colour() == nullptr || !jpeg_colour(bands.coded_colour())) {
    return StreamResult::NotApplicable;
  }

  OutputFile output(out);
  FILE* f = output.open();
  JpegStream jpeg;
  bool written = f != nullptr && jpeg.start_ycbcr420(f, orient.out_width(), orient.out_height(), quality, md);
  for (bool more = true; written && more;) {
    written = jpeg.write_ycbcr420_rows(bands.rows(), bands.strides(), bands.row_count());
    if (!written) break;
    more = bands.next();
    if (!more && !bands.done()) {
      set_error_fmt("Failed to decode HEIC image: %s", bands.error());
      return StreamResult::Failed;
    }
  }
  if (!written || !jpeg.finish() || !output.commit()) {
    set_error("Failed writing JPEG output file");
    return StreamResult::Failed;
  }
  return StreamResult::Written;
}
