// HDR gain maps carried into HEIF and AVIF outputs from every kind of
// source: the output walked box by box here (brand, hidden map, tmap item,
// altr group), its map and metadata read back by the reference reader and
// rendered against the source's at full headroom.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

#include <libheif/heif.h>

#include "box_walker.h"
#include "fixtures.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "lumetra.h"

namespace {

const int kHdr = LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR;

// The auxiliary types of a file's primary, as libheif lists them.
std::vector<std::string> aux_types(const std::string& path) {
  std::vector<std::string> types;
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* primary = nullptr;
  if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &primary).code == heif_error_Ok) {
    const int n = heif_image_handle_get_number_of_auxiliary_images(primary, 0);
    std::vector<heif_item_id> ids(static_cast<size_t>(std::max(n, 0)));
    if (n > 0) heif_image_handle_get_list_of_auxiliary_image_IDs(primary, 0, ids.data(), n);
    for (const heif_item_id id : ids) {
      heif_image_handle* aux = nullptr;
      const char* type = nullptr;
      if (heif_image_handle_get_auxiliary_image_handle(primary, id, &aux).code == heif_error_Ok &&
          heif_image_handle_get_auxiliary_type(aux, &type).code == heif_error_Ok) {
        types.push_back(type);
        heif_image_handle_release_auxiliary_type(aux, &type);
      }
      if (aux != nullptr) heif_image_handle_release(aux);
    }
  }
  if (primary != nullptr) heif_image_handle_release(primary);
  heif_context_free(ctx);
  return types;
}

const char kAppleType[] = "urn:com:apple:photo:2020:aux:hdrgainmap";

struct TravelCase {
  const char* name;
  std::function<std::string()> source;  // the file converted
  std::function<std::string()> hdr_of;  // the HEIF whose rendition the output must show
  const char* ext;
  int flags;
  bool kept;
  bool apple_aux;  // Apple's auxiliary gain map kept beside the tmap
};
void PrintTo(const TravelCase& c, std::ostream* os) { *os << c.name; }

std::string tmap_source() { return tmap_fixture("travel-tmap", tmap_payload(TmapValues{}), 128, 96); }
std::string apple_source() { return apple_aux_fixture("travel-apple", 2.5); }
// The library's own Ultra HDR JPEG of the tmap fixture.
std::string ultrahdr_source() {
  const std::string jpeg = scratch_path("travel-ultrahdr.jpg");
  if (!file_exists(jpeg)) {
    const std::string heif = tmap_source();
    if (lumetra_convert(heif.c_str(), jpeg.c_str(), 95, kHdr) != 1) ADD_FAILURE() << lumetra_last_error();
  }
  return jpeg;
}

const TravelCase kCases[] = {
    {"tmap_to_avif", tmap_source, tmap_source, ".avif", kHdr, true, false},
    {"tmap_to_heic", tmap_source, tmap_source, ".heic", kHdr, true, false},
    {"apple_aux_to_heic", apple_source, apple_source, ".heic", kHdr, true, true},
    {"apple_aux_to_avif", apple_source, apple_source, ".avif", kHdr, true, false},
    {"ultrahdr_jpeg_to_avif", ultrahdr_source, tmap_source, ".avif", kHdr | LUMETRA_UPRIGHT, true, false},
    {"ultrahdr_jpeg_to_heic", ultrahdr_source, tmap_source, ".heic", kHdr | LUMETRA_UPRIGHT, true, false},
    {"sdr_writes_none", tmap_source, tmap_source, ".avif", LUMETRA_KEEP_METADATA, false, false},
    {"sdr_apple_heic_writes_none", apple_source, apple_source, ".heic", LUMETRA_KEEP_METADATA, false, false},
};

class GainMapTravel : public ::testing::TestWithParam<TravelCase> {};

TEST_P(GainMapTravel, RendersAsTheSourceAndReadsAsLibavifWrites) {
  const TravelCase& c = GetParam();
  const bool av1 = std::string(c.ext) == ".avif";
  if (!libheif_encodes(av1, 8)) GTEST_SKIP() << "no encoder for " << c.ext;
  const std::string in = c.source();
  const std::string out = scratch_path(std::string("travel-") + c.name + c.ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, c.flags), 1) << lumetra_last_error();

  const Bytes file = read_file(out);
  WalkedFile w;
  std::string why;
  ASSERT_TRUE(walk_heif(file, &w, &why)) << why;
  uint32_t tmap = 0;
  for (const auto& item : w.items) {
    if (item.second.type == "tmap") tmap = item.first;
  }
  const bool brand = std::find(w.brands.begin(), w.brands.end(), "tmap") != w.brands.end();
  const bool apple = [&] {
    const std::vector<std::string> t = aux_types(out);
    return std::find(t.begin(), t.end(), kAppleType) != t.end();
  }();
  EXPECT_EQ(apple, c.apple_aux);
  if (!c.kept) {
    EXPECT_EQ(tmap, 0u);
    EXPECT_FALSE(brand);
    EXPECT_TRUE(w.groups.empty());
    return;
  }
  ASSERT_NE(tmap, 0u);
  EXPECT_TRUE(brand);
  // dimg tmap -> [primary, map]; the map hidden; altr {tmap, primary}.
  uint32_t map = 0;
  for (const auto& r : w.references) {
    if (r.type == "dimg" && r.from == tmap && r.to.size() == 2 && r.to[0] == w.primary) map = r.to[1];
  }
  ASSERT_NE(map, 0u);
  EXPECT_EQ(w.items[map].flags & 1u, 1u) << "the gain map item is hidden";
  ASSERT_EQ(w.groups.size(), 1u);
  EXPECT_EQ(w.groups[0].type, "altr");
  EXPECT_EQ(w.groups[0].entities, (std::vector<uint32_t>{tmap, w.primary}));

  // The rendition at full headroom agrees with the source's.
  Raster want_sdr, want_gain, got_sdr, got_gain;
  GainModel want_model, got_model;
  ASSERT_TRUE(heif_gain_map(c.hdr_of(), &want_sdr, &want_gain, &want_model));
  ASSERT_TRUE(heif_gain_map(out, &got_sdr, &got_gain, &got_model));
  ASSERT_EQ(got_sdr.width, want_sdr.width);
  ASSERT_EQ(got_sdr.height, want_sdr.height);
  const Agreement a = compare_renditions(want_sdr, want_gain, want_model, got_sdr, got_gain, got_model, 1);
  EXPECT_LE(a.mean_stops, 0.05);
  EXPECT_LE(a.p99_stops, 0.25);
  EXPECT_GE(psnr(want_sdr, got_sdr), 38.0) << "the SDR picture";
}

INSTANTIATE_TEST_SUITE_P(Hdr, GainMapTravel, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TravelCase>& i) { return std::string(i.param.name); });

// The corpus's gain-map photos into AVIF and HEIC: the output's rendition
// against the photo's (skipped without the corpus; the 200 MP photo only
// with LUMETRA_SLOW_CORPUS).
struct CorpusTravel {
  const char* file;
  const char* ext;
  bool slow;
};
void PrintTo(const CorpusTravel& c, std::ostream* os) { *os << c.file << c.ext; }

class CorpusGainMapTravel : public ::testing::TestWithParam<CorpusTravel> {};

TEST_P(CorpusGainMapTravel, RendersAsThePhoto) {
  const CorpusTravel& c = GetParam();
  const std::string in = std::string(LUMETRA_CORPUS) + "/heif/" + c.file;
  if (!file_exists(in)) GTEST_SKIP() << "no corpus file " << in;
  if (c.slow && std::getenv("LUMETRA_SLOW_CORPUS") == nullptr) GTEST_SKIP() << "slow: set LUMETRA_SLOW_CORPUS";
  const std::string out = scratch_path(std::string("corpus-travel") + c.ext);
  Raster want_sdr, want_gain, got_sdr, got_gain;
  GainModel want_model, got_model;
  if (!heif_gain_map(in, &want_sdr, &want_gain, &want_model)) {
    if (!have_exiftool()) GTEST_SKIP() << "the photo's headroom is in Apple's maker note, read here by exiftool";
    FAIL() << "no gain map read from " << in;
  }
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, kHdr | LUMETRA_EFFORT_FAST), 1) << lumetra_last_error();
  ASSERT_TRUE(heif_gain_map(out, &got_sdr, &got_gain, &got_model));
  // The gain map's own path (decode, alignment, re-expression, coding) on
  // the photo's SDR picture, then the whole renditions, which also hold
  // the SDR picture's re-encoding.
  const Agreement map = compare_renditions(want_sdr, want_gain, want_model, want_sdr, got_gain, got_model, 4);
  const Agreement whole = compare_renditions(want_sdr, want_gain, want_model, got_sdr, got_gain, got_model, 4);
  std::printf("%s -> %s: gain map mean %.4f, p99 %.4f stops; renditions mean %.4f, p99 %.4f stops; SDR %.1f dB\n",
              c.file, c.ext, map.mean_stops, map.p99_stops, whole.mean_stops, whole.p99_stops, psnr(want_sdr, got_sdr));
  EXPECT_LE(map.mean_stops, 0.05);
  EXPECT_LE(map.p99_stops, 0.25);
  EXPECT_GE(psnr(want_sdr, got_sdr), 38.0);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, CorpusGainMapTravel,
    ::testing::Values(CorpusTravel{"tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic", ".avif", false},
                      CorpusTravel{"tmap-samsungS25ultra-gainmap-thumb-exifII.heic", ".heic", false},
                      CorpusTravel{"grid12mp-iphone12promax-thumb-gainmap-irot270-exifMM.heic", ".heic", false},
                      CorpusTravel{"grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic", ".avif", false},
                      CorpusTravel{"grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic", ".avif", false},
                      CorpusTravel{"grid7mp-iphone14pro-irot90-imir-thumb-exifMM.heic", ".heic", false},
                      CorpusTravel{"grid200mp-samsungS24ultra-thumb-irot270-gainmap-exifII.heic", ".avif", true}),
    [](const ::testing::TestParamInfo<CorpusTravel>& info) {
      std::string name = std::string(info.param.file) + info.param.ext;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

}  // namespace
