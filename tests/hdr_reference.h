// A reference HDR renderer for the tests, independent of the library: it
// reads gain maps and their metadata from a HEIF file (libheif, exiftool)
// and from an Ultra HDR JPEG (its own MPF and segment parsing, libjpeg),
// and renders both in linear light so that they can be compared.
#pragma once

#include <string>
#include <vector>

#include "fixtures.h"

// The ISO 21496-1 model in plain numbers (log2 domain).
struct GainModel {
  int channels = 1;
  double min[3] = {}, max[3] = {}, gamma[3] = {1, 1, 1}, offset_sdr[3] = {}, offset_hdr[3] = {};
  double base_headroom = 0, alternate_headroom = 0;
  bool apple = false;         // Apple's own model instead: hdr = sdr * (1 + (H - 1) * g709)
  double apple_headroom = 0;  // H
};

// The binary record as in a 'tmap' item (with_version: its leading byte).
bool parse_iso_record(const Bytes& data, bool with_version, GainModel* out);

// The parts of an Ultra HDR JPEG, found through its MPF index.
struct UltraHdrParts {
  Bytes primary, gain_map;
  std::vector<Bytes> primary_app2, gain_map_app2;  // APP2 payloads
  std::string primary_xmp, gain_map_xmp;
};
bool split_ultrahdr(const Bytes& file, UltraHdrParts* out);

// libjpeg's decode: RGB, or one channel for a greyscale JPEG.
Raster jpeg_decode(const Bytes& jpeg);

// From the HEIF: the primary (libheif, upright), the gain map (upright and
// lined up) and its model; false when the file has no gain map.
bool heif_gain_map(const std::string& path, Raster* primary, Raster* gain_map, GainModel* model);

struct Agreement {
  double mean_stops = 0, p99_stops = 0;
  size_t pixels = 0;
};
// The two renditions at full headroom, compared pixel by pixel (every
// step-th pixel in each direction) as log2 luminance.
Agreement compare_renditions(const Raster& sdr_a, const Raster& gain_a, const GainModel& a, const Raster& sdr_b,
                             const Raster& gain_b, const GainModel& b, int step);

// log2 luminance of the rendition at full headroom (1 = SDR white, at
// least 1/4096), every step-th pixel in each direction, row by row; the
// luminance weights are those of the SDR picture's primaries.
std::vector<double> rendition_luminance(const Raster& sdr, const Raster& gain, const GainModel& m, int step,
                                        const double weights[3]);

// The SDR rendition of a gain map whose base is the HDR picture: 8-bit
// sRGB, (base + base offset) * 2^(-log gain) - alternate offset per
// channel, the map's nearest sample for each pixel.
Raster sdr_from_hdr_base(const Raster& base, const Raster& gain, const GainModel& m);

// The sRGB decoding (0..1 to linear 0..1), and the BT.2100 formulas: a
// 16-bit PQ code in cd/m², HLG's inverse OETF.
double srgb_light(double v);
double pq_nits(unsigned code16);
double hlg_scene(double e);

// libheif's decode of a 10-bit source: samples 0..1023, RGB.
std::vector<unsigned> decode_10bit(const std::string& path, int* width, int* height);

struct Stops {
  double mean = 0, p99 = 0;
};
// |log2 a - log2 b| over pixels, both in the same units, floored at `floor`.
Stops compare_log2(const std::vector<double>& a, const std::vector<double>& b, double floor);
