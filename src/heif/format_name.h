// The name of the format a file or an image is in ("HEIC", "AVIF" or
// "HEIF"), for the texts of the calls that name what they read, and those
// texts.
#pragma once

#include <libheif/heif.h>

#include "heif/primary_image.h"

// By the file's ftyp brands: the major brand first, then the compatible
// ones; "HEIF" for a HEIF file of neither coding, "HEIC" for a file that
// cannot be read or has no ftyp box (the decoding calls' own texts).
const char* file_format_name(const char* path);

// By the image's coding (a derived image's by the first image it is made
// of): HEVC "HEIC", AV1 "AVIF", anything else "HEIF".
const char* coded_format_name(heif_context* ctx, heif_image_handle* handle);

// The texts of opening a file, naming its format:
// "Failed to read AVIF file '<path>': <reason>".
const OpenTexts& named_open_texts(const char* path);

// "Failed to decode <format> image: <reason>" as the last-error text.
void set_decode_error(heif_context* ctx, heif_image_handle* handle, const char* reason);
