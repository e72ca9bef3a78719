#include "hdr/linear_picture.h"

#include <cmath>
#include <cstring>

#include "base/byte_order.h"
#include "base/error_state.h"
#include "formats/metadata.h"
#include "heif/decode_upright.h"
#include "heif/format_name.h"
#include "pixels/pixel_rows.h"

namespace {

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

}  // namespace

PictureColour colour_of(heif_image_handle* image) {
  PictureColour c;
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(image, &nclx).code == heif_error_Ok && nclx != nullptr) {
    const int t = nclx->transfer_characteristics;
    c.coding = t == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ    ? HdrCoding::Pq
               : t == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG ? HdrCoding::Hlg
                                                                       : HdrCoding::None;
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

bool decode_picture(heif_context* ctx, heif_image_handle* handle, DecodedPicture* out) {
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
  const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                                  : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  const heif_error err = decode_upright(ctx, handle, chroma, out->image.out());
  if (err.code != heif_error_Ok || !out->image) {
    set_decode_error(ctx, handle, heif_error_text(err));
    return false;
  }
  out->channels = alpha ? 4 : 3;
  out->plane = heif_image_get_plane_readonly(out->image.get(), heif_channel_interleaved, &out->stride);
  out->width = heif_image_get_primary_width(out->image.get());
  out->height = heif_image_get_primary_height(out->image.get());
  out->bits = deep ? heif_image_get_bits_per_pixel_range(out->image.get(), heif_channel_interleaved) : 8;
  const size_t row_len = size_t(out->width) * out->channels * (deep ? 2 : 1);
  if (out->width <= 0 || out->height <= 0 || out->bits < 8 || out->bits > 16 ||
      !plane_holds_rows(out->plane, out->stride, row_len)) {
    set_error("Failed to retrieve decoded image plane");
    return false;
  }
  return true;
}

std::vector<float> linear_table(const PictureColour& colour, int bits) {
  const unsigned top = (1u << bits) - 1;
  std::vector<float> table(top + 1);
  for (unsigned v = 0; v <= top; ++v) {
    const double s = double(v) / top;
    table[v] = static_cast<float>(colour.coding == HdrCoding::Pq    ? pq_eotf(s)
                                  : colour.coding == HdrCoding::Hlg ? hlg_inverse_oetf(s)
                                  : colour.bt709_transfer           ? bt709_to_linear(s)
                                                                    : srgb_to_linear(s));
  }
  return table;
}

void relative_light_row(const DecodedPicture& picture, const PictureColour& colour, const std::vector<float>& linear,
                        GainMapApplier* applier, int y, float* rgb) {
  const uint8_t* p = picture.row(y);
  const unsigned top = unsigned(linear.size() - 1);
  const int w = picture.width;
  for (int x = 0; x < w; ++x)
    for (int c = 0; c < 3; ++c) rgb[x * 3 + c] = linear[picture.sample(p, x * picture.channels + c, top)];
  if (colour.coding == HdrCoding::Hlg) {
    to_bt2020(colour.primaries, rgb, size_t(w));
    hlg_ootf(rgb, size_t(w), kHlgPeakNits);
  }
  if (colour.coding != HdrCoding::None) {
    for (int i = 0; i < w * 3; ++i) rgb[i] = float(rgb[i] / kSdrWhiteNits);
  }
  const Primaries in = colour.coding == HdrCoding::Hlg ? Primaries::Bt2020 : colour.primaries;
  if (applier != nullptr) {
    if (in != colour.primaries) from_bt2020(colour.primaries, rgb, size_t(w));
    applier->apply_row(rgb, y);
    to_bt2020(colour.primaries, rgb, size_t(w));
  } else {
    to_bt2020(in, rgb, size_t(w));
  }
}
