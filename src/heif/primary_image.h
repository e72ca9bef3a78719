// Opening a HEIF file and its primary image, and decoding an image to
// packed 8-bit rows.
#pragma once

#include <cstdint>

#include <libheif/heif.h>

#include "base/heif_holders.h"
#include "heif/open_file.h"

// Threads libheif may use to decode one image (0, the default: libheif's
// own choice); every context opened here gets it. For a process that runs
// several conversions at once; set it before they start.
void set_decoding_threads(int threads);
int decoding_threads();

// What follows a failed step's text in the last error.
enum class FailureTail {
  None,           // the text alone
  Reason,         // ": <libheif's message>"
  PathAndReason,  // " '<path>': <libheif's message>"
};

struct FailureText {
  const char* text;
  FailureTail tail;
};

// The last-error texts one call gives the steps of opening a file.
struct OpenTexts {
  const char* no_context;  // the context cannot be allocated
  FailureText unreadable;  // libheif refuses the file
  FailureText no_primary;  // the file has no usable primary image
};

// The decoding calls' texts: "Failed to read HEIC file '<path>': <reason>".
extern const OpenTexts kDecodeOpenTexts;

// Reads a HEIF file into a new context; false with the last-error text set.
// Declare the holders in this order (and a primary handle after them):
// they are released in reverse.
bool open_heif_file(const char* path, HeifFileBytes* file, ContextHolder* ctx, const OpenTexts& texts);

// A second context over bytes open_heif_file read, for decoding another
// item on another thread: libheif reads item data through one unlocked
// stream per context. False when libheif refuses it.
bool reopen_heif_bytes(const HeifFileBytes& file, ContextHolder* ctx);

// open_heif_file, then the primary image's handle.
bool open_primary_image(const char* path, HeifFileBytes* file, ContextHolder* ctx, HandleHolder* handle,
                        const OpenTexts& texts = kDecodeOpenTexts);

// Rows of an image decoded to 8-bit interleaved RGB or RGBA.
struct PackedRows {
  const uint8_t* plane = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
  int channels = 3;
};

// Decodes an image upright to 8-bit interleaved RGB, or RGBA where it has
// alpha (rows->channels says which); libheif's error when decoding fails.
// item_size: coded rows and columns beyond the image's ispe size are cut
// off (decode_upright_item_size).
heif_error decode_packed(heif_context* ctx, heif_image_handle* handle, ImageHolder* image, PackedRows* rows,
                         bool item_size = false);

// The rest of *rows for the image decode_packed made; false when its size
// is not positive or its plane does not hold the rows.
bool packed_rows(const heif_image* image, PackedRows* rows);

// Decodes the primary image into a packed malloc'd raster (RGB or RGBA).
int decode_heic_pixels(const char* path, unsigned char** pixels, int* width, int* height, int* channels);
