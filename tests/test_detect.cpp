// HEIF detection (lumetra_is_heic): arguments, files, and the brands of
// the ftyp box.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace {

std::string rgb_heif() { return heif_fixture("rgb.heic", HeifRecipe{}); }

std::string last_error() { return lumetra_last_error(); }

// lumetra_is_heic on a file holding `content`.
int probe(const Bytes& content) {
  static int n = 0;
  const std::string path = scratch_path("probe" + std::to_string(n++));
  write_file(path, content);
  return lumetra_is_heic(path.c_str());
}

// An ftyp box with `major` and the `compat` brands, zero-padded to `pad_to`.
Bytes ftyp(const char* major, std::initializer_list<const char*> compat, size_t pad_to = 0) {
  Bytes b{0, 0, 0, 0x18, 'f', 't', 'y', 'p'};
  b.insert(b.end(), major, major + 4);
  b.insert(b.end(), {0, 0, 0, 0});
  for (const char* c : compat) b.insert(b.end(), c, c + 4);
  if (b.size() < pad_to) b.resize(pad_to, 0);
  return b;
}

// A test name from any text: letters and digits kept, the rest "_".
std::string name_chars(std::string s) {
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

}  // namespace

TEST(Detect, BrandScan) {
  lumetra_to_png(nullptr, nullptr);
  const std::string message = last_error();

  EXPECT_EQ(lumetra_is_heic(nullptr), 0);
  EXPECT_EQ(lumetra_is_heic(""), 0);
  EXPECT_EQ(lumetra_is_heic("/nonexistent/file.heic"), 0);
  EXPECT_EQ(lumetra_is_heic(scratch_dir().c_str()), 0);

  Bytes eleven = ftyp("heic", {});
  eleven.resize(11);
  EXPECT_EQ(probe(eleven), 0);
  Bytes twelve = ftyp("heic", {});
  twelve.resize(12);
  EXPECT_EQ(probe(twelve), 1);

  EXPECT_EQ(probe(ftyp("mif1", {})), 1);  // libheif says maybe; the scan says yes
  EXPECT_EQ(probe(ftyp("HEIC", {})), 0);  // case matters
  EXPECT_EQ(probe(ftyp("avif", {"mif1"})), 1);
  EXPECT_EQ(probe(ftyp("abcd", {"xxxx", "msf1"})), 1);
  EXPECT_EQ(probe(ftyp("abcd", {"xxxx"})), 0);

  // The minor version (offset 12) never counts.
  Bytes minor = ftyp("abcd", {}, 32);
  std::memcpy(&minor[12], "heic", 4);
  EXPECT_EQ(probe(minor), 0);

  // Offset 60 is the last word seen; 64 is beyond the read.
  Bytes at60 = ftyp("abcd", {}, 80);
  std::memcpy(&at60[60], "hevx", 4);
  EXPECT_EQ(probe(at60), 1);
  Bytes at64 = ftyp("abcd", {}, 80);
  std::memcpy(&at64[64], "hevx", 4);
  EXPECT_EQ(probe(at64), 0);
  // Unaligned words are not compared.
  Bytes unaligned = ftyp("abcd", {}, 64);
  std::memcpy(&unaligned[18], "heic", 4);
  EXPECT_EQ(probe(unaligned), 0);

  // A brand in the box after a short ftyp still counts within 64 bytes.
  Bytes two_boxes{0, 0, 0, 16, 'f', 't', 'y', 'p', 'a', 'b', 'c', 'd', 0,   0,   0,   0,
                  0, 0, 0, 16, 'f', 'r', 'e', 'e', 'x', 'x', 'x', 'x', 'h', 'e', 'i', 's'};
  EXPECT_EQ(probe(two_boxes), 1);

  // Real files: our HEIF fixture yes; JPEG and PNG no.
  EXPECT_EQ(lumetra_is_heic(rgb_heif().c_str()), 1);
  write_png(scratch_path("detect.png"), 8, 8, 3);
  write_jpeg(scratch_path("detect.jpg"), 8, 8);
  EXPECT_EQ(lumetra_is_heic(scratch_path("detect.png").c_str()), 0);
  EXPECT_EQ(lumetra_is_heic(scratch_path("detect.jpg").c_str()), 0);

  EXPECT_EQ(last_error(), message);  // never touched
}

// A major brand, a compatible brand ("" for none) and whether the file
// counts as HEIF. Every major brand answers as libheif before 1.19 did
// (1.19 says "yes" to any ftyp box): videos, raw files and unknown brands
// stay "no" unless a HEIF brand is listed as compatible.
struct BrandCase {
  const char* major;
  const char* compat;
  int expected;
};

// How gtest names the case in its messages.
void PrintTo(const BrandCase& c, std::ostream* os) { *os << "'" << c.major << "' + '" << c.compat << "'"; }

class DetectBrand : public ::testing::TestWithParam<BrandCase> {};

TEST_P(DetectBrand, AnswersByTheBrands) {
  const BrandCase& b = GetParam();
  lumetra_to_png(nullptr, nullptr);
  const std::string message = last_error();
  EXPECT_EQ(probe(ftyp(b.major, {b.compat[0] ? b.compat : "xxxx"}, 32)), b.expected);
  EXPECT_EQ(last_error(), message);  // never touched
}

INSTANTIATE_TEST_SUITE_P(Detect, DetectBrand,
                         ::testing::Values(BrandCase{"heic", "", 1}, BrandCase{"heix", "", 1}, BrandCase{"avif", "", 1},
                                           BrandCase{"avis", "", 1}, BrandCase{"msf1", "", 1}, BrandCase{"hevc", "", 1},
                                           BrandCase{"hevx", "", 1}, BrandCase{"heim", "", 1}, BrandCase{"heis", "", 1},
                                           BrandCase{"hevm", "", 1}, BrandCase{"hevs", "", 1}, BrandCase{"vvic", "", 1},
                                           BrandCase{"mif1", "", 1}, BrandCase{"mif2", "", 0}, BrandCase{"isom", "", 0},
                                           BrandCase{"qt  ", "", 0}, BrandCase{"mp42", "", 0}, BrandCase{"3gp4", "", 0},
                                           BrandCase{"crx ", "", 0}, BrandCase{"jpeg", "", 0}, BrandCase{"j2ki", "", 0},
                                           BrandCase{"avci", "", 0}, BrandCase{"isom", "mp41", 0},
                                           BrandCase{"qt  ", "heic", 1}, BrandCase{"mp42", "mif1", 1},
                                           BrandCase{"crx ", "isom", 0}, BrandCase{"avif", "mif1", 1},
                                           BrandCase{"jpeg", "msf1", 1}),
                         [](const ::testing::TestParamInfo<BrandCase>& info) {
                           return name_chars(std::string(info.param.major) + "_" +
                                             (info.param.compat[0] ? info.param.compat : "alone"));
                         });
