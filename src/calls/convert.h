// Faithful conversion (lumetra_convert): colour profile, EXIF, XMP and
// orientation kept, in both directions.
#pragma once

#include <libheif/heif.h>

#include "heif/open_file.h"

// The body; ycbcr_fast_path false always decodes to RGB for JPEG (for
// comparing the two).
int convert_file(const char* in, const char* out, int quality, int flags, bool ycbcr_fast_path);

// lumetra_convert as a whole call: keeps exceptions in, sets or empties the
// last-error text.
int convert_faithfully(const char* in, const char* out, int quality, int flags);

// One image of an open HEIF file (any top-level image's handle) to JPEG,
// PNG or BMP by out's extension, by the same path as lumetra_convert's
// primary: metadata, orientation, depth and HDR as the flags ask. `file`
// (may be null) holds the bytes ctx read, for decoding a gain map beside
// the picture. False with the last-error text set; the text is left alone
// on success.
bool convert_heif_image(heif_context* ctx, heif_image_handle* image, const HeifFileBytes* file, const char* out,
                        int quality, int flags);

// False, with the last-error text set, when flags hold a bit lumetra_convert
// does not know.
bool known_convert_flags(int flags);
