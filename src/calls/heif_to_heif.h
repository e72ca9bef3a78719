// HEIF/AVIF to HEIF/AVIF: the pictures decoded upright and encoded again.
#pragma once

#include <memory>

#include "heif/encoder.h"

// Re-encodes in's primary image (with LUMETRA_ALL_IMAGES every top-level
// image, the primary first) into out, HEVC or AV1: bit depth, alpha, colour
// profile (ICC and nclx), EXIF and XMP kept as the flags ask, orientation
// applied to the pixels, a new thumbnail. quality <= 0: chosen for the
// codec. False with the last-error text set.
bool heif_to_heif(const char* in, const char* out, bool av1, int quality, int flags);

// The writer of a JPEG source's gain map into a HEIF/AVIF output, the map
// turned as LUMETRA_UPRIGHT turns the picture; null when the source has
// none, LUMETRA_KEEP_HDR is not set, or the map cannot be used (then
// last_hdr_note() says why).
std::unique_ptr<HeifAddition> raster_gain_map(const char* in, int flags);
