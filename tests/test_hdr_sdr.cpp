// HDR pictures converted: a PQ or HLG picture, and a picture that is the
// HDR base of its gain map. The SDR JPEG is read back by libjpeg and
// checked against the test's own renditions of the source (the map applied
// towards SDR; PQ and HLG light below the tone curve's knee unchanged);
// the Ultra HDR JPEG's HDR rendition (the test's own MPF, ISO record and
// gain-map reading) against the source's light. HEIF and AVIF outputs,
// read by libheif, keep the HDR picture as it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <libheif/heif.h>

#include "fixtures.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "json_reader.h"
#include "lumetra.h"

namespace {

const char kIso[] = "urn:iso:std:iso:ts:21496:-1";
const double kBt709Weights[3] = {0.2126, 0.7152, 0.0722};
const double kBt2020Weights[3] = {0.2627, 0.6780, 0.0593};

enum class Source { Pq, Hlg, HdrBase };

struct SdrCase {
  const char* name;
  Source source;
  const char* ext;
  bool ultra_hdr;  // a JPEG with LUMETRA_KEEP_HDR: it carries a gain map
};

// How gtest names the case in its messages.
void PrintTo(const SdrCase& c, std::ostream* os) { *os << c.name; }

const SdrCase kCases[] = {
    {"pq_sdr", Source::Pq, ".jpg", false},
    {"pq_ultra_hdr", Source::Pq, ".jpg", true},
    {"hlg_ultra_hdr", Source::Hlg, ".jpg", true},
    {"hdr_base_sdr", Source::HdrBase, ".jpg", false},
    {"hdr_base_ultra_hdr", Source::HdrBase, ".jpg", true},
    {"pq_to_heic", Source::Pq, ".heic", false},
    {"pq_to_avif", Source::Pq, ".avif", false},
    {"hdr_base_to_heic", Source::HdrBase, ".heic", false},
    {"hdr_base_to_avif", Source::HdrBase, ".avif", false},
};

// The HDR-base fixture: an 8-bit base of smooth ramps (light enough that
// two stops down stays above black) two stops above its alternate, whose
// map (0 to 2 stops) leads down to the SDR picture.
std::string hdr_base_fixture() {
  TmapValues v;
  v.base_n = 2, v.alt_n = 0;
  const PixelFn ramps = [](int x, int y, int c) {
    return uint8_t(96 + (c == 0 ? x * 159 / 256 : c == 1 ? y * 159 / 192 : (x + y) * 159 / 448));
  };
  return tmap_fixture("sdr-hdr-base", tmap_payload(v), 128, 96, std::string(), ramps);
}

// The source's HDR light per pixel, relative to SDR white (203 cd/m²),
// as luminance.
std::vector<double> source_light(const SdrCase& c, const std::string& in, int* w, int* h) {
  std::vector<double> out;
  if (c.source == Source::HdrBase) {
    const Raster base = libheif_decode(in, false);
    *w = base.width, *h = base.height;
    for (size_t i = 0; i < base.pixels.size(); i += 3) {
      double y = 0;
      for (int k = 0; k < 3; ++k) y += kBt709Weights[k] * srgb_light(base.pixels[i + size_t(k)] / 255.0);
      out.push_back(y);
    }
    return out;
  }
  const std::vector<unsigned> s = decode_10bit(in, w, h);
  for (size_t i = 0; i + 2 < s.size(); i += 3) {
    double y = 0;
    if (c.source == Source::Pq) {
      for (int k = 0; k < 3; ++k) y += kBt2020Weights[k] * pq_nits(s[i + size_t(k)] * 65535 / 1023);
    } else {  // HLG displayed at 1000 cd/m²: Yd = 1000 Ys^1.2
      for (int k = 0; k < 3; ++k) y += kBt2020Weights[k] * hlg_scene(s[i + size_t(k)] / 1023.0);
      y = 1000 * std::pow(y, 1.2);
    }
    out.push_back(y / 203);
  }
  return out;
}

// The JPEG: its SDR picture, and with a gain map its HDR rendition.
void check_jpeg(const SdrCase& c, const std::string& in, const std::string& out) {
  const Bytes file = read_file(out);
  UltraHdrParts parts;
  ASSERT_EQ(split_ultrahdr(file, &parts), c.ultra_hdr) << "an Ultra HDR JPEG exactly when asked";
  const Raster sdr = jpeg_decode(c.ultra_hdr ? parts.primary : file);
  int w = 0, h = 0;
  const std::vector<double> light = source_light(c, in, &w, &h);
  ASSERT_EQ(sdr.width, w);
  ASSERT_EQ(sdr.height, h);
  ASSERT_EQ(light.size(), size_t(w) * h);

  if (c.source == Source::HdrBase) {
    // The SDR picture is the map applied towards SDR.
    Raster base, gain;
    GainModel model;
    ASSERT_TRUE(heif_gain_map(in, &base, &gain, &model));
    ASSERT_GT(model.base_headroom, model.alternate_headroom);
    const double db = psnr(sdr, sdr_from_hdr_base(base, gain, model));
    std::printf("%s: SDR picture %.1f dB from the reference\n", c.name, db);
    EXPECT_GE(db, 38.0);
    const char* detail = lumetra_info_detail(in.c_str());
    ASSERT_NE(detail, nullptr);
    bool ok = false;
    const Json doc = parse_json(detail, &ok);
    EXPECT_TRUE(doc["images"][0]["gain_map"]["base_is_hdr"].boolean) << detail;
  } else {
    // Tone mapped: neutral light below the tone curve's knee (about
    // 25 cd/m² for this picture's 9000 cd/m² peak) comes out as it is, the
    // brightest comes out near SDR white, not as PQ or HLG codes read as sRGB.
    const std::vector<unsigned> codes = decode_10bit(in, &w, &h);
    std::vector<double> ours, reference;
    double brightest = 0, at_brightest = 0;
    for (size_t i = 0; i < light.size(); ++i) {
      const unsigned* s = &codes[i * 3];
      if (*std::max_element(s, s + 3) - *std::min_element(s, s + 3) > 24) continue;  // near neutral only
      const uint8_t* p = &sdr.pixels[i * 3];
      double y = 0;
      for (int k = 0; k < 3; ++k) y += kBt709Weights[k] * srgb_light(p[k] / 255.0);
      if (light[i] > brightest) brightest = light[i], at_brightest = y;
      if (light[i] * 203 > 20) continue;
      ours.push_back(y);
      reference.push_back(light[i]);
    }
    ASSERT_GT(ours.size(), 50u) << "neutral pixels below the knee";
    const Stops below = compare_log2(ours, reference, 1.0 / 64);
    std::printf("%s: %zu pixels below the knee, mean %.4f, p99 %.4f stops; brightest %.0f cd/m² -> %.3f of white\n",
                c.name, ours.size(), below.mean, below.p99, brightest * 203, at_brightest);
    EXPECT_LE(below.mean, 0.05);
    EXPECT_LE(below.p99, 0.25);
    EXPECT_GE(at_brightest, 0.85);
  }
  if (!c.ultra_hdr) return;

  // The HDR rendition at full headroom against the source's light.
  GainModel model;
  bool iso = false;
  for (const Bytes& s : parts.gain_map_app2) {
    if (s.size() > sizeof kIso && std::memcmp(s.data(), kIso, sizeof kIso) == 0) {
      iso = parse_iso_record(Bytes(s.begin() + sizeof kIso, s.end()), false, &model);
    }
  }
  ASSERT_TRUE(iso);
  EXPECT_EQ(model.base_headroom, 0) << "the JPEG's base is the SDR picture";
  const Raster gain = jpeg_decode(parts.gain_map);
  std::vector<double> rendition = rendition_luminance(sdr, gain, model, 1, kBt709Weights);
  for (double& v : rendition) v = std::exp2(v);
  const Stops s = compare_log2(rendition, light, 1.0 / 64);
  std::printf("%s: HDR rendition mean %.4f, p99 %.4f stops (headroom %.2f)\n", c.name, s.mean, s.p99,
              model.alternate_headroom);
  EXPECT_LE(s.mean, 0.05);
  EXPECT_LE(s.p99, 0.25);
}

// The output's nclx, as libheif reads it: primaries, transfer; -1 without.
std::pair<int, int> nclx_of(const std::string& path) {
  std::pair<int, int> out{-1, -1};
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* h = nullptr;
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
      heif_image_handle_get_nclx_color_profile(h, &nclx).code == heif_error_Ok && nclx != nullptr) {
    out = {int(nclx->color_primaries), int(nclx->transfer_characteristics)};
  }
  if (nclx != nullptr) heif_nclx_color_profile_free(nclx);
  if (h != nullptr) heif_image_handle_release(h);
  heif_context_free(ctx);
  return out;
}

// HEIF and AVIF outputs keep the HDR picture as it is: a PQ picture's
// samples and nclx, an HDR base with its map described as before.
void check_kept(const SdrCase& c, const std::string& in, const std::string& out) {
  if (c.source == Source::Pq) {
    EXPECT_EQ(nclx_of(out), std::make_pair(9, 16)) << "BT.2020 primaries, PQ";
    int w = 0, h = 0, ow = 0, oh = 0;
    const std::vector<unsigned> a = decode_10bit(in, &w, &h), b = decode_10bit(out, &ow, &oh);
    ASSERT_EQ(a.size(), b.size());
    double diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff += std::abs(int(a[i]) - int(b[i]));
    EXPECT_LE(diff / a.size(), 6.0) << "mean difference in 10-bit codes";
    return;
  }
  Raster base, gain, out_base, out_gain;
  GainModel model, out_model;
  ASSERT_TRUE(heif_gain_map(in, &base, &gain, &model));
  ASSERT_TRUE(heif_gain_map(out, &out_base, &out_gain, &out_model)) << "the tmap item is there";
  EXPECT_EQ(out_model.base_headroom, model.base_headroom);
  EXPECT_EQ(out_model.alternate_headroom, model.alternate_headroom);
  EXPECT_GE(psnr(sdr_from_hdr_base(out_base, out_gain, out_model), sdr_from_hdr_base(base, gain, model)), 38.0);
}

}  // namespace

class HdrConvert : public ::testing::TestWithParam<SdrCase> {};

TEST_P(HdrConvert, KeepsOrRendersTheHdrPicture) {
  const SdrCase& c = GetParam();
  const bool heif = std::string(c.ext) != ".jpg", av1 = std::string(c.ext) == ".avif";
  const int bits = c.source == Source::HdrBase ? 8 : 10;
  if (!libheif_encodes(false, bits) || (heif && !libheif_encodes(av1, bits))) GTEST_SKIP() << "no encoder for the case";
  const std::string in = c.source == Source::Pq    ? nclx_fixture("sdr-pq", 16)
                         : c.source == Source::Hlg ? nclx_fixture("sdr-hlg", 18)
                                                   : hdr_base_fixture();
  const std::string out = scratch_path(std::string("hdr-convert-") + c.name + c.ext);
  const int flags = LUMETRA_KEEP_METADATA | (c.ultra_hdr || heif ? LUMETRA_KEEP_HDR : 0);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), heif ? 0 : 95, flags), 1) << lumetra_last_error();
  if (heif) {
    check_kept(c, in, out);
  } else {
    check_jpeg(c, in, out);
  }
}

INSTANTIATE_TEST_SUITE_P(Hdr, HdrConvert, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SdrCase>& info) { return info.param.name; });
