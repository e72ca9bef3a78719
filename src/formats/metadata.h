// Finding, rewriting and carrying a picture's metadata: ICC profile, EXIF
// (TIFF structure) and XMP packet, between HEIF, JPEG and PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using ByteBlock = std::vector<uint8_t>;

struct PictureMetadata {
  ByteBlock icc;         // raw ICC profile
  ByteBlock exif;        // TIFF data, starting at its "II*\0" / "MM\0*" header
  ByteBlock xmp;         // XMP packet as text
  int jpeg_quality = 0;  // a JPEG source's estimated IJG quality; 0 for anything else
};

// Offset of the first TIFF header in block, or -1. HEIF EXIF items exist
// whose offset field is wrong or missing, or whose payload starts with
// "Exif\0\0" or a whole APP1 marker, so the header is found by scanning.
long find_tiff_header(const uint8_t* block, size_t size);

// IFD0's Orientation (1-8), or 0 when there is none or it is out of range.
int exif_orientation(const ByteBlock& tiff);
// Sets IFD0's Orientation in place (same bytes); false when there is none.
bool set_exif_orientation(ByteBlock* tiff, int value);

// tiff:Orientation of an XMP packet (1-8), or 0; and the same in place.
int xmp_orientation(const ByteBlock& xmp);
bool set_xmp_orientation(ByteBlock* xmp, int value);

// One marker segment of a JPEG header: its marker and where its payload
// (after the length field) lies in the file.
struct JpegSegment {
  uint8_t marker;
  size_t at, size;
};
// The segments after SOI up to the first scan, EOI or a segment that does
// not fit in the bytes; none when the bytes do not start with SOI.
std::vector<JpegSegment> jpeg_segments(const uint8_t* data, size_t size);

// Metadata of a JPEG or PNG source file (by its signature); other files
// have none. Never fails: unreadable parts are left out.
PictureMetadata read_raster_metadata(const char* path);
// The same from the file's bytes.
PictureMetadata raster_metadata(const ByteBlock& file);

// The whole file when it is a JPEG or PNG (the sources that carry
// metadata); false, having read only its first bytes, for anything else.
bool read_metadata_carrier(const char* path, ByteBlock* out);

// The bytes of a whole file, or false.
bool read_whole_file(const char* path, ByteBlock* out);
