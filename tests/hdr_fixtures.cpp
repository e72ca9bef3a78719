#include "hdr_fixtures.h"

#include <cstdio>
#include <cstdlib>

#include <libheif/heif.h>
#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

namespace {

const int kWidth = 256, kHeight = 192;

void put32(Bytes* b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b->push_back(uint8_t(v >> (8 * i)));
}

// A fixture libheif cannot make stops the test binary.
void check_ok(const heif_error& e) {
  if (e.code == heif_error_Ok) return;
  std::fprintf(stderr, "HDR fixture: %s\n", e.message);
  std::abort();
}

// The primary (gradient) and a grey gain map, coded in ctx.
void encode_pair(heif_context* ctx, int gain_w, int gain_h, heif_image_handle** primary, heif_image_handle** gain) {
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
    for (int x = 0; x < kWidth * 3; ++x) p[y * stride + x] = gradient_pixel(x / 3, y, x % 3);
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

std::string tmap_fixture(const std::string& name, const Bytes& payload, int gain_w, int gain_h) {
  const std::string path = scratch_path(name + ".heic");
  heif_context* ctx = heif_context_alloc();
  heif_image_handle *primary = nullptr, *gain = nullptr;
  encode_pair(ctx, gain_w, gain_h, &primary, &gain);
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
