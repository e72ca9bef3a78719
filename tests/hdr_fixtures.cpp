#include "hdr_fixtures.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <libheif/heif.h>
#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

void put32(Bytes* b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b->push_back(uint8_t(v >> (8 * i)));
}

namespace {

const int kWidth = 256, kHeight = 192;

// A fixture libheif cannot make stops the test binary.
void check_ok(const heif_error& e) {
  if (e.code == heif_error_Ok) return;
  std::fprintf(stderr, "HDR fixture: %s\n", e.message);
  std::abort();
}

// The primary (gradient) and a grey gain map, coded in ctx.
void encode_pair(heif_context* ctx, int gain_w, int gain_h, heif_image_handle** primary, heif_image_handle** gain,
                 const PixelFn& pixel = gradient_pixel) {
  heif_encoder* enc = nullptr;
  check_ok(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc));
  heif_encoder_set_lossy_quality(enc, 90);
  heif_encoder_set_parameter_string(enc, "preset", "ultrafast");
  heif_image* rgb = nullptr;
  check_ok(heif_image_create(kWidth, kHeight, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rgb));
  check_ok(heif_image_add_plane(rgb, heif_channel_interleaved, kWidth, kHeight, 8));
  int stride = 0;
  uint8_t* p = heif_image_get_plane(rgb, heif_channel_interleaved, &stride);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth * 3; ++x) p[y * stride + x] = pixel(x / 3, y, x % 3);
  }
  heif_image* grey = nullptr;
  check_ok(heif_image_create(gain_w, gain_h, heif_colorspace_monochrome, heif_chroma_monochrome, &grey));
  check_ok(heif_image_add_plane(grey, heif_channel_Y, gain_w, gain_h, 8));
  p = heif_image_get_plane(grey, heif_channel_Y, &stride);
  for (int y = 0; y < gain_h; ++y) {
    for (int x = 0; x < gain_w; ++x) p[y * stride + x] = uint8_t(x * 191 / gain_w + y * 64 / gain_h);
  }
  check_ok(heif_context_encode_image(ctx, rgb, enc, nullptr, primary));
  check_ok(heif_context_encode_image(ctx, grey, enc, nullptr, gain));
  check_ok(heif_context_set_primary_image(ctx, *primary));
  heif_image_release(grey);
  heif_image_release(rgb);
  heif_encoder_release(enc);
}

}  // namespace

Bytes tmap_payload(const TmapValues& v) {
  Bytes b{v.version, 0, 0, 0, 0, 0};  // version, minimum and writer version, flags (one channel)
  for (uint32_t x : {v.base_n, v.base_d, v.alt_n, v.alt_d, uint32_t(v.min_n), v.min_d, uint32_t(v.max_n), v.max_d,
                     v.gamma_n, v.gamma_d, 1u, 64u, 1u, 64u}) {
    put32(&b, x);
  }
  return b;
}

std::string tmap_fixture(const std::string& name, const Bytes& payload, int gain_w, int gain_h, const std::string& xmp,
                         const PixelFn& pixel) {
  const std::string path = scratch_path(name + ".heic");
  heif_context* ctx = heif_context_alloc();
  heif_image_handle *primary = nullptr, *gain = nullptr;
  encode_pair(ctx, gain_w, gain_h, &primary, &gain, pixel);
  if (!xmp.empty()) check_ok(heif_context_add_XMP_metadata(ctx, primary, xmp.data(), int(xmp.size())));
  heif_item_id tmap = 0;
  check_ok(heif_context_add_item(ctx, "tmap", payload.data(), int(payload.size()), &tmap));
  heif_item_id refs[2] = {heif_image_handle_get_item_id(primary), heif_image_handle_get_item_id(gain)};
  check_ok(heif_context_add_item_references(ctx, heif_fourcc('d', 'i', 'm', 'g'), tmap, refs, 2));
  check_ok(heif_context_write_to_file(ctx, path.c_str()));
  heif_image_handle_release(gain);
  heif_image_handle_release(primary);
  heif_context_free(ctx);
  return path;
}

std::string apple_aux_fixture(const std::string& name, double headroom) {
  const std::string path = scratch_path(name + ".heic");
  heif_context* ctx = heif_context_alloc();
  heif_image_handle *primary = nullptr, *gain = nullptr;
  encode_pair(ctx, kWidth / 2, kHeight / 2, &primary, &gain);
  static const char kType[] = "urn:com:apple:photo:2020:aux:hdrgainmap";
  Bytes auxc{0, 0, 0, 0};  // version and flags
  auxc.insert(auxc.end(), kType, kType + sizeof kType);
  const heif_item_id gain_id = heif_image_handle_get_item_id(gain);
  heif_property_id property = 0;
  check_ok(heif_item_add_raw_property(ctx, gain_id, heif_fourcc('a', 'u', 'x', 'C'), nullptr, auxc.data(), auxc.size(),
                                      0, &property));
  check_ok(heif_context_add_item_reference(ctx, heif_fourcc('a', 'u', 'x', 'l'), gain_id,
                                           heif_image_handle_get_item_id(primary)));
  const std::string xmp =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
      "<rdf:Description rdf:about=\"\" xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\">"
      "<HDRGainMap:HDRGainMapVersion>131072</HDRGainMap:HDRGainMapVersion>"
      "<HDRGainMap:HDRGainMapHeadroom>" +
      std::to_string(headroom) + "</HDRGainMap:HDRGainMapHeadroom></rdf:Description></rdf:RDF></x:xmpmeta>";
  check_ok(heif_context_add_XMP_metadata(ctx, gain, xmp.data(), int(xmp.size())));
  check_ok(heif_context_write_to_file(ctx, path.c_str()));
  heif_image_handle_release(gain);
  heif_image_handle_release(primary);
  heif_context_free(ctx);
  return path;
}

uint16_t nclx_fixture_sample(int x, int y, int c) {
  // Smooth ramps with a bright corner: 40..1000 of 1023.
  const int ramp = c == 0 ? x * 960 / kWidth : c == 1 ? y * 960 / kHeight : (x + y) * 960 / (kWidth + kHeight);
  return uint16_t(40 + ramp);
}

std::string nclx_fixture(const std::string& name, int transfer) {
  const std::string path = scratch_path(name + ".heic");
  heif_context* ctx = heif_context_alloc();
  heif_encoder* enc = nullptr;
  check_ok(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc));
  heif_encoder_set_lossy_quality(enc, 95);
  heif_encoder_set_parameter_string(enc, "preset", "ultrafast");
  heif_image* rgb = nullptr;
  check_ok(heif_image_create(kWidth, kHeight, heif_colorspace_RGB, heif_chroma_interleaved_RRGGBB_LE, &rgb));
  check_ok(heif_image_add_plane(rgb, heif_channel_interleaved, kWidth, kHeight, 10));
  int stride = 0;
  uint8_t* p = heif_image_get_plane(rgb, heif_channel_interleaved, &stride);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      for (int c = 0; c < 3; ++c) {
        const uint16_t v = nclx_fixture_sample(x, y, c);
        p[y * stride + (x * 3 + c) * 2] = uint8_t(v), p[y * stride + (x * 3 + c) * 2 + 1] = uint8_t(v >> 8);
      }
    }
  }
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  nclx->color_primaries = heif_color_primaries_ITU_R_BT_2020_2_and_2100_0;
  nclx->transfer_characteristics = heif_transfer_characteristics(transfer);
  nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_2020_2_non_constant_luminance;
  nclx->full_range_flag = 1;
  check_ok(heif_image_set_nclx_color_profile(rgb, nclx));
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->output_nclx_profile = nclx;
  heif_image_handle* handle = nullptr;
  check_ok(heif_context_encode_image(ctx, rgb, enc, options, &handle));
  check_ok(heif_context_write_to_file(ctx, path.c_str()));
  heif_encoding_options_free(options);
  heif_nclx_color_profile_free(nclx);
  heif_image_handle_release(handle);
  heif_image_release(rgb);
  heif_encoder_release(enc);
  heif_context_free(ctx);
  return path;
}

Bytes apple_exif(int32_t m33_num, int32_t m33_den, int32_t m48_num, int32_t m48_den, bool little_tiff) {
  const bool with_m48 = m48_den != 0;
  const uint16_t count = with_m48 ? 2 : 1;
  Bytes note{'A', 'p', 'p', 'l', 'e', ' ', 'i', 'O', 'S', 0, 0, 1, 'M', 'M', 0, uint8_t(count)};
  const uint32_t values = 14 + 2 + 12 * count + 4;
  auto entry = [&](uint16_t tag, uint32_t at) {
    for (uint8_t b :
         {uint8_t(tag >> 8), uint8_t(tag), uint8_t(0), uint8_t(10), uint8_t(0), uint8_t(0), uint8_t(0), uint8_t(1)}) {
      note.push_back(b);
    }
    put32(&note, at);
  };
  entry(0x0021, values);
  if (with_m48) entry(0x0030, values + 8);
  put32(&note, 0);
  put32(&note, uint32_t(m33_num)), put32(&note, uint32_t(m33_den));
  if (with_m48) put32(&note, uint32_t(m48_num)), put32(&note, uint32_t(m48_den));
  TiffRecipe recipe;
  recipe.little = little_tiff;
  recipe.ifd0 = {ascii_entry(0x010F, "Apple")};
  recipe.exif_ifd = {TiffEntry{0x927C, 7, uint32_t(note.size()), note}};
  return build_tiff(recipe);
}

void put(Bytes* b, uint32_t v, int bytes, bool big) {
  for (int i = 0; i < bytes; ++i) b->push_back(uint8_t(v >> (8 * (big ? bytes - 1 - i : i))));
}

Bytes with_mpf(const Bytes& primary, const std::vector<Bytes>& images, const MpfLayout& l) {
  const uint32_t n = uint32_t(1 + images.size());
  const size_t payload = 4 + 8 + 2 + 3 * 12 + 4 + 16 * size_t(n);
  const size_t total = primary.size() + 4 + payload;
  const size_t tiff = 2 + 4 + 4;  // SOI, marker and length, "MPF\0"
  Bytes p{'M', 'P', 'F', 0};
  if (l.big) p.insert(p.end(), {'M', 'M', 0, '*'});
  if (!l.big) p.insert(p.end(), {'I', 'I', '*', 0});
  put(&p, 8, 4, l.big);
  put(&p, 3, 2, l.big);
  auto entry = [&](uint32_t tag, uint32_t type, uint32_t count, uint32_t value, bool raw) {
    put(&p, tag, 2, l.big), put(&p, type, 2, l.big), put(&p, count, 4, l.big);
    if (raw) p.insert(p.end(), {'0', '1', '0', '0'});
    if (!raw) put(&p, value, 4, l.big);
  };
  entry(0xB000, 7, 4, 0, true);
  entry(0xB001, 4, 1, l.number_of_images ? l.number_of_images : n, false);
  entry(0xB002, 7, l.entry_bytes ? l.entry_bytes : 16 * n, 8 + 2 + 36 + 4, false);
  put(&p, 0, 4, l.big);
  size_t at = total;
  for (uint32_t i = 0; i < n; ++i) {
    const size_t size = i == 0 ? total : images[i - 1].size();
    const uint32_t offset = i == 0 ? 0 : i == 1 && l.second_offset ? l.second_offset : uint32_t(at - tiff);
    put(&p, i == 0 ? 0x030000 : 0, 4, l.big), put(&p, uint32_t(size), 4, l.big), put(&p, offset, 4, l.big);
    put(&p, 0, 4, l.big);
    if (i > 0) at += size;
  }
  Bytes out{0xFF, 0xD8};
  const Bytes seg = app_segment(0xE2, p);
  out.insert(out.end(), seg.begin(), seg.end());
  out.insert(out.end(), primary.begin() + 2, primary.end());
  for (const Bytes& image : images) out.insert(out.end(), image.begin(), image.end());
  return out;
}

namespace {

struct JpegFailure {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void on_error(j_common_ptr c) { longjmp(reinterpret_cast<JpegFailure*>(c->err)->jump, 1); }

}  // namespace

Bytes grey_jpeg(int w, int h, const std::vector<std::pair<int, Bytes>>& apps) {
  jpeg_compress_struct c;
  JpegFailure f;
  c.err = jpeg_std_error(&f.mgr);
  f.mgr.error_exit = on_error;
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  if (setjmp(f.jump)) {
    jpeg_destroy_compress(&c);
    std::free(mem);
    return Bytes();
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = JDIMENSION(w), c.image_height = JDIMENSION(h), c.input_components = 1;
  c.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  for (const auto& a : apps) jpeg_write_marker(&c, a.first, a.second.data(), unsigned(a.second.size()));
  std::vector<uint8_t> row(static_cast<size_t>(w));
  while (c.next_scanline < c.image_height) {
    const int y = int(c.next_scanline);
    for (int x = 0; x < w; ++x) row[size_t(x)] = uint8_t((x * 255 / w + y * 97 / h) % 256);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(mem, mem + size);
  std::free(mem);
  return out;
}
