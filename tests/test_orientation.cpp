// The one transformation every path turns pixels by: EXIF orientations
// 1-8 against the fixtures' own reading of them, and irot/imir/clap in
// property order against each step placed pixel by pixel, on a small
// asymmetric raster of one- and two-byte samples.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "pixels/orientation.h"

namespace {

// Every pixel distinct: `bytes` bytes each, from its position.
Raster numbered(int w, int h, int bytes) {
  Raster r;
  r.width = w, r.height = h, r.channels = bytes;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int b = 0; b < bytes; ++b) r.pixels.push_back(static_cast<uint8_t>((y * 16 + x) * 3 + b * 101));
  return r;
}

Raster remapped(const Orientation& o, const Raster& src, PixelSize size) {
  Raster out;
  out.width = o.out_width(), out.height = o.out_height(), out.channels = src.channels;
  out.pixels.assign(static_cast<size_t>(out.width) * out.height * size.bytes(), 0);
  remap_pixels(o, size, src.pixels.data(), static_cast<size_t>(src.width) * size.bytes(), out.pixels.data(),
               static_cast<size_t>(out.width) * size.bytes());
  return out;
}

// ---- EXIF orientations

struct ExifCase {
  const char* name;
  int orientation;
  PixelSize size;
};

// gtest prints a case by its name, not its bytes (padding included).
void PrintTo(const ExifCase& c, std::ostream* os) { *os << c.name; }

class ExifOrientation : public ::testing::TestWithParam<ExifCase> {};

TEST_P(ExifOrientation, TurnsAsAViewerShowsIt) {
  const ExifCase& c = GetParam();
  const Raster stored = numbered(5, 3, static_cast<int>(c.size.bytes()));
  const Orientation o = Orientation::from_exif(c.orientation, stored.width, stored.height);
  ASSERT_TRUE(o.valid());
  EXPECT_EQ(o.turns(), c.orientation >= 2);
  const Raster expected = exif_oriented(stored, c.orientation);
  const Raster got = remapped(o, stored, c.size);
  EXPECT_EQ(got.width, expected.width);
  EXPECT_EQ(got.height, expected.height);
  EXPECT_TRUE(got.pixels == expected.pixels);
}

INSTANTIATE_TEST_SUITE_P(Orientation, ExifOrientation,
                         ::testing::Values(ExifCase{"o1", 1, {1, 3}}, ExifCase{"o2", 2, {1, 3}},
                                           ExifCase{"o3", 3, {1, 3}}, ExifCase{"o4", 4, {1, 3}},
                                           ExifCase{"o5", 5, {1, 3}}, ExifCase{"o6", 6, {1, 3}},
                                           ExifCase{"o7", 7, {1, 3}}, ExifCase{"o8", 8, {1, 3}},
                                           ExifCase{"o5_rgba16", 5, {2, 4}}, ExifCase{"o6_grey", 6, {1, 1}},
                                           ExifCase{"o7_rgb16", 7, {2, 3}}, ExifCase{"o8_grey16", 8, {2, 1}}),
                         [](const ::testing::TestParamInfo<ExifCase>& i) { return std::string(i.param.name); });

// ---- irot, imir and clap in property order

// One property: kind 'r' (ccw degrees in a), 'h' / 'v' mirror (x / y
// flipped), 'c' crop borders a, b, c, d (left, top, right, bottom).
struct Step {
  char kind;
  int a, b, c, d;
};

// The step applied on its own: each source pixel placed where it goes.
Raster placed(const Raster& src, const Step& s) {
  const int w = src.width, h = src.height, n = src.channels;
  Raster out;
  out.channels = n;
  const bool quarter = s.kind == 'r' && (s.a == 90 || s.a == 270);
  out.width = s.kind == 'c' ? w - s.a - s.c : quarter ? h : w;
  out.height = s.kind == 'c' ? h - s.b - s.d : quarter ? w : h;
  out.pixels.assign(static_cast<size_t>(out.width) * out.height * n, 0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int nx = x, ny = y;
      if (s.kind == 'r' && s.a == 90) nx = y, ny = w - 1 - x;
      if (s.kind == 'r' && s.a == 180) nx = w - 1 - x, ny = h - 1 - y;
      if (s.kind == 'r' && s.a == 270) nx = h - 1 - y, ny = x;
      if (s.kind == 'h') nx = w - 1 - x;
      if (s.kind == 'v') ny = h - 1 - y;
      if (s.kind == 'c') nx = x - s.a, ny = y - s.b;
      if (nx < 0 || ny < 0 || nx >= out.width || ny >= out.height) continue;
      for (int b = 0; b < n; ++b)
        out.pixels[(static_cast<size_t>(ny) * out.width + nx) * n + b] =
            src.pixels[(static_cast<size_t>(y) * w + x) * n + b];
    }
  }
  return out;
}

struct StepsCase {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const StepsCase& c, std::ostream* os) { *os << c.name; }

class HeifTransformations : public ::testing::TestWithParam<StepsCase> {};

TEST_P(HeifTransformations, ComposedAsEachStepInTurn) {
  const StepsCase& c = GetParam();
  for (const PixelSize size : {PixelSize{1, 3}, PixelSize{2, 1}}) {
    SCOPED_TRACE(size.bytes());
    const Raster src = numbered(7, 4, static_cast<int>(size.bytes()));
    Orientation o(src.width, src.height);
    Raster expected = src;
    for (const Step& s : c.steps) {
      if (s.kind == 'r') o.rotate_ccw(s.a);
      if (s.kind == 'h' || s.kind == 'v') o.mirror(s.kind == 'h');
      if (s.kind == 'c') o.crop(s.a, s.b, s.c, s.d);
      expected = placed(expected, s);
    }
    ASSERT_TRUE(o.valid());
    const Raster got = remapped(o, src, size);
    EXPECT_EQ(got.width, expected.width);
    EXPECT_EQ(got.height, expected.height);
    EXPECT_TRUE(got.pixels == expected.pixels);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Orientation, HeifTransformations,
    ::testing::Values(StepsCase{"none", {}}, StepsCase{"irot90", {{'r', 90}}}, StepsCase{"irot180", {{'r', 180}}},
                      StepsCase{"irot270", {{'r', 270}}}, StepsCase{"imir_x", {{'h'}}}, StepsCase{"imir_y", {{'v'}}},
                      StepsCase{"clap", {{'c', 1, 2, 3, 1}}}, StepsCase{"irot90_imir_x", {{'r', 90}, {'h'}}},
                      StepsCase{"imir_y_irot270", {{'v'}, {'r', 270}}},
                      StepsCase{"clap_irot90_imir_y", {{'c', 2, 1, 1, 0}, {'r', 90}, {'v'}}},
                      StepsCase{"clap_irot270", {{'c', 0, 1, 2, 0}, {'r', 270}}},
                      StepsCase{"irot270_clap", {{'r', 270}, {'c', 1, 2, 0, 1}}},
                      StepsCase{"irot180_imir_x_irot90_clap", {{'r', 180}, {'h'}, {'r', 90}, {'c', 1, 0, 0, 3}}},
                      StepsCase{"clap_clap_irot90", {{'c', 1, 0, 0, 1}, {'c', 0, 1, 2, 0}, {'r', 90}}}),
    [](const ::testing::TestParamInfo<StepsCase>& i) { return std::string(i.param.name); });

// A crop that leaves nothing, and a turn that is no quarter, are refused.
TEST(Orientation, RefusesWhatLeavesNoPicture) {
  Orientation crop(7, 4);
  crop.crop(3, 0, 4, 0);
  EXPECT_FALSE(crop.valid());
  Orientation turn(7, 4);
  turn.rotate_ccw(45);
  EXPECT_FALSE(turn.valid());
  Orientation negative(7, 4);  // negative borders count as none
  negative.crop(-2, -1, 0, 0);
  EXPECT_TRUE(negative.valid());
  EXPECT_EQ(negative.out_width(), 7);
  EXPECT_EQ(negative.out_height(), 4);
}

// An auxiliary image half its master's size takes the master's crop at
// half the borders, after the master's turn.
TEST(Orientation, ScaledToAnAuxiliaryImage) {
  Orientation master(16, 8);
  master.rotate_ccw(90);    // 8 x 16
  master.crop(2, 4, 0, 6);  // 6 x 6
  const Orientation aux = master.scaled(8, 4);
  ASSERT_TRUE(aux.valid());
  EXPECT_EQ(aux.out_width(), 3);
  EXPECT_EQ(aux.out_height(), 3);
  const Raster src = numbered(8, 4, 1);
  const Raster expected = placed(placed(src, {'r', 90}), {'c', 1, 2, 0, 3});
  const Raster got = remapped(aux, src, PixelSize{1, 1});
  EXPECT_TRUE(got.pixels == expected.pixels);
}

}  // namespace
