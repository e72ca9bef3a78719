#include "formats/jpeg_writer.h"

#include <jerror.h>
#include <jpeglib.h>
#include <csetjmp>
#include <cstring>

namespace {

struct JpegFailure {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void jpeg_fail(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegFailure*>(cinfo->err)->jump, 1); }
void jpeg_quiet(j_common_ptr, int) {}
void jpeg_silent(j_common_ptr) {}

const char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";  // written with its zero

// Hands libjpeg one row at a time.
struct RowSource {
  const uint8_t* (*row)(void* state, unsigned y);
  void* state;
};

const uint8_t* packed_row(void* state, unsigned y) {
  const auto* rows = static_cast<const PixelRows*>(state);
  return rows->pixels + y * rows->stride;
}

// YCbCr planes interleaved into one row of Y, Cb, Cr; libjpeg subsamples
// the chroma again, which gives back the planes' own values.
struct YcbcrRows {
  const YcbcrPlanes* planes;
  uint8_t* buffer;
};

const uint8_t* ycbcr_row(void* state, unsigned y) {
  const auto* s = static_cast<const YcbcrRows*>(state);
  const YcbcrPlanes& p = *s->planes;
  const uint8_t* luma = p.plane[0] + y * p.stride[0];
  const uint8_t* cb = p.plane[1] + (y >> p.shift_y) * p.stride[1];
  const uint8_t* cr = p.plane[2] + (y >> p.shift_y) * p.stride[2];
  uint8_t* d = s->buffer;
  for (int x = 0; x < p.width; ++x, d += 3) {
    d[0] = luma[x];
    d[1] = cb[x >> p.shift_x];
    d[2] = cr[x >> p.shift_x];
  }
  return s->buffer;
}

bool flush_bytes(JpegCountingDestination* d, size_t n) {
  if (d->file != nullptr && std::fwrite(d->buffer, 1, n, d->file) != n) return false;
  if (d->memory != nullptr) d->memory->insert(d->memory->end(), d->buffer, d->buffer + n);
  d->flushed += n;
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = d->buffer_size;
  return true;
}

void destination_init(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<JpegCountingDestination*>(cinfo->dest);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = d->buffer_size;
}

boolean destination_empty(j_compress_ptr cinfo) {
  if (!flush_bytes(reinterpret_cast<JpegCountingDestination*>(cinfo->dest),
                   reinterpret_cast<JpegCountingDestination*>(cinfo->dest)->buffer_size)) {
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
  return TRUE;
}

void destination_term(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<JpegCountingDestination*>(cinfo->dest);
  if (!flush_bytes(d, d->buffer_size - d->pub.free_in_buffer) ||
      (d->file != nullptr && (std::fflush(d->file) != 0 || std::ferror(d->file)))) {
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
}

// Only plain data lives in this frame: longjmp skips no destructor.
bool jpeg_body(jpeg_compress_struct* cinfo, JpegFailure* failure, JpegCountingDestination* dest, int width, int height,
               int components, J_COLOR_SPACE space, int quality, const PictureMetadata& md, uint8_t* segment,
               RowSource source, JpegExtras* extras) {
  if (setjmp(failure->jump)) return false;
  jpeg_create_compress(cinfo);
  attach_counting_destination(cinfo, dest);
  cinfo->image_width = static_cast<JDIMENSION>(width);
  cinfo->image_height = static_cast<JDIMENSION>(height);
  cinfo->input_components = components;
  cinfo->in_color_space = space;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  if (!write_picture_markers(cinfo, md, segment, extras, dest)) return false;
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(source.row(source.state, cinfo->next_scanline));
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  if (extras != nullptr) extras->total_bytes = dest->emitted();
  return true;
}

bool write_jpeg(FILE* file, ByteBlock* memory, int width, int height, int components, J_COLOR_SPACE space, int quality,
                const PictureMetadata& md, RowSource source, JpegExtras* extras) {
  jpeg_compress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);  // destroyable even if creation fails
  JpegFailure failure;
  cinfo.err = jpeg_std_error(&failure.mgr);
  failure.mgr.error_exit = jpeg_fail;
  failure.mgr.emit_message = jpeg_quiet;
  failure.mgr.output_message = jpeg_silent;
  ByteBlock segment(kJpegSegmentMax);
  ByteBlock buffer(65536);
  JpegCountingDestination dest{};
  dest.file = file;
  dest.memory = memory;
  dest.buffer = buffer.data();
  dest.buffer_size = buffer.size();
  const bool ok =
      jpeg_body(&cinfo, &failure, &dest, width, height, components, space, quality, md, segment.data(), source, extras);
  jpeg_destroy_compress(&cinfo);
  return ok;
}

J_COLOR_SPACE packed_space(int channels) {
  return channels == 1 ? JCS_GRAYSCALE : channels == 4 ? JCS_EXT_RGBA : JCS_RGB;
}

}  // namespace

void attach_counting_destination(jpeg_compress_struct* cinfo, JpegCountingDestination* dest) {
  dest->pub.init_destination = destination_init;
  dest->pub.empty_output_buffer = destination_empty;
  dest->pub.term_destination = destination_term;
  cinfo->dest = &dest->pub;
}

bool write_picture_markers(jpeg_compress_struct* cinfo, const PictureMetadata& md, uint8_t* segment, JpegExtras* extras,
                           const JpegCountingDestination* dest) {
  if (!md.exif.empty() && 6 + md.exif.size() <= kJpegSegmentMax) {
    std::memcpy(segment, "Exif\0\0", 6);
    std::memcpy(segment + 6, md.exif.data(), md.exif.size());
    jpeg_write_marker(cinfo, JPEG_APP0 + 1, segment, static_cast<unsigned>(6 + md.exif.size()));
  }
  if (!md.xmp.empty() && sizeof kXmpSignature + md.xmp.size() <= kJpegSegmentMax) {
    std::memcpy(segment, kXmpSignature, sizeof kXmpSignature);
    std::memcpy(segment + sizeof kXmpSignature, md.xmp.data(), md.xmp.size());
    if (extras != nullptr) extras->xmp_at = dest->emitted() + 4 + sizeof kXmpSignature;  // after marker and length
    jpeg_write_marker(cinfo, JPEG_APP0 + 1, segment, static_cast<unsigned>(sizeof kXmpSignature + md.xmp.size()));
  }
  if (!md.icc.empty()) jpeg_write_icc_profile(cinfo, md.icc.data(), static_cast<unsigned>(md.icc.size()));
  if (extras != nullptr) {
    for (const ByteBlock& app2 : extras->app2) {
      if (app2.size() > kJpegSegmentMax) return false;
      jpeg_write_marker(cinfo, JPEG_APP0 + 2, app2.data(), static_cast<unsigned>(app2.size()));
    }
    extras->header_bytes = dest->emitted();
  }
  return true;
}

bool write_jpeg_stream(FILE* out, const PixelRows& rows, int quality, const PictureMetadata& md, JpegExtras* extras) {
  if (rows.bit_depth != 8) return false;
  PixelRows state = rows;
  return write_jpeg(out, nullptr, rows.width, rows.height, rows.channels, packed_space(rows.channels), quality, md,
                    RowSource{packed_row, &state}, extras);
}

bool write_jpeg_ycbcr_stream(FILE* out, const YcbcrPlanes& planes, int quality, const PictureMetadata& md,
                             JpegExtras* extras) {
  ByteBlock buffer(static_cast<size_t>(planes.width) * 3);
  YcbcrRows state{&planes, buffer.data()};
  return write_jpeg(out, nullptr, planes.width, planes.height, 3, JCS_YCbCr, quality, md, RowSource{ycbcr_row, &state},
                    extras);
}

bool encode_jpeg(const PixelRows& rows, int quality, const PictureMetadata& md, JpegExtras* extras, ByteBlock* out) {
  if (rows.bit_depth != 8) return false;
  PixelRows state = rows;
  out->clear();
  return write_jpeg(nullptr, out, rows.width, rows.height, rows.channels, packed_space(rows.channels), quality, md,
                    RowSource{packed_row, &state}, extras);
}
