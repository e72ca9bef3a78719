// A HEIF image's colour profile, EXIF and XMP, as an output carries them.
#pragma once

#include <string>
#include <vector>

#include <libheif/heif.h>

#include "formats/metadata.h"

// The image's ICC profile, EXIF (from its TIFF header on) and XMP, as the
// LUMETRA_KEEP_* flags ask. Where irot/imir turn the decoded pixels
// upright, the orientation tags are set to 1; without them the tags are the
// only record of the orientation and stay as stored. The XMP leaves out
// what describes images appended to the file (a gain map, a motion photo's
// video): an output that holds one describes it itself.
PictureMetadata heif_item_metadata(heif_context* ctx, heif_image_handle* handle, int flags);

// The image's XMP packets (mime items of type application/rdf+xml), in the
// order libheif lists them; unreadable ones are left out.
std::vector<std::string> item_xmp_packets(heif_image_handle* handle);
