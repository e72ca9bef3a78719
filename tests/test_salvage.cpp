// Photos whose hidden images break libheif's read still open: every call
// gives what it gives for the intact file; a broken primary still fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <libheif/heif.h>

#include "fixtures.h"
#include "heif/meta_box.h"
#include "heif/open_file.h"
#include "heif/salvage.h"
#include "lumetra.h"

namespace {

// libheif's own verdict on a file: "" when it reads it.
std::string libheif_read_error(const std::string& path) {
  heif_context* ctx = heif_context_alloc();
  const Bytes bytes = read_file(path);
  const heif_error err = heif_context_read_from_memory(ctx, bytes.data(), bytes.size(), nullptr);
  const std::string message = err.code == heif_error_Ok ? "" : err.message;
  heif_context_free(ctx);
  return message;
}

struct Pair {
  std::string intact, broken;
};

Pair gain_map_grid_pair(const std::string& name, bool break_primary) {
  GridRecipe s;
  s.width = 150, s.height = 100, s.tile = 64, s.thumbnail = true, s.aux_grid = true;
  const Bytes tiff = build_tiff(TiffRecipe{false, {ascii_entry(0x010F, "Salvage")}, {}});
  s.exif = Bytes(4, 0);
  s.exif.insert(s.exif.end(), tiff.begin(), tiff.end());
  Pair p{scratch_path(name + "-intact.heic"), scratch_path(name + "-broken.heic")};
  write_grid_heif(p.intact, s);
  Bytes file = read_file(p.intact);
  const uint32_t aux = grid_aux_item(s);
  const std::vector<uint32_t> broken =
      break_primary ? std::vector<uint32_t>{2, 3} : std::vector<uint32_t>{aux + 2, aux + 4};
  EXPECT_TRUE(break_hvcc(&file, broken));
  write_file(p.broken, file);
  return p;
}

std::string text_or_null(const char* t) { return t != nullptr ? t : "(null)"; }

#ifdef _WIN32
const char kSep = '\\';
#else
const char kSep = '/';
#endif

}  // namespace

TEST(Salvage, BrokenHiddenImagesCostNothingInAnyCall) {
  const Pair p = gain_map_grid_pair("gainmap", false);
  ASSERT_EQ(libheif_read_error(p.intact), "");
  ASSERT_NE(libheif_read_error(p.broken).find("hvcC"), std::string::npos) << libheif_read_error(p.broken);
  const Bytes on_disk = read_file(p.broken);

  // Each call on the intact and on the broken file: the same result, the
  // same bytes written, the same report.
  const struct {
    const char* call;
    const char* ext;
    std::function<std::string(const std::string& in, const std::string& out)> run;
  } calls[] = {
      {"to_jpg", ".jpg",
       [](auto& in, auto& out) { return std::to_string(lumetra_to_jpg(in.c_str(), out.c_str(), 90)); }},
      {"to_png", ".png", [](auto& in, auto& out) { return std::to_string(lumetra_to_png(in.c_str(), out.c_str())); }},
      {"to_bmp", ".bmp", [](auto& in, auto& out) { return std::to_string(lumetra_to_bmp(in.c_str(), out.c_str())); }},
      {"to_image", ".png",
       [](auto& in, auto& out) { return std::to_string(lumetra_to_image(in.c_str(), out.c_str())); }},
      {"convert", ".jpg",
       [](auto& in, auto& out) {
         return std::to_string(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA));
       }},
      {"thumbnail", ".png",
       [](auto& in, auto& out) { return std::to_string(lumetra_thumbnail(in.c_str(), out.c_str())); }},
      {"info", "", [](auto& in, auto&) { return text_or_null(lumetra_info(in.c_str())); }},
      {"exif", "", [](auto& in, auto&) { return text_or_null(lumetra_exif(in.c_str())); }},
  };
  for (const auto& c : calls) {
    const std::string out_intact = scratch_path(std::string("salvage-intact-") + c.call + c.ext);
    const std::string out_broken = scratch_path(std::string("salvage-broken-") + c.call + c.ext);
    const std::string want = c.run(p.intact, out_intact);
    const std::string got = c.run(p.broken, out_broken);
    EXPECT_EQ(got, want) << c.call << ": " << lumetra_last_error();
    EXPECT_STREQ(lumetra_last_error(), "") << c.call;
    if (*c.ext != '\0') EXPECT_TRUE(read_file(out_broken) == read_file(out_intact)) << c.call;
  }
  EXPECT_NE(text_or_null(lumetra_exif(p.broken.c_str())).find("Salvage"), std::string::npos);
  EXPECT_EQ(last_salvage().hidden_images, 7);  // the auxiliary grid and its six tiles
  const std::string reason = last_salvage().reason;
  EXPECT_NE(reason.find("hvcC"), std::string::npos);

  // The pixels are the intact file's as libheif itself decodes them.
  const Raster decoded = stb_load(scratch_path("salvage-broken-to_png.png"));
  const Raster reference = libheif_decode(p.intact, false);
  EXPECT_TRUE(decoded.pixels == reference.pixels && decoded.width == 150 && decoded.height == 100);
  EXPECT_TRUE(read_file(p.broken) == on_disk);  // the file itself is never touched

  // The batch counts it converted; the tool says what it dropped.
  const std::string dir = scratch_path("salvage-batch"), out = scratch_path("salvage-batch-out");
  std::filesystem::create_directories(dir);
  std::filesystem::create_directories(out);
  write_file(dir + "/broken.heic", read_file(p.broken));
  write_file(dir + "/intact.heic", read_file(p.intact));
  EXPECT_EQ(lumetra_batch(dir.c_str(), out.c_str(), 1, 0), 2);
  EXPECT_TRUE(read_file(out + "/broken.png") == read_file(out + "/intact.png"));
  const std::string cli =
      capture(std::string(LUMETRA_CLI) + " convert " + p.broken + " " + scratch_path("salvage-cli.png") + " 2>&1");
  EXPECT_EQ(cli, p.broken + ": 7 hidden images dropped (" + reason + ")\n");
  const std::string tool_out = scratch_path("salvage-tool-out");
  std::filesystem::create_directories(tool_out);
  const std::string summary = capture(std::string(LUMETRA_CLI) + " batch " + dir + " " + tool_out + " -j 2 2>&1");
  // The intact file's gain map (in this fixture without any headroom) is
  // not kept; that is said, and is no salvage.
  EXPECT_EQ(summary, dir + kSep + "broken.heic: 7 hidden images dropped (" + reason + ")\n" + dir + kSep +
                         "intact.heic: HDR gain map not kept: the photo gives no HDR headroom for its gain map\n" +
                         "converted 2 (1 salvaged), skipped 0 (not HEIF), skipped 0 (exists), failed 0\n");
  EXPECT_TRUE(read_file(tool_out + "/broken.jpg") == read_file(tool_out + "/intact.jpg"));
}

TEST(Salvage, BrokenPrimaryStillFailsWithLibheifsMessage) {
  const Pair p = gain_map_grid_pair("primary", true);
  const std::string libheif_says = libheif_read_error(p.broken);
  ASSERT_NE(libheif_says.find("hvcC"), std::string::npos);
  const std::string out = scratch_path("primary-broken.png");
  EXPECT_EQ(lumetra_to_png(p.broken.c_str(), out.c_str()), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed to read HEIC file '" + p.broken + "': " + libheif_says);
  EXPECT_FALSE(file_exists(out));
}

// The box reader on hostile structures: no crash, no hang, nothing hidden
// where nothing can be known.
TEST(Salvage, MalformedItemStructures) {
  GridRecipe s;
  s.width = 128, s.height = 64, s.aux_grid = true;
  const std::string path = scratch_path("hostile-base.heic");
  write_grid_heif(path, s);
  const Bytes base = read_file(path);
  size_t iref = 0;
  for (size_t i = 0; i + 4 < base.size(); ++i)
    if (std::memcmp(&base[i], "iref", 4) == 0) iref = i - 4;
  ASSERT_GT(iref, 0u);

  auto hidden = [](Bytes b) { return hide_unneeded_images(b.data(), b.size()); };
  EXPECT_EQ(hidden(base), 3);  // the gain-map grid (item 4) and its two tiles
  for (size_t cut = 0; cut < base.size(); cut += 7) {
    EXPECT_LE(hidden(Bytes(base.begin(), base.begin() + long(cut))), 3) << cut;
  }
  // A cycle through the primary: the gain map's dimg (4 → 5, 6) becomes
  // tile 2 → 5, 1. Tile 5 is then needed; the gain-map grid and tile 6 are not.
  Bytes cyclic = base;
  size_t second_dimg = 0;
  for (size_t i = iref, seen = 0; i + 12 < cyclic.size() && second_dimg == 0; ++i) {
    if (std::memcmp(&cyclic[i], "dimg", 4) == 0 && ++seen == 2) second_dimg = i;
  }
  ASSERT_GT(second_dimg, 0u);
  cyclic[second_dimg + 5] = 2;
  cyclic[second_dimg + 11] = 1;
  EXPECT_EQ(hidden(cyclic), 2);
  // A 64-bit box size past the end before the meta box, and a reference
  // count far beyond the bytes.
  Bytes huge = base;
  const Bytes largesize{0, 0, 0, 1, 'f', 'r', 'e', 'e', 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  huge.insert(huge.begin() + 24, largesize.begin(), largesize.end());
  EXPECT_EQ(hidden(huge), 0);
  MetaIndex index;
  Bytes counts = base;
  counts[iref + 22] = 0xFF, counts[iref + 23] = 0xFF;  // the first dimg's reference count: 65535
  EXPECT_FALSE(read_meta_index(counts.data(), counts.size(), &index));
}

// Thousands of items and associations: every one is looked at once (a
// quadratic walk would take minutes here).
TEST(Salvage, ThousandsOfItemsAndAssociations) {
  const uint32_t kItems = 20000;
  auto be = [](Bytes& b, uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
  };
  auto box = [&](const char* type, const Bytes& payload, bool full) {
    Bytes b;
    be(b, uint32_t(payload.size() + (full ? 12 : 8)), 4);
    b.insert(b.end(), type, type + 4);
    if (full) be(b, 0x01000000, 4);  // version 1 (32-bit IDs and counts), flags 0
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
  };
  Bytes iinf, infes, dimg, ipma, file;
  be(iinf, kItems, 4);
  for (uint32_t id = 1; id <= kItems; ++id) {
    Bytes e;
    be(e, 0x03000000, 4);  // infe version 3
    be(e, id, 4);
    be(e, 0, 2);
    e.insert(e.end(), {'h', 'v', 'c', '1', 0});
    Bytes infe;
    be(infe, uint32_t(e.size() + 8), 4);
    infe.insert(infe.end(), {'i', 'n', 'f', 'e'});
    infe.insert(infe.end(), e.begin(), e.end());
    iinf.insert(iinf.end(), infe.begin(), infe.end());
  }
  be(dimg, 1, 4);  // the primary takes the first half of the items as tiles
  be(dimg, kItems / 2 - 1, 2);
  for (uint32_t id = 2; id <= kItems / 2; ++id) be(dimg, id, 4);
  be(ipma, kItems, 4);
  for (uint32_t id = 1; id <= kItems; ++id) {
    be(ipma, id, 4);
    ipma.push_back(3);
    for (int k = 0; k < 3; ++k) ipma.push_back(1);  // all to the one auxC: an alpha type
  }
  const char kAlpha[] = "urn:mpeg:hevc:2015:auxid:1";
  Bytes auxc(4, 0);
  auxc.insert(auxc.end(), kAlpha, kAlpha + sizeof kAlpha);
  Bytes pitm, iprp, meta(4, 0);
  be(pitm, 1, 4);
  iprp = box("ipco", box("auxC", auxc, false), false);
  const Bytes ipma_box = box("ipma", ipma, true);
  iprp.insert(iprp.end(), ipma_box.begin(), ipma_box.end());
  for (const Bytes& b : {box("pitm", pitm, true), box("iinf", iinf, true), box("iref", box("dimg", dimg, false), true),
                         box("iprp", iprp, false)})
    meta.insert(meta.end(), b.begin(), b.end());
  file = box("meta", meta, false);
  // Every item is an "alpha image" but none refers to the primary: the
  // second half is hidden, the first is the primary and its tiles.
  EXPECT_EQ(hide_unneeded_images(file.data(), file.size()), int(kItems / 2));
}

// The iPhone 16 Pro photo of the corpus with the hvcC of gain-map tiles
// 57-61 gone, as some iOS 18 photos come: it opens, and its picture is the
// unbroken file's.
TEST(Corpus, IPhone16ProWithBrokenGainMapTilesOpens) {
  const std::string original =
      std::string(LUMETRA_CORPUS) + "/heif/tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic";
  if (!file_exists(original)) GTEST_SKIP() << "corpus not present";
  Bytes file = read_file(original);
  ASSERT_TRUE(break_hvcc(&file, {57, 58, 59, 60, 61}));
  const std::string broken = scratch_path("iphone16-broken.heic");
  write_file(broken, file);
  EXPECT_NE(libheif_read_error(broken).find("hvcC"), std::string::npos);

  const std::string want = scratch_path("iphone16-whole.jpg"), got = scratch_path("iphone16-salvaged.jpg");
  ASSERT_EQ(lumetra_convert(original.c_str(), want.c_str(), 0, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  const std::string info = text_or_null(lumetra_info(original.c_str()));
  ASSERT_EQ(lumetra_convert(broken.c_str(), got.c_str(), 0, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  EXPECT_GT(last_salvage().hidden_images, 16);  // at least the gain-map grid and its 15 tiles
  EXPECT_TRUE(read_file(got) == read_file(want));
  EXPECT_EQ(text_or_null(lumetra_info(broken.c_str())), info);
}
