// The PNG (libpng) writer: a picture's rows with its ICC profile, EXIF and
// XMP, or with text chunks and the significant bits of its samples. Writes
// to an open stream; false on any failure (the caller throws the file
// away).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "formats/metadata.h"
#include "pixels/pixel_rows.h"

// A tEXt chunk: Latin-1 without control characters.
struct PngTextEntry {
  std::string key, value;
};

// A chunk libpng has no setter for (cICP, cLLI), written as given.
struct PngRawChunk {
  char type[5];
  ByteBlock data;
};

// What goes in the file besides the pixels.
struct PngChunks {
  const PictureMetadata* md = nullptr;  // iCCP, eXIf and XMP (iTXt), when given
  std::vector<PngTextEntry> text;       // tEXt chunks, after any XMP
  int significant_bits = 0;             // sBIT for every channel, when more than 0
  std::vector<PngRawChunk> extra;       // after the chunks above, before PLTE and IDAT
  int compression_level = -1;           // zlib's level; -1: the writer's own
};

// rows.channels 1 (grey), 3 (RGB) or 4 (RGBA); bit_depth 8 or 16.
bool write_png_stream(FILE* out, const PixelRows& rows, const PictureMetadata& md);
// write_png_stream's file from rows that need not all exist at once.
bool write_png_rows(FILE* out, int width, int height, int channels, int bit_depth, const PictureMetadata& md,
                    PixelRowSource source);
bool write_png_rows(FILE* out, int width, int height, int channels, int bit_depth, const PngChunks& chunks,
                    PixelRowSource source);

// libpng refuses an ICC profile whose header length differs from its size.
// A profile otherwise whole ('acsp' signature, tag table and tags inside
// it) goes to the PNG with that field set to its size (a version 4 profile
// padded with zeros to a multiple of 4 bytes, as libpng requires); this
// says so for the calling thread's last such repair, else empty.
const char* last_icc_note();
void clear_icc_note();
