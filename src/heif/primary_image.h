// Opening a HEIF file's primary image and decoding it to a packed raster.
#pragma once

#include "base/heif_holders.h"
#include "heif/open_file.h"

// Threads libheif may use to decode one grid image in the decoding and
// faithful-conversion paths (0, the default: libheif's own choice). For a
// process that runs several conversions at once; set it before they start.
void set_decoding_threads(int threads);
int decoding_threads();

// Reads a HEIF file and takes its primary image handle; on failure the
// last-error text names the step ("Failed to read HEIC file '…': …").
// Declare the three holders in this order: they are released in reverse.
bool open_primary_image(const char* path, HeifFileBytes* file, ContextHolder* ctx, HandleHolder* handle);

// Decodes the primary image into a packed malloc'd raster (RGB or RGBA).
int decode_heic_pixels(const char* path, unsigned char** pixels, int* width, int* height, int* channels);
