// HDR HEIF fixtures made at run time: a picture and a grey gain map tied by
// a hand-built ISO 'tmap' item, the same with Apple's auxiliary gain map
// and XMP, and 10-bit pictures tagged PQ or HLG by their nclx box.
#pragma once

#include <cstdint>
#include <string>

#include "fixtures.h"

// The numbers of a one-channel 'tmap' payload (offsets 1/64).
struct TmapValues {
  uint32_t base_n = 0, base_d = 1, alt_n = 2, alt_d = 1;
  int32_t min_n = 0;
  uint32_t min_d = 1;
  int32_t max_n = 2;
  uint32_t max_d = 1, gamma_n = 1, gamma_d = 1;
  uint8_t version = 0;
};
Bytes tmap_payload(const TmapValues& v);

// A 256 x 192 picture and a grey gain_w x gain_h gain map as two coded
// images, tied by an ISO 'tmap' item that derives from both.
std::string tmap_fixture(const std::string& name, const Bytes& payload, int gain_w, int gain_h);

// A 256 x 192 picture with a 128 x 96 auxiliary image of Apple's gain-map
// type whose XMP gives the headroom (linear, e.g. 2.5).
std::string apple_aux_fixture(const std::string& name, double headroom);

// A 10-bit 256 x 192 RGB picture tagged by nclx: BT.2020 primaries,
// transfer 16 (PQ) or 18 (HLG), matrix BT.2020, full range. The samples
// span dark to bright in each channel.
std::string nclx_fixture(const std::string& name, int transfer);
uint16_t nclx_fixture_sample(int x, int y, int c);
