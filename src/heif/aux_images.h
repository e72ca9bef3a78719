// Auxiliary images (depth and disparity maps, mattes, gain maps, Apple's
// linear thumbnail and style delta map): their short names and their
// pixels as greyscale PNG.
#pragma once

#include <string>
#include <vector>

#include <libheif/heif.h>

#include "base/heif_holders.h"
#include "pixels/orientation.h"

// The short kind of an auxiliary type URN: "alpha", "depth", "disparity",
// "hdrgainmap", "portraitmatte", "skinmatte", "skymatte", "hairmatte",
// "teethmatte", "glassesmatte", "linearthumbnail", "styledeltamap"; any
// other URN with every character but letters, digits, '.', '-' and '_'
// made '_' (at most 100 characters).
std::string aux_kind(const std::string& urn);

// The image's auxiliary image IDs in file order; alpha images only when
// asked.
std::vector<heif_item_id> auxiliary_ids(heif_image_handle* image, bool with_alpha);

// The auxiliary image's type URN; empty when it has none.
std::string auxiliary_type(heif_image_handle* aux);

// An auxiliary image (or a gain map) decoded as stored, without its
// transformations, in the colourspace and chroma asked for (undefined: as
// coded).
heif_error decode_as_stored(heif_image_handle* aux, heif_colorspace colorspace, heif_chroma chroma, ImageHolder* out);

// What turns the auxiliary image aux_id of master, decoded as stored at
// width x height, upright: its own transformations or, when it has none,
// its master's, their crops scaled from the master's size to its own
// (*from_master then true). False for more transformation properties than
// kMaxTransformations (heif/transformations.h).
bool aux_orientation(heif_context* ctx, heif_image_handle* master, heif_item_id aux_id, int width, int height,
                     Orientation* out, bool* from_master);

// Writes the auxiliary image aux_id of master as a greyscale PNG (its luma
// plane; 16 bits when it has more than 8, sBIT telling how many), upright
// by its own transformations or, when it has none, by its master's. A
// depth map's representation info and every auxiliary image's type go in
// tEXt chunks. False with the last-error text set.
bool write_aux_png(heif_context* ctx, heif_image_handle* master, heif_item_id aux_id, const char* out);
