#include "formats/jpeg_reader.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <libheif/heif.h>

namespace {

// The stb reader's limits: no encoder takes a side beyond 32768, and no JPEG
// packs more than a few thousand pixels into a byte.
const unsigned kMaxSide = 32768;
const uint64_t kMaxPixelsPerByte = 4096;

struct Failure {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void fail(j_common_ptr cinfo) { longjmp(reinterpret_cast<Failure*>(cinfo->err)->jump, 1); }
void count_warnings(j_common_ptr cinfo, int level) {
  if (level < 0) ++cinfo->err->num_warnings;
}

// Header checks shared by every decode: 8-bit samples, sides and pixel
// count within the limits above.
bool plausible(const jpeg_decompress_struct& cinfo, size_t size) {
  return cinfo.data_precision == 8 && cinfo.image_width > 0 && cinfo.image_height > 0 &&
         cinfo.image_width <= kMaxSide && cinfo.image_height <= kMaxSide &&
         uint64_t(cinfo.image_width) * cinfo.image_height <= kMaxPixelsPerByte * uint64_t(size);
}

heif_chroma layout_of(const jpeg_decompress_struct& cinfo) {
  const jpeg_component_info* c = cinfo.comp_info;
  if (c[1].h_samp_factor != 1 || c[1].v_samp_factor != 1 || c[2].h_samp_factor != 1 || c[2].v_samp_factor != 1) {
    return heif_chroma_undefined;
  }
  if (c[0].h_samp_factor == 1 && c[0].v_samp_factor == 1) return heif_chroma_444;
  if (c[0].h_samp_factor == 2 && c[0].v_samp_factor == 1) return heif_chroma_422;
  if (c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2) return heif_chroma_420;
  return heif_chroma_undefined;
}

void describe_as_jpeg(heif_image* image) {
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  if (nclx == nullptr) return;
  nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;
  nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
  nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
  nclx->full_range_flag = 1;
  heif_image_set_nclx_color_profile(image, nclx);
  heif_nclx_color_profile_free(nclx);
}

// Only plain data lives in this frame: longjmp skips no destructor. The
// image, once made, is in *out for the caller to release.
bool decode(jpeg_decompress_struct* cinfo, Failure* failure, const uint8_t* data, size_t size, heif_image** out) {
  if (setjmp(failure->jump)) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return false;
  if (cinfo->jpeg_color_space != JCS_YCbCr || cinfo->num_components != 3 || !plausible(*cinfo, size)) return false;
  const heif_chroma chroma = layout_of(*cinfo);
  if (chroma == heif_chroma_undefined) return false;
  cinfo->out_color_space = JCS_YCbCr;
  cinfo->raw_data_out = TRUE;
  if (!jpeg_start_decompress(cinfo)) return false;

  const int w = int(cinfo->output_width), h = int(cinfo->output_height);
  if (heif_image_create(w, h, heif_colorspace_YCbCr, chroma, out).code != heif_error_Ok) return false;
  static const heif_channel kChannels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
  uint8_t* plane[3];
  int stride[3];
  JSAMPARRAY rows[3];
  for (int i = 0; i < 3; ++i) {
    const jpeg_component_info& c = cinfo->comp_info[i];
    if (heif_image_add_plane(*out, kChannels[i], int(c.downsampled_width), int(c.downsampled_height), 8).code !=
        heif_error_Ok) {
      return false;
    }
    plane[i] = heif_image_get_plane(*out, kChannels[i], &stride[i]);
    if (plane[i] == nullptr || stride[i] < int(c.downsampled_width)) return false;
    rows[i] = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                          c.width_in_blocks * DCTSIZE, c.v_samp_factor * DCTSIZE);
  }
  // Each call gives one MCU row: v_samp_factor * 8 rows of each component.
  const JDIMENSION lines = JDIMENSION(cinfo->max_v_samp_factor * DCTSIZE);
  JDIMENSION done[3] = {0, 0, 0};
  while (cinfo->output_scanline < cinfo->output_height) {
    if (jpeg_read_raw_data(cinfo, rows, lines) == 0) return false;
    for (int i = 0; i < 3; ++i) {
      const jpeg_component_info& c = cinfo->comp_info[i];
      const JDIMENSION take =
          std::min<JDIMENSION>(JDIMENSION(c.v_samp_factor * DCTSIZE), c.downsampled_height - done[i]);
      for (JDIMENSION r = 0; r < take; ++r) {
        std::memcpy(plane[i] + size_t(done[i] + r) * size_t(stride[i]), rows[i][r], c.downsampled_width);
      }
      done[i] += take;
    }
  }
  jpeg_finish_decompress(cinfo);
  return cinfo->err->num_warnings == 0;
}

// Plain data only, as above: the header read and the decode started, to
// `channels` interleaved samples.
bool start_packed(jpeg_decompress_struct* cinfo, Failure* failure, const uint8_t* data, size_t size, int channels,
                  uint64_t max_pixels) {
  if (setjmp(failure->jump)) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK || !plausible(*cinfo, size) ||
      uint64_t(cinfo->image_width) * cinfo->image_height > max_pixels) {
    return false;
  }
  if (channels == 0) return true;  // the header alone
  cinfo->out_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  return jpeg_start_decompress(cinfo) && int(cinfo->output_components) == channels;
}

bool read_packed(jpeg_decompress_struct* cinfo, Failure* failure, uint8_t* out) {
  if (setjmp(failure->jump)) return false;
  const size_t row_bytes = size_t(cinfo->output_width) * size_t(cinfo->output_components);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = out + size_t(cinfo->output_scanline) * row_bytes;
    if (jpeg_read_scanlines(cinfo, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(cinfo);
  return cinfo->err->num_warnings == 0;
}

struct Decompressor {
  jpeg_decompress_struct cinfo;
  Failure failure;
  Decompressor() {
    cinfo.err = jpeg_std_error(&failure.mgr);
    failure.mgr.error_exit = fail;
    failure.mgr.emit_message = count_warnings;
  }
  ~Decompressor() { jpeg_destroy_decompress(&cinfo); }
};

}  // namespace

bool read_jpeg_size(const uint8_t* data, size_t size, int* width, int* height, int* components) {
  Decompressor d;
  if (!start_packed(&d.cinfo, &d.failure, data, size, 0, UINT64_MAX)) return false;
  *width = int(d.cinfo.image_width);
  *height = int(d.cinfo.image_height);
  *components = d.cinfo.num_components;
  return true;
}

bool load_jpeg_8bit(const uint8_t* data, size_t size, int channels, uint64_t max_pixels, std::vector<uint8_t>* pixels,
                    int* width, int* height) {
  pixels->clear();
  if (channels != 1 && channels != 3) return false;
  Decompressor d;
  if (!start_packed(&d.cinfo, &d.failure, data, size, channels, max_pixels)) return false;
  pixels->resize(size_t(d.cinfo.output_width) * d.cinfo.output_height * size_t(channels));
  if (!read_packed(&d.cinfo, &d.failure, pixels->data())) {
    pixels->clear();
    return false;
  }
  *width = int(d.cinfo.output_width);
  *height = int(d.cinfo.output_height);
  return true;
}

bool load_jpeg_ycbcr(const uint8_t* data, size_t size, ImageHolder* image) {
  jpeg_decompress_struct cinfo;
  Failure failure;
  cinfo.err = jpeg_std_error(&failure.mgr);
  failure.mgr.error_exit = fail;
  failure.mgr.emit_message = count_warnings;
  heif_image* decoded = nullptr;
  const bool ok = decode(&cinfo, &failure, data, size, &decoded);
  jpeg_destroy_decompress(&cinfo);
  if (!ok) {
    if (decoded != nullptr) heif_image_release(decoded);
    return false;
  }
  describe_as_jpeg(decoded);
  image->reset(decoded);
  return true;
}
