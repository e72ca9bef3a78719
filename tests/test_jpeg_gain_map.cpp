// The gain map of a JPEG source: Ultra HDR JPEGs the library writes (ISO
// record, else hdrgm XMP), Apple-style MPF JPEGs assembled here, and broken
// indexes, read by load_jpeg_gain_map and checked against the independent
// reader of tests/hdr_reference (its MPF split, ISO parser, libjpeg decode
// and renderer). Then the XMP an Ultra HDR JPEG leaves in a HEIC.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "hdr/jpeg_gain_map.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "lumetra.h"

namespace {

const char kIsoUrn[] = "urn:iso:std:iso:ts:21496:-1";
const char kXmpSig[] = "http://ns.adobe.com/xap/1.0/";
const int kHdrFlags = LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR;

bool starts_with(const Bytes& b, const char* s, size_t n) { return b.size() >= n && std::memcmp(b.data(), s, n) == 0; }

// The segments of a JPEG up to its first scan, as (marker, payload), and
// the rest from SOS on.
struct Split {
  std::vector<std::pair<uint8_t, Bytes>> segments;
  Bytes rest;
};
Split split_jpeg(const Bytes& j) {
  Split s;
  size_t at = 2;
  while (at + 4 <= j.size() && j[at] == 0xFF && j[at + 1] != 0xDA) {
    const size_t len = size_t(j[at + 2]) << 8 | j[at + 3];
    s.segments.emplace_back(j[at + 1], Bytes(j.begin() + long(at) + 4, j.begin() + long(at + 2 + len)));
    at += 2 + len;
  }
  s.rest.assign(j.begin() + long(at), j.end());
  return s;
}
Bytes join_jpeg(const Split& s) {
  Bytes out{0xFF, 0xD8};
  for (const auto& seg : s.segments) {
    const Bytes b = app_segment(seg.first, seg.second);
    out.insert(out.end(), b.begin(), b.end());
  }
  out.insert(out.end(), s.rest.begin(), s.rest.end());
  return out;
}
// The JPEG without its MPF and ISO APP2 segments (keep_iso: with them).
Bytes without_app2(const Bytes& j, bool keep_iso) {
  Split s = split_jpeg(j);
  std::vector<std::pair<uint8_t, Bytes>> kept;
  for (const auto& seg : s.segments) {
    const bool mpf = seg.first == 0xE2 && starts_with(seg.second, "MPF", 4);
    const bool iso = seg.first == 0xE2 && starts_with(seg.second, kIsoUrn, sizeof kIsoUrn);
    if (!mpf && (keep_iso || !iso)) kept.push_back(seg);
  }
  s.segments = kept;
  return join_jpeg(s);
}

Bytes xmp_payload(const std::string& packet) {
  Bytes b(kXmpSig, kXmpSig + sizeof kXmpSig);
  b.insert(b.end(), packet.begin(), packet.end());
  return b;
}

std::string apple_map_xmp(double headroom) {
  std::string x =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
      "<rdf:Description rdf:about=\"\" xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\""
      " xmlns:apdi=\"http://ns.apple.com/pixeldatainfo/1.0/\">"
      "<HDRGainMap:HDRGainMapVersion>65536</HDRGainMap:HDRGainMapVersion>";
  if (headroom > 0) {
    char v[64];
    std::snprintf(v, sizeof v, "%.6f", headroom);
    x += std::string("<HDRGainMap:HDRGainMapHeadroom>") + v + "</HDRGainMap:HDRGainMapHeadroom>";
  }
  return x +
         "<apdi:AuxiliaryImageType>urn:com:apple:photo:2020:aux:hdrgainmap</apdi:AuxiliaryImageType>"
         "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

// ---- the fixtures

// An Ultra HDR JPEG the library writes from a HEIF with a hand-built tmap.
const Bytes& library_ultrahdr() {
  static const Bytes file = [] {
    const std::string heif = tmap_fixture("jgm-tmap", tmap_payload(TmapValues{}), 128, 96);
    const std::string jpg = scratch_path("jgm-ultrahdr.jpg");
    if (lumetra_convert(heif.c_str(), jpg.c_str(), 90, kHdrFlags) != 1) return Bytes();
    return read_file(jpg);
  }();
  return file;
}

UltraHdrParts library_parts() {
  UltraHdrParts parts;
  split_ultrahdr(library_ultrahdr(), &parts);
  return parts;
}

// The same file rebuilt: the primary's and the map's segments edited, the
// MPF index written afresh.
Bytes rebuilt(bool map_keeps_iso, const Bytes* map_iso_record, bool primary_min_version_1, const MpfLayout& l) {
  const UltraHdrParts parts = library_parts();
  Split map = split_jpeg(without_app2(parts.gain_map, map_keeps_iso));
  if (map_iso_record != nullptr) {
    Bytes payload(kIsoUrn, kIsoUrn + sizeof kIsoUrn);
    payload.insert(payload.end(), map_iso_record->begin(), map_iso_record->end());
    map.segments.emplace_back(0xE2, payload);
  }
  Split primary = split_jpeg(without_app2(parts.primary, true));
  for (auto& seg : primary.segments) {
    if (primary_min_version_1 && seg.first == 0xE2 && starts_with(seg.second, kIsoUrn, sizeof kIsoUrn)) {
      seg.second[sizeof kIsoUrn + 1] = 1;
    }
  }
  return with_mpf(join_jpeg(primary), {join_jpeg(map)}, l);
}

// The library's own record in one-denominator form (denominators of 64).
Bytes common_denominator_record() {
  Bytes r{0, 0, 0, 0, 0x08};
  for (uint32_t v : {64u, 0u, 128u, 0u, 128u, 64u, 1u, 1u}) put(&r, v, 4, true);
  return r;
}

// An iPhone-style HDR JPEG: a picture with Apple's maker note, and a grey
// half-size map whose XMP is Apple's.
Bytes apple_jpeg(double xmp_headroom, bool big_mpf) {
  const Bytes tiff = apple_exif(8432, 10000, 802, 100000, !big_mpf);
  Bytes app1{'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff.begin(), tiff.end());
  const Bytes primary = jpeg_with_segments({app_segment(0xE1, app1)}, 256, 192);
  const Bytes map = grey_jpeg(128, 96, {{0xE1, xmp_payload(apple_map_xmp(xmp_headroom))}});
  MpfLayout l;
  l.big = big_mpf;
  return with_mpf(primary, {map}, l);
}
double maker_note_headroom() { return std::exp2(-20 * 0.00802 + 1.8); }

Bytes patched(Bytes b, size_t at, uint8_t v) {
  if (at < b.size()) b[at] = v;
  return b;
}

// What a case expects.
enum class Expect { Iso, Hdrgm, Apple, None, Error };

struct Case {
  const char* name;
  Bytes (*file)();
  Expect expect;
  const char* why;        // part of the error text (Error)
  double apple_headroom;  // Apple: the H the independent rule gives
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The map image an MPF file lists second, through the reference splitter's
// rules (offsets from the MPF TIFF header), and its model from the original
// library record.
Bytes second_image(const Bytes& file) {
  for (size_t at = 2; at + 8 < file.size();) {
    const size_t len = size_t(file[at + 2]) << 8 | file[at + 3];
    if (file[at + 1] == 0xE2 && std::memcmp(&file[at + 4], "MPF", 4) == 0) {
      const bool big = file[at + 8] == 'M';
      auto u32 = [&](size_t p) {
        return big ? uint32_t(file[p]) << 24 | uint32_t(file[p + 1]) << 16 | uint32_t(file[p + 2]) << 8 | file[p + 3]
                   : uint32_t(file[p + 3]) << 24 | uint32_t(file[p + 2]) << 16 | uint32_t(file[p + 1]) << 8 | file[p];
      };
      const size_t tiff = at + 8, entries = tiff + 8 + 2 + 36 + 4;
      return Bytes(file.begin() + long(tiff + u32(entries + 24)),
                   file.begin() + long(tiff + u32(entries + 24) + u32(entries + 20)));
    }
    at += 2 + len;
  }
  return Bytes();
}

GainModel model_of(const GainMapMetadata& md) {
  GainModel m;
  m.channels = md.multichannel ? 3 : 1;
  m.base_headroom = md.base_headroom.value(), m.alternate_headroom = md.alternate_headroom.value();
  for (int c = 0; c < m.channels; ++c) {
    const GainMapChannel& ch = md.channel[c];
    m.min[c] = ch.min.value(), m.max[c] = ch.max.value(), m.gamma[c] = ch.gamma.value();
    m.offset_sdr[c] = ch.base_offset.value(), m.offset_hdr[c] = ch.alternate_offset.value();
  }
  return m;
}

const Case kCases[] = {
    {"ultrahdr_written_by_library", [] { return library_ultrahdr(); }, Expect::Iso, "", 0},
    {"ultrahdr_little_endian_mpf",
     [] {
       MpfLayout l;
       l.big = false;
       return rebuilt(true, nullptr, false, l);
     },
     Expect::Iso, "", 0},
    {"ultrahdr_common_denominator_record",
     [] {
       const Bytes r = common_denominator_record();
       return rebuilt(false, &r, false, MpfLayout{});
     },
     Expect::Iso, "", 0},
    {"ultrahdr_xmp_only", [] { return rebuilt(false, nullptr, false, MpfLayout{}); }, Expect::Hdrgm, "", 0},
    {"ultrahdr_newer_minimum_version", [] { return rebuilt(true, nullptr, true, MpfLayout{}); }, Expect::Hdrgm, "", 0},
    {"apple_headroom_from_xmp", [] { return apple_jpeg(2.682468, true); }, Expect::Apple, "", 2.682468},
    {"apple_headroom_from_maker_note", [] { return apple_jpeg(0, false); }, Expect::Apple, "", maker_note_headroom()},
    {"plain_jpeg", [] { return jpeg_with_segments({}, 64, 48); }, Expect::None, "", 0},
    {"camera_preview_image",
     [] { return with_mpf(jpeg_with_segments({}, 64, 48), {jpeg_with_segments({}, 32, 24)}, MpfLayout{}); },
     Expect::None, "", 0},
    {"mpf_offset_beyond_file",
     [] {
       MpfLayout l;
       l.second_offset = 0x7FFFFFF0;
       return rebuilt(true, nullptr, false, l);
     },
     Expect::Error, "beyond the end of the file", 0},
    {"truncated_file",
     [] {
       const Bytes& f = library_ultrahdr();
       return Bytes(f.begin(), f.end() - 100);
     },
     Expect::Error, "beyond the end of the file", 0},
    {"truncated_second_image",
     [] {
       const UltraHdrParts parts = library_parts();
       const Bytes cut(parts.gain_map.begin(), parts.gain_map.begin() + long(parts.gain_map.size() * 2 / 3));
       return with_mpf(without_app2(parts.primary, true), {cut}, MpfLayout{});
     },
     Expect::Error, "cannot be decoded", 0},
    {"mpf_count_huge",
     [] {
       MpfLayout l;
       l.number_of_images = 0xFFFFFFFF;
       return rebuilt(true, nullptr, false, l);
     },
     Expect::Error, "MPF index is damaged", 0},
    {"mpf_entries_huge",
     [] {
       MpfLayout l;
       l.entry_bytes = 0xFFFFFFF0;
       return rebuilt(true, nullptr, false, l);
     },
     Expect::Error, "MPF index is damaged", 0},
    {"second_image_not_a_jpeg",
     [] {
       const UltraHdrParts parts = library_parts();
       Bytes other = parts.gain_map;
       other[0] = 'x', other[1] = 'x';
       return with_mpf(without_app2(parts.primary, true), {other}, MpfLayout{});
     },
     Expect::Error, "other than a JPEG", 0},
    {"apple_without_headroom",
     [] {
       const Bytes primary = jpeg_with_segments({}, 256, 192);
       return with_mpf(primary, {grey_jpeg(128, 96, {{0xE1, xmp_payload(apple_map_xmp(0))}})}, MpfLayout{});
     },
     Expect::Error, "no HDR headroom", 0},
    {"apple_map_larger_than_picture",
     [] {
       const Bytes primary = jpeg_with_segments({}, 64, 48);
       return with_mpf(primary, {grey_jpeg(128, 96, {{0xE1, xmp_payload(apple_map_xmp(2))}})}, MpfLayout{});
     },
     Expect::Error, "larger than the picture", 0},
};

class JpegGainMap : public ::testing::TestWithParam<Case> {};

TEST_P(JpegGainMap, ReadsAsTheIndependentReaderDoes) {
  const Case& c = GetParam();
  ASSERT_FALSE(library_ultrahdr().empty()) << lumetra_last_error();
  const Bytes file = c.file();
  ASSERT_FALSE(file.empty());
  GainMap map;
  std::string why;
  const bool ok = load_jpeg_gain_map(file.data(), file.size(), &map, &why);
  if (c.expect == Expect::Error) {
    EXPECT_FALSE(ok);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(map.kind, GainMapKind::None);
    EXPECT_TRUE(map.pixels.empty());
    return;
  }
  ASSERT_TRUE(ok) << why;
  if (c.expect == Expect::None) {
    EXPECT_EQ(map.kind, GainMapKind::None);
    EXPECT_TRUE(map.pixels.empty());
    return;
  }
  const GainMapKind kinds[] = {GainMapKind::Iso21496, GainMapKind::HdrgmXmp, GainMapKind::Apple};
  EXPECT_EQ(map.kind, kinds[int(c.expect)]);
  // The map: libjpeg's own decode of the second image, at its own size.
  const Bytes map_jpeg = second_image(file);
  const Raster reference = jpeg_decode(map_jpeg);
  ASSERT_GT(reference.width, 0);
  EXPECT_EQ(map.width, reference.width);
  EXPECT_EQ(map.height, reference.height);
  EXPECT_EQ(map.channels, reference.channels);
  ASSERT_EQ(map.pixels.size(), reference.pixels.size());
  const GainModel got = model_of(map.metadata);
  if (c.expect != Expect::Apple) {
    EXPECT_TRUE(map.pixels == reference.pixels);
    // The metadata: the record the library wrote, parsed independently
    // (the XMP's decimals agree to 1e-6).
    GainModel want;
    bool found = false;
    for (const Bytes& s : library_parts().gain_map_app2) {
      if (starts_with(s, kIsoUrn, sizeof kIsoUrn)) {
        found = parse_iso_record(Bytes(s.begin() + sizeof kIsoUrn, s.end()), false, &want);
      }
    }
    ASSERT_TRUE(found);
    const double tolerance = c.expect == Expect::Iso ? 0 : 1e-6;
    EXPECT_EQ(got.channels, want.channels);
    EXPECT_NEAR(got.base_headroom, want.base_headroom, tolerance);
    EXPECT_NEAR(got.alternate_headroom, want.alternate_headroom, tolerance);
    for (int k = 0; k < want.channels; ++k) {
      EXPECT_NEAR(got.min[k], want.min[k], tolerance);
      EXPECT_NEAR(got.max[k], want.max[k], tolerance);
      EXPECT_NEAR(got.gamma[k], want.gamma[k], tolerance);
      EXPECT_NEAR(got.offset_sdr[k], want.offset_sdr[k], tolerance);
      EXPECT_NEAR(got.offset_hdr[k], want.offset_hdr[k], tolerance);
    }
    return;
  }
  // Apple's: the headroom, and the ISO re-expression rendering as Apple's
  // own formula on the same picture.
  EXPECT_NEAR(std::exp2(got.alternate_headroom), c.apple_headroom, 1e-5);
  GainModel apple;
  apple.apple = true;
  apple.apple_headroom = c.apple_headroom;
  Raster as_iso = reference;
  as_iso.pixels = map.pixels;
  const Raster primary = jpeg_decode(file);
  const Agreement a = compare_renditions(primary, reference, apple, primary, as_iso, got, 1);
  EXPECT_GT(a.pixels, 0u);
  EXPECT_LE(a.mean_stops, 0.01);
  EXPECT_LE(a.p99_stops, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Hdr, JpegGainMap, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// Every corpus JPEG: no gain map, or one that reads as the independent
// reader reads it, or a clear error; what it found is printed.
TEST(Corpus, JpegGainMaps) {
  const std::string dir = std::string(LUMETRA_CORPUS) + "/raster/jpeg";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
  int maps = 0, errors = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const Bytes file = read_file(entry.path().string());
    GainMap map;
    std::string why;
    const bool ok = load_jpeg_gain_map(file.data(), file.size(), &map, &why);
    UltraHdrParts parts;
    const bool splits = split_ultrahdr(file, &parts);
    if (!ok) {
      ++errors;
      EXPECT_FALSE(why.empty()) << name;
      std::printf("%s: gain map not usable: %s\n", name.c_str(), why.c_str());
      continue;
    }
    if (map.kind == GainMapKind::None) {
      EXPECT_FALSE(splits) << name << ": the reference reader finds a gain map";
      continue;
    }
    ++maps;
    const Raster reference = jpeg_decode(second_image(file));
    EXPECT_TRUE(map.kind == GainMapKind::Apple || map.pixels == reference.pixels) << name;
    std::printf("%s: %s gain map %dx%d, %d channel(s), headroom %.3f\n", name.c_str(), gain_map_kind_name(map.kind),
                map.width, map.height, map.channels, std::exp2(map.metadata.alternate_headroom.value()));
  }
  std::printf("corpus JPEGs: %d gain map(s) read, %d refused\n", maps, errors);
}

}  // namespace
