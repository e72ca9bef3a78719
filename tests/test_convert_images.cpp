// Every picture of a file (lumetra_convert_image, LUMETRA_ALL_IMAGES,
// LUMETRA_WITH_AUX): all top-level images and the auxiliary images against
// libheif's own decode of the same items; depth facts in PNG text chunks; an
// auxiliary image turned with its master.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <libheif/heif.h>
#include <stb/stb_image.h>

#include "fixtures.h"
#include "internal.h"
#include "json_reader.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

const std::string kCorpus = LUMETRA_CORPUS;

// Which item of a file a reference decode is of.
struct Pick {
  int image = -1;  // top-level index in file order; -1: the primary
  int aux = -1;    // auxiliary image of it (alpha not counted)
  bool thumbnail = false;
};

// A 16-bit-capable raster: samples as decoded, widened to 16 bits by bit
// repetition when deep (what a 16-bit PNG holds).
struct Samples {
  int width = 0, height = 0, channels = 0, bits = 8;
  std::vector<uint16_t> v;
};

// libheif's decode of the picked item, with libheif's own transformations.
Samples libheif_item(const std::string& path, const Pick& pick) {
  Samples s;
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* h = nullptr;
  if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok) {
    if (pick.image < 0) {
      heif_context_get_primary_image_handle(ctx, &h);
    } else {
      std::vector<heif_item_id> ids(static_cast<size_t>(heif_context_get_number_of_top_level_images(ctx)));
      heif_context_get_list_of_top_level_image_IDs(ctx, ids.data(), static_cast<int>(ids.size()));
      heif_context_get_image_handle(ctx, ids.at(static_cast<size_t>(pick.image)), &h);
    }
  }
  if (h != nullptr && (pick.aux >= 0 || pick.thumbnail)) {
    heif_item_id ids[64];
    const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA;
    heif_image_handle* sub = nullptr;
    if (pick.thumbnail && heif_image_handle_get_list_of_thumbnail_IDs(h, ids, 64) > 0) {
      heif_image_handle_get_thumbnail(h, ids[0], &sub);
    } else if (heif_image_handle_get_list_of_auxiliary_image_IDs(h, filter, ids, 64) > pick.aux) {
      heif_image_handle_get_auxiliary_image_handle(h, ids[pick.aux], &sub);
    }
    heif_image_handle_release(h);
    h = sub;
  }
  heif_image* img = nullptr;
  if (h != nullptr) {
    const bool grey = pick.aux >= 0;
    const bool alpha = !grey && heif_image_handle_has_alpha_channel(h);
    // An auxiliary image as coded (monochrome or YCbCr): its luma.
    heif_decode_image(h, &img, grey ? heif_colorspace_undefined : heif_colorspace_RGB,
                      grey    ? heif_chroma_undefined
                      : alpha ? heif_chroma_interleaved_RGBA
                              : heif_chroma_interleaved_RGB,
                      nullptr);
    if (img != nullptr) {
      const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
      int stride = 0;
      const uint8_t* p = heif_image_get_plane_readonly(img, channel, &stride);
      s.width = heif_image_get_width(img, channel);
      s.height = heif_image_get_height(img, channel);
      s.channels = grey ? 1 : alpha ? 4 : 3;
      s.bits = heif_image_get_bits_per_pixel_range(img, channel);
      for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width * s.channels; ++x) {
          unsigned v = p[static_cast<size_t>(y) * stride + x];
          if (s.bits > 8) {
            uint16_t w;
            std::memcpy(&w, p + static_cast<size_t>(y) * stride + 2 * x, 2);
            v = (unsigned(w) << (16 - s.bits) | unsigned(w) >> (2 * s.bits - 16)) & 0xFFFF;
          }
          s.v.push_back(static_cast<uint16_t>(v));
        }
      }
      heif_image_release(img);
    }
    heif_image_handle_release(h);
  }
  heif_context_free(ctx);
  return s;
}

// A PNG as stb reads it (16-bit samples kept).
Samples png_samples(const std::string& path) {
  Samples s;
  const bool deep = stbi_is_16_bit(path.c_str()) != 0;
  void* p = deep ? static_cast<void*>(stbi_load_16(path.c_str(), &s.width, &s.height, &s.channels, 0))
                 : static_cast<void*>(stbi_load(path.c_str(), &s.width, &s.height, &s.channels, 0));
  if (p == nullptr) return Samples{};
  const size_t n = static_cast<size_t>(s.width) * s.height * s.channels;
  s.bits = deep ? 16 : 8;
  for (size_t i = 0; i < n; ++i) s.v.push_back(deep ? static_cast<uint16_t*>(p)[i] : static_cast<uint8_t*>(p)[i]);
  stbi_image_free(p);
  return s;
}

void expect_same(const Samples& ours, const Samples& theirs, const std::string& what) {
  EXPECT_EQ(ours.width, theirs.width) << what;
  EXPECT_EQ(ours.height, theirs.height) << what;
  EXPECT_EQ(ours.channels, theirs.channels) << what;
  EXPECT_FALSE(theirs.v.empty()) << what;
  EXPECT_TRUE(ours.v == theirs.v) << what << ": pixels differ";
}

std::string stem_of(const std::string& out) { return out.substr(0, out.rfind('.')); }

int top_level_count(const std::string& path) {
  heif_context* ctx = heif_context_alloc();
  heif_context_read_from_file(ctx, path.c_str(), nullptr);
  const int n = heif_context_get_number_of_top_level_images(ctx);
  heif_context_free(ctx);
  return n;
}

HeifRecipe recipe_with(int extra, bool alpha, int orientation, bool xmp) {
  HeifRecipe s;
  // Square: a turned 64 x 48 picture gets a clap, which libheif 1.19.7 crops
  // with a stray chroma row (see heif/decode_upright.h), so it is no reference.
  if (orientation != 1) s.height = s.width;
  s.extra_images = extra;
  s.alpha = alpha;
  s.orientation = orientation;
  s.xmp = xmp;
  return s;
}

}  // namespace

// A fixture with extra top-level images, alpha, a turn and XMP.
struct TopLevelCase {
  const char* name;
  HeifRecipe recipe;
};

// How gtest names the case in its messages.
void PrintTo(const TopLevelCase& c, std::ostream* os) { *os << c.name; }

class TopLevelImages : public ::testing::TestWithParam<TopLevelCase> {};

TEST_P(TopLevelImages, MatchLibheif) {
  const TopLevelCase& c = GetParam();
  const std::string file = std::string("every_") + c.name + ".heic";
  const std::string in = heif_fixture(file, c.recipe);
  const int n = top_level_count(in);
  ASSERT_EQ(n, 1 + c.recipe.extra_images);
  const std::string out = scratch_path(file + ".png");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA | LUMETRA_ALL_IMAGES), 1)
      << lumetra_last_error();
  for (int i = 0; i < n; ++i) {
    const std::string name = stem_of(out) + "-" + std::to_string(i + 1) + ".png";
    expect_same(png_samples(name), libheif_item(in, Pick{i}), name);
    const std::string one = scratch_path(file + "-one.png");
    ASSERT_EQ(lumetra_convert_image(in.c_str(), LUMETRA_IMAGE(i), one.c_str(), 0, LUMETRA_KEEP_METADATA), 1)
        << lumetra_last_error();
    EXPECT_EQ(read_file(one), read_file(name)) << "image " << i;
  }
  EXPECT_FALSE(file_exists(stem_of(out) + "-" + std::to_string(n + 1) + ".png"));
  EXPECT_FALSE(file_exists(out));
  // The primary (written first) is written as lumetra_convert writes it:
  // the same JPEG, metadata and all.
  const std::string all_jpeg = scratch_path(file + "-all.jpg");
  const std::string single = scratch_path(file + "-single.jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), all_jpeg.c_str(), 85, LUMETRA_KEEP_METADATA | LUMETRA_ALL_IMAGES), 1);
  ASSERT_EQ(lumetra_convert(in.c_str(), single.c_str(), 85, LUMETRA_KEEP_METADATA), 1);
  EXPECT_EQ(read_file(stem_of(all_jpeg) + "-1.jpg"), read_file(single));
}

INSTANTIATE_TEST_SUITE_P(ConvertImages, TopLevelImages,
                         ::testing::Values(TopLevelCase{"two", recipe_with(1, false, 1, false)},
                                           TopLevelCase{"alpha3", recipe_with(2, true, 1, false)},
                                           TopLevelCase{"turned", recipe_with(1, false, 6, true)}),
                         [](const ::testing::TestParamInfo<TopLevelCase>& info) { return info.param.name; });

TEST(ConvertImages, RefusesImagesTheFileLacks) {
  const std::string in = heif_fixture("every_two.heic", recipe_with(1, false, 1, false));
  const std::string out = scratch_path("refused.png");
  EXPECT_EQ(lumetra_convert_image(in.c_str(), LUMETRA_IMAGE(2), out.c_str(), 0, 0), 0);
  EXPECT_STREQ(lumetra_last_error(), "No top-level image 2 (the file has 2)");
  EXPECT_EQ(lumetra_convert_image(in.c_str(), LUMETRA_AUX(0, 0), out.c_str(), 0, 0), 0);
  EXPECT_STREQ(lumetra_last_error(), "Image 0 has no auxiliary image 0 (it has 0)");
  EXPECT_EQ(lumetra_convert(in.c_str(), scratch_path("refused.gif").c_str(), 0, LUMETRA_ALL_IMAGES), 0);
  EXPECT_EQ(lumetra_convert_image(in.c_str(), LUMETRA_IMAGE(0), out.c_str(), 0, LUMETRA_ALL_IMAGES), 0);
  EXPECT_FALSE(file_exists(out));
}

// A corpus photo: the format its pictures are written in, its top-level
// images and the auxiliary images of the first, with their sizes and depths.
struct AuxFacts {
  const char* kind;
  int width, height, bits;
};

struct PhotoCase {
  const char* file;
  const char* ext;  // .png: the top-level images are compared too
  int images;
  std::vector<AuxFacts> aux;  // of the first image, in file order
};

// How gtest names the case in its messages.
void PrintTo(const PhotoCase& c, std::ostream* os) { *os << c.file; }

class EveryImage : public ::testing::TestWithParam<PhotoCase> {};

TEST_P(EveryImage, AndItsAuxiliaryImagesMatchLibheif) {
  const PhotoCase& c = GetParam();
  const std::string in = kCorpus + "/" + c.file;
  if (!file_exists(in)) GTEST_SKIP() << "no corpus file " << in;
  const std::string out = scratch_path(fs::path(c.file).stem().string() + c.ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA | LUMETRA_ALL_IMAGES | LUMETRA_WITH_AUX),
            1)
      << lumetra_last_error();
  for (int i = 0; i < c.images; ++i) {
    const std::string name = stem_of(out) + "-" + std::to_string(i + 1) + c.ext;
    EXPECT_TRUE(file_exists(name)) << name;
    if (std::string(c.ext) == ".png") expect_same(png_samples(name), libheif_item(in, Pick{i}), name);
  }
  EXPECT_FALSE(file_exists(stem_of(out) + "-" + std::to_string(c.images + 1) + c.ext));
  for (size_t k = 0; k < c.aux.size(); ++k) {
    const std::string name = stem_of(out) + "-1-" + c.aux[k].kind + ".png";
    const Samples ours = png_samples(name);
    EXPECT_EQ(ours.width, c.aux[k].width) << name;
    EXPECT_EQ(ours.height, c.aux[k].height) << name;
    EXPECT_EQ(ours.bits, c.aux[k].bits) << name;
    expect_same(ours, libheif_item(in, Pick{0, static_cast<int>(k)}), name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, EveryImage,
    ::testing::Values(PhotoCase{"heif/multi2-applevisionpro-spatial-grids-exifMM.heic", ".png", 2, {}},
                      PhotoCase{"heif/multi3-thumbs-badftyp.heic", ".png", 3, {}},
                      PhotoCase{"heif/nokia-grid2x2-960x640-noexif.heic", ".png", 5, {}},
                      PhotoCase{"heif/grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic",
                                ".jpg",
                                1,
                                {{"hdrgainmap", 1512, 2016, 8}, {"depth", 576, 768, 8}}},
                      PhotoCase{"heif/tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic",
                                ".jpg",
                                1,
                                {{"hdrgainmap", 2142, 2856, 8},
                                 {"linearthumbnail", 768, 1024, 16},
                                 {"skinmatte", 1512, 2016, 8},
                                 {"skymatte", 1512, 2016, 8},
                                 {"portraitmatte", 1512, 2016, 8},
                                 {"styledeltamap", 3072, 4096, 16}}}),
    [](const ::testing::TestParamInfo<PhotoCase>& info) {
      std::string name = fs::path(info.param.file).stem().string();
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(Corpus, DepthRepresentationInTextChunks) {
  const std::string in = kCorpus + "/heif/grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic";
  if (!file_exists(in)) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::string out = scratch_path("depth.png");
  ASSERT_EQ(lumetra_convert_image(in.c_str(), LUMETRA_AUX(0, 1), out.c_str(), 0, 0), 1) << lumetra_last_error();
  // libheif's own reading of the representation, formatted as the chunks say.
  heif_context* ctx = heif_context_alloc();
  heif_context_read_from_file(ctx, in.c_str(), nullptr);
  heif_image_handle* h = nullptr;
  heif_context_get_primary_image_handle(ctx, &h);
  heif_item_id depth = 0;
  ASSERT_EQ(heif_image_handle_get_list_of_depth_image_IDs(h, &depth, 1), 1);
  const heif_depth_representation_info* info = nullptr;
  ASSERT_TRUE(heif_image_handle_get_depth_image_representation_info(h, depth, &info));
  const Bytes png = read_file(out);
  const std::string text(png.begin(), png.end());
  auto chunk = [](const std::string& key, const std::string& value) {
    return std::string("tEXt") + key + std::string(1, '\0') + value;
  };
  char dmin[32], dmax[32];
  std::snprintf(dmin, sizeof dmin, "%.9g", info->d_min);
  std::snprintf(dmax, sizeof dmax, "%.9g", info->d_max);
  EXPECT_EQ(info->depth_representation_type, heif_depth_representation_type_uniform_disparity);
  EXPECT_NE(text.find(chunk("DepthRepresentationType", "uniform_disparity")), std::string::npos);
  EXPECT_NE(text.find(chunk("DMin", dmin)), std::string::npos) << dmin;
  EXPECT_NE(text.find(chunk("DMax", dmax)), std::string::npos) << dmax;
  EXPECT_NE(text.find(chunk("AuxiliaryType", "urn:mpeg:hevc:2015:auxid:2")), std::string::npos);
  EXPECT_EQ(text.find("tEXtZNear"), std::string::npos);  // the file has none
  heif_depth_representation_info_free(info);
  heif_image_handle_release(h);
  heif_context_free(ctx);
}

TEST(Corpus, AuxiliaryFollowsItsTurnedMaster) {
  // The Galaxy S24 Ultra's gain map is stored without transformations
  // while its 200 MP primary has irot 270: it must come out turned too.
  const std::string in = kCorpus + "/heif/grid200mp-samsungS24ultra-thumb-irot270-gainmap-exifII.heic";
  if (!file_exists(in)) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::string out = scratch_path("s24-gainmap.png");
  ASSERT_EQ(lumetra_convert_image(in.c_str(), LUMETRA_AUX(0, 0), out.c_str(), 0, 0), 1) << lumetra_last_error();
  const Samples stored = libheif_item(in, Pick{-1, 0});  // as stored: no transformations of its own
  ASSERT_GT(stored.width, stored.height);
  Samples turned = stored;  // 270 degrees anticlockwise, written out here
  turned.width = stored.height;
  turned.height = stored.width;
  for (int y = 0; y < turned.height; ++y) {
    for (int x = 0; x < turned.width; ++x) {
      turned.v[static_cast<size_t>(y) * turned.width + x] =
          stored.v[static_cast<size_t>(stored.height - 1 - x) * stored.width + y];
    }
  }
  expect_same(png_samples(out), turned, "gain map");
}
