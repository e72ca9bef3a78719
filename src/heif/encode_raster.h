// The faithful encoder: a raster file (JPEG, PNG, BMP, GIF, PSD, PIC, PNM,
// TGA) to HEIF (HEVC) or AVIF (AV1), with its profile, EXIF and XMP, turned
// upright by its EXIF orientation where the flags ask.
#pragma once

#include <vector>

#include "heif/encoder.h"

// quality <= 0: chosen from the source (encode_settings.h); additions go
// into the file beside the picture (a gain map). False with the last-error
// text set.
bool raster_to_heif(const char* in, const char* out, bool av1, int quality, int flags,
                    const std::vector<HeifAddition*>& additions = {});
