// A HEIF image's colour profile, EXIF and XMP, as an output carries them.
#pragma once

#include <libheif/heif.h>

#include "formats/metadata.h"

// The image's ICC profile, EXIF (from its TIFF header on) and XMP, as the
// LUMETRA_KEEP_* flags ask. Where irot/imir turn the decoded pixels
// upright, the orientation tags are set to 1; without them the tags are the
// only record of the orientation and stay as stored.
PictureMetadata heif_item_metadata(heif_context* ctx, heif_image_handle* handle, int flags);
