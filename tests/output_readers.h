// Readers of the files the library writes, independent of it: PNG chunks
// (CRC-checked), a JPEG's APP1 EXIF and XMP, TIFF Orientation, and the ICC
// profile a JPEG or PNG carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fixtures.h"

struct PngChunk {
  std::string type;
  Bytes data;
};

// Every chunk of a PNG file in order, each CRC checked; empty (with a
// failure recorded) for a file that is not a well-formed chunk sequence.
std::vector<PngChunk> png_chunks(const Bytes& png);
int count_chunks(const std::vector<PngChunk>& chunks, const char* type);
// Index of the first chunk of this type, or -1.
int first_chunk(const std::vector<PngChunk>& chunks, const char* type);

// IFD0's Orientation of TIFF data; 0 when there is none.
int tiff_orientation(const Bytes& tiff);

// The TIFF data and XMP packet of a JPEG's APP1 segments before its first
// SOS (the primary picture's), walked marker by marker.
void jpeg_app1(const Bytes& jpeg, Bytes* tiff, std::string* xmp);

// The ICC profile a JPEG (APP2 "ICC_PROFILE" segments in order) or a PNG
// (its iCCP chunk, inflated) carries; empty when none.
Bytes carried_profile(const Bytes& file, bool png);
