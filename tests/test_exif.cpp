// EXIF parser and the EXIF report of HEIF files.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "fixtures.h"
#include "lumetra.h"
#include "reports/exif_parse.h"

namespace {

const char kAbsent[] = "{\"ExifPresent\":false}";
const char kDefaults[] =
    "{\"Make\":\"\",\"Model\":\"\",\"Orientation\":0,\"Software\":\"\",\"DateTime\":\"\",\"ExposureTime\":\"\","
    "\"FNumber\":0.00,\"ISOSpeedRatings\":0,\"FocalLength\":0.0,\"ExifPresent\":true}";

struct Report {
  int result;
  std::string text;
};

Report parse(const Bytes& block, size_t cap = 8192) {
  std::string buf(cap + 1, '#');
  const int r = parse_exif_to_json(block.data(), block.size(), &buf[0], cap);
  const size_t end = buf.find('\0');
  return Report{r, end == std::string::npos ? buf : buf.substr(0, end)};
}

std::string report(const Bytes& block) { return parse(block).text; }

// The report with the given fields; unnamed fields at their defaults.
struct Fields {
  std::string make, model, software, date_time, exposure;
  int orientation = 0, iso = 0;
  std::string f_number = "0.00", focal = "0.0";
};

std::string expected(const Fields& f) {
  return "{\"Make\":\"" + f.make + "\",\"Model\":\"" + f.model + "\",\"Orientation\":" + std::to_string(f.orientation) +
         ",\"Software\":\"" + f.software + "\",\"DateTime\":\"" + f.date_time + "\",\"ExposureTime\":\"" + f.exposure +
         "\",\"FNumber\":" + f.f_number + ",\"ISOSpeedRatings\":" + std::to_string(f.iso) +
         ",\"FocalLength\":" + f.focal + ",\"ExifPresent\":true}";
}

TiffRecipe camera(bool little) {
  TiffRecipe t;
  t.little = little;
  t.ifd0 = {ascii_entry(271, "Canon"), ascii_entry(272, "EOS 5D Mark IV"), short_entry(274, 6, little),
            ascii_entry(305, "Firmware 1.0.4"), ascii_entry(306, "2024:05:17 10:22:31")};
  t.exif_ifd = {rational_entry(33434, 1, 125, little), rational_entry(33437, 28, 10, little),
                short_entry(34855, 400, little), rational_entry(37386, 56, 10, little)};
  return t;
}

Fields camera_fields() {
  Fields f;
  f.make = "Canon", f.model = "EOS 5D Mark IV", f.software = "Firmware 1.0.4", f.date_time = "2024:05:17 10:22:31";
  f.orientation = 6, f.exposure = "1/125", f.f_number = "2.80", f.iso = 400, f.focal = "5.6";
  return f;
}

Bytes prefixed(const Bytes& prefix, const Bytes& tiff) {
  Bytes b = prefix;
  b.insert(b.end(), tiff.begin(), tiff.end());
  return b;
}

// A little-endian TIFF whose IFD0 is the given raw entries, followed by
// `tail` (for out-of-line values at known offsets: the tail starts at
// 8 + 2 + 12 * n + 4).
Bytes raw_tiff(const std::vector<Bytes>& entries, const Bytes& tail = {}) {
  Bytes b{0x49, 0x49, 0x2A, 0x00, 8, 0, 0, 0, uint8_t(entries.size()), uint8_t(entries.size() >> 8)};
  for (const Bytes& e : entries) b.insert(b.end(), e.begin(), e.end());
  b.insert(b.end(), {0, 0, 0, 0});
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

Bytes raw_entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
  Bytes e = u16_bytes(tag, true);
  for (const Bytes& p : {u16_bytes(type, true), u32_bytes(count, true), u32_bytes(field, true)})
    e.insert(e.end(), p.begin(), p.end());
  return e;
}

}  // namespace

TEST(ExifParse, LayoutsAndByteOrders) {
  const std::string want = expected(camera_fields());
  const Bytes le = build_tiff(camera(true)), be = build_tiff(camera(false));
  EXPECT_EQ(report(le), want);
  EXPECT_EQ(report(be), want);
  EXPECT_EQ(report(prefixed({0, 0, 0, 0}, le)), want);
  EXPECT_EQ(report(prefixed({0xDE, 0xAD, 0xBE, 0xEF}, be)), want);  // offset field never read
  EXPECT_EQ(report(prefixed({'E', 'x', 'i', 'f', 0, 0}, le)), want);
  EXPECT_EQ(report(prefixed({0, 0, 0, 6, 'E', 'x', 'i', 'f', 0, 0}, be)), want);
  EXPECT_EQ(parse(le).result, 1);
}

TEST(ExifParse, HeaderSearch) {
  EXPECT_EQ(parse(Bytes(64, 0)).text, kAbsent);
  EXPECT_EQ(parse(Bytes(64, 0)).result, 0);

  // An empty IFD0 whose header starts at block length - 8: found. The IFD0
  // offset 6 points into the header itself (bytes 6-7 are zero).
  Bytes at_end(20, 0xAA);
  const Bytes header{0x49, 0x49, 0x2A, 0x00, 6, 0, 0, 0};
  at_end.insert(at_end.end(), header.begin(), header.end());
  EXPECT_EQ(parse(at_end).text, kDefaults);
  const Bytes seven_left(at_end.begin(), at_end.end() - 1);  // signature at length - 7
  EXPECT_EQ(parse(seven_left).text, kAbsent);

  // The first signature is final even when its IFD0 is out of range.
  Bytes bad_first{0x4D, 0x4D, 0x00, 0x2A, 0x7F, 0xFF, 0xFF, 0xFF};
  const Bytes good = build_tiff(camera(true));
  EXPECT_EQ(parse(prefixed(bad_first, good)).text, kAbsent);
  EXPECT_EQ(parse(prefixed(bad_first, good)).result, 0);
}

TEST(ExifParse, Ifd0Bounds) {
  // O0 + 2 == L: the count is read from the last two bytes; defaults.
  Bytes tight{0x49, 0x49, 0x2A, 0x00, 8, 0, 0, 0, 5, 0};
  EXPECT_EQ(parse(tight).text, kDefaults);
  EXPECT_EQ(parse(tight).result, 1);
  tight[4] = 9;  // O0 + 2 > L
  EXPECT_EQ(parse(tight).text, kAbsent);
  // Offsets near 2^32 never wrap.
  for (const uint32_t off : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFF8u}) {
    Bytes b = raw_tiff({raw_entry(271, 2, 4, 0x41414141)});
    const Bytes o = u32_bytes(off, true);
    std::copy(o.begin(), o.end(), b.begin() + 4);
    EXPECT_EQ(parse(b).text, kAbsent) << off;
  }
  // An empty IFD0 gives exactly the default report.
  EXPECT_EQ(report(raw_tiff({})), kDefaults);
}

TEST(ExifParse, EntryWalkBounds) {
  // Declared count 3, but only two entries lie wholly inside the block.
  Bytes b = raw_tiff({raw_entry(274, 3, 1, 7), raw_entry(271, 2, 3, 0x00434241)});
  b[8] = 3;
  b.resize(b.size() - 4);  // drop the next-IFD field; a third entry cannot fit
  Fields f;
  f.orientation = 7, f.make = "ABC";
  EXPECT_EQ(report(b), expected(f));
  // The same block cut inside the second entry: only the first is used.
  b.resize(10 + 12 + 11);
  Fields g;
  g.orientation = 7;
  EXPECT_EQ(report(b), expected(g));
}

TEST(ExifParse, OutOfLineValues) {
  // Tail starts at 8 + 2 + 12 * 2 + 4 = 38.
  const Bytes tail{'N', 'i', 'k', 'o', 'n', 0};
  const uint32_t tail_at = 38, len = 38 + 6;
  Fields nikon;
  nikon.make = "Nikon", nikon.orientation = 3;
  EXPECT_EQ(report(raw_tiff({raw_entry(271, 2, 6, tail_at), raw_entry(274, 3, 1, 3)}, tail)), expected(nikon));
  // Offset equal to L: that entry alone is ignored.
  Fields only_orientation;
  only_orientation.orientation = 3;
  EXPECT_EQ(report(raw_tiff({raw_entry(271, 2, 6, len), raw_entry(274, 3, 1, 3)}, tail)), expected(only_orientation));
  // Starts inside but runs past the end: ignored, never read.
  EXPECT_EQ(report(raw_tiff({raw_entry(271, 2, 7, tail_at), raw_entry(274, 3, 1, 3)}, tail)),
            expected(only_orientation));
  EXPECT_EQ(report(raw_tiff({raw_entry(271, 2, 6, 0xFFFFFFFF), raw_entry(274, 3, 1, 3)}, tail)),
            expected(only_orientation));
}

TEST(ExifParse, TextLimitsAndEscaping) {
  auto make_report = [](const Bytes& value, uint16_t tag = 271) {
    TiffRecipe t;
    t.ifd0 = {TiffEntry{tag, 2, static_cast<uint32_t>(value.size()), value}};
    return report(build_tiff(t));
  };
  const std::string a127(127, 'a');
  Fields f;
  f.make = std::string(126, 'a');
  EXPECT_EQ(make_report(Bytes(a127.begin(), a127.end())), expected(f));  // 127 printable: 126 kept
  EXPECT_EQ(make_report(Bytes(128, 'a')), kDefaults);                    // count 128 ignored

  Bytes quote_end(125, 'b');
  quote_end.push_back('"');
  quote_end.push_back(0);
  f.make = std::string(125, 'b') + "\\\"";
  EXPECT_EQ(make_report(quote_end), expected(f));

  Fields d;
  d.date_time = std::string(62, '1');
  EXPECT_EQ(make_report(Bytes(63, '1'), 306), expected(d));
  EXPECT_EQ(make_report(Bytes(64, '1'), 306), kDefaults);

  Fields esc;
  esc.make = "a\\\"b\\\\cd";
  EXPECT_EQ(make_report(Bytes{'a', '"', 'b', '\\', 'c', 0x01, 0x7F, 0xE9, 'd', 0}), expected(esc));

  Fields spaces;
  spaces.model = "X  ";  // trailing spaces stay; text ends at its first zero
  EXPECT_EQ(make_report(Bytes{'X', ' ', ' ', 0, 'Y', 'Z'}, 272), expected(spaces));
  EXPECT_EQ(make_report(Bytes{}, 305), kDefaults);

  TiffRecipe two;
  two.ifd0 = {ascii_entry(271, "FirstMaker"), ascii_entry(271, "Sony")};
  Fields later;
  later.make = "Sony";
  EXPECT_EQ(report(build_tiff(two)), expected(later));
}

TEST(ExifParse, NumbersAndRationals) {
  for (const bool le : {true, false}) {
    for (const uint16_t o : {uint16_t(0), uint16_t(9), uint16_t(65535)}) {
      TiffRecipe t;
      t.little = le;
      t.ifd0 = {short_entry(274, o, le)};
      Fields f;
      f.orientation = o;
      EXPECT_EQ(report(build_tiff(t)), expected(f));
    }
    // ISO stored as a LONG: the 16-bit number at the start of the field.
    TiffRecipe iso;
    iso.little = le;
    iso.exif_ifd = {TiffEntry{34855, 4, 1, u32_bytes(0x00030190, le)}};
    Fields fi;
    fi.iso = le ? 0x0190 : 0x0003;
    EXPECT_EQ(report(build_tiff(iso)), expected(fi)) << le;
  }

  auto exif_with = [](std::vector<TiffEntry> entries) {
    TiffRecipe t;
    t.exif_ifd = std::move(entries);
    return report(build_tiff(t));
  };
  Fields r;
  r.exposure = "10/1250", r.f_number = "4294967295.00", r.focal = "0.3";
  EXPECT_EQ(exif_with({rational_entry(33434, 10, 1250, true), rational_entry(33437, 4294967295u, 1, true),
                       rational_entry(37386, 1, 3, true)}),
            expected(r));
  // Zero denominator, count 0, wrong type: fields stay at their defaults.
  EXPECT_EQ(exif_with({rational_entry(33434, 1, 0, true), TiffEntry{33437, 5, 0, {}},
                       TiffEntry{37386, 4, 1, u32_bytes(50, true)}}),
            kDefaults);
  // An earlier value survives a later unusable one.
  Fields kept;
  kept.f_number = "1.80";
  EXPECT_EQ(exif_with({rational_entry(33437, 18, 10, true), rational_entry(33437, 5, 0, true)}), expected(kept));
  // Exif IFD at 26 with one FNumber whose rational sits at 44, the last 8
  // bytes; one byte less and it is ignored.
  Bytes cut = raw_tiff({raw_entry(34665, 4, 1, 26)},
                       Bytes{1, 0, 0x9D, 0x82, 5, 0, 1, 0, 0, 0, 44, 0, 0, 0, 0, 0, 0, 0, 28, 0, 0, 0, 10, 0, 0, 0});
  Fields fn;
  fn.f_number = "2.80";
  EXPECT_EQ(report(cut), expected(fn));
  cut.resize(cut.size() - 1);
  EXPECT_EQ(report(cut), kDefaults);
  // FNumber in IFD0 and Make in the Exif IFD are ignored.
  TiffRecipe wrong_ifd;
  wrong_ifd.ifd0 = {rational_entry(33437, 28, 10, true)};
  wrong_ifd.exif_ifd = {ascii_entry(271, "Nope")};
  EXPECT_EQ(report(build_tiff(wrong_ifd)), kDefaults);
}

TEST(ExifParse, ExifIfdPointer) {
  Fields only_make;
  only_make.make = "Oly";
  for (const uint32_t ptr : {0u, 0xFFFFFFFFu, 4000u}) {
    EXPECT_EQ(report(raw_tiff({raw_entry(271, 2, 4, 0x00796C4F), raw_entry(34665, 4, 1, ptr)})), expected(only_make))
        << ptr;
  }
  // An empty Exif IFD.
  EXPECT_EQ(report(raw_tiff({raw_entry(34665, 4, 1, 26)}, Bytes{0, 0})), kDefaults);
  // Pointer equal to IFD0: the same entries walked again with the Exif table.
  Bytes self = raw_tiff({raw_entry(34665, 4, 1, 8), raw_entry(34855, 3, 1, 200)});
  Fields iso;
  iso.iso = 200;
  EXPECT_EQ(report(self), expected(iso));
}

TEST(ExifParse, OutputCapacity) {
  const Bytes block = build_tiff(camera(true));
  const std::string full = expected(camera_fields());
  std::string buf(64, '#');
  EXPECT_EQ(parse_exif_to_json(block.data(), block.size(), &buf[0], 21), 0);
  EXPECT_EQ(buf, std::string(64, '#'));
  EXPECT_EQ(parse_exif_to_json(block.data(), block.size(), nullptr, 100), 0);
  for (const size_t cap : {22u, 31u}) {
    const Report r = parse(block, cap);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, kAbsent);
  }
  EXPECT_EQ(parse(block, 32).text, full.substr(0, 31));
  EXPECT_EQ(parse(block, 40).text, full.substr(0, 39));
  EXPECT_EQ(parse(block, 40).result, 1);
  EXPECT_EQ(parse(Bytes{1, 2, 3}, 64).text, kAbsent);
  EXPECT_EQ(parse_exif_to_json(nullptr, 100, &buf[0], 64), 0);
  EXPECT_STREQ(buf.c_str(), kAbsent);
}

TEST(ExifParse, NumbersIgnoreHostLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
#ifdef _WIN32
  const char* kDecimalComma = "German_Germany.1252";
#else
  const char* kDecimalComma = "de_DE.UTF-8";
#endif
  if (std::setlocale(LC_ALL, kDecimalComma) == nullptr) GTEST_SKIP() << kDecimalComma << " not installed";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 2.5);
  EXPECT_STREQ(probe, "2,5");  // the locale really uses a decimal comma
  const std::string got = report(build_tiff(camera(true)));
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(got, expected(camera_fields()));
}

// ---- lumetra_exif ----------------------------------------------------------

namespace {
std::string heif_with_exif(const std::string& name, const Bytes& block) {
  HeifRecipe s;
  s.width = 16, s.height = 16;
  s.exif = block;
  return heif_fixture(name, s);
}
}  // namespace

TEST(ExifReport, FromHeifFiles) {
  const Bytes tiff = build_tiff(camera(false));
  const std::string with = heif_with_exif("exif_mm.heic", prefixed({0, 0, 0, 6, 'E', 'x', 'i', 'f', 0, 0}, tiff));
  const char* r = lumetra_exif(with.c_str());
  ASSERT_NE(r, nullptr) << lumetra_last_error();
  EXPECT_EQ(std::string(r), expected(camera_fields()));
  EXPECT_STREQ(lumetra_last_error(), "");
  const std::string first = r;

  HeifRecipe plain;
  plain.width = 16, plain.height = 16;
  const std::string none = heif_fixture("noexif.heic", plain);
  EXPECT_EQ(lumetra_exif(none.c_str()), r);  // same buffer, new report
  EXPECT_STREQ(r, kAbsent);
  EXPECT_STREQ(lumetra_last_error(), "");

  // Blocks too small to hold anything, or without a signature: absent, success.
  for (const Bytes& small : {Bytes{0, 0, 0, 0}, Bytes{0, 0, 0, 0, 0x49}, Bytes{0, 0, 0, 0, 1, 2, 3}, Bytes(40, 0x11)}) {
    const std::string p = heif_with_exif("small" + std::to_string(small.size()) + ".heic", small);
    ASSERT_EQ(lumetra_exif(with.c_str()), r);
    EXPECT_EQ(lumetra_exif(p.c_str()), r);
    EXPECT_STREQ(r, kAbsent) << small.size();
    EXPECT_STREQ(lumetra_last_error(), "");
  }

  // Failures leave the report as it was.
  ASSERT_EQ(lumetra_exif(with.c_str()), r);
  EXPECT_EQ(lumetra_exif(nullptr), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Invalid null file path for lumetra_exif");
  EXPECT_EQ(lumetra_exif(""), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Invalid null file path for lumetra_exif");
  const std::string text = scratch_path("exif.txt");
  write_file(text, Bytes(64, 't'));
  EXPECT_EQ(lumetra_exif(text.c_str()), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Failed reading HEIC file for EXIF");
  EXPECT_EQ(lumetra_exif("/nonexistent.heic"), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Failed reading HEIC file for EXIF");
  EXPECT_EQ(std::string(r), first);
}
