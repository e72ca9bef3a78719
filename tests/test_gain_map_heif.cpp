// Gain maps written into HEIC and AVIF outputs, read back with the tests'
// own box walker, libheif and the reference ISO record parser.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <libheif/heif.h>
#include <libheif/heif_items.h>

#include "base/heif_holders.h"
#include "box_walker.h"
#include "fixtures.h"
#include "hdr/gain_map.h"
#include "hdr/gain_map_heif.h"
#include "hdr/ultrahdr_jpeg.h"
#include "hdr_reference.h"
#include "heif/encoder.h"

namespace {

const int kWidth = 256, kHeight = 192, kMapWidth = 128, kMapHeight = 96;
const int kOddWidth = 255, kOddHeight = 191;  // HEVC codes them with a clap

uint8_t map_sample(int x, int y, int c) { return uint8_t(30 + x * 150 / kMapWidth + y * 40 / kMapHeight + 20 * c); }

GainMapMetadata metadata(bool multichannel) {
  GainMapMetadata md;
  md.multichannel = multichannel;
  md.use_base_colour_space = !multichannel;
  md.base_headroom = {0, 1};
  md.alternate_headroom = {26, 10};
  const GainMapChannel channels[3] = {{{-1, 4}, {5, 2}, {1, 1}, {1, 64}, {1, 64}},
                                      {{0, 1}, {2, 1}, {12, 10}, {1, 32}, {0, 1}},
                                      {{-1, 8}, {9, 4}, {1, 1}, {0, 1}, {1, 128}}};
  for (int c = 0; c < 3; ++c) md.channel[c] = channels[c];
  return md;
}

GainMap test_map(int channels) {
  GainMap map;
  map.kind = GainMapKind::Iso21496;
  map.metadata = metadata(channels == 3);
  map.width = kMapWidth;
  map.height = kMapHeight;
  map.channels = channels;
  for (int y = 0; y < kMapHeight; ++y) {
    for (int x = 0; x < kMapWidth; ++x) {
      for (int c = 0; c < channels; ++c) map.pixels.push_back(map_sample(x, y, c));
    }
  }
  return map;
}

// The tmap payload as the record's layout has it, written out by hand.
Bytes expected_payload(const GainMapMetadata& md) {
  Bytes b{0, 0, 0, 0, 0, uint8_t((md.multichannel ? 0x80 : 0) | (md.use_base_colour_space ? 0x40 : 0))};
  auto put = [&b](const GainFraction& f) {
    for (const uint32_t v : {uint32_t(f.n), f.d}) {
      for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
    }
  };
  put(md.base_headroom);
  put(md.alternate_headroom);
  for (int c = 0; c < (md.multichannel ? 3 : 1); ++c) {
    const GainMapChannel& ch = md.channel[c];
    for (const GainFraction* f : {&ch.min, &ch.max, &ch.gamma, &ch.base_offset, &ch.alternate_offset}) put(*f);
  }
  return b;
}

// Mean absolute difference of a decoded map's samples from the input's.
double mean_difference(const uint8_t* plane, int stride, int channels) {
  double diff = 0;
  for (int y = 0; y < kMapHeight; ++y) {
    for (int x = 0; x < kMapWidth * channels; ++x) {
      diff += std::abs(int(plane[y * stride + x]) - int(map_sample(x / channels, y, x % channels)));
    }
  }
  return diff / (kMapWidth * kMapHeight * channels);
}

// Passes the writer through, keeping the bytes libheif wrote.
class Recording : public HeifAddition {
 public:
  explicit Recording(HeifAddition* inner) : inner_(inner) {}
  bool add(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder) override {
    return inner_->add(ctx, primary, encoder);
  }
  const char* finish(std::vector<uint8_t>* file) override {
    written = *file;
    return inner_->finish(file);
  }
  Bytes written;

 private:
  HeifAddition* inner_;
};

bool encode(const std::string& path, bool av1, HeifAddition* addition, int width = kWidth, int height = kHeight) {
  ContextHolder ctx(heif_context_alloc());
  EncoderHolder encoder;
  if (!heif_encoder_for(ctx.get(), av1 ? heif_compression_AV1 : heif_compression_HEVC, 80, &encoder)) return false;
  // The fixtures' fast settings: the same for the files with and without a map.
  if (av1)
    heif_encoder_set_parameter_integer(encoder.get(), "speed", 9);
  else
    heif_encoder_set_parameter_string(encoder.get(), "preset", "ultrafast");
  Bytes pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width * 3; ++x) pixels.push_back(gradient_pixel(x / 3, y, x % 3));
  }
  ImageHolder image;
  if (!fill_heif_image(pixels.data(), width, height, 3, &image)) return false;
  std::vector<HeifAddition*> additions;
  if (addition != nullptr) additions.push_back(addition);
  return encode_heif_file(ctx.get(), encoder.get(), image.get(), {}, {}, path.c_str(), additions);
}

struct GainMapCase {
  const char* name;
  bool av1;
  int channels;
  bool rendition;  // the HDR rendition's colr and clli are known
  bool odd;        // a primary of odd width and height
};
void PrintTo(const GainMapCase& c, std::ostream* os) { *os << c.name; }

class GainMapHeif : public ::testing::TestWithParam<GainMapCase> {};

TEST_P(GainMapHeif, WrittenInLibavifLayout) {
  const GainMapCase& c = GetParam();
  if (!libheif_encodes(c.av1, 8)) GTEST_SKIP() << "no encoder";
  const std::string ext = c.av1 ? ".avif" : ".heic";
  const std::string with = scratch_path(std::string("gm-with-") + c.name + ext);
  const std::string without = scratch_path(std::string("gm-without-") + c.name + ext);
  HdrRendition hdr;
  if (c.rendition) {
    hdr.has_nclx = true;
    hdr.colour_primaries = 9, hdr.transfer_characteristics = 16, hdr.matrix_coefficients = 0;
    hdr.max_cll = 1000, hdr.max_pall = 400;
  }
  const GainMap map = test_map(c.channels);
  std::unique_ptr<GainMapHeifWriter> writer = gain_map_addition(map, hdr);
  Recording recording(writer.get());
  clear_hdr_note();
  const int width = c.odd ? kOddWidth : kWidth, height = c.odd ? kOddHeight : kHeight;
  ASSERT_TRUE(encode(with, c.av1, &recording, width, height));
  ASSERT_TRUE(encode(without, c.av1, nullptr, width, height));
  EXPECT_TRUE(writer->kept());
  EXPECT_STREQ(last_hdr_note(), "");

  // The boxes, read by the tests' own walker.
  const Bytes file = read_file(with);
  WalkedFile w, before;
  std::string why;
  ASSERT_TRUE(walk_heif(file, &w, &why)) << why;
  ASSERT_TRUE(walk_heif(recording.written, &before, &why)) << why;
  EXPECT_EQ(w.major, c.av1 ? "avif" : "heic");
  Bytes tmap_payload;
  uint32_t tmap = 0;
  for (const auto& item : w.items) {
    if (item.second.type == "tmap") tmap = item.first;
  }
  ASSERT_NE(tmap, 0u);
  std::vector<std::string> brands = before.brands;
  brands.push_back("tmap");
  EXPECT_EQ(w.brands, brands);
  uint32_t map_id = 0;
  for (const WalkedFile::Reference& r : w.references) {
    if (r.type != "dimg" || r.from != tmap) continue;
    ASSERT_EQ(r.to.size(), 2u);
    EXPECT_EQ(r.to[0], w.primary);
    map_id = r.to[1];
  }
  ASSERT_NE(map_id, 0u);
  EXPECT_EQ(w.items[map_id].flags & 1, 1u) << "gain map not hidden";
  EXPECT_EQ(before.items[map_id].flags & 1, 0u);
  EXPECT_EQ(w.items[w.primary].flags & 1, 0u);
  EXPECT_EQ(w.items[map_id].type, c.av1 ? "av01" : "hvc1");
  ASSERT_EQ(w.groups.size(), 1u);
  EXPECT_EQ(w.groups[0].type, "altr");
  EXPECT_EQ(w.groups[0].entities, (std::vector<uint32_t>{tmap, w.primary}));
  EXPECT_EQ(w.items.count(w.groups[0].id), 0u) << "group ID taken by an item";

  // Properties: the map's own, and the tmap item's.
  Bytes p, q;
  for (const char* type : {"ispe", "pixi", "colr"}) EXPECT_TRUE(walked_property(w, map_id, type, &p)) << type;
  ASSERT_TRUE(walked_property(w, tmap, "ispe", &p));
  ASSERT_TRUE(walked_property(w, w.primary, "ispe", &q));
  EXPECT_EQ(p, q);
  EXPECT_EQ(walked_property(w, tmap, "colr", &p), c.rendition);
  if (c.rendition) EXPECT_EQ(p, (Bytes{'n', 'c', 'l', 'x', 0, 9, 0, 16, 0, 0, 0x80}));
  EXPECT_EQ(walked_property(w, tmap, "clli", &p), c.rendition);
  if (c.rendition) EXPECT_EQ(p, (Bytes{0x03, 0xE8, 0x01, 0x90}));

  // Every item's data is where the edited iloc says, as libheif wrote it.
  for (const auto& loc : before.locations) {
    const Bytes data = walked_item_data(recording.written, before, loc.first);
    EXPECT_FALSE(data.empty()) << "item " << loc.first;
    EXPECT_EQ(walked_item_data(file, w, loc.first), data) << "item " << loc.first;
    for (const WalkedFile::Extent& e : w.locations[loc.first].extents) {
      if (w.locations[loc.first].method != 0) continue;
      EXPECT_TRUE(e.start >= w.mdat_start && e.start + e.length <= w.mdat_end) << "item " << loc.first;
    }
  }

  // The tmap payload: the record of the metadata given.
  tmap_payload = walked_item_data(file, w, tmap);
  EXPECT_EQ(tmap_payload, expected_payload(map.metadata));
  GainModel model;
  ASSERT_TRUE(parse_iso_record(tmap_payload, true, &model));
  const GainMapMetadata& md = map.metadata;
  EXPECT_EQ(model.channels, c.channels);
  EXPECT_DOUBLE_EQ(model.base_headroom, md.base_headroom.value());
  EXPECT_DOUBLE_EQ(model.alternate_headroom, md.alternate_headroom.value());
  for (int k = 0; k < model.channels; ++k) {
    EXPECT_DOUBLE_EQ(model.min[k], md.channel[k].min.value());
    EXPECT_DOUBLE_EQ(model.max[k], md.channel[k].max.value());
    EXPECT_DOUBLE_EQ(model.gamma[k], md.channel[k].gamma.value());
    EXPECT_DOUBLE_EQ(model.offset_sdr[k], md.channel[k].base_offset.value());
    EXPECT_DOUBLE_EQ(model.offset_hdr[k], md.channel[k].alternate_offset.value());
  }

  // libheif: one top-level image, the primary unchanged, the map by its ID.
  const Raster primary = libheif_decode(with, false);
  EXPECT_EQ(primary.width, width);
  EXPECT_EQ(primary.height, height);
  EXPECT_EQ(primary.pixels, libheif_decode(without, false).pixels);
  ContextHolder ctx(heif_context_alloc());
  ASSERT_EQ(heif_context_read_from_memory_without_copy(ctx.get(), file.data(), file.size(), nullptr).code,
            heif_error_Ok);
  EXPECT_EQ(heif_context_get_number_of_top_level_images(ctx.get()), 1);
  EXPECT_TRUE(heif_item_is_item_hidden(ctx.get(), map_id));
  HandleHolder handle;
  ASSERT_EQ(heif_context_get_image_handle(ctx.get(), map_id, handle.out()).code, heif_error_Ok);
  ImageHolder decoded;
  const bool grey = c.channels == 1;
  ASSERT_EQ(heif_decode_image(handle.get(), decoded.out(), grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
                              grey ? heif_chroma_monochrome : heif_chroma_interleaved_RGB, nullptr)
                .code,
            heif_error_Ok);
  ASSERT_EQ(heif_image_get_primary_width(decoded.get()), kMapWidth);
  ASSERT_EQ(heif_image_get_primary_height(decoded.get()), kMapHeight);
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(decoded.get(), grey ? heif_channel_Y : heif_channel_interleaved, &stride);
  ASSERT_NE(plane, nullptr);
  EXPECT_LE(mean_difference(plane, stride, c.channels), 2.0);

  // The library's own reader finds the same map and metadata again.
  HandleHolder base;
  ASSERT_EQ(heif_context_get_primary_image_handle(ctx.get(), base.out()).code, heif_error_Ok);
  GainMap back;
  std::string reason;
  ASSERT_TRUE(load_gain_map(ctx.get(), base.get(), &back, &reason)) << reason;
  EXPECT_EQ(back.kind, GainMapKind::Iso21496);
  ASSERT_EQ(back.width, kMapWidth);
  ASSERT_EQ(back.height, kMapHeight);
  ASSERT_EQ(back.channels, c.channels);
  EXPECT_EQ(expected_payload(back.metadata), expected_payload(md));
  EXPECT_LE(mean_difference(back.pixels.data(), kMapWidth * c.channels, c.channels), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Hdr, GainMapHeif,
                         ::testing::Values(GainMapCase{"heic_grey_odd", false, 1, false, true},
                                           GainMapCase{"heic_rgb", false, 3, true, false},
                                           GainMapCase{"avif_grey_odd", true, 1, true, true},
                                           GainMapCase{"avif_rgb", true, 3, false, false}),
                         [](const ::testing::TestParamInfo<GainMapCase>& i) { return std::string(i.param.name); });

// Maps that cannot be written are left out with a note, and the file is
// written without them.
struct LeftOutCase {
  const char* name;
  void (*change)(GainMap*);
  const char* note;
};
void PrintTo(const LeftOutCase& c, std::ostream* os) { *os << c.name; }

class GainMapLeftOut : public ::testing::TestWithParam<LeftOutCase> {};

TEST_P(GainMapLeftOut, SaysWhy) {
  GainMap map = test_map(1);
  GetParam().change(&map);
  std::unique_ptr<GainMapHeifWriter> writer = gain_map_addition(map);
  const std::string path = scratch_path(std::string("gm-left-out-") + GetParam().name + ".heic");
  clear_hdr_note();
  ASSERT_TRUE(encode(path, false, writer.get()));
  EXPECT_FALSE(writer->kept());
  EXPECT_STREQ(last_hdr_note(), GetParam().note);
  WalkedFile w;
  std::string why;
  ASSERT_TRUE(walk_heif(read_file(path), &w, &why)) << why;
  EXPECT_EQ(w.groups.size(), 0u);
  for (const auto& item : w.items) EXPECT_NE(item.second.type, "tmap");
  for (const std::string& b : w.brands) EXPECT_NE(b, "tmap");
}

INSTANTIATE_TEST_SUITE_P(
    Hdr, GainMapLeftOut,
    ::testing::Values(
        LeftOutCase{"other_shape", [](GainMap* m) { m->height = kMapWidth, m->pixels.resize(kMapWidth * kMapWidth); },
                    "gain map does not line up with the picture"},
        LeftOutCase{
            "larger",
            [](GainMap* m) { m->width = 2 * kWidth, m->height = 2 * kHeight, m->pixels.resize(4 * kWidth * kHeight); },
            "gain map is larger than the picture"},
        LeftOutCase{"short_pixels", [](GainMap* m) { m->pixels.pop_back(); },
                    "gain map pixels are not an 8-bit grey or RGB picture"},
        LeftOutCase{"zero_denominator", [](GainMap* m) { m->metadata.channel[0].gamma.d = 0; },
                    "gain map metadata cannot be written"},
        LeftOutCase{"numerator_too_large", [](GainMap* m) { m->metadata.channel[0].max.n = int64_t(1) << 31; },
                    "gain map metadata cannot be written"}),
    [](const ::testing::TestParamInfo<LeftOutCase>& i) { return std::string(i.param.name); });

}  // namespace
