// Library-internal functions shared with the command-line tool, the tests
// and the fuzz harnesses (they link the library's objects directly). None of
// these is exported from the shared library.
#pragma once

#include <cstddef>

#include "heif_holders.h"

enum class OutputFormat { Jpeg, Png, Bmp };

// 1 when text ends with suffix, ignoring letter case.
int str_ends_with_nocase(const char* text, const char* suffix);

// The output path's extension: from its last '.', unless that is the
// path's first character; "" when there is none.
const char* output_extension(const char* path);

// Format chosen by the output path's extension (last '.', not the first
// character): .jpg/.jpeg JPEG, .bmp BMP, anything else PNG.
OutputFormat output_format_for(const char* path);

// Threads libheif may use to decode one grid image in the decoding and
// faithful-conversion paths (0, the default: libheif's own choice). For a
// process that runs several conversions at once.
void set_decoding_threads(int threads);

struct HeifFileBytes;
// Reads a HEIF file and takes its primary image handle; on failure the
// last-error text names the step ("Failed to read HEIC file '…': …").
// Declare the three holders in this order: they are released in reverse.
bool open_primary_image(const char* path, HeifFileBytes* file, ContextHolder* ctx, HandleHolder* handle);

// Decodes the primary image into a packed malloc'd raster (RGB or RGBA).
int decode_heic_pixels(const char* path, unsigned char** pixels, int* width, int* height, int* channels);

// Copies `rows` rows of row_len bytes from a plane with the given stride into
// a packed destination. False (and nothing copied) when the stride is shorter
// than a row.
bool copy_plane_rows(unsigned char* dst, const unsigned char* plane, int stride, size_t row_len, int rows);

// Output size of a non-embedded thumbnail: the image fits 320 x 320 as is,
// else it is reduced to fit with its aspect kept.
void thumbnail_size(int width, int height, int* out_width, int* out_height, int box = 320);

// lumetra_thumbnail with another box for the thumbnail made from the
// picture (an embedded one is still written at its own size).
int thumbnail_in_box(const char* in, const char* out, int box);

// Nearest-neighbour reduction anchored at each cell's top-left corner; reads
// only the sampled pixels.
void scale_nearest(const unsigned char* plane, int stride, int width, int height, int channels, unsigned char* dst,
                   int out_width, int out_height);

// Reads a JPEG file and returns the EXIF block to hand to libheif: four zero
// bytes, then the TIFF data of the first APP1 "Exif\0\0" segment before SOS.
// The block is malloc'd and owned by the caller; false when there is none.
bool load_jpeg_exif_block(const char* path, unsigned char** block, size_t* size);

// A raster source loaded by stb_image and brought to RGB or RGBA: the
// encoder's input. Owns its blocks; the converted buffer (grey sources) is
// released before the loaded block.
struct SourceImage {
  unsigned char* loaded = nullptr;     // stb_image's block
  unsigned char* converted = nullptr;  // grey expanded to RGB(A), or null
  const unsigned char* pixels = nullptr;
  int width = 0, height = 0;
  int bytes_per_pixel = 0;  // 3 (RGB) or 4 (RGBA)
  SourceImage() = default;
  ~SourceImage();
  SourceImage(const SourceImage&) = delete;
  SourceImage& operator=(const SourceImage&) = delete;
};

// Loads and normalises a source file; on failure sets the last-error text.
bool load_source_image(const char* path, SourceImage* img);

// A new interleaved 8-bit RGB(A) libheif image holding a packed raster; on
// failure the last-error text is set.
bool fill_heif_image(const unsigned char* pixels, int w, int h, int bytes_per_pixel, ImageHolder* image);

// stb's encoder for `format` writing a packed raster to `path` through the
// safe output file; 0 on any failure, the old file untouched.
int write_raster(OutputFormat format, const char* path, int w, int h, int ch, const unsigned char* px, int quality);

// The encoder's 160-pixel thumbnail of a w x h primary, where both sides
// reach the box and libheif can make it; nothing otherwise (optional).
void add_encoder_thumbnail(heif_context* ctx, heif_image* image, heif_image_handle* primary, heif_encoder* encoder,
                           int w, int h);

// Whether libheif can encode a thumbnail of this image in a box of
// `box` pixels without crashing (short side of at least 2 pixels).
bool thumbnail_encodable(int width, int height, int box);

// One directory batch walk, shared by lumetra_batch (no callback) and the
// command-line tool (per-entry reports).
enum class BatchOutcome {
  Converted,
  Failed,         // conversion call failed; message holds its last-error text
  NotHeif,        // skipped: not a HEIF file by content
  PathTooLong,    // skipped: the input or output path would not fit its buffer
  WouldOverwrite  // skipped: the output file is the input file itself
};

struct BatchEntry {
  const char* name;         // entry name as listed
  const char* input_path;
  const char* output_path;  // empty unless a conversion was attempted or refused
  BatchOutcome outcome;
  const char* message;      // last-error text of a failed conversion, else ""
};

using BatchCallback = void (*)(const BatchEntry& entry, void* user);

// Returns the count of conversions, or -1 (message set) when the arguments
// are null or the input directory cannot be listed.
// convert_flags >= 0: each file goes through lumetra_convert with these
// flags instead of lumetra_to_png / lumetra_to_jpg.
int batch_walk(const char* in_dir, const char* out_dir, int format, int quality, BatchCallback callback, void* user,
               int convert_flags = -1);

// Number of entries of in_dir that the walk would look at (non-directories),
// or -1 when it cannot be listed. For progress displays.
int batch_count_candidates(const char* in_dir);

// lumetra_convert's body; ycbcr_fast_path false always takes the RGB road
// to JPEG (for comparing the two).
int convert_file(const char* in, const char* out, int quality, int flags, bool ycbcr_fast_path);
