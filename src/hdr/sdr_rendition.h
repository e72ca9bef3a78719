// The SDR picture of a photo whose samples are not SDR ones: a PQ or HLG
// picture tone-mapped by ITU-R BT.2390's EETF on luminance (SDR white as
// the target peak), or a picture that is the HDR rendition of its gain
// map, rendered through the map at headroom 0. It comes out as 8-bit
// sRGB rows in BT.709 primaries (colours outside them clipped), alpha
// kept, and on request with the gain map that leads from it back to the
// HDR picture, for an Ultra HDR JPEG.
#pragma once

#include <libheif/heif.h>

#include "formats/metadata.h"
#include "hdr/gain_map.h"

struct SdrPicture {
  ByteBlock pixels;  // packed rows
  int width = 0, height = 0, channels = 3;
  GainMap map;  // described from the SDR picture; kind None when not asked for or not kept
};

enum class SdrRenditionResult { NotNeeded, Ready, Failed };

// NotNeeded when the picture's samples are SDR ones already; Failed with
// the last-error text set. With `with_gain_map`, a map that cannot be
// made leaves out->map empty and last_hdr_note() saying why.
SdrRenditionResult render_sdr(heif_context* ctx, heif_image_handle* image, bool with_gain_map, SdrPicture* out);
