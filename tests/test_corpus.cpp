// Sweeps over the shared corpus of real files, when it is present: every
// call either succeeds or fails with one of its own messages, and the
// reports agree with libheif's heif-info and with exiftool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "internal.h"
#include "libheif/heif.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

const std::string kCorpus = LUMETRA_CORPUS;

bool heavy(const std::string& name) {
  return std::getenv("LUMETRA_HEAVY_CORPUS") == nullptr &&
         (name.find("grid200mp") != std::string::npos || name.find("17000x17000") != std::string::npos);
}

std::vector<std::string> files_in(std::initializer_list<const char*> dirs) {
  std::vector<std::string> files;
  for (const char* d : dirs) {
    const fs::path p = fs::path(kCorpus) / d;
    if (!fs::is_directory(p)) continue;
    for (const auto& e : fs::recursive_directory_iterator(p))
      if (e.is_regular_file() && !heavy(e.path().filename().string())) files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// What heif-info says about the primary image.
struct HeifInfoFacts {
  bool ok = false;
  int width = 0, height = 0, images = 0;
  bool alpha = false, thumbnail = false, exif = false;
  bool complete = true;  // heif-info stops listing images at its first decode failure
};

HeifInfoFacts heif_info(const std::string& path) {
  HeifInfoFacts f;
  std::istringstream in(capture("heif-info '" + path + "' 2>&1"));
  std::string line;
  bool in_primary = false;
  while (std::getline(in, line)) {
    if (starts_with(line, "Could not")) f.complete = false;
    if (starts_with(line, "image: ")) {
      ++f.images;
      in_primary = line.find(", primary") != std::string::npos;
      if (in_primary) {
        f.ok = std::sscanf(line.c_str(), "image: %dx%d", &f.width, &f.height) == 2;
      }
    } else if (in_primary) {
      if (starts_with(line, "  thumbnail:")) f.thumbnail = true;
      if (starts_with(line, "  alpha channel: yes")) f.alpha = true;
      if (starts_with(line, "  Exif:")) f.exif = true;
    }
  }
  return f;
}

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

}  // namespace

TEST(Corpus, HeifFilesConvertOrFailCleanly) {
  const std::vector<std::string> files = files_in({"heif", "avif", "heif-broken", "heif-other-codecs"});
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::string out = scratch_path("corpus.jpg"), thumb = scratch_path("corpus-thumb.jpg");
  int converted = 0, failed = 0;
  for (const std::string& f : files) {
    fs::remove(out);
    if (lumetra_to_jpg(f.c_str(), out.c_str(), 90)) {
      ++converted;
      EXPECT_STREQ(lumetra_last_error(), "") << f;
      EXPECT_TRUE(file_exists(out));
    } else {
      ++failed;
      const std::string msg = lumetra_last_error();
      EXPECT_TRUE(starts_with(msg, "Failed to read HEIC file '") || starts_with(msg, "Failed to decode HEIC image: ") ||
                  starts_with(msg, "Failed to get primary image handle: "))
          << f << ": " << msg;
      EXPECT_FALSE(file_exists(out)) << f;
    }
    if (lumetra_thumbnail(f.c_str(), thumb.c_str())) {
      const Raster t = stb_load(thumb);
      EXPECT_GT(t.width, 0) << f;
    } else {
      const std::string msg = lumetra_last_error();
      EXPECT_TRUE(msg == "Failed reading HEIC file for thumbnail" || msg == "Failed getting primary image handle" ||
                  msg == "Failed decoding thumbnail image")
          << f << ": " << msg;
    }
  }
  std::printf("corpus: %d converted, %d refused\n", converted, failed);
  EXPECT_GT(converted, 0);
}

TEST(Corpus, InfoAgreesWithHeifInfo) {
  const std::vector<std::string> files = files_in({"heif", "avif", "heif-broken", "heif-other-codecs"});
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  if (!have("heif-info")) GTEST_SKIP() << "heif-info not installed";
  int compared = 0;
  for (const std::string& f : files) {
    const char* r = lumetra_info(f.c_str());
    const HeifInfoFacts facts = heif_info(f);
    if (r == nullptr) {
      EXPECT_FALSE(facts.ok) << f << ": heif-info reads it, we failed with " << lumetra_last_error();
      continue;
    }
    if (!facts.ok) continue;
    const std::string j = r;
    ++compared;
    EXPECT_EQ(json_field(j, "width"), std::to_string(facts.width)) << f;
    EXPECT_EQ(json_field(j, "height"), std::to_string(facts.height)) << f;
    EXPECT_EQ(json_field(j, "has_alpha"), facts.alpha ? "true" : "false") << f;
    EXPECT_EQ(json_field(j, "has_thumbnail"), facts.thumbnail ? "true" : "false") << f;
    EXPECT_EQ(json_field(j, "exif"), facts.exif ? "true" : "false") << f;
    if (facts.complete) EXPECT_EQ(json_field(j, "image_count"), std::to_string(facts.images)) << f;
  }
  std::printf("corpus: %d files compared with heif-info\n", compared);
  EXPECT_GT(compared, 0);
}

TEST(Corpus, ExifAgreesWithExiftool) {
  const std::vector<std::string> files = files_in({"heif", "avif"});
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  if (!have("exiftool")) GTEST_SKIP() << "exiftool not installed";
  int compared = 0;
  for (const std::string& f : files) {
    // exiftool may report another image's EXIF when there are several.
    const char* info = lumetra_info(f.c_str());
    if (info == nullptr || json_field(info, "image_count") != "1") continue;
    const char* r = lumetra_exif(f.c_str());
    if (r == nullptr) continue;
    const std::string j = r;
    if (json_field(j, "ExifPresent") != "true") continue;
    // Tab-separated, numeric values, "-" where a tag is absent.
    std::istringstream tsv(
        capture("exiftool -T -n -IFD0:Make -IFD0:Model -IFD0:ModifyDate -ExifIFD:ExposureTime "
                "-ExifIFD:FNumber -ExifIFD:ISO -ExifIFD:FocalLength '" +
                f + "' 2>/dev/null"));
    std::vector<std::string> v;
    std::string cell;
    while (std::getline(tsv, cell, '\t')) v.push_back(cell);
    if (v.size() != 7) continue;
    if (!v[6].empty() && v[6].back() == '\n') v[6].pop_back();
    ++compared;
    const char* text_keys[] = {"Make", "Model", "DateTime"};
    for (int i = 0; i < 3; ++i) {
      if (v[i] == "-" || !printable_ascii(v[i])) continue;
      EXPECT_EQ(trim(json_field(j, text_keys[i])), v[i]) << f << " " << text_keys[i];
    }
    if (v[3] != "-") {
      unsigned num = 0, den = 1;
      ASSERT_EQ(std::sscanf(json_field(j, "ExposureTime").c_str(), "%u/%u", &num, &den), 2) << f;
      EXPECT_NEAR(double(num) / den, std::atof(v[3].c_str()), 1e-6) << f;
    }
    if (v[4] != "-") EXPECT_NEAR(std::atof(json_field(j, "FNumber").c_str()), std::atof(v[4].c_str()), 0.006) << f;
    if (v[5] != "-") EXPECT_EQ(json_field(j, "ISOSpeedRatings"), v[5]) << f;
    if (v[6] != "-") EXPECT_NEAR(std::atof(json_field(j, "FocalLength").c_str()), std::atof(v[6].c_str()), 0.051) << f;
  }
  std::printf("corpus: %d EXIF reports compared with exiftool\n", compared);
  EXPECT_GT(compared, 0);
}

TEST(Corpus, RasterFilesEncodeOrFailToLoad) {
  const std::vector<std::string> files = files_in({"raster"});
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::string out = scratch_path("corpus.heic");
  int encoded = 0, refused = 0;
  for (const std::string& f : files) {
    if (lumetra_from_image(f.c_str(), out.c_str(), 50)) {
      ++encoded;
      EXPECT_EQ(lumetra_is_heic(out.c_str()), 1) << f;
      EXPECT_STREQ(lumetra_last_error(), "");
    } else {
      ++refused;
      EXPECT_TRUE(starts_with(lumetra_last_error(), ("Failed loading source image '" + f + "': ").c_str()))
          << f << ": " << lumetra_last_error();
    }
  }
  std::printf("corpus: %d raster files encoded, %d refused by the loader\n", encoded, refused);
  EXPECT_GT(encoded, 0);
}

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
  const HeifInfoFacts facts = heif_info(f);
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

TEST(Build, LibheifIsNewEnough) {
  // 1.19.7 (0x01130700) or newer, both the headers built against and the
  // library loaded.
  EXPECT_GE(LIBHEIF_NUMERIC_VERSION, 0x01130700);
  EXPECT_GE(heif_get_version_number(), 0x01130700u) << heif_get_version();
}

// lumetra_convert on every HEIF/AVIF the library decodes: the JPEG written
// straight from YCbCr agrees with the one made through RGB (the fast path
// shifts no colour), and the primary image's profile and EXIF are kept,
// with Orientation 1.
TEST(Corpus, ConvertKeepsProfileAndExifUpright) {
  const std::vector<std::string> files = files_in({"heif", "avif"});
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  if (!have("exiftool")) GTEST_SKIP() << "exiftool not installed";
  const std::string fast = scratch_path("fast.jpg"), slow = scratch_path("slow.jpg"), png = scratch_path("ref.png");
  int compared = 0, with_icc = 0, with_exif = 0, below35 = 0;
  double worst_paths = 99, worst_png = 99;
  for (const std::string& f : files) {
    if (!lumetra_to_png(f.c_str(), png.c_str())) continue;
    ASSERT_EQ(convert_file(f.c_str(), fast.c_str(), 90, LUMETRA_KEEP_METADATA, true), 1)
        << f << ": " << lumetra_last_error();
    ASSERT_EQ(convert_file(f.c_str(), slow.c_str(), 90, LUMETRA_KEEP_METADATA, false), 1) << f;
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
    ASSERT_EQ(a.width, ref.width) << f;
    ASSERT_EQ(a.height, ref.height) << f;
    const double paths = psnr(a, b), against_png = psnr(a, ref);
    EXPECT_GT(paths, 38.0) << f;  // a wrong matrix or range costs far more
    worst_paths = std::min(worst_paths, paths);
    worst_png = std::min(worst_png, against_png);
    below35 += against_png < 35.0;
    ++compared;

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
    if (icc) {
      ++with_icc;
      EXPECT_NE(capture("exiftool -b -ICC_Profile '" + fast + "' | wc -c"), "0\n") << f << ": profile lost";
    }
    const char* exif = lumetra_exif(f.c_str());
    // One APP1 segment holds at most 65533 bytes; bigger blocks stay out.
    if (exif != nullptr && std::string(exif).find("\"ExifPresent\":true") != std::string::npos && exif_size < 65000) {
      ++with_exif;
      const std::string o = capture("exiftool -n -s3 -IFD0:Orientation '" + fast + "'");
      EXPECT_TRUE(o.empty() || o == "1\n") << f << ": Orientation " << o;
      EXPECT_NE(capture("exiftool -s3 -ExifByteOrder '" + fast + "'"), "") << f << ": EXIF lost";
    }
  }
  std::printf(
      "corpus: %d converted faithfully; YCbCr vs RGB road worst %.1f dB; against lumetra_to_png worst %.1f dB, "
      "%d below 35 dB; %d kept ICC, %d kept EXIF\n",
      compared, worst_paths, worst_png, below35, with_icc, with_exif);
  EXPECT_GT(compared, 0);
}
