// An Ultra HDR JPEG: the SDR picture as the primary JPEG, indexed by an
// MPF segment that points at a second JPEG appended after it, the gain
// map, with the map's metadata in both ISO 21496-1 (APP2) and Adobe
// hdrgm (XMP) form.
#pragma once

#include <cstdio>
#include <string>

#include <libheif/heif.h>

#include "formats/jpeg_writer.h"
#include "formats/metadata.h"
#include "hdr/gain_map.h"

class UltraHdrAppendix {
 public:
  // Decodes and encodes the image's gain map and adds the primary's part
  // of the HDR metadata to *md (its XMP gains hdrgm:Version and the
  // container directory). Stays inactive when the image has no gain map or
  // one that cannot be kept; then last_hdr_note() says why.
  void prepare(heif_context* ctx, heif_image_handle* image, PictureMetadata* md);
  // The same for a gain map already decoded (a JPEG source's).
  void prepare(const GainMap& map, PictureMetadata* md);

  // The APP2 segments the primary JPEG must carry; null when inactive.
  JpegExtras* extras() { return active_ ? &extras_ : nullptr; }

  // After the primary JPEG went to f through extras(): fills in the MPF
  // index and appends the gain map JPEG. True when inactive.
  bool finish(FILE* f) const;

 private:
  bool active_ = false;
  JpegExtras extras_;
  ByteBlock gain_map_jpeg_;
};

// Why the calling thread's last conversion asked to keep HDR but did not;
// empty when it kept it, was not asked, or the photo had no gain map.
const char* last_hdr_note();
void clear_hdr_note();
// Says why for a part of the conversion that could not keep HDR.
void set_hdr_note(const std::string& why);
