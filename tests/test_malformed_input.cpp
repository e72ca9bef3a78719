// Malformed and hostile inputs: bad headers, special files, absurd sizes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cctype>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>
#ifndef _WIN32
#  include <sys/stat.h>
#  include <unistd.h>
#endif

#include "fixtures.h"
#include "lumetra.h"

TEST(MalformedInput, PnmHeaderNumbersThatOverflow) {
  // stb_image 2.27 overflows a signed int reading these numbers.
  for (const char* header : {"P6\n9999999999 1\n255\n", "P5 1 2147483648 255\n", "P6\n#c\n1 1\n99999999999\n"}) {
    const std::string path = scratch_path("overflow.ppm");
    std::string content = header;
    content.append(16, '\x7f');
    write_file(path, Bytes(content.begin(), content.end()));
    EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0) << header;
    EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': integer parse overflow");
  }
  // The largest number that fits is still handed to the loader.
  const std::string path = scratch_path("big.ppm");
  const std::string fits = "P6\n2147483647 1\n255\n";
  write_file(path, Bytes(fits.begin(), fits.end()));
  EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': too large");
}

#ifndef _WIN32  // Windows has no FIFOs in the file system
TEST(MalformedInput, FifoInputsDoNotHang) {
  const std::string fifo = scratch_path("pipe.heic");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(lumetra_is_heic(fifo.c_str()), 0);
  EXPECT_EQ(lumetra_to_png(fifo.c_str(), scratch_path("fifo.png").c_str()), 0);
  EXPECT_EQ(std::string(lumetra_last_error()),
            "Failed to read HEIC file '" + fifo + "': Invalid input: Not a regular file");
  EXPECT_EQ(lumetra_info(fifo.c_str()), nullptr);
  EXPECT_EQ(lumetra_exif(fifo.c_str()), nullptr);
  EXPECT_EQ(lumetra_thumbnail(fifo.c_str(), scratch_path("fifo.jpg").c_str()), 0);
  EXPECT_EQ(lumetra_from_image(fifo.c_str(), scratch_path("fifo.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + fifo + "': can't fopen");
  unlink(fifo.c_str());
}
#endif

namespace {
// A PNG header (signature, IHDR with a correct CRC) and no image data.
Bytes png_header(uint32_t w, uint32_t h, uint8_t color_type) {
  Bytes ihdr{'I', 'H', 'D', 'R'};
  for (uint32_t v : {w, h}) ihdr.insert(ihdr.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  ihdr.insert(ihdr.end(), {8, color_type, 0, 0, 0});
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : ihdr) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  crc ^= 0xFFFFFFFFu;
  Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};
  png.insert(png.end(), ihdr.begin(), ihdr.end());
  png.insert(png.end(), {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
  return png;
}

Bytes bmp_header(int32_t w, int32_t h) {
  Bytes b(54, 0);
  b[0] = 'B', b[1] = 'M';
  b[10] = 54;
  b[14] = 40;
  for (int i = 0; i < 4; ++i) b[18 + i] = uint8_t(uint32_t(w) >> (8 * i)), b[22 + i] = uint8_t(uint32_t(h) >> (8 * i));
  b[26] = 1;
  b[28] = 24;
  return b;
}
}  // namespace

// A raster header claiming more than the loader takes, and its reason.
struct BombCase {
  const char* name;
  Bytes data;
  const char* reason;
};

// How gtest names the case in its messages.
void PrintTo(const BombCase& c, std::ostream* os) { *os << c.name; }

class BombHeader : public ::testing::TestWithParam<BombCase> {};

TEST_P(BombHeader, IsRefusedBeforeLoading) {
  const BombCase& c = GetParam();
  const std::string out = scratch_path("bomb.heic");
  const std::string path = scratch_path(c.name);
  write_file(path, c.data);
  EXPECT_EQ(lumetra_from_image(path.c_str(), out.c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': " + c.reason);
  EXPECT_FALSE(file_exists(out));
}

INSTANTIATE_TEST_SUITE_P(MalformedInput, BombHeader,
                         ::testing::Values(BombCase{"huge.png", png_header(1u << 24, 1u << 24, 6), "too large"},
                                           BombCase{"wide.png", png_header(40000, 1, 2), "too large"},
                                           BombCase{"tall.bmp", bmp_header(1, 40000), "too large"},
                                           BombCase{"psd.psd",
                                                    Bytes{'8', 'B', 'P',  'S',  0,    1, 0,    0,    0,    0, 0, 0, 0,
                                                          3,   0,   0x7F, 0xFF, 0xFF, 0, 0x7F, 0xFF, 0xFF, 0, 8, 0, 3},
                                                    "too large"}),
                         [](const ::testing::TestParamInfo<BombCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

TEST(MalformedInput, DecompressionBombHeaders) {
  const std::string out = scratch_path("bomb.heic");
  // 17 bytes claiming 24941 x 8481 RLE grey pixels: refused before the
  // loader spends seconds inventing 211 million of them.
  const std::string tga = scratch_path("bomb.tga");
  write_file(tga,
             Bytes{0xF7, 0, 0x0B, 0x63, 0xE2, 0x63, 0x6F, 0x6C, 0x83, 0x56, 0x6F, 0x72, 0x6D, 0x61, 0x21, 0x21, 0x20});
  EXPECT_EQ(lumetra_from_image(tga.c_str(), out.c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()),
            "Failed loading source image '" + tga + "': too large for its file size");

  // Within the limits but with no data behind the header: the loader's own reason.
  const std::string small = scratch_path("nodata.png");
  write_file(small, png_header(20000, 20000, 6));
  EXPECT_EQ(lumetra_from_image(small.c_str(), out.c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed loading source image '" + small + "': ", 0), 0u);
}

TEST(MalformedInput, JpegHuffmanTableWithTooManyCodes) {
  // A DHT whose 16 counts add up to 272: stb_image 2.27 writes past its
  // 257-entry code-length table.
  Bytes dht{0x00};
  for (int i = 0; i < 16; ++i) dht.push_back(17);
  dht.insert(dht.end(), 272, 0x01);
  const std::string path = scratch_path("dht.jpg");
  write_file(path, jpeg_with_segments({app_segment(0xC4, dht)}));
  EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': bad size list");
  // The loader skips fill bytes before SOI, so the check does too.
  Bytes filled{0xFF, 0xFF};
  const Bytes body = jpeg_with_segments({app_segment(0xC4, dht)});
  filled.insert(filled.end(), body.begin(), body.end());
  write_file(path, filled);
  EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': bad size list");
  // 256 codes is the most a table can hold; that one goes to the loader.
  Bytes full{0x00};
  for (int i = 0; i < 16; ++i) full.push_back(16);
  full.insert(full.end(), 256, 0x01);
  write_file(path, jpeg_with_segments({app_segment(0xC4, full)}));
  EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_NE(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': bad size list");
}

TEST(MalformedInput, JpegScanWithUndefinedHuffmanTable) {
  // stb's own stream with its DHT segments taken out: the scan then decodes
  // with tables stb_image 2.27 never initialised.
  Bytes jpeg = jpeg_with_segments({});
  Bytes stripped{0xFF, 0xD8};
  size_t p = 2;
  while (p + 4 <= jpeg.size() && jpeg[p] == 0xFF && jpeg[p + 1] != 0xDA) {
    const size_t len = size_t(jpeg[p + 2]) << 8 | jpeg[p + 3];
    if (jpeg[p + 1] != 0xC4) stripped.insert(stripped.end(), jpeg.begin() + long(p), jpeg.begin() + long(p + 2 + len));
    p += 2 + len;
  }
  ASSERT_LT(stripped.size() + 100, jpeg.size());  // the tables really went
  stripped.insert(stripped.end(), jpeg.begin() + long(p), jpeg.end());
  const std::string path = scratch_path("nodht.jpg");
  write_file(path, stripped);
  EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': bad huffman code");
}

// Inputs the fuzzers found: each is refused or encoded cleanly.
TEST(MalformedInput, FuzzerRegressions) {
  int seen = 0;
  for (const auto& e : std::filesystem::directory_iterator(LUMETRA_REGRESSIONS)) {
    const std::string path = e.path().string();
    const std::string name = e.path().filename().string();
    ++seen;
    if (name.rfind("raster-", 0) == 0) {
      const int r = lumetra_from_image(path.c_str(), scratch_path("regression.heic").c_str(), 10);
      EXPECT_EQ(r == 1, lumetra_last_error()[0] == '\0') << name;
      if (r == 0) EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed loading source image '", 0), 0u) << name;
    } else if (name.rfind("heif-", 0) == 0) {
      const int r = lumetra_to_png(path.c_str(), scratch_path("regression.png").c_str());
      EXPECT_EQ(r == 1, lumetra_last_error()[0] == '\0') << name;
      lumetra_info(path.c_str());
      lumetra_exif(path.c_str());
      lumetra_thumbnail(path.c_str(), scratch_path("regression-t.png").c_str());
    }
  }
  EXPECT_GT(seen, 0);
}

namespace {
std::string rich_heif() {
  HeifRecipe s;
  s.width = 96, s.height = 64;
  s.alpha = true;
  s.thumb_width = 48, s.thumb_height = 32;
  s.exif = Bytes{0, 0, 0, 0, 0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 0, 0};
  s.xmp = true;
  return heif_fixture("hostile_rich.heic", s);
}

bool starts(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }
std::string err() { return lumetra_last_error(); }

// Every whole-file call on one input: each either succeeds with an empty
// last-error text or fails with one of its own messages; a failed decode
// leaves no output file.
void every_heif_call(const std::string& in, const std::string& tag) {
  const std::string png = scratch_path("every.png"), thumb = scratch_path("every-t.jpg");
  std::remove(png.c_str());
  if (lumetra_to_png(in.c_str(), png.c_str())) {
    EXPECT_EQ(err(), "") << tag;
  } else {
    EXPECT_TRUE(starts(err(), "Failed to read HEIC file '") || starts(err(), "Failed to decode HEIC image: ") ||
                starts(err(), "Failed to get primary image handle: "))
        << tag << ": " << err();
    EXPECT_FALSE(file_exists(png)) << tag;
  }
  const char* info = lumetra_info(in.c_str());
  if (info == nullptr)
    EXPECT_TRUE(starts(err(), "Failed reading HEIC file for info: ") || err() == "Failed getting primary image handle")
        << tag;
  const char* exif = lumetra_exif(in.c_str());
  if (exif == nullptr)
    EXPECT_TRUE(err() == "Failed reading HEIC file for EXIF" || err() == "Failed getting primary image handle") << tag;
  if (!lumetra_thumbnail(in.c_str(), thumb.c_str())) {
    EXPECT_TRUE(err() == "Failed reading HEIC file for thumbnail" || err() == "Failed getting primary image handle" ||
                err() == "Failed decoding thumbnail image")
        << tag << ": " << err();
  }
}
}  // namespace

TEST(MalformedInput, TruncatedHeifAtEverySixteenth) {
  const Bytes whole = read_file(rich_heif());
  const std::string path = scratch_path("cut.heic");
  for (int k = 0; k < 16; ++k) {
    write_file(path, Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() * k / 16)));
    every_heif_call(path, "cut at " + std::to_string(k) + "/16");
  }
}

TEST(MalformedInput, TopLevelBoxPointingPastTheEnd) {
  // libheif 1.19's file reader aborts the process on these (a failed assert
  // while seeking to the next top-level box); every call must just fail.
  const Bytes whole = read_file(rich_heif());
  const uint32_t ftyp_size = uint32_t(whole[0]) << 24 | uint32_t(whole[1]) << 16 | uint32_t(whole[2]) << 8 | whole[3];
  const std::string path = scratch_path("box-past-end.heic");
  for (const uint32_t box_size : {64u, 0x7461000u, 0xFFFFFFF0u}) {
    Bytes b(whole.begin(), whole.begin() + ftyp_size);
    const Bytes header{uint8_t(box_size >> 24),
                       uint8_t(box_size >> 16),
                       uint8_t(box_size >> 8),
                       uint8_t(box_size),
                       'f',
                       'r',
                       'e',
                       'e',
                       0,
                       0,
                       0,
                       0};
    b.insert(b.end(), header.begin(), header.end());
    write_file(path, b);
    every_heif_call(path, "free box of " + std::to_string(box_size) + " bytes");
    EXPECT_EQ(lumetra_info(path.c_str()), nullptr);
    EXPECT_EQ(err(), "Failed reading HEIC file for info: Invalid input: Unspecified: Insufficient input data");
  }
}

TEST(MalformedInput, TruncatedRastersAtEverySixteenth) {
  const std::string png = scratch_path("whole.png"), jpg = scratch_path("whole.jpg");
  write_png(png, 40, 30, 4);
  write_jpeg(jpg, 40, 30);
  for (const std::string& src : {png, jpg}) {
    const Bytes whole = read_file(src);
    const std::string path = scratch_path("cut.img");
    for (int k = 0; k < 16; ++k) {
      write_file(path, Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() * k / 16)));
      const int r = lumetra_from_image(path.c_str(), scratch_path("cut.heic").c_str(), 10);
      EXPECT_EQ(r == 1, err().empty()) << src << " " << k;
      if (r == 0) EXPECT_TRUE(starts(err(), "Failed loading source image '" + path + "': ")) << err();
    }
  }
}

TEST(MalformedInput, ExifWith65535EntriesAndHugeOffsets) {
  Bytes tiff{0x49, 0x49, 0x2A, 0x00, 8, 0, 0, 0, 0xFF, 0xFF};
  for (uint32_t k = 0; k < 65535; ++k) {
    const uint16_t tag = k % 3 == 0 ? 271 : (k % 3 == 1 ? 34665 : 33437);
    const uint32_t off = 0xFFFFFFFFu - k;
    for (const Bytes& part : {u16_bytes(tag, true), u16_bytes(5, true), u32_bytes(200, true), u32_bytes(off, true)})
      tiff.insert(tiff.end(), part.begin(), part.end());
  }
  Bytes block{0, 0, 0, 0};
  block.insert(block.end(), tiff.begin(), tiff.end());
  HeifRecipe s;
  s.width = 16, s.height = 16;
  s.exif = block;
  const char* r = lumetra_exif(heif_fixture("exif65535.heic", s).c_str());
  ASSERT_NE(r, nullptr) << err();
  EXPECT_STREQ(
      r,
      "{\"Make\":\"\",\"Model\":\"\",\"Orientation\":0,\"Software\":\"\",\"DateTime\":\"\",\"ExposureTime\":\"\","
      "\"FNumber\":0.00,\"ISOSpeedRatings\":0,\"FocalLength\":0.0,\"ExifPresent\":true}");
}

TEST(MalformedInput, LongPathsAndForeignBytes) {
  for (const size_t len : {300u, 4096u, 5000u}) {
    const std::string p = "/tmp/" + std::string(len - 5, 'x');
    const std::string out = p + ".png";
    EXPECT_EQ(lumetra_to_png(p.c_str(), out.c_str()), 0);
    EXPECT_EQ(err().size(), 255u);
    EXPECT_TRUE(starts(err(), "Failed to read HEIC file '/tmp/xxx"));
    EXPECT_EQ(lumetra_from_image(p.c_str(), out.c_str(), 50), 0);
    EXPECT_EQ(err().size(), 255u);
    EXPECT_EQ(lumetra_info(p.c_str()), nullptr);
    EXPECT_TRUE(starts(err(), "Failed reading HEIC file for info: "));
    EXPECT_EQ(lumetra_exif(p.c_str()), nullptr);
    EXPECT_EQ(lumetra_thumbnail(p.c_str(), out.c_str()), 0);
    EXPECT_EQ(lumetra_is_heic(p.c_str()), 0);
    EXPECT_EQ(lumetra_batch(p.c_str(), "/tmp", 1, 0), -1);
    EXPECT_EQ(err(), "Failed opening input directory");
    EXPECT_EQ(lumetra_to_png(rich_heif().c_str(), out.c_str()), 0);
    EXPECT_EQ(err(), "Failed writing PNG output file");
  }
  // Names that are not UTF-8 are just bytes.
  const std::string odd = scratch_path("caf\xe9\xff.heic");
  const Bytes heif = read_file(rich_heif());
  write_file(odd, heif);
  EXPECT_EQ(lumetra_is_heic(odd.c_str()), 1);
  EXPECT_EQ(lumetra_to_png(odd.c_str(), (odd + ".png").c_str()), 1) << err();
  EXPECT_NE(lumetra_info(odd.c_str()), nullptr);
}

TEST(MalformedInput, UnwritableOutputsAndOddInputs) {
  const std::string in = rich_heif();
  std::vector<std::string> unwritable{in + "/under-a-file.png"};
#ifndef _WIN32
  unwritable.push_back("/dev/full");
  if (access("/proc/self", F_OK) == 0) unwritable.push_back("/proc/lumetra-out.png");
#endif
  for (const std::string& target : unwritable) {
    const char* out = target.c_str();
    EXPECT_EQ(lumetra_to_png(in.c_str(), out), 0) << out;
    EXPECT_EQ(err(), "Failed writing PNG output file") << out;
    EXPECT_EQ(lumetra_thumbnail(in.c_str(), out), 0) << out;
    EXPECT_EQ(err(), "Failed writing thumbnail image output file");
  }
  // A directory as input (libheif itself can run away with memory on one).
  const std::string dir = scratch_dir();
  EXPECT_EQ(lumetra_to_png(dir.c_str(), scratch_path("d.png").c_str()), 0);
  EXPECT_EQ(err(), "Failed to read HEIC file '" + dir + "': Invalid input: Not a regular file");
  EXPECT_EQ(lumetra_from_image(dir.c_str(), scratch_path("d.heic").c_str(), 50), 0);
  EXPECT_TRUE(starts(err(), "Failed loading source image '" + dir + "': ")) << err();
  EXPECT_EQ(lumetra_info(dir.c_str()), nullptr);
  EXPECT_EQ(err(), "Failed reading HEIC file for info: Invalid input: Not a regular file");
  EXPECT_EQ(lumetra_exif(dir.c_str()), nullptr);
  EXPECT_EQ(lumetra_thumbnail(dir.c_str(), scratch_path("d.jpg").c_str()), 0);
  EXPECT_EQ(lumetra_is_heic(dir.c_str()), 0);
  // A directory as output: the input is not lost, the call fails.
  EXPECT_EQ(lumetra_to_png(in.c_str(), dir.c_str()), 0);
  EXPECT_EQ(lumetra_from_image(scratch_path("nope.png").c_str(), dir.c_str(), 50), 0);
}

TEST(MalformedInput, GridWithThousandsOfTiles) {
  // 30 x 30 = 900 tiles sharing one coded block: decodes, slowly but surely.
  GridRecipe many;
  many.width = 480, many.height = 480, many.tile = 16, many.distinct_tiles = false;
  const std::string path = scratch_path("grid900.heic");
  write_grid_heif(path, many);
  const char* info = lumetra_info(path.c_str());
  ASSERT_NE(info, nullptr) << err();
  EXPECT_TRUE(starts(info, "{\"width\":480,\"height\":480,"));
  every_heif_call(path, "900 tiles");

  // 60 x 60 = 3600 tiles: libheif 1.19 refuses more than 1000 iloc items at
  // read time (1.15 decoded this grid).
  many.width = 960, many.height = 960;
  write_grid_heif(path, many);
  every_heif_call(path, "3600 tiles");
  EXPECT_EQ(lumetra_info(path.c_str()), nullptr);
  EXPECT_TRUE(starts(err(), "Failed reading HEIC file for info: Memory allocation error: Security limit exceeded"))
      << err();

  // A 30 x 30 grid (900 tile items) that lists only 100 of them.
  GridRecipe short_list;
  short_list.width = 480, short_list.height = 480, short_list.tile = 16, short_list.distinct_tiles = false;
  short_list.referenced_tiles = 100;
  const std::string bad = scratch_path("grid-short.heic");
  write_grid_heif(bad, short_list);
  every_heif_call(bad, "900 declared, 100 listed");
  EXPECT_EQ(lumetra_to_png(bad.c_str(), scratch_path("short.png").c_str()), 0);
  // libheif 1.19 finds the missing tiles at read time (1.15: at decode time).
  EXPECT_TRUE(starts(err(), "Failed to read HEIC file '" + bad + "': Invalid input: Missing grid images")) << err();

  // 62500 tile items: more than libheif reads at all.
  GridRecipe huge = short_list;
  huge.width = 4000, huge.height = 4000;
  write_grid_heif(bad, huge);
  every_heif_call(bad, "62500 tile items");
  EXPECT_EQ(lumetra_info(bad.c_str()), nullptr);
}
