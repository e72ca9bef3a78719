// An Ultra HDR JPEG: the SDR picture as the primary JPEG, indexed by an
// MPF segment that points at a second JPEG appended after it, the gain
// map, with the map's metadata in both ISO 21496-1 (APP2) and Adobe
// hdrgm (XMP) form.
#pragma once

#include <cstdio>
#include <string>
#include <thread>

#include <libheif/heif.h>

#include "formats/jpeg_writer.h"
#include "formats/metadata.h"
#include "hdr/gain_map.h"
#include "heif/open_file.h"

class UltraHdrAppendix {
 public:
  UltraHdrAppendix() = default;
  UltraHdrAppendix(const UltraHdrAppendix&) = delete;
  UltraHdrAppendix& operator=(const UltraHdrAppendix&) = delete;
  ~UltraHdrAppendix();  // waits for a map still being made

  // When the image has a gain map whose metadata can be kept: adds the
  // primary's part of the HDR metadata to *md (its XMP gains hdrgm:Version
  // and the container directory) and decodes and encodes the map beside
  // the picture, on a thread of its own over a second context of `file`
  // (here and now when file is null or no thread can start). Stays
  // inactive otherwise; then last_hdr_note() says why.
  void prepare(heif_context* ctx, heif_image_handle* image, PictureMetadata* md, const HeifFileBytes* file);
  // The same for a gain map already decoded (a JPEG source's).
  void prepare(const GainMap& map, PictureMetadata* md);

  // The APP2 segments the primary JPEG must carry; null when inactive.
  JpegExtras* extras() { return active_ ? &extras_ : nullptr; }

  // After the primary JPEG went to f through extras(): waits for the gain
  // map, fills in the MPF index and the XMP's length of the map, and
  // appends the gain map JPEG. True when inactive. False when writing
  // failed or the map could not be made (then map_failed()).
  bool finish(FILE* f);

  // Whether finish() failed for want of the gain map (it could not be
  // decoded or encoded): the picture is to be written again without HDR;
  // last_hdr_note() says why.
  bool map_failed() const { return map_failed_; }

 private:
  void start_primary_part(PictureMetadata* md);
  void wait();

  bool active_ = false;
  bool map_failed_ = false;
  JpegExtras extras_;
  size_t length_at_ = 0;  // where the map's length stands in the primary's XMP
  ByteBlock gain_map_jpeg_;
  std::string map_why_;  // why the map could not be made; empty when it was
  std::thread worker_;
};

// Why the calling thread's last conversion asked to keep HDR but did not;
// empty when it kept it, was not asked, or the photo had no gain map.
const char* last_hdr_note();
void clear_hdr_note();
// Says why for a part of the conversion that could not keep HDR.
void set_hdr_note(const std::string& why);
