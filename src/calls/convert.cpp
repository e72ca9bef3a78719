// lumetra_convert: conversion that keeps the picture's colour profile,
// EXIF and XMP and its orientation, in both directions.
#include <strings.h>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "base/output_file.h"
#include "base/platform.h"
#include "calls/convert.h"
#include "calls/detect.h"
#include "calls/from_image.h"
#include "calls/heif_to_heif.h"
#include "calls/raster_to_raster.h"
#include "formats/jpeg_writer.h"
#include "formats/metadata.h"
#include "formats/png_writer.h"
#include "formats/stb_reader.h"
#include "formats/stb_writer.h"
#include "grid/grid_stream.h"
#include "hdr/hdr_png.h"
#include "hdr/sdr_rendition.h"
#include "hdr/ultrahdr_jpeg.h"
#include "heif/decode_upright.h"
#include "heif/encode_raster.h"
#include "heif/format_name.h"
#include "heif/hevc_decoder.h"
#include "heif/item_metadata.h"
#include "heif/open_file.h"
#include "heif/primary_image.h"
#include "heif/rounded_8bit.h"
#include "heif/transformations.h"
#include "lumetra.h"
#include "pixels/pixel_rows.h"

namespace {

enum class Target { Jpeg, Png, Bmp, Heic, Avif, Unknown };

const int kKnownFlags = LUMETRA_KEEP_METADATA | LUMETRA_UPRIGHT | LUMETRA_KEEP_DEPTH | LUMETRA_EFFORT_FAST |
                        LUMETRA_EFFORT_BEST | LUMETRA_KEEP_HDR | LUMETRA_ALL_IMAGES | LUMETRA_WITH_AUX |
                        LUMETRA_HDR_PNG;

Target target_for(const char* ext) {
  static const struct {
    const char* ext;
    Target target;
  } kTable[] = {{".jpg", Target::Jpeg},  {".jpeg", Target::Jpeg}, {".png", Target::Png},  {".bmp", Target::Bmp},
                {".heic", Target::Heic}, {".heif", Target::Heic}, {".hif", Target::Heic}, {".avif", Target::Avif}};
  for (const auto& e : kTable) {
    if (strcasecmp(ext, e.ext) == 0) return e.target;
  }
  return Target::Unknown;
}

OutputFormat raster_format(Target target) {
  return target == Target::Jpeg ? OutputFormat::Jpeg : target == Target::Png ? OutputFormat::Png : OutputFormat::Bmp;
}

// ---- HEIF to JPEG, PNG or BMP

// 10/12-bit samples (big-endian, in 16-bit words) to the full 16-bit range
// by bit repetition, so that the top value maps to 65535.
void widen_to_16(uint8_t* row, size_t samples, int bits) {
  for (size_t i = 0; i < samples; ++i) {
    const unsigned v = unsigned(row[2 * i]) << 8 | row[2 * i + 1];
    const unsigned w = (v << (16 - bits) | v >> (2 * bits - 16)) & 0xFFFF;
    row[2 * i] = static_cast<uint8_t>(w >> 8);
    row[2 * i + 1] = static_cast<uint8_t>(w);
  }
}

// BT.601 (or unspecified, which libheif converts as BT.601) in full range:
// the YCbCr a JPEG holds.
bool jpeg_ycbcr(const heif_color_profile_nclx* nclx) {
  const int m = nclx->matrix_coefficients;
  return nclx->full_range_flag != 0 && (m == 2 || m == 5 || m == 6);
}

enum class FastPath { Written, Failed, NotApplicable };

// A JPEG written from the decoded YCbCr planes, when they are JPEG's own
// and nothing needs the RGB pixels.
FastPath jpeg_from_ycbcr(heif_context* ctx, heif_image_handle* handle, const char* out, int quality,
                         const PictureMetadata& md, UltraHdrAppendix* hdr) {
  if (heif_image_handle_has_alpha_channel(handle) || heif_image_handle_get_luma_bits_per_pixel(handle) != 8 ||
      has_clean_aperture(ctx, handle)) {
    return FastPath::NotApplicable;
  }
  heif_color_profile_nclx* declared = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &declared).code == heif_error_Ok && declared != nullptr) {
    const bool usable = jpeg_ycbcr(declared);
    heif_nclx_color_profile_free(declared);
    if (!usable) return FastPath::NotApplicable;
  }
  // A grid goes out one band of tiles at a time.
  const StreamResult streamed = stream_grid_ycbcr_jpeg(ctx, handle, out, quality, md, hdr, jpeg_ycbcr);
  if (streamed == StreamResult::ColourRefused) return FastPath::NotApplicable;
  if (streamed != StreamResult::NotApplicable) {
    return streamed == StreamResult::Written ? FastPath::Written : FastPath::Failed;
  }
  ImageHolder image;
  const heif_error err = decode_image_preferring(handle, image.out(), heif_colorspace_YCbCr, heif_chroma_420, nullptr);
  if (err.code != heif_error_Ok || !image) {
    set_decode_error(ctx, handle, heif_error_text(err));
    return FastPath::Failed;
  }
  // Without an nclx box the stream's own (VUI) colour description decides.
  heif_color_profile_nclx* coded = nullptr;
  bool usable = heif_image_get_nclx_color_profile(image.get(), &coded).code == heif_error_Ok && coded != nullptr &&
                jpeg_ycbcr(coded);
  if (coded != nullptr) heif_nclx_color_profile_free(coded);
  YcbcrPlanes planes{};
  planes.width = heif_image_get_primary_width(image.get());
  planes.height = heif_image_get_primary_height(image.get());
  planes.shift_x = planes.shift_y = 1;
  const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
  for (int c = 0; c < 3 && usable; ++c) {
    int stride = 0;
    planes.plane[c] = heif_image_get_plane_readonly(image.get(), channels[c], &stride);
    const int want_w = c == 0 ? planes.width : (planes.width + 1) / 2;
    const int want_h = c == 0 ? planes.height : (planes.height + 1) / 2;
    usable = planes.plane[c] != nullptr && stride >= want_w &&
             heif_image_get_width(image.get(), channels[c]) >= want_w &&
             heif_image_get_height(image.get(), channels[c]) >= want_h &&
             heif_image_get_bits_per_pixel_range(image.get(), channels[c]) == 8;
    planes.stride[c] = static_cast<size_t>(stride);
  }
  if (!usable || planes.width <= 0 || planes.height <= 0) return FastPath::NotApplicable;
  OutputFile output(out);
  FILE* f = output.open();
  if (f == nullptr || !write_jpeg_ycbcr_stream(f, planes, quality, md, hdr->extras()) || !hdr->finish(f) ||
      !output.commit()) {
    set_error("Failed writing JPEG output file");
    return FastPath::Failed;
  }
  return FastPath::Written;
}

bool write_image(heif_context* ctx, heif_image_handle* handle, const HeifFileBytes* file, const char* out,
                 Target target, int quality, int flags, bool ycbcr_fast_path, UltraHdrAppendix* hdr_out);

// One image of an open file, whichever the caller chose. A gain map that
// fails while the picture is written leaves the picture to go out again
// without it, as when the map cannot be kept from the start.
bool image_to_raster(heif_context* ctx, heif_image_handle* handle, const HeifFileBytes* file, const char* out,
                     Target target, int quality, int flags, bool ycbcr_fast_path) {
  bool map_failed = false;
  {
    UltraHdrAppendix hdr;
    if (write_image(ctx, handle, file, out, target, quality, flags, ycbcr_fast_path, &hdr)) return true;
    map_failed = hdr.map_failed();
  }
  if (!map_failed) return false;
  const std::string why = last_hdr_note();
  const bool ok =
      write_image(ctx, handle, file, out, target, quality, flags & ~LUMETRA_KEEP_HDR, ycbcr_fast_path, nullptr);
  set_hdr_note(why);
  return ok;
}

// The image written once; hdr_out (null without HDR) holds the gain map's
// part.
bool write_image(heif_context* ctx, heif_image_handle* handle, const HeifFileBytes* file, const char* out,
                 Target target, int quality, int flags, bool ycbcr_fast_path, UltraHdrAppendix* hdr_out) {
  heif_error err;
  PictureMetadata md = heif_item_metadata(ctx, handle, flags);
  UltraHdrAppendix no_hdr;
  UltraHdrAppendix& hdr = hdr_out != nullptr ? *hdr_out : no_hdr;
  if (target == Target::Png && (flags & LUMETRA_HDR_PNG)) {
    const HdrPngResult written = write_hdr_png(ctx, handle, out, md);
    if (written != HdrPngResult::NoHdr) return written == HdrPngResult::Written;
  }
  // A PQ or HLG picture, or the HDR base of a gain map: its SDR rendition.
  const bool keep_hdr = target == Target::Jpeg && (flags & LUMETRA_KEEP_HDR);
  SdrPicture sdr;
  const SdrRenditionResult rendered = render_sdr(ctx, handle, keep_hdr, &sdr);
  if (rendered == SdrRenditionResult::Failed) return false;
  if (rendered == SdrRenditionResult::Ready) {
    md.icc.clear();  // the rows are sRGB
    if (sdr.map.kind != GainMapKind::None) hdr.prepare(sdr.map, &md);
    const PixelRows rows{
        sdr.pixels.data(), static_cast<size_t>(sdr.width) * sdr.channels, sdr.width, sdr.height, sdr.channels, 8};
    return write_picture(out, raster_format(target), rows, quality, md, &hdr);
  }
  if (keep_hdr) hdr.prepare(ctx, handle, &md, file);
  if (target == Target::Jpeg && ycbcr_fast_path) {
    const FastPath fast = jpeg_from_ycbcr(ctx, handle, out, quality, md, &hdr);
    if (fast != FastPath::NotApplicable) return fast == FastPath::Written;
  }
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
  const bool deep = (flags & LUMETRA_KEEP_DEPTH) && target == Target::Png && bits > 8;
  // A grid goes out one band of tiles at a time.
  if (target == Target::Jpeg || (target == Target::Png && !deep)) {
    const StreamResult streamed = target == Target::Jpeg ? stream_grid_rgb_jpeg(ctx, handle, out, quality, md, &hdr)
                                                         : stream_grid_rgb_png(ctx, handle, out, md);
    if (streamed != StreamResult::NotApplicable) return streamed == StreamResult::Written;
  }
  const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                                  : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  ImageHolder image;
  // More than 8 bits to 8: decoded deep and rounded, not cut.
  const bool narrow = !deep && bits > 8;
  err = decode_upright(ctx, handle, narrow ? deep_chroma(chroma) : chroma, image.out());
  if (err.code == heif_error_Ok && image && narrow) {
    ImageHolder deep_image(image.release());
    err = round_to_8bit(deep_image.get(), image.out());
  }
  if (err.code != heif_error_Ok || !image) {
    set_decode_error(ctx, handle, heif_error_text(err));
    return false;
  }
  const int channels = alpha ? 4 : 3;
  const int sample_bytes = deep ? 2 : 1;
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_primary_width(image.get());
  const int h = heif_image_get_primary_height(image.get());
  const size_t row_len = static_cast<size_t>(w) * channels * sample_bytes;
  if (w <= 0 || h <= 0 || plane == nullptr || stride < 0 || static_cast<size_t>(stride) < row_len) {
    set_error("Failed to retrieve decoded image plane");
    return false;
  }

  // Packed rows: what stb's BMP writer takes, and the space the 16-bit rescale needs.
  HeapBlock packed;
  if (target == Target::Bmp || deep) {
    packed.reset(static_cast<unsigned char*>(std::malloc(row_len * static_cast<size_t>(h))));
    if (!packed) {
      set_error("Out of memory allocating pixel buffer");
      return false;
    }
    copy_plane_rows(packed.get(), plane, stride, row_len, h);
    if (deep) {
      const int depth = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
      if (depth > 8 && depth < 16) widen_to_16(packed.get(), static_cast<size_t>(w) * channels * h, depth);
    }
  }
  const PixelRows rows{
      packed ? packed.get() : plane, packed ? row_len : static_cast<size_t>(stride), w, h, channels, deep ? 16 : 8};
  return write_picture(out, raster_format(target), rows, quality, md, &hdr);
}

bool heif_to_raster(const char* in, const char* out, Target target, int quality, int flags, bool ycbcr_fast_path) {
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(in, &file, &ctx, &handle, named_open_texts(in))) return false;
  return image_to_raster(ctx.get(), handle.get(), &file, out, target, quality, flags, ycbcr_fast_path);
}

// The flags and the output's extension checked, quality settled; Unknown
// after setting the last-error text.
Target check_request(const char* out, int* quality, int flags) {
  if (!known_convert_flags(flags)) return Target::Unknown;
  const char* ext = output_extension(out);
  const Target target = target_for(ext);
  if (target == Target::Unknown) {
    set_error_fmt(
        "Unsupported output extension '%s' for lumetra_convert (use .jpg, .jpeg, .png, .bmp, .heic, .heif, "
        ".hif or .avif)",
        ext);
    return Target::Unknown;
  }
  const bool to_heif = target == Target::Heic || target == Target::Avif;
  if (*quality <= 0 && !to_heif) *quality = 90;  // HEIF/AVIF: chosen from the source
  if (*quality > 100) *quality = 100;
  return target;
}

}  // namespace

bool known_convert_flags(int flags) {
  if ((flags & ~kKnownFlags) == 0) return true;
  set_error_fmt("Invalid flags for lumetra_convert: 0x%X (known: 0x%X)", static_cast<unsigned>(flags),
                static_cast<unsigned>(kKnownFlags));
  return false;
}

bool convert_heif_image(heif_context* ctx, heif_image_handle* image, const HeifFileBytes* file, const char* out,
                        int quality, int flags) {
  const Target target = check_request(out, &quality, flags);
  if (target == Target::Unknown) return false;
  if (target == Target::Heic || target == Target::Avif) {
    set_error("A HEIF image converts to .jpg, .jpeg, .png or .bmp");
    return false;
  }
  return image_to_raster(ctx, image, file, out, target, quality, flags, true);
}

int convert_file(const char* in, const char* out, int quality, int flags, bool ycbcr_fast_path) {
  clear_hdr_note();
  clear_icc_note();
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_convert");
    return 0;
  }
  const Target target = check_request(out, &quality, flags);
  if (target == Target::Unknown) return 0;
  const bool to_heif = target == Target::Heic || target == Target::Avif;
  const bool av1 = target == Target::Avif;
  const bool from_heif = is_heif_file(in) != 0;
  const std::unique_ptr<HeifAddition> gain_map = to_heif && !from_heif ? raster_gain_map(in, flags) : nullptr;
  // A file that is there and not HEIF goes to the raster loader; a missing
  // or unreadable one gets the HEIF reader's message.
  const bool raster_source = !from_heif && platform::kind_of(in) == platform::FileKind::Regular;
  std::vector<HeifAddition*> additions;
  if (gain_map) additions.push_back(gain_map.get());
  const bool ok = to_heif         ? (from_heif ? heif_to_heif(in, out, av1, quality, flags)
                                               : raster_to_heif(in, out, av1, quality, flags, additions))
                  : raster_source ? raster_to_raster(in, out, raster_format(target), quality, flags)
                                  : heif_to_raster(in, out, target, quality, flags, ycbcr_fast_path);
  if (!ok) return 0;
  clear_error();  // after every release
  return 1;
}

int convert_faithfully(const char* in, const char* out, int quality, int flags) {
  return without_exceptions("lumetra_convert", 0, [&] { return convert_file(in, out, quality, flags, true); });
}
