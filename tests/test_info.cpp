// The detailed report against heif-info over the corpus and against what
// the fixtures were made with; thumbnails that fit their box, against a
// box filter written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "heif/open_file.h"
#include "internal.h"
#include "json_reader.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

const std::string kCorpus = LUMETRA_CORPUS;

Json detail_of(const std::string& path) {
  const char* text = lumetra_info_detail(path.c_str());
  if (text == nullptr) return Json();
  bool ok = false;
  Json doc = parse_json(text, &ok);
  EXPECT_TRUE(ok) << path << ": not one JSON document: " << text;
  return doc;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// heif-info's facts about one image, in its own words.
struct ImageFacts {
  int id = 0, width = 0, height = 0, bits = 0;
  bool primary = false, alpha = false;
  std::string profile;                  // prof, rICC, nclx or no
  std::vector<std::string> thumbnails;  // "WxH"
  std::vector<std::string> transforms;  // "angle (ccw): 90", "mirror: vertical", "crop: left=..."
  std::vector<long> metadata_sizes;
  std::string depth_size;  // "WxH" when it has a depth channel
};

struct FileFacts {
  std::string major;
  std::vector<ImageFacts> images;
};

FileFacts heif_info(const std::string& path) {
  FileFacts f;
  std::istringstream in(capture("heif-info '" + path + "' 2>&1"));
  std::string line, section;
  bool depth = false;
  while (std::getline(in, line)) {
    if (starts_with(line, "main brand: ")) f.major = line.substr(12);
    if (starts_with(line, "image: ")) {
      ImageFacts im;
      std::sscanf(line.c_str(), "image: %dx%d (id=%d)", &im.width, &im.height, &im.id);
      im.primary = line.find(", primary") != std::string::npos;
      f.images.push_back(im);
      section = "image";
      depth = false;
      continue;
    }
    if (f.images.empty()) continue;
    ImageFacts& im = f.images.back();
    if (line == "metadata:" || line == "transformations:" || line == "region annotations:" || line == "properties:") {
      section = line;
    } else if (section == "image") {
      int w = 0, h = 0;
      if (std::sscanf(line.c_str(), "  bit depth: %d", &im.bits) == 1) continue;
      if (std::sscanf(line.c_str(), "  thumbnail: %dx%d", &w, &h) == 2) im.thumbnails.push_back(line.substr(13));
      if (starts_with(line, "  color profile: ")) im.profile = line.substr(17);
      if (starts_with(line, "  alpha channel: yes")) im.alpha = true;
      if (starts_with(line, "  depth channel: yes")) depth = true;
      if (depth && std::sscanf(line.c_str(), "    size: %dx%d", &w, &h) == 2) im.depth_size = line.substr(10);
    } else if (section == "metadata:" && line != "  none") {
      const size_t colon = line.rfind(": ");
      if (colon != std::string::npos) im.metadata_sizes.push_back(std::atol(line.c_str() + colon + 2));
    } else if (section == "transformations:" && line != "  none" && starts_with(line, "  ")) {
      im.transforms.push_back(line.substr(2));
    }
  }
  return f;
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

std::string size_text(const Json& j) {
  return std::to_string(j["width"].integer()) + "x" + std::to_string(j["height"].integer());
}

}  // namespace

TEST(Corpus, DetailAgreesWithHeifInfo) {
  std::vector<std::string> files;
  for (const char* dir : {"heif", "avif"}) {
    const fs::path p = fs::path(kCorpus) / dir;
    if (!fs::is_directory(p)) continue;
    for (const auto& e : fs::directory_iterator(p)) {
      if (e.path().filename().string().find("grid200mp") == std::string::npos) files.push_back(e.path().string());
    }
  }
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  if (capture("command -v heif-info").empty()) GTEST_SKIP() << "heif-info not installed";
  std::sort(files.begin(), files.end());
  int compared = 0;
  for (const std::string& path : files) {
    const Json doc = detail_of(path);
    const FileFacts facts = heif_info(path);
    if (doc.is_null() || facts.images.empty()) continue;  // unreadable to one of the two
    if (doc["salvage"]["needed"].boolean) continue;       // heif-info cannot read those at all
    SCOPED_TRACE(path);
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
      ++compared;
    }
  }
  EXPECT_GT(compared, 30);
}

TEST(Detail, FixturesReportWhatWasWritten) {
  HeifSpec alpha;
  alpha.alpha = true;
  HeifSpec two;
  two.extra_images = 1;
  HeifSpec thumbs;
  thumbs.width = 200, thumbs.height = 150, thumbs.thumb_width = 40, thumbs.thumb_height = 30;
  HeifSpec xmp_only;
  xmp_only.xmp_text = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><only/></x:xmpmeta>";
  HeifSpec icc;
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
  GridSpec s;
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

namespace {

// The reference: every output pixel the exact area mean of the source
// rectangle it covers, computed in two dimensions at once.
Raster box_reference(const Raster& src, int ow, int oh) {
  Raster r;
  r.width = ow, r.height = oh, r.channels = src.channels;
  const double sx = double(src.width) / ow, sy = double(src.height) / oh;
  for (int y = 0; y < oh; ++y) {
    for (int x = 0; x < ow; ++x) {
      for (int c = 0; c < src.channels; ++c) {
        double sum = 0;
        const double x0 = x * sx, x1 = (x + 1) * sx, y0 = y * sy, y1 = (y + 1) * sy;
        for (int j = int(y0); j < y1 && j < src.height; ++j) {
          const double wy = std::min(y1, j + 1.0) - std::max(y0, double(j));
          for (int i = int(x0); i < x1 && i < src.width; ++i) {
            const double wx = std::min(x1, i + 1.0) - std::max(x0, double(i));
            sum += wx * wy * src.pixels[(size_t(j) * src.width + i) * src.channels + c];
          }
        }
        r.pixels.push_back(static_cast<uint8_t>(std::lround(sum / (sx * sy))));
      }
    }
  }
  return r;
}

// The embedded thumbnail, decoded by libheif.
Raster libheif_thumbnail(const std::string& path) {
  Raster r;
  heif_context* ctx = heif_context_alloc();
  heif_context_read_from_file(ctx, path.c_str(), nullptr);
  heif_image_handle *h = nullptr, *t = nullptr;
  heif_context_get_primary_image_handle(ctx, &h);
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_thumbnail_IDs(h, &id, 1) == 1) heif_image_handle_get_thumbnail(h, id, &t);
  heif_image* img = nullptr;
  if (t != nullptr &&
      heif_decode_image(t, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code == heif_error_Ok) {
    int stride = 0;
    const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
    r.width = heif_image_get_primary_width(img), r.height = heif_image_get_primary_height(img), r.channels = 3;
    for (int y = 0; y < r.height; ++y)
      r.pixels.insert(r.pixels.end(), p + size_t(y) * stride, p + size_t(y) * stride + r.width * 3);
    heif_image_release(img);
  }
  if (t != nullptr) heif_image_handle_release(t);
  heif_image_handle_release(h);
  heif_context_free(ctx);
  return r;
}

}  // namespace

TEST(ThumbnailFit, FitsTheBoxByAreaAveraging) {
  // A 1200 x 900 picture, with and without a 600 x 450 thumbnail of other
  // content, so that the source taken shows in the pixels.
  HeifSpec with_thumb;
  with_thumb.width = 1200, with_thumb.height = 900, with_thumb.thumb_width = 600, with_thumb.thumb_height = 450;
  with_thumb.thumb_pixel = [](int x, int y, int c) { return static_cast<uint8_t>((x * 7 + y * 3 + c * 50) & 0xFF); };
  HeifSpec without = with_thumb;
  without.thumb_width = without.thumb_height = 0;
  const std::string files[2] = {heif_fixture("fit-thumb.heic", with_thumb), heif_fixture("fit-plain.heic", without)};
  const Raster primary = libheif_decode(files[0], false), thumb = libheif_thumbnail(files[0]);
  ASSERT_EQ(thumb.width, 600);
  for (int f = 0; f < 2; ++f) {
    for (const int box : {128, 256, 512, 1024}) {
      SCOPED_TRACE(files[f] + " box " + std::to_string(box));
      const std::string out = scratch_path("fit-" + std::to_string(f) + "-" + std::to_string(box) + ".png");
      ASSERT_EQ(thumbnail_fit(files[f].c_str(), out.c_str(), box), 1) << lumetra_last_error();
      const Raster got = stb_load(out);
      EXPECT_EQ(got.width, box);
      EXPECT_EQ(got.height, box * 3 / 4);
      const bool from_thumb = f == 0 && box <= 600;
      const Raster want = box_reference(from_thumb ? thumb : libheif_decode(files[f], false), box, box * 3 / 4);
      ASSERT_EQ(got.pixels.size(), want.pixels.size());
      int worst = 0;
      for (size_t i = 0; i < got.pixels.size(); ++i) worst = std::max(worst, std::abs(got.pixels[i] - want.pixels[i]));
      EXPECT_LE(worst, 1);
    }
  }
  (void)primary;
  // Already inside the box: kept at its size, pixels untouched.
  const std::string out = scratch_path("fit-small.png");
  const std::string small = heif_fixture("fit-small.heic", HeifSpec{});
  ASSERT_EQ(thumbnail_fit(small.c_str(), out.c_str(), 128), 1);
  const Raster got = stb_load(out);
  EXPECT_EQ(got.pixels, libheif_decode(small, false).pixels);
}
