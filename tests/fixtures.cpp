#include "fixtures.h"

#include <zlib.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include <libheif/heif.h>
#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "temp_dir.h"

namespace fs = std::filesystem;

uint8_t gradient_pixel(int x, int y, int c) {
  switch (c) {
    case 0: return static_cast<uint8_t>((x * 3 + y) & 0xFF);
    case 1: return static_cast<uint8_t>((y * 2 + 40) & 0xFF);
    case 2: return static_cast<uint8_t>((200 - x - y) & 0xFF);
    default: return static_cast<uint8_t>((x + y * 2) & 0xFF);
  }
}

namespace {

struct ScratchDir {
  std::string path;
  ScratchDir() {
    path = make_temp_dir("lumetra-test-");
    if (path.empty()) {
      std::perror("making the scratch directory");
      std::abort();
    }
  }
  ~ScratchDir() {
    if (std::getenv("LUMETRA_KEEP_TEST_FILES") != nullptr) return;
    remove_tree(path);
  }
};

void check(const heif_error& err, const char* what) {
  if (err.code != heif_error_Ok) {
    std::fprintf(stderr, "fixture: %s failed: %s\n", what, err.message);
    std::abort();
  }
}

heif_image* make_image(int w, int h, bool alpha, int depth, const PixelFn& px) {
  heif_image* img = nullptr;
  const int ch = alpha ? 4 : 3;
  heif_chroma chroma;
  if (depth > 8) {
    chroma = alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE;
  } else {
    chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  }
  check(heif_image_create(w, h, heif_colorspace_RGB, chroma, &img), "heif_image_create");
  check(heif_image_add_plane(img, heif_channel_interleaved, w, h, depth), "heif_image_add_plane");
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = plane + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < ch; ++c) {
        const uint8_t v = px(x, y, c);
        if (depth > 8) {
          const uint16_t v10 = static_cast<uint16_t>(v << 2);
          row[(x * ch + c) * 2] = static_cast<uint8_t>(v10 & 0xFF);
          row[(x * ch + c) * 2 + 1] = static_cast<uint8_t>(v10 >> 8);
        } else {
          row[x * ch + c] = v;
        }
      }
    }
  }
  return img;
}

heif_encoder* make_encoder(heif_context* ctx, bool av1, int quality) {
  heif_encoder* enc = nullptr;
  check(heif_context_get_encoder_for_format(ctx, av1 ? heif_compression_AV1 : heif_compression_HEVC, &enc),
        "get encoder");
  heif_encoder_set_lossy_quality(enc, quality);
  if (!av1)
    heif_encoder_set_parameter_string(enc, "preset", "ultrafast");
  else
    heif_encoder_set_parameter_integer(enc, "speed", 9);
  return enc;
}

heif_image* make_grey_image(const AuxRecipe& a) {
  heif_image* img = nullptr;
  check(heif_image_create(a.width, a.height, heif_colorspace_monochrome, heif_chroma_monochrome, &img), "grey image");
  check(heif_image_add_plane(img, heif_channel_Y, a.width, a.height, a.bit_depth), "grey plane");
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(img, heif_channel_Y, &stride);
  for (int y = 0; y < a.height; ++y) {
    uint8_t* row = plane + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < a.width; ++x) {
      const uint8_t v = a.pixel(x, y, 0);
      if (a.bit_depth > 8) {
        row[2 * x] = static_cast<uint8_t>(v << 2);
        row[2 * x + 1] = static_cast<uint8_t>(v >> 6);
      } else {
        row[x] = v;
      }
    }
  }
  return img;
}

void add_aux_images(heif_context* ctx, heif_encoder* enc, heif_image_handle* primary, const HeifRecipe& s) {
  for (const AuxRecipe& a : s.aux) {
    heif_image* grey = make_grey_image(a);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(a.turned ? s.orientation : 1);
    heif_image_handle* h = nullptr;
    check(heif_context_encode_image(ctx, grey, enc, options, &h), "encode auxiliary image");
    heif_encoding_options_free(options);
    const heif_item_id id = heif_image_handle_get_item_id(h);
    check(heif_context_add_item_reference(ctx, heif_fourcc('a', 'u', 'x', 'l'), id,
                                          heif_image_handle_get_item_id(primary)),
          "auxl");
    Bytes auxc(4, 0);
    auxc.insert(auxc.end(), a.type.begin(), a.type.end());
    auxc.push_back(0);
    auxc.insert(auxc.end(), a.subtype.begin(), a.subtype.end());
    check(heif_item_add_raw_property(ctx, id, heif_fourcc('a', 'u', 'x', 'C'), nullptr, auxc.data(), auxc.size(), 1,
                                     nullptr),
          "auxC");
    if (!a.xmp.empty()) {
      check(heif_context_add_XMP_metadata(ctx, h, a.xmp.data(), static_cast<int>(a.xmp.size())), "auxiliary xmp");
    }
    heif_image_handle_release(h);
    heif_image_release(grey);
  }
}

}  // namespace

const std::string& scratch_dir() {
  static ScratchDir dir;
  return dir.path;
}

std::string scratch_path(const std::string& name) { return scratch_dir() + "/" + name; }

bool libheif_encodes(bool av1, int bit_depth) {
  static std::map<std::pair<bool, int>, bool> known;
  const auto key = std::make_pair(av1, bit_depth);
  const auto found = known.find(key);
  if (found != known.end()) return found->second;
  heif_context* ctx = heif_context_alloc();
  heif_encoder* enc = nullptr;
  bool ok = heif_context_get_encoder_for_format(ctx, av1 ? heif_compression_AV1 : heif_compression_HEVC, &enc).code ==
            heif_error_Ok;
  if (ok) {
    heif_image* img = make_image(16, 16, false, bit_depth, gradient_pixel);
    ok = heif_context_encode_image(ctx, img, enc, nullptr, nullptr).code == heif_error_Ok;
    heif_image_release(img);
    heif_encoder_release(enc);
  }
  heif_context_free(ctx);
  return known[key] = ok;
}

void write_heif(const std::string& path, const HeifRecipe& s) {
  heif_context* ctx = heif_context_alloc();
  heif_encoder* enc = make_encoder(ctx, s.av1, s.quality);
  heif_image* img = make_image(s.width, s.height, s.alpha, s.bit_depth, s.pixel);
  if (!s.icc.empty()) check(heif_image_set_raw_color_profile(img, "prof", s.icc.data(), s.icc.size()), "set icc");
  heif_image_handle* primary = nullptr;
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = static_cast<heif_orientation>(s.orientation);  // written as irot/imir
  check(heif_context_encode_image(ctx, img, enc, options, &primary), "encode primary");
  heif_encoding_options_free(options);
  add_aux_images(ctx, enc, primary, s);
  if (s.thumb_width > 0) {
    heif_image* timg = make_image(s.thumb_width, s.thumb_height, s.alpha, 8, s.thumb_pixel ? s.thumb_pixel : s.pixel);
    heif_image_handle* th = nullptr;
    check(heif_context_encode_image(ctx, timg, enc, nullptr, &th), "encode thumbnail");
    // libheif 1.15 reads this call's two handles the other way round from
    // its declaration: the thumbnail goes first.
    check(heif_context_assign_thumbnail(ctx, th, primary), "assign thumbnail");
    heif_image_handle_release(th);
    heif_image_release(timg);
  }
  if (!s.exif.empty()) {
    check(heif_context_add_generic_metadata(ctx, primary, s.exif.data(), static_cast<int>(s.exif.size()), "Exif",
                                            nullptr),
          "add exif");
  }
  if (s.xmp || !s.xmp_text.empty()) {
    static const char kXmp[] = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"></x:xmpmeta>";
    const std::string text = s.xmp_text.empty() ? std::string(kXmp) : s.xmp_text;
    check(heif_context_add_XMP_metadata(ctx, primary, text.data(), static_cast<int>(text.size())), "add xmp");
  }
  for (int i = 0; i < s.extra_images; ++i) {
    heif_image* extra = make_image(32, 32, false, 8, gradient_pixel);
    heif_image_handle* eh = nullptr;
    check(heif_context_encode_image(ctx, extra, enc, nullptr, &eh), "encode extra");
    heif_image_handle_release(eh);
    heif_image_release(extra);
  }
  check(heif_context_set_primary_image(ctx, primary), "set primary");
  check(heif_context_write_to_file(ctx, path.c_str()), "write");
  heif_image_handle_release(primary);
  heif_image_release(img);
  heif_encoder_release(enc);
  heif_context_free(ctx);
}

std::string heif_fixture(const std::string& name, const HeifRecipe& recipe) {
  static std::map<std::string, bool> made;
  const std::string path = scratch_path(name);
  if (!made[name]) {
    write_heif(path, recipe);
    made[name] = true;
  }
  return path;
}

void write_png(const std::string& path, int w, int h, int channels, const PixelFn& px) {
  Bytes data(static_cast<size_t>(w) * h * channels);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) data[(static_cast<size_t>(y) * w + x) * channels + c] = px(x, y, c);
  if (!stbi_write_png(path.c_str(), w, h, channels, data.data(), w * channels)) std::abort();
}

namespace {
void append_to_bytes(void* ctx, void* data, int size) {
  auto* out = static_cast<Bytes*>(ctx);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
}

Bytes encode_jpeg(int w, int h, const PixelFn& px, int quality) {
  Bytes rgb(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) rgb[(static_cast<size_t>(y) * w + x) * 3 + c] = px(x, y, c);
  Bytes out;
  stbi_write_jpg_to_func(append_to_bytes, &out, w, h, 3, rgb.data(), quality);
  return out;
}
}  // namespace

void write_jpeg(const std::string& path, int w, int h, const PixelFn& px, int quality) {
  write_file(path, encode_jpeg(w, h, px, quality));
}

bool rename_coded_item_type(Bytes* heif) {
  Bytes& b = *heif;
  bool renamed = false;
  for (size_t i = 0; i + 4 <= b.size(); ++i) {
    if (std::memcmp(&b[i], "infe", 4) != 0) continue;
    for (size_t j = i; j < i + 24 && j + 4 <= b.size(); ++j) {
      if (std::memcmp(&b[j], "hvc1", 4) == 0) {
        std::memcpy(&b[j], "jpeg", 4);
        renamed = true;
      }
    }
  }
  return renamed;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void remove_tree(const std::string& path) {
  std::error_code ec;
  if (fs::remove_all(path, ec) != static_cast<std::uintmax_t>(-1) && !ec) return;
  for (const auto& e : fs::recursive_directory_iterator(path, ec)) {
    if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
  }
  fs::remove_all(path, ec);
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

Raster libheif_decode(const std::string& path, bool want_alpha) {
  Raster r;
  heif_context* ctx = heif_context_alloc();
  check(heif_context_read_from_file(ctx, path.c_str(), nullptr), "read");
  heif_image_handle* h = nullptr;
  check(heif_context_get_primary_image_handle(ctx, &h), "primary");
  // libheif 1.19.7 reads past its chroma plane when it applies a clap
  // itself; an image whose only transformation is a clap is decoded as
  // coded and cropped here by the borders libheif computes.
  const heif_item_id id = heif_image_handle_get_item_id(h);
  heif_property_id props[8];
  const int n = heif_item_get_transformation_properties(ctx, id, props, 8);
  const bool clap_only =
      n == 1 && heif_item_get_property_type(ctx, id, props[0]) == heif_item_property_type_transform_crop;
  heif_decoding_options* options = heif_decoding_options_alloc();
  options->ignore_transformations = clap_only;
  heif_image* img = nullptr;
  check(heif_decode_image(h, &img, heif_colorspace_RGB,
                          want_alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options),
        "decode");
  heif_decoding_options_free(options);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
  r.width = heif_image_get_primary_width(img);
  r.height = heif_image_get_primary_height(img);
  r.channels = want_alpha ? 4 : 3;
  if (clap_only) {
    int left = 0, top = 0, right = 0, bottom = 0;
    heif_item_get_property_transform_crop_borders(ctx, id, props[0], r.width, r.height, &left, &top, &right, &bottom);
    plane += static_cast<ptrdiff_t>(top) * stride + static_cast<ptrdiff_t>(left) * r.channels;
    r.width -= left + right;
    r.height -= top + bottom;
  }
  const size_t row = static_cast<size_t>(r.width) * r.channels;
  r.pixels.resize(row * r.height);
  for (int y = 0; y < r.height; ++y) std::memcpy(&r.pixels[y * row], plane + static_cast<ptrdiff_t>(y) * stride, row);
  heif_image_release(img);
  heif_image_handle_release(h);
  heif_context_free(ctx);
  return r;
}

Raster stb_load(const std::string& path) {
  Raster r;
  unsigned char* p = stbi_load(path.c_str(), &r.width, &r.height, &r.channels, 0);
  if (p == nullptr) return Raster{};
  r.pixels.assign(p, p + static_cast<size_t>(r.width) * r.height * r.channels);
  stbi_image_free(p);
  return r;
}

double psnr(const Raster& a, const Raster& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 0.0;
  double se = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    const double d = double(a.pixels[i]) - double(b.pixels[i]);
    se += d * d;
  }
  if (se == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 / (se / a.pixels.size()));
}

// ---- TIFF builder ----------------------------------------------------------

Bytes u16_bytes(uint16_t v, bool little) {
  return little ? Bytes{uint8_t(v), uint8_t(v >> 8)} : Bytes{uint8_t(v >> 8), uint8_t(v)};
}

Bytes u32_bytes(uint32_t v, bool little) {
  return little ? Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}
                : Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes rational_bytes(uint32_t num, uint32_t den, bool little) {
  Bytes b = u32_bytes(num, little);
  const Bytes d = u32_bytes(den, little);
  b.insert(b.end(), d.begin(), d.end());
  return b;
}

TiffEntry ascii_entry(uint16_t tag, const std::string& text, bool with_zero) {
  Bytes v(text.begin(), text.end());
  if (with_zero) v.push_back(0);
  return TiffEntry{tag, 2, static_cast<uint32_t>(v.size()), v};
}

TiffEntry short_entry(uint16_t tag, uint16_t v, bool little) {
  Bytes b = u16_bytes(v, little);
  b.push_back(0);
  b.push_back(0);
  return TiffEntry{tag, 3, 1, b};
}

TiffEntry rational_entry(uint16_t tag, uint32_t num, uint32_t den, bool little) {
  return TiffEntry{tag, 5, 1, rational_bytes(num, den, little)};
}

Bytes build_tiff(const TiffRecipe& recipe) {
  const bool le = recipe.little;
  std::vector<TiffEntry> ifd0 = recipe.ifd0;
  const size_t n0 = ifd0.size() + (recipe.exif_ifd.empty() ? 0 : 1);
  const uint32_t ifd0_off = 8;
  const uint32_t exif_off = ifd0_off + 2 + 12 * static_cast<uint32_t>(n0) + 4;
  const uint32_t exif_size = recipe.exif_ifd.empty() ? 0 : 2 + 12 * static_cast<uint32_t>(recipe.exif_ifd.size()) + 4;
  uint32_t data_off = exif_off + exif_size;
  Bytes data;

  auto emit_ifd = [&](Bytes& out, const std::vector<TiffEntry>& entries, bool with_pointer) {
    const size_t n = entries.size() + (with_pointer ? 1 : 0);
    Bytes b = u16_bytes(static_cast<uint16_t>(n), le);
    out.insert(out.end(), b.begin(), b.end());
    auto put_entry = [&](const TiffEntry& e) {
      for (const Bytes& part : {u16_bytes(e.tag, le), u16_bytes(e.type, le), u32_bytes(e.count, le)})
        out.insert(out.end(), part.begin(), part.end());
      if (e.raw_field || e.value.size() <= 4) {
        Bytes v = e.value;
        v.resize(4, 0);
        out.insert(out.end(), v.begin(), v.end());
      } else {
        const Bytes off = u32_bytes(data_off + static_cast<uint32_t>(data.size()), le);
        out.insert(out.end(), off.begin(), off.end());
        data.insert(data.end(), e.value.begin(), e.value.end());
      }
    };
    for (const TiffEntry& e : entries) put_entry(e);
    if (with_pointer) put_entry(TiffEntry{34665, 4, 1, u32_bytes(exif_off, le)});
    const Bytes next = u32_bytes(0, le);
    out.insert(out.end(), next.begin(), next.end());
  };

  Bytes out = le ? Bytes{0x49, 0x49, 0x2A, 0x00} : Bytes{0x4D, 0x4D, 0x00, 0x2A};
  const Bytes first = u32_bytes(ifd0_off, le);
  out.insert(out.end(), first.begin(), first.end());
  emit_ifd(out, ifd0, !recipe.exif_ifd.empty());
  if (!recipe.exif_ifd.empty()) emit_ifd(out, recipe.exif_ifd, false);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes app_segment(uint8_t marker, const Bytes& payload) {
  const size_t len = payload.size() + 2;
  Bytes s{0xFF, marker, uint8_t(len >> 8), uint8_t(len & 0xFF)};
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

Bytes jpeg_with_segments(const std::vector<Bytes>& segments, int w, int h, const PixelFn& px) {
  Bytes body = encode_jpeg(w, h, px, 90);
  Bytes out{0xFF, 0xD8};
  for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), body.begin() + 2, body.end());
  return out;
}

Bytes png_with_chunks(const Bytes& png, const std::vector<std::pair<std::string, Bytes>>& chunks) {
  const size_t after_ihdr = 8 + 12 + 13;
  Bytes out(png.begin(), png.begin() + after_ihdr);
  for (const auto& c : chunks) {
    const Bytes len = u32_bytes(static_cast<uint32_t>(c.second.size()), false);
    out.insert(out.end(), len.begin(), len.end());
    Bytes typed(c.first.begin(), c.first.end());
    typed.insert(typed.end(), c.second.begin(), c.second.end());
    out.insert(out.end(), typed.begin(), typed.end());
    const Bytes crc = u32_bytes(static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))), false);
    out.insert(out.end(), crc.begin(), crc.end());
  }
  out.insert(out.end(), png.begin() + after_ihdr, png.end());
  return out;
}

Bytes test_icc_profile(const std::string& description) {
  // Header, a tag table with one 'desc' tag of type 'mluc' (UTF-16BE text).
  Bytes text;
  for (const char c : description) text.insert(text.end(), {0, uint8_t(c)});
  Bytes desc{'m', 'l', 'u', 'c', 0, 0, 0, 0};
  for (const Bytes& b : {u32_bytes(1, false), u32_bytes(12, false), Bytes{'e', 'n', 'U', 'S'},
                         u32_bytes(static_cast<uint32_t>(text.size()), false), u32_bytes(28, false)})
    desc.insert(desc.end(), b.begin(), b.end());
  desc.insert(desc.end(), text.begin(), text.end());
  while (desc.size() % 4) desc.push_back(0);
  const uint32_t size = 128 + 4 + 12 + static_cast<uint32_t>(desc.size());
  Bytes icc(128, 0);
  auto put = [&](size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), icc.begin() + static_cast<long>(at)); };
  put(0, u32_bytes(size, false));
  put(8, Bytes{4, 0x30, 0, 0});  // version 4.3
  put(12, Bytes{'m', 'n', 't', 'r'});
  put(16, Bytes{'R', 'G', 'B', ' '});
  put(20, Bytes{'X', 'Y', 'Z', ' '});
  put(36, Bytes{'a', 'c', 's', 'p'});
  put(68, Bytes{0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D});  // D50 illuminant
  for (const Bytes& b : {u32_bytes(1, false), Bytes{'d', 'e', 's', 'c'}, u32_bytes(144, false),
                         u32_bytes(static_cast<uint32_t>(desc.size()), false)})
    icc.insert(icc.end(), b.begin(), b.end());
  icc.insert(icc.end(), desc.begin(), desc.end());
  return icc;
}

std::string capture(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

Raster exif_oriented(const Raster& stored, int o) {
  const int w = stored.width, h = stored.height;
  Raster r;
  r.width = o >= 5 ? h : w, r.height = o >= 5 ? w : h, r.channels = stored.channels;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      int sx = x, sy = y;  // where displayed (x, y) lies in the stored pixels
      switch (o) {
        case 2: sx = w - 1 - x; break;
        case 3: sx = w - 1 - x, sy = h - 1 - y; break;
        case 4: sy = h - 1 - y; break;
        case 5: sx = y, sy = x; break;
        case 6: sx = y, sy = h - 1 - x; break;
        case 7: sx = w - 1 - y, sy = h - 1 - x; break;
        case 8: sx = w - 1 - y, sy = x; break;
        default: break;
      }
      const auto at = stored.pixels.begin() + static_cast<long>((size_t(sy) * w + sx) * stored.channels);
      r.pixels.insert(r.pixels.end(), at, at + stored.channels);
    }
  }
  return r;
}

bool have_exiftool() { return !capture("exiftool -ver 2>/dev/null").empty(); }

std::string exif_tag(const std::string& file, const std::string& name) {
  std::string v = capture("exiftool -n -s3 -" + name + " '" + file + "' 2>/dev/null");
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  return v;
}
