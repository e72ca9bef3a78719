#include "hdr/hdr_png.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/output_file.h"
#include "formats/png_writer.h"
#include "hdr/gain_map.h"
#include "hdr/hdr_rendition.h"
#include "hdr/ultrahdr_jpeg.h"
#include "heif/decode_upright.h"
#include "heif/format_name.h"

namespace {

enum class Kind { None, GainMap, Pq, Hlg };

// zlib level 2 for 16-bit PQ rows, by measurement (12 MP iPhone photo):
// 3.6 s of CPU for 56.2 MB against 4.5-5.5 s for 55.3 MB at the 8-bit
// writer's level 4; the low bytes of the samples hardly compress.
const int kCompressionLevel = 2;

// What the image's colour description says: its primaries, and for an SDR
// base whether its transfer is BT.709's rather than sRGB's.
struct Colour {
  Kind kind = Kind::None;
  Primaries primaries = Primaries::Bt709;
  bool bt709_transfer = false;
};

Primaries nclx_primaries(int p) {
  return p == heif_color_primaries_ITU_R_BT_2020_2_and_2100_0 ? Primaries::Bt2020
         : p == heif_color_primaries_SMPTE_EG_432_1           ? Primaries::DisplayP3
                                                              : Primaries::Bt709;
}

// The primaries of a matrix ICC profile by its red and green colorants
// (rXYZ, gXYZ, D50-adapted), the nearest of sRGB, Display P3 and BT.2020;
// BT.709 (sRGB) when the profile has none or is far from all three.
Primaries icc_primaries(const ByteBlock& icc) {
  double colorant[2][2] = {};
  int found = 0;
  if (icc.size() >= 132) {
    const uint32_t tags = be32(&icc[128]);
    for (uint32_t i = 0; i < tags && i < (icc.size() - 132) / 12; ++i) {
      const uint8_t* entry = &icc[132 + 12 * size_t(i)];
      const int which = std::memcmp(entry, "rXYZ", 4) == 0 ? 0 : std::memcmp(entry, "gXYZ", 4) == 0 ? 1 : -1;
      const uint32_t at = be32(entry + 4);
      if (which < 0 || at > icc.size() || icc.size() - at < 20 || std::memcmp(&icc[at], "XYZ ", 4) != 0) continue;
      for (int k = 0; k < 2; ++k) colorant[which][k] = int32_t(be32(&icc[at + 8 + 4 * size_t(k)])) / 65536.0;
      ++found;
    }
  }
  if (found < 2) return Primaries::Bt709;
  static const struct {
    Primaries primaries;
    double rx, ry, gx, gy;
  } kKnown[] = {{Primaries::Bt709, 0.4361, 0.2225, 0.3851, 0.7169},
                {Primaries::DisplayP3, 0.5151, 0.2412, 0.2919, 0.6922},
                {Primaries::Bt2020, 0.6734, 0.2790, 0.1656, 0.6753}};
  Primaries best = Primaries::Bt709;
  double nearest = 0.02;
  for (const auto& k : kKnown) {
    const double d = std::fabs(colorant[0][0] - k.rx) + std::fabs(colorant[0][1] - k.ry) +
                     std::fabs(colorant[1][0] - k.gx) + std::fabs(colorant[1][1] - k.gy);
    if (d < nearest) nearest = d, best = k.primaries;
  }
  return best;
}

Colour colour_of(heif_image_handle* image) {
  Colour c;
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(image, &nclx).code == heif_error_Ok && nclx != nullptr) {
    const int t = nclx->transfer_characteristics;
    c.kind = t == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ    ? Kind::Pq
             : t == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG ? Kind::Hlg
                                                                     : Kind::None;
    c.primaries = nclx_primaries(nclx->color_primaries);
    c.bt709_transfer = t == heif_transfer_characteristic_ITU_R_BT_709_5 ||
                       t == heif_transfer_characteristic_ITU_R_BT_601_6 ||
                       t == heif_transfer_characteristic_ITU_R_BT_2020_2_10bit ||
                       t == heif_transfer_characteristic_ITU_R_BT_2020_2_12bit;
    heif_nclx_color_profile_free(nclx);
  } else {
    ByteBlock icc(heif_image_handle_get_raw_color_profile_size(image));
    if (!icc.empty() && heif_image_handle_get_raw_color_profile(image, icc.data()).code == heif_error_Ok) {
      c.primaries = icc_primaries(icc);
    }
  }
  return c;
}

// PQ codes of luminances, by a table over a float's exponent and its top
// mantissa bits, interpolated (within 0.01 of a 16-bit code); luminances
// below 2^-24 of the PQ range by the formula.
class PqEncoder {
 public:
  PqEncoder() : table_(kOctaves * kSteps + 2) {
    for (size_t i = 0; i < table_.size(); ++i) {
      const double y = std::ldexp(1 + double(i % kSteps) / kSteps, int(i / kSteps) - kOctaves);
      table_[i] = static_cast<float>(pq_inverse_eotf(y * 10000) * 65535);
    }
  }
  uint16_t code(float nits) const {
    const float y = std::min(nits * 1e-4f, 1.0f);
    if (!(y >= kSmallest)) return static_cast<uint16_t>(std::lround(pq_inverse_eotf(y > 0 ? y * 1e4 : 0) * 65535));
    uint32_t bits;
    std::memcpy(&bits, &y, 4);
    const uint32_t index = (bits >> (23 - kMantissaBits)) - ((127u - kOctaves) << kMantissaBits);
    const float f = float(bits & ((1u << (23 - kMantissaBits)) - 1)) * (1.0f / (1u << (23 - kMantissaBits)));
    const float v = table_[index] + (table_[index + 1] - table_[index]) * f;
    return static_cast<uint16_t>(v + 0.5f);
  }

 private:
  static const int kMantissaBits = 7, kSteps = 1 << kMantissaBits, kOctaves = 24;
  static constexpr float kSmallest = 1.0f / (1 << kOctaves);
  std::vector<float> table_;
};

// The decoded picture and everything that turns a row of it into BT.2020
// light in cd/m² and then into 16-bit PQ samples.
struct Rendition {
  Kind kind = Kind::None;
  Primaries primaries = Primaries::Bt709;
  ImageHolder image;
  const uint8_t* plane = nullptr;
  int stride = 0, width = 0, height = 0, channels = 3, bits = 8;
  std::vector<float> linear;  // per sample value: SDR light, PQ cd/m² or HLG scene light
  GainMap map;
  std::unique_ptr<GainMapApplier> applier;
  bool passthrough = false;  // PQ in BT.2020: the samples widened to 16 bits as they are
  PqEncoder pq;
  std::vector<float> row;
  std::vector<uint8_t> out_row;

  // A sample, never past the table's end whatever the decoder left above the range.
  unsigned sample(const uint8_t* p, int i) const {
    const unsigned v = bits > 8 ? unsigned(p[2 * i]) << 8 | p[2 * i + 1] : p[i];
    return std::min(v, unsigned(linear.size() - 1));
  }

  // Row y in BT.2020 cd/m², in `row`.
  void light(int y) {
    const uint8_t* p = plane + size_t(y) * stride;
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) row[size_t(x) * 3 + c] = linear[sample(p, x * channels + c)];
    if (applier) applier->apply_row(row.data(), y);
    to_bt2020(primaries, row.data(), size_t(width));
    if (kind == Kind::Hlg) hlg_ootf(row.data(), size_t(width), kHlgPeakNits);
    if (kind == Kind::GainMap) {
      for (float& v : row) v *= float(kSdrWhiteNits);
    }
  }

  const uint8_t* pq_row(int y) {
    const uint8_t* p = plane + size_t(y) * stride;
    const unsigned top = (1u << bits) - 1;
    auto widen = [&](unsigned v) { return unsigned(std::lround(v * 65535.0 / top)); };
    if (!passthrough) light(y);
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        const unsigned v = c == 3 || passthrough ? widen(sample(p, x * channels + c)) : pq.code(row[size_t(x) * 3 + c]);
        uint8_t* o = &out_row[(size_t(x) * channels + c) * 2];
        o[0] = static_cast<uint8_t>(v >> 8), o[1] = static_cast<uint8_t>(v);
      }
    }
    return out_row.data();
  }
};

const uint8_t* next_row(void* state, int y) { return static_cast<Rendition*>(state)->pq_row(y); }

bool decode(heif_context* ctx, heif_image_handle* handle, Rendition* r) {
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
  const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                                  : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  const heif_error err = decode_upright(ctx, handle, chroma, r->image.out());
  if (err.code != heif_error_Ok || !r->image) {
    set_decode_error(ctx, handle, heif_error_text(err));
    return false;
  }
  r->channels = alpha ? 4 : 3;
  r->plane = heif_image_get_plane_readonly(r->image.get(), heif_channel_interleaved, &r->stride);
  r->width = heif_image_get_primary_width(r->image.get());
  r->height = heif_image_get_primary_height(r->image.get());
  r->bits = deep ? heif_image_get_bits_per_pixel_range(r->image.get(), heif_channel_interleaved) : 8;
  const size_t row_len = size_t(r->width) * r->channels * (deep ? 2 : 1);
  if (r->width <= 0 || r->height <= 0 || r->bits < 8 || r->bits > 16 ||
      !plane_holds_rows(r->plane, r->stride, row_len)) {
    set_error("Failed to retrieve decoded image plane");
    return false;
  }
  return true;
}

// The cLLI payload: the largest max(R, G, B) over the picture and its
// average, in 0.0001 cd/m², big-endian.
ByteBlock light_levels(Rendition* r) {
  double peak = 0, sum = 0;
  for (int y = 0; y < r->height; ++y) {
    if (r->passthrough) {
      const uint8_t* p = r->plane + size_t(y) * r->stride;
      for (int i = 0; i < r->width * 3; ++i) r->row[size_t(i)] = r->linear[r->sample(p, i / 3 * r->channels + i % 3)];
    } else {
      r->light(y);
    }
    double row_sum = 0;
    for (int x = 0; x < r->width; ++x) {
      const float* v = &r->row[size_t(x) * 3];
      const double m = std::clamp(double(std::max({v[0], v[1], v[2]})), 0.0, 10000.0);
      peak = std::max(peak, m);
      row_sum += m;
    }
    sum += row_sum;
  }
  ByteBlock b(8);
  const uint32_t levels[2] = {uint32_t(std::lround(peak * 1e4)),
                              uint32_t(std::lround(sum / (double(r->width) * r->height) * 1e4))};
  for (int i = 0; i < 8; ++i) b[size_t(i)] = static_cast<uint8_t>(levels[i / 4] >> (24 - 8 * (i % 4)));
  return b;
}

bool write(Rendition* r, const char* out, const PictureMetadata& md) {
  r->row.resize(size_t(r->width) * 3);
  r->out_row.resize(size_t(r->width) * r->channels * 2);
  PictureMetadata no_icc;
  no_icc.exif = md.exif;
  no_icc.xmp = md.xmp;
  PngChunks chunks;
  chunks.md = &no_icc;
  chunks.extra.push_back(PngRawChunk{"cICP", ByteBlock{9, 16, 0, 1}});
  chunks.extra.push_back(PngRawChunk{"cLLI", light_levels(r)});
  chunks.compression_level = kCompressionLevel;
  OutputFile output(out);
  FILE* f = output.open();
  if (f == nullptr || !write_png_rows(f, r->width, r->height, r->channels, 16, chunks, PixelRowSource{next_row, r}) ||
      !output.commit()) {
    set_error("Failed writing PNG output file");
    return false;
  }
  return true;
}

}  // namespace

HdrPngResult write_hdr_png(heif_context* ctx, heif_image_handle* image, const char* out, const PictureMetadata& md) {
  Rendition r;
  const Colour colour = colour_of(image);
  r.kind = colour.kind;
  r.primaries = colour.primaries;
  if (r.kind == Kind::None) {
    std::string why;
    if (!load_gain_map(ctx, image, &r.map, &why)) {
      set_hdr_note(why);
      return HdrPngResult::NoHdr;
    }
    if (r.map.kind == GainMapKind::None) {
      set_hdr_note("the photo holds no HDR picture (no gain map, PQ or HLG): the PNG is SDR");
      return HdrPngResult::NoHdr;
    }
    r.kind = Kind::GainMap;
  }
  if (!decode(ctx, image, &r)) return HdrPngResult::Failed;
  const unsigned top = (1u << r.bits) - 1;
  r.linear.resize(top + 1);
  for (unsigned v = 0; v <= top; ++v) {
    const double s = double(v) / top;
    r.linear[v] = static_cast<float>(r.kind == Kind::Pq      ? pq_eotf(s)
                                     : r.kind == Kind::Hlg   ? hlg_inverse_oetf(s)
                                     : colour.bt709_transfer ? bt709_to_linear(s)
                                                             : srgb_to_linear(s));
  }
  if (r.kind == Kind::GainMap) {
    r.applier.reset(new GainMapApplier(r.map, r.map.metadata, 1.0, r.width, r.height));
  }
  r.passthrough = r.kind == Kind::Pq && r.primaries == Primaries::Bt2020;
  return write(&r, out, md) ? HdrPngResult::Written : HdrPngResult::Failed;
}
