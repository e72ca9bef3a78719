#include "calls/raster_to_raster.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/output_file.h"
#include "base/platform.h"
#include "formats/jpeg_writer.h"
#include "formats/metadata.h"
#include "formats/png_writer.h"
#include "formats/stb_reader.h"
#include "formats/xmp_gain_map.h"
#include "hdr/jpeg_gain_map.h"
#include "hdr/ultrahdr_jpeg.h"
#include "lumetra.h"

namespace {

// The source's gain map, turned as its picture is; kind None when there is
// none or when the output cannot hold one (the note then says why).
GainMap source_gain_map(const ByteBlock& bytes, OutputFormat format, int flags, int orientation) {
  GainMap map;
  if (!(flags & LUMETRA_KEEP_HDR) || bytes.empty()) return map;
  std::string why;
  if (!load_jpeg_gain_map(bytes.data(), bytes.size(), &map, &why)) {
    set_hdr_note(why);
    return GainMap{};
  }
  if (map.kind == GainMapKind::None) return map;
  if (format != OutputFormat::Jpeg) {
    set_hdr_note("the gain map stays out: a PNG or BMP holds none (Ultra HDR JPEG, HEIF and AVIF outputs keep it)");
    return GainMap{};
  }
  turn_gain_map(orientation, &map);
  return map;
}

// Native-endian 16-bit samples to the big-endian ones PNG stores.
void to_big_endian(uint8_t* samples, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint16_t v = reinterpret_cast<const uint16_t*>(samples)[i];
    samples[2 * i] = static_cast<uint8_t>(v >> 8);
    samples[2 * i + 1] = static_cast<uint8_t>(v & 0xFF);
  }
}

}  // namespace

bool raster_to_raster(const char* in, const char* out, OutputFormat format, int quality, int flags) {
  // Only a regular file is read before the loader has vetted it: a FIFO
  // would block here.
  const bool regular = platform::kind_of(in) == platform::FileKind::Regular;
  ByteBlock bytes;
  if (regular && !read_metadata_carrier(in, &bytes)) bytes.clear();
  SourceImage src;
  const bool deep = format == OutputFormat::Png && (flags & LUMETRA_KEEP_DEPTH);
  if (!load_source_image(in, &src, deep)) return false;
  PictureMetadata md = regular ? raster_metadata(bytes) : read_raster_metadata(in);
  if (!(flags & LUMETRA_KEEP_ICC)) md.icc.clear();
  if (!(flags & LUMETRA_KEEP_EXIF)) md.exif.clear();
  if (!(flags & LUMETRA_KEEP_XMP)) md.xmp.clear();
  // Appended images (a gain map, a video) are not copied: the output's XMP
  // describes none, and an Ultra HDR output describes its own.
  if (!remove_gain_map_xmp(&md.xmp)) md.xmp.clear();

  const int orientation = (flags & LUMETRA_UPRIGHT) ? exif_orientation(md.exif) : 0;
  int w = src.width, h = src.height;
  HeapBlock turned;
  if (orientation >= 2) {
    if (!turned_upright(src, orientation, &turned, &w, &h)) {
      set_error("Out of memory turning the image upright");
      return false;
    }
    set_exif_orientation(&md.exif, 1);
    set_xmp_orientation(&md.xmp, 1);
  }
  // The loader's own block (this call owns it) unless turned into a new one.
  uint8_t* pixels = turned ? turned.get() : const_cast<uint8_t*>(src.pixels);
  const int channels = src.bytes_per_pixel / src.sample_bytes;
  const int sample_bytes = src.sample_bytes;
  if (sample_bytes == 2) to_big_endian(pixels, static_cast<size_t>(w) * h * channels);

  UltraHdrAppendix hdr;
  const GainMap map = source_gain_map(bytes, format, flags, orientation);
  if (map.kind != GainMapKind::None) hdr.prepare(map, &md);

  const PixelRows rows{pixels, static_cast<size_t>(w) * channels * sample_bytes, w, h, channels, sample_bytes * 8};
  return write_picture(out, format, rows, quality, md, &hdr);
}

bool write_picture(const char* out, OutputFormat format, const PixelRows& rows, int quality, const PictureMetadata& md,
                   UltraHdrAppendix* hdr) {
  bool written = false;
  if (format == OutputFormat::Bmp) {
    written = write_raster(OutputFormat::Bmp, out, rows.width, rows.height, rows.channels, rows.pixels, 0) != 0;
  } else {
    OutputFile output(out);
    FILE* f = output.open();
    written = f != nullptr &&
              (format == OutputFormat::Jpeg
                   ? write_jpeg_stream(f, rows, quality, md, hdr != nullptr ? hdr->extras() : nullptr) &&
                         (hdr == nullptr || hdr->finish(f))
                   : write_png_stream(f, rows, md)) &&
              output.commit();
  }
  if (!written) {
    set_error(format == OutputFormat::Jpeg  ? "Failed writing JPEG output file"
              : format == OutputFormat::Png ? "Failed writing PNG output file"
                                            : "Failed writing BMP output file");
    return false;
  }
  return true;
}
