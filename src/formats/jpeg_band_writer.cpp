#include "formats/jpeg_band_writer.h"

#include <jpeglib.h>
#include <csetjmp>
#include <cstring>

struct JpegStreamState {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr mgr;
  jmp_buf jump;
  JpegCountingDestination dest;
  ByteBlock buffer;  // the destination's
  JpegExtras* extras = nullptr;
  bool created = false, failed = false;
  int width = 0, height = 0;
  // One iMCU (16 luma rows, 8 chroma rows) gathered for jpeg_write_raw_data,
  // each row padded to whole blocks.
  ByteBlock imcu[3];
  size_t padded[3] = {0, 0, 0};
  int filled = 0;  // luma rows gathered
};

namespace {

void stream_fail(j_common_ptr cinfo) { longjmp(static_cast<JpegStreamState*>(cinfo->client_data)->jump, 1); }
void stream_quiet(j_common_ptr, int) {}
void stream_silent(j_common_ptr) {}

// Repeats a row's last sample up to the padded width, as libjpeg's own
// edge expansion does.
void pad_row(uint8_t* row, size_t width, size_t padded) {
  if (width > 0) std::memset(row + width, row[width - 1], padded - width);
}

}  // namespace

// Every step that calls libjpeg sets its own jump target; only plain data
// lives in their frames.
#define JPEG_STREAM_GUARD()     \
  if (s_->failed) return false; \
  if (setjmp(s_->jump)) {       \
    s_->failed = true;          \
    return false;               \
  }

JpegStream::JpegStream() : s_(new JpegStreamState) { std::memset(&s_->cinfo, 0, sizeof s_->cinfo); }

JpegStream::~JpegStream() {
  if (s_->created) jpeg_destroy_compress(&s_->cinfo);
  delete s_;
}

bool JpegStream::start_ycbcr420(FILE* out, int width, int height, int quality, const PictureMetadata& md,
                                JpegExtras* extras) {
  if (s_->created || width <= 0 || height <= 0 || (width | height) & 1) return false;
  const size_t chroma_w = static_cast<size_t>(width) / 2;
  s_->padded[0] = (static_cast<size_t>(width) + 15) / 16 * 16;
  s_->padded[1] = s_->padded[2] = (chroma_w + 7) / 8 * 8;
  s_->imcu[0].resize(s_->padded[0] * 16);
  s_->imcu[1].resize(s_->padded[1] * 8);
  s_->imcu[2].resize(s_->padded[2] * 8);
  return start(out, width, height, true, quality, md, extras);
}

bool JpegStream::start_rgb(FILE* out, int width, int height, int quality, const PictureMetadata& md,
                           JpegExtras* extras) {
  if (s_->created || width <= 0 || height <= 0) return false;
  return start(out, width, height, false, quality, md, extras);
}

bool JpegStream::start(FILE* out, int width, int height, bool raw, int quality, const PictureMetadata& md,
                       JpegExtras* extras) {
  s_->width = width;
  s_->height = height;
  s_->extras = extras;
  s_->buffer.resize(65536);
  s_->dest = JpegCountingDestination{};
  s_->dest.file = out;
  s_->dest.buffer = s_->buffer.data();
  s_->dest.buffer_size = s_->buffer.size();
  ByteBlock segment(kJpegSegmentMax);
  JPEG_STREAM_GUARD();
  jpeg_compress_struct* cinfo = &s_->cinfo;
  cinfo->client_data = s_;
  cinfo->err = jpeg_std_error(&s_->mgr);
  s_->mgr.error_exit = stream_fail;
  s_->mgr.emit_message = stream_quiet;
  s_->mgr.output_message = stream_silent;
  jpeg_create_compress(cinfo);
  s_->created = true;
  attach_counting_destination(cinfo, &s_->dest);
  cinfo->image_width = static_cast<JDIMENSION>(width);
  cinfo->image_height = static_cast<JDIMENSION>(height);
  cinfo->input_components = 3;
  cinfo->in_color_space = raw ? JCS_YCbCr : JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  cinfo->raw_data_in = raw ? TRUE : FALSE;
  jpeg_start_compress(cinfo, TRUE);
  if (!write_picture_markers(cinfo, md, segment.data(), extras, &s_->dest)) {
    s_->failed = true;
    return false;
  }
  return true;
}

bool JpegStream::flush_imcu(int luma_rows) {
  // Rows past the picture repeat its last row, as libjpeg pads the bottom.
  for (int y = luma_rows; y < 16; ++y) {
    std::memcpy(s_->imcu[0].data() + y * s_->padded[0], s_->imcu[0].data() + (luma_rows - 1) * s_->padded[0],
                s_->padded[0]);
  }
  for (int c = 1; c < 3; ++c) {
    for (int y = luma_rows / 2; y < 8; ++y) {
      std::memcpy(s_->imcu[c].data() + y * s_->padded[c], s_->imcu[c].data() + (luma_rows / 2 - 1) * s_->padded[c],
                  s_->padded[c]);
    }
  }
  JSAMPROW rows[3][16];
  for (int y = 0; y < 16; ++y) rows[0][y] = s_->imcu[0].data() + y * s_->padded[0];
  for (int c = 1; c < 3; ++c)
    for (int y = 0; y < 8; ++y) rows[c][y] = s_->imcu[c].data() + y * s_->padded[c];
  JSAMPARRAY planes[3] = {rows[0], rows[1], rows[2]};
  JPEG_STREAM_GUARD();
  jpeg_write_raw_data(&s_->cinfo, planes, 16);
  s_->filled = 0;
  return true;
}

bool JpegStream::write_ycbcr420_rows(const uint8_t* const plane[3], const size_t stride[3], int rows) {
  if (!s_->created || !s_->cinfo.raw_data_in || s_->failed || rows < 0 || s_->filled % 2 != 0) return false;
  const size_t width[3] = {static_cast<size_t>(s_->width), static_cast<size_t>(s_->width) / 2,
                           static_cast<size_t>(s_->width) / 2};
  for (int y = 0; y < rows; ++y) {
    const int at = s_->filled;
    uint8_t* luma = s_->imcu[0].data() + at * s_->padded[0];
    std::memcpy(luma, plane[0] + y * stride[0], width[0]);
    pad_row(luma, width[0], s_->padded[0]);
    if (at % 2 == 0) {
      for (int c = 1; c < 3; ++c) {
        uint8_t* chroma = s_->imcu[c].data() + at / 2 * s_->padded[c];
        std::memcpy(chroma, plane[c] + y / 2 * stride[c], width[c]);
        pad_row(chroma, width[c], s_->padded[c]);
      }
    }
    if (++s_->filled == 16 && !flush_imcu(16)) return false;
  }
  return true;
}

bool JpegStream::write_rgb_rows(const uint8_t* pixels, size_t stride, int rows) {
  if (!s_->created || s_->cinfo.raw_data_in) return false;
  JPEG_STREAM_GUARD();
  for (int y = 0; y < rows; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels + static_cast<size_t>(y) * stride);
    if (jpeg_write_scanlines(&s_->cinfo, &row, 1) != 1) {
      s_->failed = true;
      return false;
    }
  }
  return true;
}

bool JpegStream::finish() {
  if (!s_->created || s_->failed) return false;
  if (s_->filled > 0 && !flush_imcu(s_->filled)) return false;
  JPEG_STREAM_GUARD();
  if (s_->cinfo.next_scanline < s_->cinfo.image_height) {
    s_->failed = true;
    return false;
  }
  jpeg_finish_compress(&s_->cinfo);
  if (s_->extras != nullptr) s_->extras->total_bytes = s_->dest.emitted();
  return true;
}
