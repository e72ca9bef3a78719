// Writing an HDR gain map into a HEIF or AVIF output, in the layout
// libavif writes and reads: the primary stays the SDR base (what readers
// that know nothing of gain maps show); the map is a hidden coded
// image item with its own ispe/pixi/colr; a 'tmap' derived image item holds
// the ISO 21496-1 record (version byte 0 first), refers to [primary, map]
// by 'dimg' and carries the base's ispe (and, where known, the HDR
// rendition's colr and clli); ftyp lists the 'tmap' brand and a 'grpl' box
// holds one 'altr' group {tmap, primary}. libheif writes the items; what it
// cannot (hidden flag, brand, group) is edited into the written bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hdr/gain_map.h"
#include "heif/encoder.h"

// What is known of the HDR rendition, written as the 'tmap' item's
// properties; nothing is written for what is unknown.
struct HdrRendition {
  bool has_nclx = false;  // colr nclx of the rendition
  uint16_t colour_primaries = 1, transfer_characteristics = 13, matrix_coefficients = 6;
  bool full_range = true;
  uint16_t max_cll = 0, max_pall = 0;  // clli in cd/m²; both 0: unknown, none written
};

// Adds the map beside the primary it lines up with: 8-bit pixels, 1 or 3
// channels, upright like the primary as it is coded (the primary must carry
// no irot/imir; the library's HEIF outputs carry none). A map that cannot
// be written (of another shape, larger than the primary, metadata no reader
// could use, an encoder failure) is left out, the conversion goes on and
// last_hdr_note() says why; kept() then answers false, so the caller writes
// no XMP that speaks of a gain map. add() fails the conversion (last-error
// text set) only when libheif took the tmap item but not its references or
// properties, which would leave a file libavif refuses.
class GainMapHeifWriter : public HeifAddition {
 public:
  GainMapHeifWriter(GainMap map, const HdrRendition& hdr) : map_(std::move(map)), hdr_(hdr) {}
  bool add(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder) override;
  const char* finish(std::vector<uint8_t>* file) override;
  bool kept() const { return tmap_ != 0; }

 private:
  bool add_tmap(heif_context* ctx, heif_image_handle* primary);

  GainMap map_;
  HdrRendition hdr_;
  heif_item_id primary_ = 0, map_item_ = 0, tmap_ = 0;
  std::string failure_;
};

// The addition for encode_heif_file: what the caller passes in its list of
// additions for a HEIF/AVIF output that keeps the source's gain map.
std::unique_ptr<GainMapHeifWriter> gain_map_addition(GainMap map, const HdrRendition& hdr = HdrRendition());
