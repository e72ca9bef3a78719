// The JPEG (libjpeg-turbo) writer that carries a picture's ICC profile,
// EXIF and XMP. It writes to an open stream or into memory; false on any
// failure (the caller throws the file away).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "formats/metadata.h"
#include "pixels/pixel_rows.h"

// EXIF and XMP each go in one APP1 segment or not at all: readers do not
// join split ones, and a segment holds at most this many bytes.
const size_t kJpegSegmentMax = 65533;

// 8-bit Y, Cb and Cr planes as libheif decodes them; chroma subsampled by
// 1 << shift in each direction (4:2:0: 1 and 1).
struct YcbcrPlanes {
  const uint8_t* plane[3];
  size_t stride[3];
  int width, height;
  int shift_x, shift_y;
};

// Further APP2 segments for a JPEG (after the ICC profile, in order), and
// where the writer put them: an MPF index is patched in place afterwards.
struct JpegExtras {
  std::vector<ByteBlock> app2;  // payloads, each at most kJpegSegmentMax bytes
  size_t xmp_at = 0;            // out: where the XMP packet starts; 0 when none was written
  size_t header_bytes = 0;      // out: bytes up to the end of the last APP2
  size_t total_bytes = 0;       // out: the whole JPEG
};

// libjpeg's destination, writing to a stream or growing a block, that
// also counts the bytes: an MPF index needs the offsets of its segments
// and the primary picture's length.
struct JpegCountingDestination {
  jpeg_destination_mgr pub;
  FILE* file;
  ByteBlock* memory;
  uint8_t* buffer;
  size_t buffer_size;
  size_t flushed;
  size_t emitted() const { return flushed + (buffer_size - pub.free_in_buffer); }
};
void attach_counting_destination(jpeg_compress_struct* cinfo, JpegCountingDestination* dest);

// The picture's EXIF and XMP (APP1), ICC profile (APP2) and the extras'
// APP2 segments (header_bytes set), right after jpeg_start_compress;
// `segment` holds kJpegSegmentMax bytes. False for an APP2 too long.
bool write_picture_markers(jpeg_compress_struct* cinfo, const PictureMetadata& md, uint8_t* segment, JpegExtras* extras,
                           const JpegCountingDestination* dest);

// rows.channels 1 (greyscale), 3 or 4 (RGBA, alpha dropped).
bool write_jpeg_stream(FILE* out, const PixelRows& rows, int quality, const PictureMetadata& md,
                       JpegExtras* extras = nullptr);
// The same from YCbCr planes whose matrix and range are JPEG's own (BT.601,
// full range): no round trip through RGB.
bool write_jpeg_ycbcr_stream(FILE* out, const YcbcrPlanes& planes, int quality, const PictureMetadata& md,
                             JpegExtras* extras = nullptr);
// A JPEG into memory.
bool encode_jpeg(const PixelRows& rows, int quality, const PictureMetadata& md, JpegExtras* extras, ByteBlock* out);
