// A JPEG written band by band (libjpeg-turbo): the header and the picture's
// segments first, then rows in order, so that no caller holds the whole
// picture. Any failure makes every later step fail; the caller throws the
// file away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "formats/jpeg_writer.h"
#include "formats/metadata.h"

struct JpegStreamState;

class JpegStream {
 public:
  JpegStream();
  ~JpegStream();
  JpegStream(const JpegStream&) = delete;
  JpegStream& operator=(const JpegStream&) = delete;

  // Starts a 4:2:0 YCbCr JPEG fed with its own planes (raw data: no colour
  // conversion, no subsampling), width and height even. Writes the header,
  // EXIF, XMP and ICC segments and the extras' APP2 segments as
  // write_jpeg_stream does; finish() fills in the extras' total_bytes.
  bool start_ycbcr420(FILE* out, int width, int height, int quality, const PictureMetadata& md,
                      JpegExtras* extras = nullptr);
  // Starts an RGB JPEG fed with 8-bit RGB rows, as write_jpeg_stream
  // writes one.
  bool start_rgb(FILE* out, int width, int height, int quality, const PictureMetadata& md,
                 JpegExtras* extras = nullptr);
  // The next `rows` rows (even, unless they are the last): luma rows of
  // `width` samples, and rows / 2 rows of each chroma plane.
  bool write_ycbcr420_rows(const uint8_t* const plane[3], const size_t stride[3], int rows);
  // The next `rows` RGB rows.
  bool write_rgb_rows(const uint8_t* pixels, size_t stride, int rows);
  // After the last row.
  bool finish();

 private:
  bool start(FILE* out, int width, int height, bool raw, int quality, const PictureMetadata& md, JpegExtras* extras);
  bool flush_imcu(int luma_rows);
  JpegStreamState* s_;
};
