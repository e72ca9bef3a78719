// Hostile inputs: malformed headers, special files, absurd sizes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fixtures.h"
#include "lumetra.h"

TEST(Hostile, PnmHeaderNumbersThatOverflow) {
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

TEST(Hostile, FifoInputsDoNotHang) {
  const std::string fifo = scratch_path("pipe.heic");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(lumetra_is_heic(fifo.c_str()), 0);
  EXPECT_EQ(lumetra_to_png(fifo.c_str(), scratch_path("fifo.png").c_str()), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed to read HEIC file '" + fifo + "': Invalid input: Not a regular file");
  EXPECT_EQ(lumetra_info(fifo.c_str()), nullptr);
  EXPECT_EQ(lumetra_exif(fifo.c_str()), nullptr);
  EXPECT_EQ(lumetra_thumbnail(fifo.c_str(), scratch_path("fifo.jpg").c_str()), 0);
  EXPECT_EQ(lumetra_from_image(fifo.c_str(), scratch_path("fifo.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + fifo + "': can't fopen");
  unlink(fifo.c_str());
}

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

TEST(Hostile, DecompressionBombHeaders) {
  const std::string out = scratch_path("bomb.heic");
  const struct {
    const char* name;
    Bytes data;
    const char* reason;
  } cases[] = {
      {"huge.png", png_header(1u << 24, 1u << 24, 6), "too large"},
      {"wide.png", png_header(40000, 1, 2), "too large"},
      {"tall.bmp", bmp_header(1, 40000), "too large"},
      {"psd.psd", Bytes{'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0x7F, 0xFF, 0xFF, 0, 0x7F, 0xFF, 0xFF, 0, 8,
                        0, 3},
       "too large"},
  };
  for (const auto& c : cases) {
    const std::string path = scratch_path(c.name);
    write_file(path, c.data);
    EXPECT_EQ(lumetra_from_image(path.c_str(), out.c_str(), 50), 0) << c.name;
    EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': " + c.reason) << c.name;
    EXPECT_FALSE(file_exists(out));
  }
  // Within the limits but with no data behind the header: the loader's own reason.
  const std::string small = scratch_path("nodata.png");
  write_file(small, png_header(20000, 20000, 6));
  EXPECT_EQ(lumetra_from_image(small.c_str(), out.c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed loading source image '" + small + "': ", 0), 0u);
}

TEST(Hostile, JpegHuffmanTableWithTooManyCodes) {
  // A DHT whose 16 counts add up to 272: stb_image 2.27 writes past its
  // 257-entry code-length table.
  Bytes dht{0x00};
  for (int i = 0; i < 16; ++i) dht.push_back(17);
  dht.insert(dht.end(), 272, 0x01);
  const std::string path = scratch_path("dht.jpg");
  write_file(path, jpeg_with_segments({app_segment(0xC4, dht)}));
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

// Inputs the fuzzers found: each must now be refused or encoded cleanly.
TEST(Hostile, FuzzerRegressions) {
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
