// JPEG and PNG output of a grid primary decoded one band of tiles at a
// time: the whole picture is never held, only a row (or, when turned a
// quarter, a column) of coded tiles and its rows on their way to
// libjpeg-turbo or libpng.
#pragma once

#include <libheif/heif.h>

#include "formats/metadata.h"
#include "hdr/ultrahdr_jpeg.h"

// ColourRefused: the colour is not JPEG's YCbCr, for the whole picture too.
enum class StreamResult { Written, Failed, NotApplicable, ColourRefused };

// Whether grids stream (default yes); false takes the whole-image path, for
// comparing the two. Set before conversions start.
void set_grid_streaming(bool on);

// The grid's YCbCr 4:2:0 planes straight into a JPEG at `out`, turned and
// mirrored by its irot/imir, bytes identical to writing the whole decoded
// image. NotApplicable (nothing written) for anything else: not a grid,
// a clean aperture, odd sizes, samples other than 8-bit 4:2:0; and
// ColourRefused when `jpeg_colour` refuses the grid's nclx, or else its
// first tile's (the picture's own, as libheif's whole decode makes it).
// Failed sets the last-error text and leaves `out` as it was.
// `hdr` (may be null) adds its segments and appends its gain map, as on the
// whole-image path.
StreamResult stream_grid_ycbcr_jpeg(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                                    const PictureMetadata& md, UltraHdrAppendix* hdr,
                                    bool (*jpeg_colour)(const heif_color_profile_nclx*));

// The same through libheif's RGB conversion of each tile, the picture
// cropped, turned and mirrored as decode_upright does: bytes identical to
// write_jpeg_stream of decode_upright's RGB image. NotApplicable for
// alpha, and where libheif's conversion of the whole picture could differ
// from its tiles' (a turned picture not coded 4:2:0 with even sides; tiles
// whose colour description differs from the grid's).
StreamResult stream_grid_rgb_jpeg(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                                  const PictureMetadata& md, UltraHdrAppendix* hdr);
// The same stream into an 8-bit RGB PNG, as write_png_stream writes one.
StreamResult stream_grid_rgb_png(heif_context* ctx, heif_image_handle* handle, const char* out,
                                 const PictureMetadata& md);
