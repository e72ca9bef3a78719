// Test fixtures made at run time: HEIF files through libheif, raster files
// through stb_image_write, byte-exact EXIF blocks and JPEG segments by hand.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Pixel value of channel c at (x, y); the default is a smooth gradient.
using PixelFn = std::function<uint8_t(int x, int y, int c)>;
uint8_t gradient_pixel(int x, int y, int c);

// An auxiliary image of the primary, coded monochrome, tied to it by an
// auxl reference and an auxC property.
struct AuxRecipe {
  std::string type;  // auxC type URN
  Bytes subtype;     // auxC bytes after the URN's zero
  int width = 32;
  int height = 24;
  int bit_depth = 8;               // 8 or 10
  bool turned = false;             // stored with the primary's orientation as its own irot/imir
  std::string xmp;                 // non-empty: its XMP packet
  PixelFn pixel = gradient_pixel;  // channel 0
};

struct HeifRecipe {
  int width = 64;
  int height = 48;
  bool alpha = false;
  int bit_depth = 8;    // 8 or 10
  bool av1 = false;     // AV1 instead of HEVC
  int thumb_width = 0;  // > 0: attach a separately encoded thumbnail
  int thumb_height = 0;
  Bytes exif;  // stored exactly as given (with its own offset field)
  bool xmp = false;
  std::string xmp_text;  // non-empty: this XMP packet instead of the default one
  Bytes icc;             // raw ICC profile ("prof")
  int extra_images = 0;  // further top-level images
  int quality = 90;
  int orientation = 1;  // EXIF orientation of the pixels given (libheif writes irot/imir)
  PixelFn pixel = gradient_pixel;
  PixelFn thumb_pixel;         // default: pixel
  std::vector<AuxRecipe> aux;  // auxiliary images of the primary, in this order
};

// A directory for one test binary's files, removed at exit.
const std::string& scratch_dir();
std::string scratch_path(const std::string& name);

// Whether this libheif encodes AV1 (av1) or HEVC at this bit depth: the
// Windows build has an 8-bit HEVC encoder only.
bool libheif_encodes(bool av1, int bit_depth);

// Writes a HEIF file; aborts the test binary on a libheif failure.
void write_heif(const std::string& path, const HeifRecipe& recipe);
// The same, cached by name within scratch_dir.
std::string heif_fixture(const std::string& name, const HeifRecipe& recipe);

// Raster files written by stb_image_write. channels 1..4.
void write_png(const std::string& path, int w, int h, int channels, const PixelFn& px = gradient_pixel);
void write_jpeg(const std::string& path, int w, int h, const PixelFn& px = gradient_pixel, int quality = 95);

// Renames the coded item type of a libheif-written HEVC file (hvc1 in its
// infe boxes) to jpeg: libheif reads the file but cannot decode the item
// (HEVC data under a JPEG name). avc1, used before, fails at read time on
// libheif 1.19, which parses H.264 items.
bool rename_coded_item_type(Bytes* heif);

// Removes a directory tree, read-only files too (Windows refuses to delete
// those).
void remove_tree(const std::string& path);

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
bool file_exists(const std::string& path);

// libheif's own decode to interleaved 8-bit RGB(A), packed.
struct Raster {
  int width = 0, height = 0, channels = 0;
  Bytes pixels;
};
Raster libheif_decode(const std::string& path, bool want_alpha);
// stb_image's load of a written file, channels as stored.
Raster stb_load(const std::string& path);

double psnr(const Raster& a, const Raster& b);

// ---- EXIF/TIFF block builder ---------------------------------------------
struct TiffEntry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  Bytes value;             // raw value bytes in the block's byte order; <= 4 inline, else out of line
  bool raw_field = false;  // value is the literal 4-byte field (for bad offsets)
};

struct TiffRecipe {
  bool little = true;
  std::vector<TiffEntry> ifd0;
  std::vector<TiffEntry> exif_ifd;  // when non-empty, IFD0 gets an Exif IFD pointer
};

// A bare TIFF structure (starts at the byte-order mark).
Bytes build_tiff(const TiffRecipe& recipe);

// Value helpers in a given byte order.
Bytes u16_bytes(uint16_t v, bool little);
Bytes u32_bytes(uint32_t v, bool little);
Bytes rational_bytes(uint32_t num, uint32_t den, bool little);
TiffEntry ascii_entry(uint16_t tag, const std::string& text, bool with_zero = true);
TiffEntry short_entry(uint16_t tag, uint16_t v, bool little);
TiffEntry rational_entry(uint16_t tag, uint32_t num, uint32_t den, bool little);

// A JPEG byte stream made of raw segments: SOI, the segments as given, then
// a real encoded image from stb (its SOI stripped) so the file still decodes.
Bytes jpeg_with_segments(const std::vector<Bytes>& segments, int w = 16, int h = 16,
                         const PixelFn& px = gradient_pixel);
Bytes app_segment(uint8_t marker, const Bytes& payload);  // FF marker len payload

// A grid HEIF (primary 'grid' item over tile x tile HEVC tiles, cropped to
// width x height), assembled box by box around tiles coded by libheif.
struct GridRecipe {
  int width = 200;
  int height = 150;
  int tile = 64;
  bool distinct_tiles = true;  // false: every tile shares one coded block
  int referenced_tiles = -1;   // how many tiles the grid lists; -1: all
  bool thumbnail = false;      // a 320-pixel-box thumbnail item
  Bytes exif;                  // an Exif item, stored as given
  bool aux_grid = false;       // a hidden auxiliary (gain-map) grid over tiles of its own, after all other items
  PixelFn pixel = gradient_pixel;
  std::vector<Bytes> grid_properties;  // more properties of the grid item, in order (irot_box, imir_box, clap_box)
  int broken_tile = -1;                // this tile's coded data cut to two bytes
};
Bytes irot_box(int ccw_degrees);
Bytes imir_box(int axis);  // 0: vertical axis (left-right flip), 1: horizontal axis
// A clean aperture of w x h whose centre is offset by (dx, dy) / 2 pixels.
Bytes clap_box(int w, int h, int dx_halves, int dy_halves);
void write_grid_heif(const std::string& path, const GridRecipe& recipe);
// Item IDs of write_grid_heif's files: the primary grid is 1, its tiles
// follow; the auxiliary grid and its tiles are the last items.
uint32_t grid_aux_item(const GridRecipe& recipe);

// Points the hvcC associations of the given items in ipma at the file's
// first ispe property instead (same byte count), as in iPhone 16 photos whose
// gain-map tiles lost theirs: libheif 1.19 then refuses the whole file.
// False when an item has no hvcC association.
bool break_hvcc(Bytes* heif, const std::vector<uint32_t>& items);

// A PNG file with extra chunks (type, data) inserted right after IHDR.
Bytes png_with_chunks(const Bytes& png, const std::vector<std::pair<std::string, Bytes>>& chunks);

// A small valid RGB display ICC profile whose description is `description`.
Bytes test_icc_profile(const std::string& description);

// What a shell command prints on its standard output.
std::string capture(const std::string& cmd);

// exiftool as an independent reader: whether it is installed, and one tag's
// value as `exiftool -n -s3` prints it, without the line end.
bool have_exiftool();
std::string exif_tag(const std::string& file, const std::string& name);

// The picture a viewer shows for pixels stored with EXIF orientation o.
Raster exif_oriented(const Raster& stored, int o);
