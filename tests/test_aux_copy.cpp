// Auxiliary images carried into HEIF/AVIF outputs (heif/aux_copy): written
// through encode_heif_file and read back with libheif: the output's primary
// lists the source's types in order (no alpha, gain maps only on request),
// each decodes to the source's image turned as the primary was, with its
// XMP, its depth representation and its bit depth, and nothing more is
// top-level.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "fixtures.h"
#include "heif/aux_copy.h"
#include "heif/encoder.h"
#include "heif/open_file.h"

namespace {

const std::string kCorpus = LUMETRA_CORPUS;
const char kDepth[] = "urn:mpeg:hevc:2015:auxid:2";
const char kMatte[] = "urn:com:apple:photo:2018:aux:portraiteffectsmatte";
const char kAppleGain[] = "urn:com:apple:photo:2020:aux:hdrgainmap";
const char kSamsungGain[] = "urn:com:samsung:photo:2024:aux:hdrgainmap";
const char kMatteXmp[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description xmlns:m=\"http://example.org/matte/\" m:Version=\"1\"/></rdf:RDF></x:xmpmeta>";

// Bits written most significant first.
struct BitWriter {
  Bytes bytes;
  int used = 8;
  void put(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (used == 8) bytes.push_back(0), used = 0;
      if ((v >> i) & 1) bytes.back() |= uint8_t(0x80 >> used);
      ++used;
    }
  }
};

// auxC subtype bytes holding an HEVC SEI NAL unit with a depth
// representation: uniform disparity, d_min 0.5, d_max 3 (sign, 7-bit
// exponent, mantissa length - 1, mantissa: 2^(e-31) * (1 + m / 2^len)).
Bytes depth_subtype() {
  BitWriter w;
  w.put(0b0011, 4);                                     // z_near, z_far absent; d_min, d_max present
  w.put(0b010, 3);                                      // ue(v) 1: uniform disparity
  w.put(0b1, 1);                                        // ue(v) 0: disparity reference view
  w.put(0, 1), w.put(30, 7), w.put(0, 5), w.put(0, 1);  // 0.5
  w.put(0, 1), w.put(32, 7), w.put(0, 5), w.put(1, 1);  // 3
  w.put(1, 1);                                          // stop bit
  Bytes nal{0x4E, 0x01, 177, uint8_t(w.bytes.size())};
  nal.insert(nal.end(), w.bytes.begin(), w.bytes.end());
  nal.push_back(0x80);
  Bytes out;
  for (const uint32_t v : {uint32_t(nal.size() + 4), uint32_t(nal.size())})
    for (int i = 3; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
  out.insert(out.end(), nal.begin(), nal.end());
  return out;
}

struct AuxCase {
  const char* name;
  int orientation;  // EXIF orientation the source primary is stored with (irot/imir)
  bool aux_turned;  // the auxiliary images carry that orientation themselves
  bool alpha;
  int depth_bits;
  bool gain_maps;  // Apple's and Samsung's gain-map images too
  bool keep_apple;
  bool avif;
  bool source_bytes = true;  // the addition is given the source's bytes (its auxC subtypes)
};

void PrintTo(const AuxCase& c, std::ostream* os) { *os << c.name; }

HeifRecipe recipe_for(const AuxCase& c) {
  HeifRecipe r;
  r.width = 192, r.height = 128, r.alpha = c.alpha, r.orientation = c.orientation;
  AuxRecipe gain{kAppleGain, {},           96, 64,
                 8,          c.aux_turned, "", [](int x, int y, int) { return uint8_t(x * 2 + 60 - y / 2); }};
  if (c.gain_maps) r.aux.push_back(gain);
  r.aux.push_back(AuxRecipe{kDepth, depth_subtype(), 96, 64, c.depth_bits, c.aux_turned, "",
                            [](int x, int y, int) { return uint8_t(x * 2 + y); }});
  r.aux.push_back(AuxRecipe{kMatte, {}, 144, 96, 8, c.aux_turned, kMatteXmp, [](int x, int y, int) {
                              return uint8_t(x < 72 ? 40 + y : 220 - y);
                            }});
  gain.type = kSamsungGain;
  if (c.gain_maps) r.aux.push_back(gain);
  return r;
}

// libheif's decode of an item's luma at 8 bits; as stored (transformations
// ignored) or as libheif shows it.
Raster luma(heif_image_handle* h, bool as_stored, int* bits) {
  Raster r;
  heif_decoding_options* options = heif_decoding_options_alloc();
  options->ignore_transformations = as_stored ? 1 : 0;
  heif_image* img = nullptr;
  heif_decode_image(h, &img, heif_colorspace_undefined, heif_chroma_undefined, options);
  heif_decoding_options_free(options);
  if (img == nullptr) return r;
  int stride = 0;
  const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_Y, &stride);
  r.width = heif_image_get_width(img, heif_channel_Y), r.height = heif_image_get_height(img, heif_channel_Y);
  r.channels = 1;
  *bits = heif_image_get_bits_per_pixel_range(img, heif_channel_Y);
  for (int y = 0; p != nullptr && y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      uint16_t v = p[size_t(y) * stride + x];
      if (*bits > 8) std::memcpy(&v, p + size_t(y) * stride + 2 * x, 2);
      r.pixels.push_back(uint8_t(*bits > 8 ? v >> (*bits - 8) : v));
    }
  }
  heif_image_release(img);
  return r;
}

double mean_abs_diff(const Raster& a, const Raster& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
  return sum / double(a.pixels.size());
}

std::string aux_type(heif_image_handle* aux) {
  const char* t = nullptr;
  if (heif_image_handle_get_auxiliary_type(aux, &t).code != heif_error_Ok || t == nullptr) return "";
  std::string s = t;
  heif_image_handle_release_auxiliary_type(aux, &t);
  return s;
}

std::string xmp_of(heif_image_handle* h) {
  heif_item_id ids[8];
  const int n = heif_image_handle_get_list_of_metadata_block_IDs(h, "mime", ids, 8);
  for (int i = 0; i < n; ++i) {
    std::string x(heif_image_handle_get_metadata_size(h, ids[i]), '\0');
    if (!x.empty() && heif_image_handle_get_metadata(h, ids[i], &x[0]).code == heif_error_Ok) return x;
  }
  return "";
}

std::vector<heif_item_id> aux_ids(heif_image_handle* h, int filter) {
  std::vector<heif_item_id> ids(64);
  ids.resize(size_t(heif_image_handle_get_list_of_auxiliary_image_IDs(h, filter, ids.data(), 64)));
  return ids;
}

// The source's primary decoded upright, written to out through
// encode_heif_file with the auxiliary-image addition; the addition's note.
std::string convert(const std::string& in, const std::string& out, bool keep_apple, bool avif, int quality,
                    bool source_bytes = true) {
  HeifFileBytes bytes;
  ContextHolder src(new_heif_context());
  HandleHolder primary;
  EXPECT_EQ(read_heif_file(src.get(), in.c_str(), &bytes).code, heif_error_Ok);
  EXPECT_EQ(heif_context_get_primary_image_handle(src.get(), primary.out()).code, heif_error_Ok);
  std::unique_ptr<AuxCopy> copy =
      aux_copy_addition(src.get(), primary.get(), source_bytes ? bytes.data.get() : nullptr, bytes.size, keep_apple);
  EXPECT_TRUE(copy != nullptr);
  if (!copy) return "";
  ImageHolder image;
  const bool alpha = heif_image_handle_has_alpha_channel(primary.get()) != 0;
  EXPECT_EQ(heif_decode_image(primary.get(), image.out(), heif_colorspace_RGB,
                              alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr)
                .code,
            heif_error_Ok);
  ContextHolder ctx(new_heif_context());
  EncoderHolder encoder;
  EXPECT_TRUE(heif_encoder_for(ctx.get(), avif ? heif_compression_AV1 : heif_compression_HEVC, quality, &encoder));
  if (encoder && !avif) heif_encoder_set_parameter_string(encoder.get(), "preset", "ultrafast");
  if (encoder && avif) heif_encoder_set_parameter_integer(encoder.get(), "speed", 9);
  EXPECT_TRUE(encode_heif_file(ctx.get(), encoder.get(), image.get(), {}, {}, out.c_str(), {copy.get()}));
  return copy->note();
}

class AuxCopyCase : public ::testing::TestWithParam<AuxCase> {};

TEST_P(AuxCopyCase, ReadBackByLibheif) {
  const AuxCase& c = GetParam();
  if (c.avif && !libheif_encodes(true, 8)) GTEST_SKIP() << "no AV1 encoder";
  if (c.depth_bits > 8 && !libheif_encodes(c.avif, c.depth_bits)) GTEST_SKIP() << "no deep encoder";
  const HeifRecipe recipe = recipe_for(c);
  const std::string in = heif_fixture(std::string(c.name) + ".heic", recipe);
  const std::string out = scratch_path(std::string(c.name) + (c.avif ? "-out.avif" : "-out.heic"));
  const std::string note = convert(in, out, c.keep_apple, c.avif, 90, c.source_bytes);
  EXPECT_EQ(note, c.source_bytes ? ""
                                 : "depth image: its depth representation information could not be read and is "
                                   "not kept.");

  std::vector<AuxRecipe> expected;
  for (const AuxRecipe& a : recipe.aux)
    if (a.type != kSamsungGain && (a.type != kAppleGain || c.keep_apple)) expected.push_back(a);

  ContextHolder src(heif_context_alloc()), dst(heif_context_alloc());
  ASSERT_EQ(heif_context_read_from_file(src.get(), in.c_str(), nullptr).code, heif_error_Ok);
  ASSERT_EQ(heif_context_read_from_file(dst.get(), out.c_str(), nullptr).code, heif_error_Ok);
  EXPECT_EQ(heif_context_get_number_of_top_level_images(dst.get()), 1);
  HandleHolder sp, dp;
  ASSERT_EQ(heif_context_get_primary_image_handle(src.get(), sp.out()).code, heif_error_Ok);
  ASSERT_EQ(heif_context_get_primary_image_handle(dst.get(), dp.out()).code, heif_error_Ok);
  EXPECT_EQ(heif_image_handle_has_alpha_channel(dp.get()), c.alpha ? 1 : 0);
  EXPECT_EQ(aux_ids(dp.get(), 0).size(), expected.size() + (c.alpha ? 1 : 0));  // its own alpha only
  const std::vector<heif_item_id> theirs = aux_ids(sp.get(), LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA);
  const std::vector<heif_item_id> ours = aux_ids(dp.get(), LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA);
  ASSERT_EQ(ours.size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) {
    const AuxRecipe& a = expected[k];
    size_t from = 0;
    while (from < recipe.aux.size() && recipe.aux[from].type != a.type) ++from;
    HandleHolder s, d;
    ASSERT_EQ(heif_image_handle_get_auxiliary_image_handle(sp.get(), theirs.at(from), s.out()).code, heif_error_Ok);
    ASSERT_EQ(heif_image_handle_get_auxiliary_image_handle(dp.get(), ours[k], d.out()).code, heif_error_Ok);
    EXPECT_EQ(aux_type(d.get()), a.type) << k;
    int stored_bits = 0, out_bits = 0;
    const Raster want = exif_oriented(luma(s.get(), true, &stored_bits), c.orientation);
    const Raster got = luma(d.get(), false, &out_bits);
    const bool turned = c.orientation >= 5;
    EXPECT_EQ(got.width, turned ? a.height : a.width) << a.type;
    EXPECT_EQ(got.height, turned ? a.width : a.height) << a.type;
    EXPECT_LE(mean_abs_diff(got, want), 2.0) << a.type;
    EXPECT_EQ(out_bits, a.bit_depth) << a.type;
    heif_colorspace cs = heif_colorspace_undefined;
    heif_chroma chroma = heif_chroma_undefined;
    heif_image_handle_get_preferred_decoding_colorspace(d.get(), &cs, &chroma);
    EXPECT_EQ(cs, heif_colorspace_monochrome) << a.type;
    EXPECT_EQ(xmp_of(d.get()), a.xmp) << a.type;
  }
  // The depth representation as libheif reads it from both files.
  heif_item_id sd = 0, dd = 0;
  ASSERT_EQ(heif_image_handle_get_list_of_depth_image_IDs(sp.get(), &sd, 1), 1);
  ASSERT_EQ(heif_image_handle_get_list_of_depth_image_IDs(dp.get(), &dd, 1), 1);
  const heif_depth_representation_info *si = nullptr, *di = nullptr;
  ASSERT_TRUE(heif_image_handle_get_depth_image_representation_info(sp.get(), sd, &si));
  EXPECT_EQ(heif_image_handle_get_depth_image_representation_info(dp.get(), dd, &di), c.source_bytes ? 1 : 0);
  if (di == nullptr) return heif_depth_representation_info_free(si);
  EXPECT_EQ(si->depth_representation_type, heif_depth_representation_type_uniform_disparity);
  EXPECT_EQ(si->d_min, 0.5);
  EXPECT_EQ(si->d_max, 3.0);
  EXPECT_EQ(di->depth_representation_type, si->depth_representation_type);
  EXPECT_EQ(di->has_d_min, si->has_d_min);
  EXPECT_EQ(di->has_d_max, si->has_d_max);
  EXPECT_EQ(di->has_z_near, si->has_z_near);
  EXPECT_EQ(di->d_min, si->d_min);
  EXPECT_EQ(di->d_max, si->d_max);
  heif_depth_representation_info_free(si);
  heif_depth_representation_info_free(di);
}

const AuxCase kCases[] = {
    {"Irot90AuxFollowTheirMaster", 8, false, false, 8, false, false, false},
    {"Irot90AuxTurnedThemselves", 8, true, false, 8, false, false, false},
    {"MirrorAuxFollowTheirMaster", 2, false, false, 8, false, false, false},
    {"MirrorAndIrot270AuxTurnedThemselves", 7, true, false, 8, false, false, false},
    {"AlphaLeftOut", 1, false, true, 8, false, false, false},
    {"GainMapsLeftOut", 6, true, false, 8, true, false, false},
    {"AppleGainMapKeptSamsungLeftOut", 6, true, false, 8, true, true, false},
    {"TenBitDepthStaysTenBit", 8, false, false, 10, false, false, false},
    {"IntoAvif", 8, true, true, 8, false, false, true},
    {"WithoutSourceBytesDepthInformationNoted", 8, false, false, 8, false, false, false, false},
};

INSTANTIATE_TEST_SUITE_P(AuxCopy, AuxCopyCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AuxCase>& info) { return std::string(info.param.name); });

// A corpus portrait photo to a .heic: every auxiliary type but alpha and
// Samsung's gain map kept, in order.
void expect_types_kept(const char* name) {
  const std::string in = kCorpus + "/heif/" + name;
  if (!file_exists(in)) GTEST_SKIP() << "no corpus file " << in;
  const std::string out = scratch_path(std::string("corpus-") + name);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(convert(in, out, true, false, 60), "");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ContextHolder src(heif_context_alloc()), dst(heif_context_alloc());
  ASSERT_EQ(heif_context_read_from_file(src.get(), in.c_str(), nullptr).code, heif_error_Ok);
  ASSERT_EQ(heif_context_read_from_file(dst.get(), out.c_str(), nullptr).code, heif_error_Ok);
  EXPECT_EQ(heif_context_get_number_of_top_level_images(dst.get()), 1);
  HandleHolder sp, dp;
  ASSERT_EQ(heif_context_get_primary_image_handle(src.get(), sp.out()).code, heif_error_Ok);
  ASSERT_EQ(heif_context_get_primary_image_handle(dst.get(), dp.out()).code, heif_error_Ok);
  std::vector<std::string> want, got, want_xmp, got_xmp;
  std::vector<heif_item_id> kept;
  for (const heif_item_id id : aux_ids(sp.get(), LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA)) {
    HandleHolder a;
    heif_image_handle_get_auxiliary_image_handle(sp.get(), id, a.out());
    const std::string t = aux_type(a.get());
    if (t.find("hdrgainmap") != std::string::npos && t != kAppleGain) continue;
    want.push_back(t);
    want_xmp.push_back(xmp_of(a.get()));
    kept.push_back(id);
  }
  const std::vector<heif_item_id> ours = aux_ids(dp.get(), 0);
  for (const heif_item_id id : ours) {
    HandleHolder a;
    heif_image_handle_get_auxiliary_image_handle(dp.get(), id, a.out());
    got.push_back(aux_type(a.get()));
    got_xmp.push_back(xmp_of(a.get()));
  }
  EXPECT_GE(want.size(), 2u);
  EXPECT_EQ(got, want);
  EXPECT_EQ(got_xmp, want_xmp);
  // A depth map's representation, as libheif reads it from both.
  for (size_t k = 0; k < kept.size() && k < ours.size(); ++k) {
    const heif_depth_representation_info *si = nullptr, *di = nullptr;
    heif_item_id depth = 0;  // libheif answers for the one depth image, and crashes without one
    if (heif_image_handle_get_list_of_depth_image_IDs(sp.get(), &depth, 1) != 1 || depth != kept[k] ||
        !heif_image_handle_get_depth_image_representation_info(sp.get(), kept[k], &si)) {
      continue;
    }
    ASSERT_TRUE(heif_image_handle_get_depth_image_representation_info(dp.get(), ours[k], &di)) << want[k];
    EXPECT_EQ(di->depth_representation_type, si->depth_representation_type);
    EXPECT_EQ(di->d_min, si->d_min);
    EXPECT_EQ(di->d_max, si->d_max);
    EXPECT_EQ(di->has_z_near, si->has_z_near);
    heif_depth_representation_info_free(si);
    heif_depth_representation_info_free(di);
  }
  std::printf("%s: %zu auxiliary images in %.1f s\n", name, got.size(), seconds);
}

}  // namespace

TEST(Corpus, AuxiliaryImagesOfIPhone14ProPortraitIntoHeic) {
  expect_types_kept("grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic");
}

TEST(Corpus, AuxiliaryImagesOfIPhone16ProIntoHeic) {
  if (!libheif_encodes(false, 10)) GTEST_SKIP() << "no 10-bit HEVC encoder for its 10-bit picture";
  expect_types_kept("tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic");
}
