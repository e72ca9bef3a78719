// HDR PNG: the written file read back by libpng (16-bit, cICP 9/16/0/1
// and cLLI before the image data, no iCCP, sRGB or gAMA), its PQ samples
// decoded by the test's own EOTF and compared with an independent
// rendition of the source: tests/hdr_reference.cpp for gain maps, the
// source's own samples for PQ, the test's BT.2100 HLG formulas for HLG.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <libheif/heif.h>
#include <png.h>

#include "fixtures.h"
#include "hdr/ultrahdr_jpeg.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "lumetra.h"

namespace {

const int kFlags = LUMETRA_KEEP_METADATA | LUMETRA_HDR_PNG;
const double kBt709Weights[3] = {0.2126, 0.7152, 0.0722};
const double kP3Weights[3] = {0.2290, 0.6917, 0.0793};
const double kBt2020Weights[3] = {0.2627, 0.6780, 0.0593};

// ---- reading the PNG with libpng

struct Chunk {
  Bytes data;
  bool before_idat = false;
};

struct PngFile {
  int width = 0, height = 0, bit_depth = 0, channels = 0;
  Bytes rows;  // as stored: 16-bit samples big-endian
  bool iccp = false, srgb = false, gama = false;
  std::map<std::string, Chunk> unknown;
  unsigned sample(int x, int y, int c) const {
    const size_t i = (size_t(y) * width + x) * channels + c;
    return bit_depth == 16 ? unsigned(rows[2 * i]) << 8 | rows[2 * i + 1] : rows[i];
  }
};

void read_body(png_structp png, png_infop info, FILE* f, PngFile* out) {
  png_init_io(png, f);
  static const png_byte kKeep[] = "cICP\0cLLI\0";
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kKeep, 2);
  png_read_info(png, info);
  out->width = int(png_get_image_width(png, info));
  out->height = int(png_get_image_height(png, info));
  out->bit_depth = png_get_bit_depth(png, info);
  out->channels = png_get_channels(png, info);
  out->iccp = png_get_valid(png, info, PNG_INFO_iCCP) != 0;
  out->srgb = png_get_valid(png, info, PNG_INFO_sRGB) != 0;
  out->gama = png_get_valid(png, info, PNG_INFO_gAMA) != 0;
  const size_t row_bytes = png_get_rowbytes(png, info);
  out->rows.resize(row_bytes * size_t(out->height));
  std::vector<png_bytep> pointers(size_t(out->height));
  for (int y = 0; y < out->height; ++y) pointers[size_t(y)] = &out->rows[row_bytes * size_t(y)];
  png_read_image(png, pointers.data());
  png_read_end(png, info);
  png_unknown_chunkp chunks = nullptr;
  const int n = png_get_unknown_chunks(png, info, &chunks);
  for (int i = 0; i < n; ++i) {
    Chunk& c = out->unknown[std::string(reinterpret_cast<const char*>(chunks[i].name), 4)];
    c.data.assign(chunks[i].data, chunks[i].data + chunks[i].size);
    c.before_idat = (chunks[i].location & PNG_AFTER_IDAT) == 0;
  }
}

bool read_png_file(const std::string& path, PngFile* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (setjmp(png_jmpbuf(png)) == 0) {
    read_body(png, info, f, out);
    ok = true;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return ok;
}

// The PNG's pixels in cd/m² (BT.2020 RGB), every step-th in each direction.
struct Light {
  std::vector<double> luminance;  // BT.2020 weights
  double max_cll = 0, max_fall = 0;
};

Light png_light(const PngFile& png, int step) {
  Light l;
  double sum = 0;
  for (int y = 0; y < png.height; ++y) {
    for (int x = 0; x < png.width; ++x) {
      double rgb[3], y_nits = 0;
      for (int c = 0; c < 3; ++c) rgb[c] = pq_nits(png.sample(x, y, c)), y_nits += kBt2020Weights[c] * rgb[c];
      const double m = std::max({rgb[0], rgb[1], rgb[2]});
      l.max_cll = std::max(l.max_cll, m);
      sum += m;
      if (y % step == 0 && x % step == 0) l.luminance.push_back(y_nits);
    }
  }
  l.max_fall = sum / (double(png.width) * png.height);
  return l;
}

uint32_t be32_at(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The checks every HDR PNG passes; the picture's light in cd/m².
Light check_hdr_png(const std::string& path, int step) {
  PngFile png;
  EXPECT_TRUE(read_png_file(path, &png)) << path;
  EXPECT_EQ(png.bit_depth, 16);
  EXPECT_EQ(png.channels, 3);
  EXPECT_FALSE(png.iccp);
  EXPECT_FALSE(png.srgb);
  EXPECT_FALSE(png.gama);
  const Chunk& cicp = png.unknown["cICP"];
  EXPECT_EQ(cicp.data, (Bytes{9, 16, 0, 1}));
  EXPECT_TRUE(cicp.before_idat);
  const Chunk& clli = png.unknown["cLLI"];
  EXPECT_TRUE(clli.before_idat);
  if (png.bit_depth != 16 || png.channels != 3 || clli.data.size() != 8) {
    ADD_FAILURE() << "cLLI size " << clli.data.size();
    return Light();
  }
  Light l = png_light(png, step);
  const double cll = be32_at(clli.data, 0) / 1e4, fall = be32_at(clli.data, 4) / 1e4;
  EXPECT_NEAR(cll, l.max_cll, 0.002 * l.max_cll + 0.01);
  EXPECT_NEAR(fall, l.max_fall, 0.002 * l.max_fall + 0.01);
  std::printf("%s: MaxCLL %.1f cd/m2 (pixels %.1f), MaxFALL %.1f (pixels %.1f)\n",
              path.substr(path.rfind('/') + 1).c_str(), cll, l.max_cll, fall, l.max_fall);
  return l;
}

// The gain-map source's reference rendition against the PNG, in stops.
Stops gain_map_agreement(const std::string& in, const Light& l, int step, const double* weights) {
  Raster primary, gain;
  GainModel model;
  EXPECT_TRUE(heif_gain_map(in, &primary, &gain, &model)) << in;
  std::vector<double> reference = rendition_luminance(primary, gain, model, step, weights);
  for (double& v : reference) v = std::exp2(v);
  std::vector<double> ours;
  for (double y : l.luminance) ours.push_back(y / 203);
  EXPECT_EQ(reference.size(), ours.size());
  return compare_log2(ours, reference, 1.0 / 4096);
}

enum class Source { Tmap, AppleAux, Pq, Hlg, Sdr };

struct HdrPngCase {
  const char* name;
  Source source;
};

// How gtest names the case in its messages.
void PrintTo(const HdrPngCase& c, std::ostream* os) { *os << c.name; }

std::string make_source(const HdrPngCase& c) {
  switch (c.source) {
    case Source::Tmap: return tmap_fixture("png-tmap", tmap_payload(TmapValues{}), 128, 96);
    case Source::AppleAux: return apple_aux_fixture("png-apple", 2.5);
    case Source::Pq: return nclx_fixture("png-pq", 16);
    case Source::Hlg: return nclx_fixture("png-hlg", 18);
    default: return heif_fixture("png-sdr", HeifRecipe{});
  }
}

}  // namespace

class HdrPng : public ::testing::TestWithParam<HdrPngCase> {};

TEST_P(HdrPng, RendersTheSourceInPq) {
  const HdrPngCase& c = GetParam();
  if ((c.source == Source::Pq || c.source == Source::Hlg) && !libheif_encodes(false, 10)) {
    GTEST_SKIP() << "no 10-bit HEVC encoder";
  }
  const std::string in = make_source(c);
  const std::string out = scratch_path(std::string("hdr-") + c.name + ".png");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, kFlags), 1) << lumetra_last_error();
  if (c.source == Source::Sdr) {
    // The ordinary PNG, and a note saying there was no HDR.
    EXPECT_STRNE(last_hdr_note(), "");
    const std::string sdr = scratch_path("sdr-only.png");
    ASSERT_EQ(lumetra_convert(in.c_str(), sdr.c_str(), 0, LUMETRA_KEEP_METADATA), 1);
    EXPECT_EQ(read_file(out), read_file(sdr));
    PngFile png;
    ASSERT_TRUE(read_png_file(out, &png));
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.unknown.count("cICP"), 0u);
    return;
  }
  EXPECT_STREQ(last_hdr_note(), "");
  const Light l = check_hdr_png(out, 1);
  if (c.source == Source::Tmap || c.source == Source::AppleAux) {
    const Stops s = gain_map_agreement(in, l, 1, kBt709Weights);
    std::printf("%s: rendition mean %.4f, p99 %.4f stops\n", c.name, s.mean, s.p99);
    EXPECT_LE(s.mean, 0.05);
    EXPECT_LE(s.p99, 0.25);
    return;
  }
  int w = 0, h = 0;
  const std::vector<unsigned> source = decode_10bit(in, &w, &h);
  PngFile png;
  ASSERT_TRUE(read_png_file(out, &png));
  ASSERT_EQ(source.size(), size_t(png.width) * png.height * 3);
  if (c.source == Source::Pq) {
    // PQ in BT.2020 passes through: within one 10-bit code.
    int worst = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int ch = 0; ch < 3; ++ch) {
          const int back = int(std::lround(png.sample(x, y, ch) * 1023.0 / 65535));
          worst = std::max(worst, std::abs(back - int(source[(size_t(y) * w + x) * 3 + ch])));
        }
    EXPECT_LE(worst, 1);
    return;
  }
  // HLG: scene light, then the OOTF at 1000 cd/m² (gamma 1.2): Yd = 1000 Ys^1.2.
  std::vector<double> reference;
  for (size_t i = 0; i < source.size(); i += 3) {
    double ys = 0;
    for (int ch = 0; ch < 3; ++ch) ys += kBt2020Weights[ch] * hlg_scene(source[i + ch] / 1023.0);
    reference.push_back(1000 * std::pow(ys, 1.2));
  }
  const Stops s = compare_log2(l.luminance, reference, 0.01);
  std::printf("%s: rendition mean %.4f, p99 %.4f stops\n", c.name, s.mean, s.p99);
  EXPECT_LE(s.mean, 0.05);
  EXPECT_LE(s.p99, 0.25);
}

INSTANTIATE_TEST_SUITE_P(Hdr, HdrPng,
                         ::testing::Values(HdrPngCase{"tmap", Source::Tmap}, HdrPngCase{"apple_aux", Source::AppleAux},
                                           HdrPngCase{"pq_10bit", Source::Pq}, HdrPngCase{"hlg_10bit", Source::Hlg},
                                           HdrPngCase{"sdr_only", Source::Sdr}),
                         [](const ::testing::TestParamInfo<HdrPngCase>& info) { return info.param.name; });

// A corpus gain-map photo (Display P3) against the reference renderer.
class HdrPngPhoto : public ::testing::TestWithParam<const char*> {};

TEST_P(HdrPngPhoto, MatchesTheReferenceRendition) {
  const std::string in = std::string(LUMETRA_CORPUS) + "/heif/" + GetParam();
  if (!file_exists(in)) GTEST_SKIP() << "no corpus file " << in;
  if (capture("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool not installed";
  const std::string out = scratch_path("corpus-hdr.png");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, kFlags), 1) << lumetra_last_error();
  const Light l = check_hdr_png(out, 4);
  const Stops s = gain_map_agreement(in, l, 4, kP3Weights);
  std::printf("%s: rendition mean %.4f, p99 %.4f stops\n", GetParam(), s.mean, s.p99);
  EXPECT_LE(s.mean, 0.05);
  EXPECT_LE(s.p99, 0.25);
}

INSTANTIATE_TEST_SUITE_P(Corpus, HdrPngPhoto,
                         ::testing::Values("grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string("iphone13promax_12mp");
                         });
