// The auxiliary images of a source HEIF's primary carried into a HEIF or
// AVIF output: depth and disparity maps (with their representation
// information), mattes and Apple's other auxiliary images, each decoded,
// turned upright as its master is, encoded with the output's encoder and
// made an auxiliary image of the output's primary with the same type, the
// same auxC subtype bytes and its own XMP. Alpha is left out (the output's
// primary carries its own) and so are HDR gain maps, which are written by
// the gain-map path; Apple's gain-map image can be kept on request (older
// iOS reads only that one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "heif/encoder.h"

class AuxCopy : public HeifAddition {
 public:
  struct Source {
    heif_item_id id = 0;
    std::string type;              // auxC type URN
    std::vector<uint8_t> subtype;  // auxC bytes after the URN's zero, verbatim
    bool subtype_known = false;    // the source's auxC box was read
  };

  AuxCopy(heif_context* source, heif_image_handle* source_primary, std::vector<Source> sources)
      : source_(source), primary_(source_primary), sources_(std::move(sources)) {}

  bool add(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder) override;

  // The auxiliary images this copies, in the source's order.
  const std::vector<Source>& sources() const { return sources_; }
  // The output's item IDs of the images written by add(): auxiliary items
  // a box editor may mark hidden.
  const std::vector<heif_item_id>& written() const { return written_; }
  // Empty, or what could not be kept and why (one sentence per image).
  const std::string& note() const { return note_; }

 private:
  bool copy_one(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder, const Source& s);

  heif_context* source_;
  heif_image_handle* primary_;
  std::vector<Source> sources_;
  std::vector<heif_item_id> written_;
  std::string note_;
};

// The URN of Apple's auxiliary HDR gain map.
extern const char kAppleGainMapType[];

// Whether an auxiliary type is an HDR gain map (Apple's, Samsung's, any
// vendor's "hdrgainmap").
bool is_gain_map_type(const std::string& urn);

// The addition copying every auxiliary image of source_primary but alpha
// and gain maps; Apple's gain map too when keep_apple_gain_map. file and
// file_size are the source's bytes as libheif read them (HeifFileBytes),
// where the auxC subtypes are read (a depth map's representation
// information lives there); null: no subtypes are written, and the note
// says so for images that had them. source and source_primary must outlive
// the addition. Null when there is nothing to copy.
std::unique_ptr<AuxCopy> aux_copy_addition(heif_context* source, heif_image_handle* source_primary, const uint8_t* file,
                                           size_t file_size, bool keep_apple_gain_map);
