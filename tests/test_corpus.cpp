// Sweeps over the shared corpus of real files when it is present, one test
// per file: every call either succeeds or fails with one of its own
// messages, and the reports and outputs agree with libheif's heif-info,
// exiftool and stb.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "formats/stb_guards.h"
#include "heif/open_file.h"
#include "heif_info.h"
#include "internal.h"
#include "json_reader.h"
#include "libheif/heif.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

const std::string kCorpus = LUMETRA_CORPUS;

// Files whose decode takes more than a gigabyte: decoded only when asked.
bool heavy(const std::string& name) {
  return std::getenv("LUMETRA_HEAVY_CORPUS") == nullptr &&
         (name.find("grid200mp") != std::string::npos || name.find("17000x17000") != std::string::npos);
}

// The files under `dirs`, relative to the corpus; one empty name when there
// is no corpus, so that the sweep says so instead of vanishing.
std::vector<std::string> files_in(std::initializer_list<const char*> dirs) {
  std::vector<std::string> files;
  for (const char* d : dirs) {
    const fs::path p = fs::path(kCorpus) / d;
    if (!fs::is_directory(p)) continue;
    for (const auto& e : fs::recursive_directory_iterator(p))
      if (e.is_regular_file()) files.push_back(fs::relative(e.path(), kCorpus).generic_string());
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) files.push_back("");
  return files;
}

// A test name from a corpus path: "heif/a-b.heic" -> "heif_a_b_heic".
std::string name_of(const ::testing::TestParamInfo<std::string>& info) {
  if (info.param.empty()) return "no_corpus";
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string json_field(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\":";
  size_t at = json.find(k);
  if (at == std::string::npos) return "";
  at += k.size();
  if (json[at] == '"') {
    const size_t end = json.find('"', at + 1);
    return json.substr(at + 1, end - at - 1);
  }
  const size_t end = json.find_first_of(",}", at);
  return json.substr(at, end - at);
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

bool printable_ascii(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
  return true;
}

// lumetra_to_jpg and lumetra_thumbnail: a file or one of their own
// messages. Returns whether the JPEG was written.
bool converts_or_fails_cleanly(const std::string& f) {
  const std::string out = scratch_path("corpus.jpg"), thumb = scratch_path("corpus-thumb.jpg");
  fs::remove(out);
  bool converted = false;
  if (lumetra_to_jpg(f.c_str(), out.c_str(), 90)) {
    converted = true;
    EXPECT_STREQ(lumetra_last_error(), "");
    EXPECT_TRUE(file_exists(out));
  } else {
    const std::string msg = lumetra_last_error();
    EXPECT_TRUE(starts_with(msg, "Failed to read HEIC file '") || starts_with(msg, "Failed to decode HEIC image: ") ||
                starts_with(msg, "Failed to get primary image handle: "))
        << msg;
    EXPECT_FALSE(file_exists(out));
  }
  if (lumetra_thumbnail(f.c_str(), thumb.c_str())) {
    EXPECT_GT(stb_load(thumb).width, 0);
  } else {
    const std::string msg = lumetra_last_error();
    EXPECT_TRUE(msg == "Failed reading HEIC file for thumbnail" || msg == "Failed getting primary image handle" ||
                msg == "Failed decoding thumbnail image")
        << msg;
  }
  return converted;
}

// lumetra_info against heif-info's primary image.
void info_agrees_with_heif_info(const std::string& f, const PrimaryFacts& facts) {
  const char* r = lumetra_info(f.c_str());
  if (r == nullptr) {
    EXPECT_FALSE(facts.ok) << "heif-info reads it, we failed with " << lumetra_last_error();
    return;
  }
  if (!facts.ok) return;
  const std::string j = r;
  EXPECT_EQ(json_field(j, "width"), std::to_string(facts.width));
  EXPECT_EQ(json_field(j, "height"), std::to_string(facts.height));
  EXPECT_EQ(json_field(j, "has_alpha"), facts.alpha ? "true" : "false");
  EXPECT_EQ(json_field(j, "has_thumbnail"), facts.thumbnail ? "true" : "false");
  EXPECT_EQ(json_field(j, "exif"), facts.exif ? "true" : "false");
  if (facts.complete) EXPECT_EQ(json_field(j, "image_count"), std::to_string(facts.images));
}

// lumetra_exif against exiftool, for a file with one image (exiftool may
// report another image's EXIF when there are several).
void exif_agrees_with_exiftool(const std::string& f) {
  const char* info = lumetra_info(f.c_str());
  if (info == nullptr || json_field(info, "image_count") != "1") return;
  const char* r = lumetra_exif(f.c_str());
  if (r == nullptr) return;
  const std::string j = r;
  if (json_field(j, "ExifPresent") != "true") return;
  // Tab-separated, numeric values, "-" where a tag is absent.
  std::istringstream tsv(
      capture("exiftool -T -n -IFD0:Make -IFD0:Model -IFD0:ModifyDate -ExifIFD:ExposureTime "
              "-ExifIFD:FNumber -ExifIFD:ISO -ExifIFD:FocalLength '" +
              f + "' 2>/dev/null"));
  std::vector<std::string> v;
  std::string cell;
  while (std::getline(tsv, cell, '\t')) v.push_back(cell);
  ASSERT_EQ(v.size(), 7u) << "exiftool reads no EXIF where we read one";
  if (!v[6].empty() && v[6].back() == '\n') v[6].pop_back();
  const char* text_keys[] = {"Make", "Model", "DateTime"};
  for (int i = 0; i < 3; ++i) {
    if (v[i] == "-" || !printable_ascii(v[i])) continue;
    EXPECT_EQ(trim(json_field(j, text_keys[i])), v[i]) << text_keys[i];
  }
  if (v[3] != "-") {
    unsigned num = 0, den = 1;
    ASSERT_EQ(std::sscanf(json_field(j, "ExposureTime").c_str(), "%u/%u", &num, &den), 2);
    EXPECT_NEAR(double(num) / den, std::atof(v[3].c_str()), 1e-6);
  }
  if (v[4] != "-") EXPECT_NEAR(std::atof(json_field(j, "FNumber").c_str()), std::atof(v[4].c_str()), 0.006);
  if (v[5] != "-") EXPECT_EQ(json_field(j, "ISOSpeedRatings"), v[5]);
  if (v[6] != "-") EXPECT_NEAR(std::atof(json_field(j, "FocalLength").c_str()), std::atof(v[6].c_str()), 0.051);
}

// lumetra_convert: the JPEG written straight from YCbCr agrees with the one
// made through RGB (the fast path shifts no colour), and the primary image's
// profile and EXIF are kept, with Orientation 1.
void convert_keeps_profile_and_exif_upright(const std::string& f) {
  const std::string fast = scratch_path("fast.jpg"), slow = scratch_path("slow.jpg"), png = scratch_path("ref.png");
  ASSERT_EQ(lumetra_to_png(f.c_str(), png.c_str()), 1) << "converts to JPEG, not to PNG: " << lumetra_last_error();
  ASSERT_EQ(convert_file(f.c_str(), fast.c_str(), 90, LUMETRA_KEEP_METADATA, true), 1) << lumetra_last_error();
  ASSERT_EQ(convert_file(f.c_str(), slow.c_str(), 90, LUMETRA_KEEP_METADATA, false), 1);
  const Raster a = stb_load(fast), b = stb_load(slow);
  Raster ref = stb_load(png);
  if (ref.channels == 4) {  // the JPEG has no alpha
    Raster rgb = ref;
    rgb.channels = 3;
    rgb.pixels.clear();
    for (size_t i = 0; i < ref.pixels.size(); i += 4)
      rgb.pixels.insert(rgb.pixels.end(), &ref.pixels[i], &ref.pixels[i + 3]);
    ref = rgb;
  }
  ASSERT_EQ(a.width, ref.width);
  ASSERT_EQ(a.height, ref.height);
  const double paths = psnr(a, b), against_png = psnr(a, ref);
  EXPECT_GT(paths, 38.0);  // a wrong matrix or range costs far more
  std::printf("corpus: YCbCr against RGB %.1f dB, against lumetra_to_png %.1f dB\n", paths, against_png);

  // The primary image's profile and EXIF, as libheif reads them.
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* h = nullptr;
  size_t exif_size = 0;
  bool icc = false;
  if (heif_context_read_from_file(ctx, f.c_str(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok) {
    const heif_color_profile_type t = heif_image_handle_get_color_profile_type(h);
    icc = t == heif_color_profile_type_prof || t == heif_color_profile_type_rICC;
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(h, "Exif", &id, 1) == 1)
      exif_size = heif_image_handle_get_metadata_size(h, id);
    heif_image_handle_release(h);
  }
  heif_context_free(ctx);
  if (icc) EXPECT_NE(capture("exiftool -b -ICC_Profile '" + fast + "' | wc -c"), "0\n") << "profile lost";
  const char* exif = lumetra_exif(f.c_str());
  // One APP1 segment holds at most 65533 bytes; bigger blocks stay out.
  if (exif != nullptr && std::string(exif).find("\"ExifPresent\":true") != std::string::npos && exif_size < 65000) {
    const std::string o = capture("exiftool -n -s3 -IFD0:Orientation '" + fast + "'");
    EXPECT_TRUE(o.empty() || o == "1\n") << "Orientation " << o;
    EXPECT_NE(capture("exiftool -s3 -ExifByteOrder '" + fast + "'"), "") << "EXIF lost";
  }
}

std::string size_text(const Json& j) {
  return std::to_string(j["width"].integer()) + "x" + std::to_string(j["height"].integer());
}

// Our transformations in heif-info's words.
std::vector<std::string> transforms_of(const Json& image) {
  std::vector<std::string> out;
  for (const Json& t : image["transformations"].items) {
    const std::string type = t["type"].text;
    if (type == "irot") out.push_back("angle (ccw): " + std::to_string(t["angle_ccw"].integer()));
    if (type == "imir") out.push_back("mirror: " + t["axis"].text);
    if (type == "clap") {
      out.push_back("crop: left=" + std::to_string(t["left"].integer()) + " top=" + std::to_string(t["top"].integer()) +
                    " right=" + std::to_string(t["right"].integer()) +
                    " bottom=" + std::to_string(t["bottom"].integer()));
    }
  }
  return out;
}

// lumetra_info_detail against heif-info, image by image. heif-info cannot
// read a file whose read needed salvage at all.
void detail_agrees_with_heif_info(const std::string& f, const FileFacts& facts) {
  const char* text = lumetra_info_detail(f.c_str());
  if (text == nullptr) {
    EXPECT_TRUE(facts.images.empty()) << "heif-info reads it, we failed with " << lumetra_last_error();
    return;
  }
  bool parsed = false;
  const Json doc = parse_json(text, &parsed);
  ASSERT_TRUE(parsed) << "not one JSON document: " << text;
  if (doc["salvage"]["needed"].boolean) return;
  ASSERT_FALSE(facts.images.empty()) << "we read it, heif-info does not";
  EXPECT_EQ(doc["schema"].integer(), 1);
  EXPECT_EQ(doc["brands"]["major"].text, facts.major);
  for (const ImageFacts& want : facts.images) {
    const Json* got = nullptr;
    for (const Json& im : doc["images"].items) {
      if (im["item_id"].integer() == want.id) got = &im;
    }
    ASSERT_NE(got, nullptr) << "image " << want.id;
    const Json& im = *got;
    EXPECT_EQ(size_text(im), std::to_string(want.width) + "x" + std::to_string(want.height));
    EXPECT_EQ(im["primary"].boolean, want.primary);
    EXPECT_EQ(im["bit_depth"].integer(), want.bits);
    EXPECT_EQ(im["alpha"].boolean, want.alpha);
    const Json& icc = im["color_profile"]["icc"];
    const std::string profile = !icc.is_null()                           ? icc["type"].text
                                : !im["color_profile"]["nclx"].is_null() ? "nclx"
                                                                         : "no";
    EXPECT_EQ(profile, want.profile);
    std::vector<std::string> thumbs;
    for (const Json& t : im["thumbnails"].items) thumbs.push_back(size_text(t));
    EXPECT_EQ(thumbs, want.thumbnails);
    EXPECT_EQ(transforms_of(im), want.transforms);
    std::vector<long> sizes;
    for (const Json& m : im["metadata"].items) sizes.push_back(static_cast<long>(m["size"].number));
    EXPECT_EQ(sizes, want.metadata_sizes);
    std::string depth;
    for (const Json& a : im["auxiliary"].items) {
      if (a["kind"].text == "depth" && depth.empty()) depth = size_text(a);
    }
    EXPECT_EQ(depth, want.depth_size);
  }
}

}  // namespace

// Every HEIF and AVIF file, broken ones and other codecs included. The
// photos (heif/, avif/) are compared with every reader; heavy files only
// with those that decode nothing unless asked.
class HeifFile : public ::testing::TestWithParam<std::string> {};

TEST_P(HeifFile, EveryCallAgreesWithTheIndependentReaders) {
  if (GetParam().empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::string f = kCorpus + "/" + GetParam();
  const bool photo = starts_with(GetParam(), "heif/") || starts_with(GetParam(), "avif/");
  const bool heif_info = have("heif-info"), exiftool = have("exiftool");
  const std::string facts = heif_info ? heif_info_text(f) : "";
  if (!heavy(GetParam())) {
    bool converted = false;
    {
      SCOPED_TRACE("lumetra_to_jpg and lumetra_thumbnail");
      converted = converts_or_fails_cleanly(f);
    }
    const PrimaryFacts primary = primary_facts(facts);
    if (photo && primary.ok) EXPECT_TRUE(converted) << "heif-info reads it, we failed with " << lumetra_last_error();
    if (heif_info) {
      SCOPED_TRACE("lumetra_info");
      info_agrees_with_heif_info(f, primary);
    }
    if (photo && exiftool) {
      SCOPED_TRACE("lumetra_exif");
      exif_agrees_with_exiftool(f);
    }
    if (photo && exiftool && converted) {
      SCOPED_TRACE("lumetra_convert");
      convert_keeps_profile_and_exif_upright(f);
    }
  }
  if (photo && heif_info && GetParam().find("grid200mp") == std::string::npos) {
    SCOPED_TRACE("lumetra_info_detail");
    detail_agrees_with_heif_info(f, file_facts(facts));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HeifFile,
                         ::testing::ValuesIn(files_in({"heif", "avif", "heif-broken", "heif-other-codecs"})), name_of);

// Every raster file: encoded to a HEIF, or refused by the loader with its
// message; a file stb reads is encoded.
class RasterFile : public ::testing::TestWithParam<std::string> {};

TEST_P(RasterFile, EncodesOrFailsToLoad) {
  if (GetParam().empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::string f = kCorpus + "/" + GetParam();
  const std::string out = scratch_path("corpus.heic");
  if (lumetra_from_image(f.c_str(), out.c_str(), 50)) {
    EXPECT_EQ(lumetra_is_heic(out.c_str()), 1);
    EXPECT_STREQ(lumetra_last_error(), "");
  } else {
    EXPECT_TRUE(starts_with(lumetra_last_error(), ("Failed loading source image '" + f + "': ").c_str()))
        << lumetra_last_error();
    // stb itself is unsafe on what the library's pre-screen refuses (a
    // PNM size past INT_MAX overflows its parser): no reader to ask there.
    if (source_guards::hostile_source_reason(f.c_str()) == nullptr)
      EXPECT_EQ(stb_load(f).width, 0) << "stb reads it, we refused it";
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, RasterFile, ::testing::ValuesIn(files_in({"raster"})), name_of);

// An iOS 18 HDR photo (tone-map item, gain map, mattes): older libheif
// refused it in every call.
TEST(Corpus, IPhone16ProPhotoThroughEveryCall) {
  const std::string f = kCorpus + "/heif/tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic";
  if (!file_exists(f)) GTEST_SKIP() << "no corpus file " << f;
  EXPECT_EQ(lumetra_is_heic(f.c_str()), 1);

  const std::string jpg = scratch_path("iphone16.jpg"), thumb = scratch_path("iphone16-thumb.png");
  ASSERT_EQ(lumetra_to_jpg(f.c_str(), jpg.c_str(), 90), 1) << lumetra_last_error();
  // Upright, as libheif decodes it (irot 270 applied).
  const Raster ref = libheif_decode(f, false);
  const Raster out = stb_load(jpg);
  ASSERT_EQ(out.width, 4284);
  ASSERT_EQ(out.height, 5712);
  EXPECT_GT(psnr(out, ref), 35.0);

  const char* info = lumetra_info(f.c_str());
  ASSERT_NE(info, nullptr) << lumetra_last_error();
  const PrimaryFacts facts = primary_facts(heif_info_text(f));
  if (facts.ok) {
    EXPECT_EQ(json_field(info, "width"), std::to_string(facts.width));
    EXPECT_EQ(json_field(info, "height"), std::to_string(facts.height));
  }
  EXPECT_EQ(json_field(info, "has_thumbnail"), "true");
  EXPECT_EQ(json_field(info, "exif"), "true");

  const char* exif = lumetra_exif(f.c_str());
  ASSERT_NE(exif, nullptr) << lumetra_last_error();
  EXPECT_EQ(json_field(exif, "Make"), "Apple");
  EXPECT_EQ(json_field(exif, "Model"), "iPhone 16 Pro");

  // The embedded 312 x 416 thumbnail, written at its own size.
  ASSERT_EQ(lumetra_thumbnail(f.c_str(), thumb.c_str()), 1) << lumetra_last_error();
  const Raster t = stb_load(thumb);
  EXPECT_EQ(t.width, 312);
  EXPECT_EQ(t.height, 416);
}
