// The short and the detailed information reports: exactly what the
// fixtures were made with, and failures that keep the previous report.
#include <gtest/gtest.h>

#include <string>

#include "fixtures.h"
#include "heif/open_file.h"
#include "internal.h"
#include "json_reader.h"
#include "lumetra.h"

namespace {

std::string info_json(bool alpha, bool thumb, bool exif, int w = 64, int h = 48, int depth = 8, int images = 1) {
  return "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) +
         ",\"bit_depth\":" + std::to_string(depth) + ",\"has_alpha\":" + (alpha ? "true" : "false") +
         ",\"has_thumbnail\":" + (thumb ? "true" : "false") +
         ",\"color_space\":\"YCbCr\",\"exif\":" + (exif ? "true" : "false") +
         ",\"image_count\":" + std::to_string(images) + "}";
}

std::string info_of(const std::string& path) {
  const char* r = lumetra_info(path.c_str());
  return r != nullptr ? r : std::string("null: ") + lumetra_last_error();
}

Json detail_of(const std::string& path) {
  const char* text = lumetra_info_detail(path.c_str());
  if (text == nullptr) return Json();
  bool ok = false;
  Json doc = parse_json(text, &ok);
  EXPECT_TRUE(ok) << path << ": not one JSON document: " << text;
  return doc;
}

std::string size_text(const Json& j) {
  return std::to_string(j["width"].integer()) + "x" + std::to_string(j["height"].integer());
}

}  // namespace

TEST(Info, ReportsExactly) {
  EXPECT_EQ(info_of(heif_fixture("rgb.heic", HeifRecipe{})), info_json(false, false, false));
  HeifRecipe alpha;
  alpha.alpha = true;
  EXPECT_EQ(info_of(heif_fixture("rgba.heic", alpha)), info_json(true, false, false));

  HeifRecipe thumb;
  thumb.width = 200, thumb.height = 150, thumb.thumb_width = 40, thumb.thumb_height = 30;
  EXPECT_EQ(info_of(heif_fixture("thumb_small.heic", thumb)), info_json(false, true, false, 200, 150));

  HeifRecipe exif;
  exif.exif = Bytes{0, 0, 0, 0, 0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 0, 0};
  EXPECT_EQ(info_of(heif_fixture("exif_info.heic", exif)), info_json(false, false, true));
  HeifRecipe xmp;
  xmp.xmp = true;
  EXPECT_EQ(info_of(heif_fixture("xmp.heic", xmp)), info_json(false, false, false));

  HeifRecipe two;
  two.extra_images = 1;
  EXPECT_EQ(info_of(heif_fixture("two.heic", two)), info_json(false, false, false, 64, 48, 8, 2));

  if (libheif_encodes(false, 10)) {
    HeifRecipe ten;
    ten.bit_depth = 10;
    EXPECT_EQ(info_of(heif_fixture("ten.heic", ten)), info_json(false, false, false, 64, 48, 10));
  }
  EXPECT_STREQ(lumetra_last_error(), "");
}

TEST(Info, FailuresKeepThePreviousReport) {
  const char* r = lumetra_info(heif_fixture("rgb.heic", HeifRecipe{}).c_str());
  ASSERT_NE(r, nullptr);
  const std::string before = r;
  EXPECT_EQ(lumetra_info(nullptr), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Invalid null file path for lumetra_info");
  EXPECT_EQ(lumetra_info(""), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Invalid null file path for lumetra_info");
  const std::string text = scratch_path("info.txt");
  write_file(text, Bytes(50, 'i'));
  EXPECT_EQ(lumetra_info(text.c_str()), nullptr);
  EXPECT_STREQ(lumetra_last_error(),  // libheif 1.19's text, detail included
               "Failed reading HEIC file for info: Invalid input: No 'ftyp' box: File does not start with 'ftyp' box.");
  EXPECT_EQ(lumetra_info("/nonexistent.heic"), nullptr);
  EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed reading HEIC file for info: Input file does not exist", 0),
            0u);
  EXPECT_EQ(std::string(r), before);
  // Pointer stability: a later success rewrites the same buffer.
  HeifRecipe alpha;
  alpha.alpha = true;
  EXPECT_EQ(lumetra_info(heif_fixture("rgba.heic", alpha).c_str()), r);
  EXPECT_EQ(std::string(r), info_json(true, false, false));
}

TEST(Detail, FixturesReportWhatWasWritten) {
  HeifRecipe alpha;
  alpha.alpha = true;
  HeifRecipe two;
  two.extra_images = 1;
  HeifRecipe thumbs;
  thumbs.width = 200, thumbs.height = 150, thumbs.thumb_width = 40, thumbs.thumb_height = 30;
  HeifRecipe xmp_only;
  xmp_only.xmp_text = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><only/></x:xmpmeta>";
  HeifRecipe icc;
  icc.icc = test_icc_profile("Lumetra \"test\" profile");

  const Json a = detail_of(heif_fixture("detail_alpha.heic", alpha));
  ASSERT_EQ(a["images"].items.size(), 1u);
  EXPECT_TRUE(a["images"][0]["alpha"].boolean);
  EXPECT_FALSE(a["images"][0]["premultiplied_alpha"].boolean);
  EXPECT_EQ(a["images"][0]["auxiliary"][0]["kind"].text, "alpha");
  EXPECT_EQ(a["images"][0]["auxiliary"][0]["type"].text, "urn:mpeg:hevc:2015:auxid:1");
  EXPECT_EQ(size_text(a["images"][0]["auxiliary"][0]), "64x48");
  EXPECT_EQ(a["brands"]["major"].text, "heic");
  EXPECT_FALSE(a["salvage"]["needed"].boolean);
  EXPECT_TRUE(a["images"][0]["gain_map"].is_null());

  const Json t = detail_of(heif_fixture("detail_two.heic", two));
  ASSERT_EQ(t["images"].items.size(), 2u);
  EXPECT_TRUE(t["images"][0]["primary"].boolean);
  EXPECT_FALSE(t["images"][1]["primary"].boolean);
  EXPECT_EQ(size_text(t["images"][0]), "64x48");
  EXPECT_EQ(size_text(t["images"][1]), "32x32");
  EXPECT_NE(t["images"][0]["item_id"].integer(), t["images"][1]["item_id"].integer());

  const Json th = detail_of(heif_fixture("detail_thumbs.heic", thumbs));
  ASSERT_EQ(th["images"][0]["thumbnails"].items.size(), 1u);
  EXPECT_EQ(size_text(th["images"][0]["thumbnails"][0]), "40x30");

  const Json x = detail_of(heif_fixture("detail_xmp.heic", xmp_only));
  ASSERT_EQ(x["images"][0]["metadata"].items.size(), 1u);
  EXPECT_EQ(x["images"][0]["metadata"][0]["type"].text, "mime");
  EXPECT_EQ(x["images"][0]["metadata"][0]["content_type"].text, "application/rdf+xml");
  EXPECT_EQ(x["images"][0]["metadata"][0]["size"].integer(), static_cast<int>(xmp_only.xmp_text.size()));

  const Json i = detail_of(heif_fixture("detail_icc.heic", icc));
  EXPECT_EQ(i["images"][0]["color_profile"]["icc"]["type"].text, "prof");
  EXPECT_EQ(i["images"][0]["color_profile"]["icc"]["size"].integer(), static_cast<int>(icc.icc.size()));
  EXPECT_EQ(i["images"][0]["color_profile"]["icc"]["description"].text, "Lumetra \"test\" profile");

  // A failure keeps the thread's previous report.
  const char* before = lumetra_info_detail(heif_fixture("detail_two.heic", two).c_str());
  ASSERT_NE(before, nullptr);
  const std::string kept = before;
  EXPECT_EQ(lumetra_info_detail(scratch_path("missing.heic").c_str()), nullptr);
  EXPECT_NE(std::string(lumetra_last_error()), "");
  EXPECT_EQ(std::string(before), kept);
  EXPECT_EQ(lumetra_info_detail(nullptr), nullptr);
}

TEST(Detail, SalvagedReadIsSaid) {
  GridRecipe s;
  s.width = 150, s.height = 100, s.tile = 64, s.aux_grid = true;
  const std::string intact = scratch_path("detail-salvage-intact.heic"), broken = scratch_path("detail-salvage.heic");
  write_grid_heif(intact, s);
  Bytes file = read_file(intact);
  const uint32_t aux = grid_aux_item(s);
  ASSERT_TRUE(break_hvcc(&file, {aux + 2, aux + 4}));
  write_file(broken, file);
  ASSERT_NE(lumetra_info(broken.c_str()), nullptr);
  const int hidden = last_salvage().hidden_images;  // what the short report's read dropped
  ASSERT_GT(hidden, 0);
  const Json d = detail_of(broken);
  EXPECT_TRUE(d["salvage"]["needed"].boolean);
  EXPECT_EQ(d["salvage"]["hidden_images"].integer(), hidden);
  EXPECT_NE(d["salvage"]["reason"].text.find("hvcC"), std::string::npos) << d["salvage"]["reason"].text;
  EXPECT_EQ(size_text(d["images"][0]), "150x100");
  EXPECT_FALSE(detail_of(intact)["salvage"]["needed"].boolean);
}
