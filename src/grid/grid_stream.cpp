#include "grid/grid_stream.h"

#include <atomic>
#include <cstdint>

#include <libheif/heif_items.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/output_file.h"
#include "formats/jpeg_band_writer.h"
#include "formats/jpeg_writer.h"
#include "formats/png_writer.h"
#include "grid/tile_bands.h"
#include "heif/format_name.h"
#include "heif/hevc_decoder.h"
#include "heif/transformations.h"

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

// The transformations in property order; false for what the whole-image
// path should judge (a crop where none may be, an invalid one, too many).
bool read_orientation(heif_context* ctx, heif_item_id item, bool allow_crop, Orientation* o) {
  return read_transformations(ctx, item, o->in_width(), o->in_height(), o) && o->valid() && (allow_crop || !o->crops());
}

// A grid whose tiles this file can stream, and its coded 4:2:0-ness.
bool grid_layout(heif_context* ctx, heif_image_handle* handle, GridShape* g, bool* coded_420) {
  if (!g_streaming.load(std::memory_order_relaxed)) return false;
  const heif_item_id item = heif_image_handle_get_item_id(handle);
  if (heif_item_get_item_type(ctx, item) != kGrid || heif_image_handle_has_alpha_channel(handle)) return false;
  heif_image_tiling tiling{};
  if (heif_image_handle_get_image_tiling(handle, 0, &tiling).code != heif_error_Ok || !grid_shape(tiling, g) ||
      tile_references(ctx, item) != static_cast<size_t>(g->columns) * g->rows ||
      heif_image_handle_get_ispe_width(handle) != g->width || heif_image_handle_get_ispe_height(handle) != g->height) {
    return false;
  }
  heif_colorspace colorspace = heif_colorspace_undefined;
  heif_chroma chroma = heif_chroma_undefined;
  *coded_420 =
      heif_image_handle_get_preferred_decoding_colorspace(handle, &colorspace, &chroma).code == heif_error_Ok &&
      colorspace == heif_colorspace_YCbCr && chroma == heif_chroma_420;
  return true;
}

bool same_nclx(const heif_color_profile_nclx* a, const heif_color_profile_nclx* b) {
  return a->matrix_coefficients == b->matrix_coefficients && a->color_primaries == b->color_primaries &&
         a->transfer_characteristics == b->transfer_characteristics && a->full_range_flag == b->full_range_flag;
}

// Whether libheif's conversion of the whole picture uses the colour
// description each tile is converted with: the grid has no nclx box (the
// picture takes its first tile's), or its first tile, decoded as coded,
// says the same (the tiles agree among themselves: tiles_agree()).
bool grid_colour_is_tiles(heif_context* ctx, heif_image_handle* handle) {
  heif_color_profile_nclx* declared = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &declared).code != heif_error_Ok || declared == nullptr) {
    return true;
  }
  heif_item_id id = 0;
  HandleHolder tile;
  ImageHolder coded;
  heif_color_profile_nclx* own = nullptr;
  const bool same =
      heif_image_handle_get_grid_image_tile_id(handle, 0, 0, 0, &id).code == heif_error_Ok &&
      heif_context_get_image_handle(ctx, id, tile.out()).code == heif_error_Ok && tile &&
      decode_image_preferring(tile.get(), coded.out(), heif_colorspace_undefined, heif_chroma_undefined, nullptr)
              .code == heif_error_Ok &&
      heif_image_get_nclx_color_profile(coded.get(), &own).code == heif_error_Ok && own != nullptr &&
      same_nclx(declared, own);
  if (own != nullptr) heif_nclx_color_profile_free(own);
  heif_nclx_color_profile_free(declared);
  return same;
}

// Opens `out`, starts the JPEG there (start(jpeg, file, extras)) and
// writes the first band and those after it (write_rows(jpeg));
// NotApplicable when a tile turns out not to be what the grid promised:
// the whole-image path then takes the picture, and the unfinished file
// goes.
template <typename Start, typename WriteRows>
StreamResult write_bands(TileBands* bands, const char* format, const char* out, UltraHdrAppendix* hdr, Start start,
                         WriteRows write_rows) {
  OutputFile output(out);
  FILE* f = output.open();
  JpegStream jpeg;
  JpegExtras* extras = hdr != nullptr ? hdr->extras() : nullptr;
  if (f == nullptr || !start(&jpeg, f, extras)) {
    set_error("Failed writing JPEG output file");
    return StreamResult::Failed;
  }
  bool written = true;
  for (bool more = true; written && more;) {
    written = write_rows(&jpeg);
    if (!written) break;
    more = bands->next();
    if (!more && !bands->done()) {
      if (bands->layout_refused()) return StreamResult::NotApplicable;
      set_error_fmt("Failed to decode %s image: %s", format, bands->error());
      return StreamResult::Failed;
    }
  }
  if (!written || !jpeg.finish() || (hdr != nullptr && !hdr->finish(f)) || !output.commit()) {
    set_error("Failed writing JPEG output file");
    return StreamResult::Failed;
  }
  return StreamResult::Written;
}

// The first band, before anything is written: a decoding failure is the
// call's, a layout streaming cannot take goes to the whole-image path.
StreamResult first_band(TileBands* bands, const char* format) {
  if (bands->next()) return StreamResult::Written;
  if (bands->layout_refused()) return StreamResult::NotApplicable;
  set_error_fmt("Failed to decode %s image: %s", format, bands->error());
  return StreamResult::Failed;
}

}  // namespace

void set_grid_streaming(bool on) { g_streaming.store(on, std::memory_order_relaxed); }

StreamResult stream_grid_ycbcr_jpeg(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                                    const PictureMetadata& md, UltraHdrAppendix* hdr,
                                    bool (*jpeg_colour)(const heif_color_profile_nclx*)) {
  GridShape g;
  bool coded_420 = false;
  // Other layouts reach 4:2:0 through a conversion that reads across tiles.
  if (!grid_layout(ctx, handle, &g, &coded_420) || !coded_420 || ((g.width | g.height) & 1) != 0) {
    return StreamResult::NotApplicable;
  }
  Orientation orient(g.width, g.height);
  if (!read_orientation(ctx, heif_image_handle_get_item_id(handle), false, &orient)) {
    return StreamResult::NotApplicable;
  }
  const TileFormat format{heif_colorspace_YCbCr, heif_chroma_420, 3, {0, 1, 1}, {1, 1, 1}};
  TileBands bands(handle, g, orient, format);
  if (!bands.start()) return StreamResult::NotApplicable;
  const StreamResult first = first_band(&bands, coded_format_name(ctx, handle));
  if (first != StreamResult::Written) return first;
  // Without an nclx box on the grid, its first tile's colour description
  // decides (its own nclx box or its stream's VUI), as in libheif's canvas.
  heif_color_profile_nclx* declared = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &declared).code == heif_error_Ok && declared != nullptr) {
    const bool usable = jpeg_colour(declared);
    heif_nclx_color_profile_free(declared);
    if (!usable) return StreamResult::ColourRefused;
  } else if (bands.coded_colour() == nullptr || !jpeg_colour(bands.coded_colour())) {
    return StreamResult::ColourRefused;
  }

  return write_bands(
      &bands, coded_format_name(ctx, handle), out, hdr,
      [&](JpegStream* jpeg, FILE* f, JpegExtras* extras) {
        return jpeg->start_ycbcr420(f, orient.out_width(), orient.out_height(), quality, md, extras);
      },
      [&](JpegStream* jpeg) { return jpeg->write_ycbcr420_rows(bands.rows(), bands.strides(), bands.row_count()); });
}

namespace {

const TileFormat kRgbTiles{heif_colorspace_RGB, heif_chroma_interleaved_RGB, 1, {0, 0, 0}, {3, 0, 0}};

// The RGB stream's grid and transformations, and whether its tiles stream.
bool rgb_grid(heif_context* ctx, heif_image_handle* handle, GridShape* g, Orientation* orient) {
  bool coded_420 = false;
  if (!grid_layout(ctx, handle, g, &coded_420)) return false;
  *orient = Orientation(g->width, g->height);
  if (!read_orientation(ctx, heif_image_handle_get_item_id(handle), true, orient)) return false;
  // Without a crop libheif turns the YCbCr planes before converting them;
  // that commutes with the conversion only for 4:2:0 with even sides.
  return orient->crops() || !orient->turns() || (coded_420 && ((g->width | g->height) & 1) == 0);
}

// The RGB stream's bands started and the first delivered, before anything
// is written; then write(&bands, orientation) writes the file.
template <typename Write>
StreamResult stream_rgb_bands(heif_context* ctx, heif_image_handle* handle, Write write) {
  GridShape g;
  Orientation orient(0, 0);
  if (!rgb_grid(ctx, handle, &g, &orient)) return StreamResult::NotApplicable;
  TileBands bands(handle, g, orient, kRgbTiles);
  // (The probe decodes before the workers start: never one tile twice at once.)
  if (!grid_colour_is_tiles(ctx, handle) || !bands.start() || !bands.tiles_agree()) {
    return StreamResult::NotApplicable;
  }
  const StreamResult first = first_band(&bands, coded_format_name(ctx, handle));
  if (first != StreamResult::Written) return first;
  return write(&bands, orient);
}

// Hands libpng the bands' rows as it asks for them.
struct PngRows {
  TileBands* bands;
  int band_y0;
  static const uint8_t* row(void* state, int y) {
    auto* s = static_cast<PngRows*>(state);
    while (y >= s->band_y0 + s->bands->row_count()) {
      s->band_y0 += s->bands->row_count();
      if (!s->bands->next()) return nullptr;
    }
    return s->bands->rows()[0] + static_cast<size_t>(y - s->band_y0) * s->bands->strides()[0];
  }
};

}  // namespace

StreamResult stream_grid_rgb_jpeg(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                                  const PictureMetadata& md, UltraHdrAppendix* hdr) {
  return stream_rgb_bands(ctx, handle, [&](TileBands* bands, const Orientation& orient) {
    return write_bands(
        bands, coded_format_name(ctx, handle), out, hdr,
        [&](JpegStream* jpeg, FILE* f, JpegExtras* extras) {
          return jpeg->start_rgb(f, orient.out_width(), orient.out_height(), quality, md, extras);
        },
        [&](JpegStream* jpeg) {
          return jpeg->write_rgb_rows(bands->rows()[0], bands->strides()[0], bands->row_count());
        });
  });
}

StreamResult stream_grid_rgb_png(heif_context* ctx, heif_image_handle* handle, const char* out,
                                 const PictureMetadata& md) {
  return stream_rgb_bands(ctx, handle, [&](TileBands* bands, const Orientation& orient) {
    OutputFile output(out);
    FILE* f = output.open();
    PngRows rows{bands, 0};
    if (f != nullptr &&
        write_png_rows(f, orient.out_width(), orient.out_height(), 3, 8, md, PixelRowSource{PngRows::row, &rows}) &&
        output.commit()) {
      return StreamResult::Written;
    }
    if (bands->layout_refused()) return StreamResult::NotApplicable;
    if (!bands->done() && *bands->error() != '\0') {
      set_decode_error(ctx, handle, bands->error());
    } else {
      set_error("Failed writing PNG output file");
    }
    return StreamResult::Failed;
  });
}
