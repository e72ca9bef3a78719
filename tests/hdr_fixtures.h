// Files with HDR pictures, made at run time for the HDR tests: HEIF files
// with two coded images tied by a hand-built ISO 'tmap' item, the same with
// Apple's auxiliary gain map and XMP, 10-bit pictures tagged PQ or HLG by
// their nclx box, the EXIF of an Apple photo whose maker note gives its
// headroom, and JPEGs with an MPF index over appended images.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"

void put32(Bytes* b, uint32_t v);  // big-endian

// The 'tmap' payload's values, one channel; offsets 1/64.
struct TmapValues {
  uint32_t base_n = 0, base_d = 1, alt_n = 2, alt_d = 1;
  int32_t min_n = 0;
  uint32_t min_d = 1;
  int32_t max_n = 2;
  uint32_t max_d = 1, gamma_n = 1, gamma_d = 1;
  uint8_t version = 0;
};

Bytes tmap_payload(const TmapValues& v);

// A 256 x 192 picture (`pixel`'s) and a grey gain map of gain_w x gain_h
// as two coded images, tied by an ISO 'tmap' item that derives from both;
// the primary carries `xmp` when it is not empty.
std::string tmap_fixture(const std::string& name, const Bytes& payload, int gain_w, int gain_h,
                         const std::string& xmp = std::string(), const PixelFn& pixel = gradient_pixel);

// EXIF whose maker note is Apple's: "Apple iOS", version 1, big-endian IFD
// with SRATIONAL tags 0x21 and (when m48_den > 0) 0x30.
Bytes apple_exif(int32_t m33_num, int32_t m33_den, int32_t m48_num, int32_t m48_den, bool little_tiff);

void put(Bytes* b, uint32_t v, int bytes, bool big);  // in either byte order

// How an assembled MPF index is laid out, and what is wrong with it.
struct MpfLayout {
  bool big = true;
  uint32_t number_of_images = 0;  // 0: the true count
  uint32_t entry_bytes = 0;       // 0: 16 per image
  uint32_t second_offset = 0;     // 0: the true offset
};

// The primary (a JPEG without MPF) with an MPF APP2 right after SOI listing
// it and the images, which follow it in the file.
Bytes with_mpf(const Bytes& primary, const std::vector<Bytes>& images, const MpfLayout& layout);

// A greyscale JPEG written by libjpeg at quality 90, with APP segments
// (marker, payload) and a smooth pattern.
Bytes grey_jpeg(int w, int h, const std::vector<std::pair<int, Bytes>>& apps);

// A 256 x 192 picture with a 128 x 96 auxiliary image of Apple's gain-map
// type whose XMP gives the headroom (linear, e.g. 2.5).
std::string apple_aux_fixture(const std::string& name, double headroom);

// A 10-bit 256 x 192 RGB picture tagged by nclx: BT.2020 primaries,
// transfer 16 (PQ) or 18 (HLG), matrix BT.2020, full range. The samples
// span dark to bright in each channel.
std::string nclx_fixture(const std::string& name, int transfer);
uint16_t nclx_fixture_sample(int x, int y, int c);
