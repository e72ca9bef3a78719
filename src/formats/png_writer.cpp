#include "formats/png_writer.h"

#include <png.h>
#include <csetjmp>
#include <cstring>

#include "base/byte_order.h"

namespace {

thread_local std::string icc_note;

// The profile with its header length set to its size, when that field is
// all that is wrong with it; empty when it is right or the profile is not
// whole.
ByteBlock repaired_icc(const ByteBlock& icc) {
  const size_t kHeader = 128;
  if (icc.size() < kHeader + 4 || icc.size() > 0xFFFFFFF0u) return {};
  const uint32_t declared = be32(icc.data());
  if (declared == icc.size() || std::memcmp(&icc[36], "acsp", 4) != 0) return {};
  const uint32_t tags = be32(&icc[kHeader]);
  if (tags > (icc.size() - kHeader - 4) / 12) return {};
  for (uint32_t i = 0; i < tags; ++i) {
    const uint8_t* entry = &icc[kHeader + 4 + 12 * size_t(i)];
    const uint32_t offset = be32(entry + 4), length = be32(entry + 8);
    if (offset > icc.size() || length > icc.size() - offset) return {};
  }
  ByteBlock fixed = icc;
  if (fixed[8] >= 4) fixed.resize((fixed.size() + 3) / 4 * 4, 0);
  const size_t size = fixed.size();
  for (int i = 0; i < 4; ++i) fixed[size_t(i)] = static_cast<uint8_t>(size >> (24 - 8 * i));
  return fixed;
}

void png_fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void png_quiet(png_structp, png_const_charp) {}

// zlib level 4 with libpng's adaptive filters, by measurement (12 MP
// iPhone photo / flat 12 MP drawing): level 6 takes 2.99 s for 13.85 MB /
// 126 KB, level 4 1.35 s for 14.78 MB / 136 KB; level 3 is a little faster
// but doubles flat pictures (267 KB).
const int kPngCompressionLevel = 4;

int colour_type(int channels) {
  switch (channels) {
    case 1: return PNG_COLOR_TYPE_GRAY;
    case 4: return PNG_COLOR_TYPE_RGB_ALPHA;
    default: return PNG_COLOR_TYPE_RGB;
  }
}

// Only plain data lives in this frame: longjmp skips no destructor.
// fixed_icc: the profile to write instead of md's, when not empty.
bool png_body(png_structp png, png_infop info, FILE* out, const PixelRows& rows, const PngChunks& chunks,
              const ByteBlock& fixed_icc, png_text* text, int text_count, PixelRowSource source) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, out);
  png_set_benign_errors(png, 1);  // an odd ICC profile is kept, not fatal
  png_set_compression_level(png, chunks.compression_level >= 0 ? chunks.compression_level : kPngCompressionLevel);
  png_set_IHDR(png, info, static_cast<png_uint_32>(rows.width), static_cast<png_uint_32>(rows.height), rows.bit_depth,
               colour_type(rows.channels), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const PictureMetadata* md = chunks.md;
  if (md != nullptr && !md->icc.empty()) {
    const ByteBlock& icc = fixed_icc.empty() ? md->icc : fixed_icc;
    png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE, icc.data(), static_cast<png_uint_32>(icc.size()));
  }
  if (md != nullptr && !md->exif.empty())
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(md->exif.size()), const_cast<png_bytep>(md->exif.data()));
  if (chunks.significant_bits > 0) {
    const png_byte bits = static_cast<png_byte>(chunks.significant_bits);
    png_color_8 sig{bits, bits, bits, bits, bits};
    png_set_sBIT(png, info, &sig);
  }
  if (text_count > 0) png_set_text(png, info, text, text_count);
  png_write_info(png, info);
  for (const PngRawChunk& chunk : chunks.extra) {
    png_write_chunk(png, reinterpret_cast<png_const_bytep>(chunk.type), chunk.data.data(), chunk.data.size());
  }
  // eXIf went out with the chunks before the image data; libpng 1.6.39's
  // png_write_end would write it a second time from the same info.
  png_set_invalid(png, info, PNG_INFO_eXIf);
  for (int y = 0; y < rows.height; ++y) {
    const uint8_t* row = source.row(source.state, y);
    if (row == nullptr) png_error(png, "rows ended early");
    png_write_row(png, row);
  }
  png_write_end(png, info);
  return true;
}

const uint8_t* packed_row(void* state, int y) {
  const auto* rows = static_cast<const PixelRows*>(state);
  return rows->pixels + static_cast<size_t>(y) * rows->stride;
}

}  // namespace

bool write_png_stream(FILE* out, const PixelRows& rows, const PictureMetadata& md) {
  PixelRows state = rows;
  return write_png_rows(out, rows.width, rows.height, rows.channels, rows.bit_depth, md,
                        PixelRowSource{packed_row, &state});
}

bool write_png_rows(FILE* out, int width, int height, int channels, int bit_depth, const PictureMetadata& md,
                    PixelRowSource source) {
  PngChunks chunks;
  chunks.md = &md;
  return write_png_rows(out, width, height, channels, bit_depth, chunks, source);
}

bool write_png_rows(FILE* out, int width, int height, int channels, int bit_depth, const PngChunks& chunks,
                    PixelRowSource source) {
  // XMP goes in an uncompressed iTXt chunk, keyword XML:com.adobe.xmp.
  std::string xmp;
  if (chunks.md != nullptr) xmp.assign(chunks.md->xmp.begin(), chunks.md->xmp.end());
  std::vector<png_text> text;
  if (!xmp.empty()) {
    png_text t{};
    t.compression = PNG_ITXT_COMPRESSION_NONE;
    t.key = const_cast<char*>("XML:com.adobe.xmp");
    t.text = &xmp[0];
    t.itxt_length = xmp.size();
    t.lang = const_cast<char*>("");
    t.lang_key = const_cast<char*>("");
    text.push_back(t);
  }
  for (const PngTextEntry& entry : chunks.text) {
    png_text t{};
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    t.key = const_cast<char*>(entry.key.c_str());
    t.text = const_cast<char*>(entry.value.c_str());
    t.text_length = entry.value.size();
    text.push_back(t);
  }
  const ByteBlock icc = chunks.md != nullptr ? repaired_icc(chunks.md->icc) : ByteBlock();
  const PixelRows rows{nullptr, 0, width, height, channels, bit_depth};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  const bool ok = png_body(png, info, out, rows, chunks, icc, text.data(), static_cast<int>(text.size()), source);
  if (ok && !icc.empty() && png_get_valid(png, info, PNG_INFO_iCCP) != 0) {
    icc_note = "colour profile length repaired (header said " + std::to_string(be32(chunks.md->icc.data())) +
               " bytes, profile has " + std::to_string(chunks.md->icc.size()) + ")";
  }
  png_destroy_write_struct(&png, &info);
  return ok;
}

const char* last_icc_note() { return icc_note.c_str(); }

void clear_icc_note() { icc_note.clear(); }
