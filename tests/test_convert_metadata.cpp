// lumetra_convert: colour profile, EXIF and XMP carried both ways and read
// back by independent readers (exiftool, libheif, stb), orientation, depth.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <libheif/heif.h>
#include <stb/stb_image.h>
#include <zlib.h>

#include "fixtures.h"
#include "lumetra.h"

namespace {

Bytes icc_of(const std::string& file) {
  const std::string raw = capture("exiftool -b -ICC_Profile '" + file + "' 2>/dev/null");
  return Bytes(raw.begin(), raw.end());
}

// TIFF data with Make and Orientation, padded to `size` bytes when asked.
Bytes tiff_block(int orientation, size_t size = 0) {
  TiffRecipe t;
  t.little = false;
  t.ifd0 = {ascii_entry(0x010F, "Lumetra"), short_entry(0x0112, static_cast<uint16_t>(orientation), false)};
  Bytes b = build_tiff(t);
  if (b.size() < size) b.resize(size, 0);
  return b;
}

std::string xmp_packet(int orientation) {
  return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
         "<rdf:Description xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"" +
         std::to_string(orientation) + "\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"/></rdf:RDF></x:xmpmeta>";
}

Bytes u32(uint32_t v) { return u32_bytes(v, false); }

std::string last_error() { return lumetra_last_error(); }

// An asymmetric pattern: a turn or a flip shows.
uint8_t pattern(int x, int y, int c) {
  switch (c) {
    case 0: return static_cast<uint8_t>(x * 4);
    case 1: return static_cast<uint8_t>(y * 5);
    default: return static_cast<uint8_t>(x < 20 ? 220 : 30);
  }
}

// A HEIF holding profile, EXIF (Orientation 6), XMP (tiff:Orientation 6)
// and an irot, as a phone writes it.
std::string phone_like_heif(const Bytes& exif_item) {
  HeifRecipe s;
  s.width = 64, s.height = 48, s.orientation = 6, s.pixel = pattern;
  s.icc = test_icc_profile("Lumetra Test P3");
  s.exif = exif_item;
  s.xmp_text = xmp_packet(6);
  static int n = 0;
  const std::string path = scratch_path("phone" + std::to_string(n++) + ".heic");
  write_heif(path, s);
  return path;
}

Bytes with_offset_field(uint32_t offset, const Bytes& payload) {
  Bytes b = u32(offset);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

}  // namespace

// The flags and what the output keeps of the phone-like HEIF's profile,
// EXIF and XMP.
struct FlagsCase {
  const char* name;
  int flags;
  bool icc, exif, xmp;
};

void PrintTo(const FlagsCase& c, std::ostream* os) { *os << c.name; }

class CarriedMetadata : public ::testing::TestWithParam<std::tuple<FlagsCase, const char*>> {};

TEST_P(CarriedMetadata, IsWhatTheFlagsSay) {
  if (!have_exiftool()) GTEST_SKIP() << "exiftool not installed";
  const FlagsCase& c = std::get<0>(GetParam());
  const std::string ext = std::get<1>(GetParam());
  const Bytes icc = test_icc_profile("Lumetra Test P3");
  const std::string in = phone_like_heif(with_offset_field(0, tiff_block(6)));
  const std::string out = scratch_path(std::string("carried-") + c.name + "." + ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, c.flags), 1) << last_error();
  EXPECT_EQ(last_error(), "");
  EXPECT_EQ(icc_of(out) == icc, c.icc);
  EXPECT_EQ(exif_tag(out, "IFD0:Make"), c.exif ? "Lumetra" : "");
  EXPECT_EQ(exif_tag(out, "IFD0:Orientation"), c.exif ? "1" : "");  // the pixels are upright
  EXPECT_EQ(exif_tag(out, "XMP-tiff:Orientation"), c.xmp ? "1" : "");
  int w = 0, h = 0, ch = 0;
  ASSERT_TRUE(stbi_info(out.c_str(), &w, &h, &ch));
  EXPECT_EQ(w, 48);  // turned by the irot
  EXPECT_EQ(h, 64);
}

INSTANTIATE_TEST_SUITE_P(ConvertMetadata, CarriedMetadata,
                         ::testing::Combine(::testing::Values(FlagsCase{"all", LUMETRA_KEEP_METADATA, true, true, true},
                                                              FlagsCase{"none", 0, false, false, false},
                                                              FlagsCase{"icc", LUMETRA_KEEP_ICC, true, false, false},
                                                              FlagsCase{"exif", LUMETRA_KEEP_EXIF, false, true, false},
                                                              FlagsCase{"xmp", LUMETRA_KEEP_XMP, false, false, true}),
                                            ::testing::Values("jpg", "png")),
                         [](const ::testing::TestParamInfo<std::tuple<FlagsCase, const char*>>& info) {
                           return std::string(std::get<1>(info.param)) + "_keeps_" + std::get<0>(info.param).name;
                         });

// BMP has no place for metadata: the picture alone.
TEST(ConvertMetadata, BmpGetsThePictureAlone) {
  const std::string in = phone_like_heif(with_offset_field(0, tiff_block(6)));
  const std::string bmp = scratch_path("carried.bmp");
  ASSERT_EQ(lumetra_convert(in.c_str(), bmp.c_str(), 0, LUMETRA_KEEP_METADATA), 1) << last_error();
  EXPECT_EQ(stb_load(bmp).width, 48);
}

// An EXIF item in one of the shapes files hold it in.
struct ExifItemCase {
  const char* name;
  Bytes (*item)();
};

void PrintTo(const ExifItemCase& c, std::ostream* os) { *os << c.name; }

Bytes exif_prefixed_tiff() {
  const Bytes tiff = tiff_block(6);
  Bytes b{'E', 'x', 'i', 'f', 0, 0};
  b.insert(b.end(), tiff.begin(), tiff.end());
  return b;
}

const ExifItemCase kExifItems[] = {
    {"offset_right", [] { return with_offset_field(0, tiff_block(6)); }},
    {"offset_wrong", [] { return with_offset_field(1000, tiff_block(6)); }},
    {"exif_prefix", [] { return with_offset_field(6, exif_prefixed_tiff()); }},
    {"app1_marker",
     [] {
       const Bytes prefixed = exif_prefixed_tiff();
       Bytes app1{0xFF, 0xE1, uint8_t((prefixed.size() + 2) >> 8), uint8_t(prefixed.size() + 2)};
       app1.insert(app1.end(), prefixed.begin(), prefixed.end());
       return with_offset_field(0, app1);
     }},
    {"no_offset_field", [] { return tiff_block(6); }},
};

class ExifItem : public ::testing::TestWithParam<ExifItemCase> {};

TEST_P(ExifItem, IsFoundWhateverItLooksLike) {
  if (!have_exiftool()) GTEST_SKIP() << "exiftool not installed";
  const std::string in = phone_like_heif(GetParam().item()), out = scratch_path("variant.jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_EXIF), 1) << last_error();
  EXPECT_EQ(exif_tag(out, "IFD0:Make"), "Lumetra");
  EXPECT_EQ(exif_tag(out, "IFD0:Orientation"), "1");
}

INSTANTIATE_TEST_SUITE_P(ConvertMetadata, ExifItem, ::testing::ValuesIn(kExifItems),
                         [](const ::testing::TestParamInfo<ExifItemCase>& info) { return info.param.name; });

TEST(ConvertMetadata, ExifAtTheApp1Limit) {
  if (!have_exiftool()) GTEST_SKIP() << "exiftool not installed";
  // One APP1 segment holds 65533 bytes: "Exif\0\0" and 65527 of TIFF fit,
  // one more is left out of the JPEG (readers do not join split EXIF) but
  // not out of the PNG.
  for (const size_t size : {size_t(65527), size_t(65528)}) {
    const std::string in = phone_like_heif(with_offset_field(0, tiff_block(6, size)));
    const std::string jpg = scratch_path("big.jpg"), png = scratch_path("big.png");
    ASSERT_EQ(lumetra_convert(in.c_str(), jpg.c_str(), 0, LUMETRA_KEEP_EXIF), 1) << last_error();
    ASSERT_EQ(lumetra_convert(in.c_str(), png.c_str(), 0, LUMETRA_KEEP_EXIF), 1) << last_error();
    EXPECT_EQ(exif_tag(jpg, "IFD0:Make"), size == 65527 ? "Lumetra" : "") << size;
    EXPECT_EQ(exif_tag(png, "IFD0:Make"), "Lumetra") << size;
  }
}

TEST(ConvertMetadata, RasterToHeifCarriesMetadataAndTurnsUpright) {
  const int W = 40, H = 24;
  const Bytes icc = test_icc_profile("Lumetra Source");
  for (const bool png_source : {false, true}) {
    for (int o = 1; o <= 8; ++o) {
      for (const bool upright : {true, false}) {
        const std::string label =
            std::string(png_source ? "png" : "jpeg") + " o" + std::to_string(o) + (upright ? " upright" : " as stored");
        const std::string src = scratch_path(png_source ? "src.png" : "src.jpg"), out = scratch_path("src.heic");
        const Bytes exif = tiff_block(o);
        const std::string xmp = xmp_packet(o);
        if (png_source) {
          write_png(src, W, H, 3, pattern);
          Bytes iccp{'I', 'C', 'C', 0, 0};
          uLongf zlen = compressBound(icc.size());
          Bytes z(zlen);
          compress(z.data(), &zlen, icc.data(), icc.size());
          iccp.insert(iccp.end(), z.begin(), z.begin() + static_cast<long>(zlen));
          Bytes itxt{'X', 'M', 'L', ':', 'c', 'o', 'm', '.', 'a', 'd', 'o',
                     'b', 'e', '.', 'x', 'm', 'p', 0,   0,   0,   0,   0};
          itxt.insert(itxt.end(), xmp.begin(), xmp.end());
          write_file(src, png_with_chunks(read_file(src), {{"iCCP", iccp}, {"eXIf", exif}, {"iTXt", itxt}}));
        } else {
          Bytes app1{'E', 'x', 'i', 'f', 0, 0};
          app1.insert(app1.end(), exif.begin(), exif.end());
          Bytes app2{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
          app2.insert(app2.end(), icc.begin(), icc.end());
          const char sig[] = "http://ns.adobe.com/xap/1.0/";
          Bytes xmp_seg(sig, sig + sizeof sig);
          xmp_seg.insert(xmp_seg.end(), xmp.begin(), xmp.end());
          write_file(
              src, jpeg_with_segments({app_segment(0xE1, app1), app_segment(0xE2, app2), app_segment(0xE1, xmp_seg)}, W,
                                      H, pattern));
        }
        const int flags = LUMETRA_KEEP_METADATA | (upright ? LUMETRA_UPRIGHT : 0);
        ASSERT_EQ(lumetra_convert(src.c_str(), out.c_str(), 95, flags), 1) << label << ": " << last_error();

        // Read back with libheif: pixels, profile, EXIF and XMP.
        const Raster got = libheif_decode(out, false);
        const Raster stored = stb_load(src);
        const bool turn = upright && o >= 2;
        const Raster expected = exif_oriented(stored, turn ? o : 1);
        ASSERT_EQ(got.width, expected.width) << label;
        ASSERT_EQ(got.height, expected.height) << label;
        EXPECT_GT(psnr(got, expected), 30.0) << label;

        heif_context* ctx = heif_context_alloc();
        ASSERT_EQ(heif_context_read_from_file(ctx, out.c_str(), nullptr).code, heif_error_Ok);
        heif_image_handle* h = nullptr;
        heif_context_get_primary_image_handle(ctx, &h);
        Bytes got_icc(heif_image_handle_get_raw_color_profile_size(h));
        if (!got_icc.empty()) heif_image_handle_get_raw_color_profile(h, got_icc.data());
        EXPECT_TRUE(got_icc == icc) << label;
        heif_item_id ids[4];
        const int n_exif = heif_image_handle_get_list_of_metadata_block_IDs(h, "Exif", ids, 4);
        ASSERT_EQ(n_exif, 1) << label;
        Bytes block(heif_image_handle_get_metadata_size(h, ids[0]));
        heif_image_handle_get_metadata(h, ids[0], block.data());
        // Offset field, then the TIFF data: its Orientation is the last SHORT's value.
        const Bytes tiff(block.begin() + 4, block.end());
        const Bytes want = tiff_block(turn ? 1 : o);
        EXPECT_TRUE(tiff == want) << label;
        const int n_xmp = heif_image_handle_get_list_of_metadata_block_IDs(h, "mime", ids, 4);
        ASSERT_EQ(n_xmp, 1) << label;
        std::string got_xmp(heif_image_handle_get_metadata_size(h, ids[0]), '\0');
        heif_image_handle_get_metadata(h, ids[0], &got_xmp[0]);
        EXPECT_EQ(got_xmp, xmp_packet(turn ? 1 : o)) << label;
        heif_image_handle_release(h);
        heif_context_free(ctx);
      }
    }
  }
}

TEST(ConvertMetadata, DeepPngKeepsEveryBit) {
  if (!libheif_encodes(false, 10)) GTEST_SKIP() << "no 10-bit HEVC encoder in this build";
  HeifRecipe s;
  s.width = 48, s.height = 32, s.bit_depth = 10;
  const std::string deep = scratch_path("deep.heic"), eight = heif_fixture("eight.heic", HeifRecipe{});
  write_heif(deep, s);
  // libheif's own 10-bit samples, the reference.
  heif_context* ctx = heif_context_alloc();
  heif_context_read_from_file(ctx, deep.c_str(), nullptr);
  heif_image_handle* h = nullptr;
  heif_context_get_primary_image_handle(ctx, &h);
  heif_image* img = nullptr;
  ASSERT_EQ(heif_decode_image(h, &img, heif_colorspace_RGB, heif_chroma_interleaved_RRGGBB_BE, nullptr).code, 0);
  int stride = 0;
  const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);

  const std::string png = scratch_path("deep.png");
  ASSERT_EQ(lumetra_convert(deep.c_str(), png.c_str(), 0, LUMETRA_KEEP_DEPTH), 1) << last_error();
  int w = 0, hh = 0, ch = 0;
  ASSERT_TRUE(stbi_is_16_bit(png.c_str()));
  stbi_us* got = stbi_load_16(png.c_str(), &w, &hh, &ch, 0);
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(w, 48);
  ASSERT_EQ(ch, 3);
  int wrong = 0;
  for (int y = 0; y < hh; ++y) {
    for (int x = 0; x < w * 3; ++x) {
      const unsigned v = unsigned(p[y * stride + 2 * x]) << 8 | p[y * stride + 2 * x + 1];
      wrong += got[y * w * 3 + x] != ((v << 6) | (v >> 4));
    }
  }
  EXPECT_EQ(wrong, 0);
  stbi_image_free(got);
  heif_image_release(img);
  heif_image_handle_release(h);
  heif_context_free(ctx);

  // Without the flag, from an 8-bit file, and as JPEG: 8 bits.
  ASSERT_EQ(lumetra_convert(deep.c_str(), png.c_str(), 0, 0), 1);
  EXPECT_FALSE(stbi_is_16_bit(png.c_str()));
  ASSERT_EQ(lumetra_convert(eight.c_str(), png.c_str(), 0, LUMETRA_KEEP_DEPTH), 1);
  EXPECT_FALSE(stbi_is_16_bit(png.c_str()));
  const std::string jpg = scratch_path("deep.jpg");
  ASSERT_EQ(lumetra_convert(deep.c_str(), jpg.c_str(), 0, LUMETRA_KEEP_DEPTH), 1);
  EXPECT_GT(psnr(stb_load(jpg), libheif_decode(deep, false)), 30.0);
}

// An input, an output, flags, and the start of the message the call fails
// with. The inputs a fixture provides are named by kind.
enum class Input { None, Heif, Png, Missing, Text, CutAvif };

struct RefusedCase {
  const char* name;
  Input in;
  const char* out;
  int flags;
  const char* message;  // prefix
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedConvert : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedConvert, ReportsAndLeavesNothing) {
  const RefusedCase& c = GetParam();
  const std::string heif = heif_fixture("eight.heic", HeifRecipe{});
  const std::string png = scratch_path("src-f.png");
  write_png(png, 16, 16, 3);
  const std::string text = scratch_path("not-an-image.txt");
  write_file(text, Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e', '\n'});
  // An AVIF cut short: its item locations point past the end.
  std::string cut_avif;
  if (c.in == Input::CutAvif) {
    if (!libheif_encodes(true, 8)) GTEST_SKIP() << "no AV1 encoder";
    HeifRecipe r;
    r.av1 = true;
    Bytes avif = read_file(heif_fixture("cut-source.avif", r));
    avif.resize(avif.size() / 2);
    cut_avif = scratch_path("cut.avif");
    write_file(cut_avif, avif);
  }
  const char* in = c.in == Input::CutAvif   ? cut_avif.c_str()
                   : c.in == Input::Heif    ? heif.c_str()
                   : c.in == Input::Png     ? png.c_str()
                   : c.in == Input::Text    ? text.c_str()
                   : c.in == Input::Missing ? "/nonexistent.heic"
                                            : nullptr;
  const std::string out = c.out == nullptr ? "" : scratch_path(c.out);
  EXPECT_EQ(lumetra_convert(in, c.out == nullptr ? nullptr : out.c_str(), 0, c.flags), 0);
  EXPECT_EQ(last_error().rfind(c.message, 0), 0u) << last_error();
  if (c.out != nullptr) EXPECT_FALSE(file_exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    ConvertMetadata, RefusedConvert,
    ::testing::Values(
        RefusedCase{"null_input", Input::None, "x.jpg", 0, "Invalid arguments to lumetra_convert"},
        RefusedCase{"null_output", Input::Heif, nullptr, 0, "Invalid arguments to lumetra_convert"},
        RefusedCase{"unknown_flag", Input::Heif, "x.jpg", 0x800, "Invalid flags for lumetra_convert: 0x800"},
        RefusedCase{"all_flags", Input::Heif, "x.jpg", -1, "Invalid flags for lumetra_convert: 0xFFFFFFFF"},
        RefusedCase{"gif_output", Input::Heif, "x.gif", 0, "Unsupported output extension '.gif' for lumetra_convert"},
        RefusedCase{"no_extension", Input::Heif, "noext", 0, "Unsupported output extension '' for lumetra_convert"},
        RefusedCase{"missing_input", Input::Missing, "x.jpg", 0,
                    "Failed to read HEIC file '/nonexistent.heic': Input file does not exist"},
        RefusedCase{"text_to_png", Input::Text, "x.png", 0, "Failed loading source image '"},
        RefusedCase{"cut_avif_to_png", Input::CutAvif, "x.png", 0, "Failed to read AVIF file '"},
        RefusedCase{"cut_avif_to_heic", Input::CutAvif, "x.heic", 0, "Failed to read AVIF file '"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST(ConvertMetadata, FailuresReportAndLeaveNothing) {
  const std::string heif = heif_fixture("eight.heic", HeifRecipe{});
  const std::string png = scratch_path("src-f.png");
  write_png(png, 16, 16, 3);
  // Write failures through every writer: a directory in the way.
  for (const char* ext : {"jpg", "png", "bmp", "heic"})
    std::filesystem::create_directories(scratch_path(std::string("in-the-way.") + ext));
  for (const char* ext : {"jpg", "png", "bmp"}) {
    const std::string out = scratch_path(std::string("in-the-way.") + ext);
    EXPECT_EQ(lumetra_convert(heif.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA), 0) << ext;
    EXPECT_EQ(last_error().rfind("Failed writing ", 0), 0u) << last_error();
  }
  EXPECT_EQ(lumetra_convert(png.c_str(), scratch_path("in-the-way.heic").c_str(), 0, 0), 0);
#ifdef _WIN32  // the C runtime words it "Permission denied"
  EXPECT_EQ(last_error().rfind("Failed writing HEIF file to disk: Cannot open output file: ", 0), 0u) << last_error();
#else
  EXPECT_EQ(last_error(), "Failed writing HEIF file to disk: Cannot open output file: Is a directory");
#endif

  // AVIF through AV1, and quality clamps: 0 and -5 give the default (85).
  const std::string a = scratch_path("q0.avif"), b = scratch_path("q-5.avif");
  if (!libheif_encodes(true, 8)) {  // a libheif without an AV1 encoder
    EXPECT_EQ(lumetra_convert(png.c_str(), a.c_str(), 0, 0), 0);
    EXPECT_FALSE(file_exists(a));
    return;
  }
  ASSERT_EQ(lumetra_convert(png.c_str(), a.c_str(), 0, 0), 1) << last_error();
  ASSERT_EQ(lumetra_convert(png.c_str(), b.c_str(), -5, 0), 1) << last_error();
  EXPECT_TRUE(read_file(a) == read_file(b));
  // The major brand in the file's own ftyp box, and libheif reads it back.
  const Bytes avif = read_file(a);
  ASSERT_GE(avif.size(), 12u);
  EXPECT_EQ(std::string(avif.begin() + 4, avif.begin() + 12), "ftypavif");
  EXPECT_EQ(libheif_decode(a, false).width, stb_load(png).width);
}
