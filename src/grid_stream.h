// JPEG output of a grid primary decoded one band of tiles at a time: the
// whole picture is never held, only a row (or, when turned a quarter, a
// column) of coded tiles and its rows on their way to libjpeg-turbo.
#pragma once

#include <libheif/heif.h>

#include "metadata.h"

enum class StreamResult { Written, Failed, NotApplicable };

// Whether grids stream (default yes); false takes the whole-image road, for
// comparing the two. Set before conversions start.
void set_grid_streaming(bool on);

// The grid's YCbCr 4:2:0 planes straight into a JPEG at `out`, turned and
// mirrored by its irot/imir, bytes identical to writing the whole decoded
// image. NotApplicable (nothing written) for anything else: not a grid,
// a clean aperture, odd sizes, samples other than 8-bit 4:2:0, or colour
// that `jpeg_colour` (given the decoded nclx, or null) refuses. Failed sets
// the last-error text and leaves `out` as it was.
StreamResult stream_grid_ycbcr_jpeg(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                                    const PictureMetadata& md, bool (*jpeg_colour)(const heif_color_profile_nclx*));
