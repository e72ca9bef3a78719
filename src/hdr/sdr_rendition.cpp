#include "hdr/sdr_rendition.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "hdr/gain_map_metadata.h"
#include "hdr/hdr_rendition.h"
#include "hdr/linear_picture.h"
#include "hdr/ultrahdr_jpeg.h"

namespace {

// The offsets of the maps made here, on both sides (as libavif and
// libultrahdr write them): they keep the ratio finite in the blacks.
const double kOffset = 1.0 / 64;

const double kBt2020Luma[3] = {0.2627, 0.6780, 0.0593};
const double kBt709Luma[3] = {0.2126, 0.7152, 0.0722};

// 8-bit sRGB codes of linear light 0..1, by a table of 2^16 + 1 steps.
class SrgbEncoder {
 public:
  SrgbEncoder() : table_(kSteps + 1) {
    for (int i = 0; i <= kSteps; ++i) {
      const double v = double(i) / kSteps;
      const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
      table_[size_t(i)] = static_cast<uint8_t>(std::lround(s * 255));
    }
  }
  uint8_t code(float v) const {
    if (!(v > 0)) return 0;
    if (v >= 1) return 255;
    return table_[size_t(v * kSteps + 0.5f)];
  }

 private:
  static const int kSteps = 65536;
  std::vector<uint8_t> table_;
};

// ITU-R BT.2390's EETF for a picture peaking at `peak` cd/m² shown on a
// display peaking at `target`: in the PQ domain, unchanged below the knee
// (1.5 x the target's share - 0.5), a Hermite spline from there to the
// target. Kept as a table of the ratio out/in over log2 luminance, 1/64
// stop apart.
class Eetf {
 public:
  Eetf(double peak, double target) {
    if (peak <= target) return;
    const double pq_peak = pq_inverse_eotf(peak);
    const double max_lum = pq_inverse_eotf(target) / pq_peak;
    const double knee = 1.5 * max_lum - 0.5;
    first_ = std::floor(std::log2(std::max(pq_eotf(std::max(knee, 0.0) * pq_peak), 1e-4)));
    const int steps = int((std::log2(peak) - first_) * kPerStop) + 2;
    ratio_.resize(size_t(steps));
    for (int i = 0; i < steps; ++i) {
      const double nits = std::exp2(first_ + double(i) / kPerStop);
      const double e = std::min(pq_inverse_eotf(nits) / pq_peak, 1.0);
      double out = e;
      if (e > knee) {
        const double t = (e - knee) / (1 - knee), t2 = t * t, t3 = t2 * t;
        out = (2 * t3 - 3 * t2 + 1) * knee + (t3 - 2 * t2 + t) * (1 - knee) + (-2 * t3 + 3 * t2) * max_lum;
      }
      ratio_[size_t(i)] = static_cast<float>(pq_eotf(out * pq_peak) / nits);
    }
  }
  // The factor that brings a luminance (cd/m²) to its mapped value.
  float ratio(float nits) const {
    if (ratio_.empty() || !(nits > 0)) return 1;
    const float at = (std::log2(nits) - float(first_)) * kPerStop;
    if (at <= 0) return ratio_[0];
    const size_t i = size_t(at);
    if (i + 1 >= ratio_.size()) return ratio_.back();
    const float f = at - float(i);
    return ratio_[i] + (ratio_[i + 1] - ratio_[i]) * f;
  }

 private:
  static constexpr float kPerStop = 64;
  double first_ = 0;
  std::vector<float> ratio_;
};

// The picture and what turns its rows into linear light.
class Source {
 public:
  PictureColour colour;
  DecodedPicture picture;
  std::vector<float> linear;
  GainMap map;  // HDR-based, when rendered through it
  std::unique_ptr<GainMapApplier> applier;

  // Row y as light relative to SDR white, in BT.2020 primaries: the SDR
  // picture when the map leads to it, otherwise the HDR one.
  void row(int y, float* rgb) const { relative_light_row(picture, colour, linear, applier.get(), y, rgb); }

  uint8_t alpha(int y, int x) const {
    const unsigned top = (1u << picture.bits) - 1;
    const unsigned v = picture.sample(picture.row(y), x * picture.channels + 3, top);
    return static_cast<uint8_t>((v * 255 + top / 2) / top);
  }
};

double luminance(const float* rgb, const double* weights) {
  return weights[0] * rgb[0] + weights[1] * rgb[1] + weights[2] * rgb[2];
}

// The single-channel map from the SDR picture back to the HDR one, from
// log2 gains per pixel, its range spread over the 8-bit samples.
bool make_gain_map(const std::vector<float>& gains, int width, int height, double headroom, GainMap* out) {
  float lo = gains[0], hi = gains[0];
  for (const float g : gains) lo = std::min(lo, g), hi = std::max(hi, g);
  if (hi - lo < 1e-3f) hi = lo + 1e-3f;
  GainMapMetadata md;
  md.base_headroom = GainFraction{0, 1};
  md.alternate_headroom = decimal_fraction(std::max({headroom, double(hi), 0.01}));
  GainMapChannel& ch = md.channel[0];
  ch.min = decimal_fraction(lo);
  ch.max = decimal_fraction(hi);
  ch.gamma = GainFraction{1, 1};
  ch.base_offset = ch.alternate_offset = GainFraction{1, 64};
  md.channel[1] = md.channel[2] = ch;
  const char* why = nullptr;
  if (!gain_map_metadata_usable(md, &why)) {
    set_hdr_note(why);
    return false;
  }
  // Samples spread over the quantised range, as the map's readers undo it.
  const double lo_q = md.channel[0].min.value(), span = md.channel[0].max.value() - lo_q;
  out->kind = GainMapKind::Iso21496;
  out->metadata = md;
  out->width = width, out->height = height, out->channels = 1;
  out->pixels.resize(gains.size());
  for (size_t i = 0; i < gains.size(); ++i) {
    out->pixels[i] = static_cast<uint8_t>(std::lround(std::clamp((gains[i] - lo_q) / span, 0.0, 1.0) * 255));
  }
  return true;
}

}  // namespace

SdrRenditionResult render_sdr(heif_context* ctx, heif_image_handle* image, bool with_gain_map, SdrPicture* out) {
  Source s;
  s.colour = colour_of(image);
  const GainMapFacts facts = describe_gain_map(ctx, image);
  const bool through_map = facts.kind != GainMapKind::None && facts.unusable.empty() && facts.base_is_hdr;
  if (!through_map && s.colour.coding == HdrCoding::None) return SdrRenditionResult::NotNeeded;
  if (through_map) {
    std::string why;
    if (!load_gain_map(ctx, image, &s.map, &why) || s.map.kind == GainMapKind::None) {
      set_hdr_note(why);
      if (s.colour.coding == HdrCoding::None) return SdrRenditionResult::NotNeeded;
    }
  }
  if (!decode_picture(ctx, image, &s.picture)) return SdrRenditionResult::Failed;
  const int w = s.picture.width, h = s.picture.height, channels = s.picture.channels;
  s.linear = linear_table(s.colour, s.picture.bits);
  const bool mapped = s.map.kind != GainMapKind::None;
  if (mapped) s.applier.reset(new GainMapApplier(s.map, s.map.metadata, -1.0, w, h));

  // Tone mapping needs the picture's peak first.
  std::vector<float> rgb(size_t(w) * 3);
  double peak = 0;
  if (!mapped) {
    for (int y = 0; y < h; ++y) {
      s.row(y, rgb.data());
      for (int x = 0; x < w; ++x) peak = std::max(peak, luminance(&rgb[size_t(x) * 3], kBt2020Luma));
    }
  }
  const Eetf eetf(peak * kSdrWhiteNits, kSdrWhiteNits);
  const bool make_map = with_gain_map && !mapped && peak > 1;
  std::vector<float> gains(make_map ? size_t(w) * h : 0);
  static const SrgbEncoder srgb;
  float decoded[256];  // what a reader makes of each written code
  for (int v = 0; v < 256; ++v) decoded[v] = float(srgb_to_linear(v / 255.0));
  std::vector<float> hdr(size_t(w) * 3);
  out->pixels.resize(size_t(w) * h * channels);
  for (int y = 0; y < h; ++y) {
    s.row(y, rgb.data());
    if (!mapped) {
      for (int x = 0; x < w; ++x) {
        float* v = &rgb[size_t(x) * 3];
        const float k = eetf.ratio(float(luminance(v, kBt2020Luma) * kSdrWhiteNits));
        for (int c = 0; c < 3; ++c) hdr[size_t(x) * 3 + c] = v[c], v[c] *= k;
      }
    }
    from_bt2020(Primaries::Bt709, rgb.data(), size_t(w));
    uint8_t* o = &out->pixels[size_t(y) * w * channels];
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) o[x * channels + c] = srgb.code(rgb[size_t(x) * 3 + c]);
      if (channels == 4) o[x * channels + 3] = s.alpha(y, x);
      if (make_map) {
        // The gain the written SDR samples need to reach the HDR luminance.
        float sdr[3];
        for (int c = 0; c < 3; ++c) sdr[c] = decoded[o[x * channels + c]];
        const double from = luminance(sdr, kBt709Luma) + kOffset;
        const double to = luminance(&hdr[size_t(x) * 3], kBt2020Luma) + kOffset;
        gains[size_t(y) * w + x] = float(std::log2(to / from));
      }
    }
  }
  out->width = w, out->height = h, out->channels = channels;
  out->map = GainMap();
  if (!with_gain_map) return SdrRenditionResult::Ready;
  if (mapped) {
    out->map = std::move(s.map);
    out->map.metadata = sdr_based(out->map.metadata);
  } else if (!make_map) {
    set_hdr_note("the photo's HDR picture is no brighter than SDR white: no gain map");
  } else if (!make_gain_map(gains, w, h, std::log2(peak), &out->map)) {
    out->map = GainMap();
  }
  return SdrRenditionResult::Ready;
}
