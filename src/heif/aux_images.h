// Auxiliary images (depth and disparity maps, mattes, gain maps, Apple's
// linear thumbnail and style delta map): their short names and their
// pixels as greyscale PNG.
#pragma once

#include <string>
#include <vector>

#include <libheif/heif.h>

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

// Writes the auxiliary image aux_id of master as a greyscale PNG (its luma
// plane; 16 bits when it has more than 8, sBIT telling how many), upright
// by its own transformations or, when it has none, by its master's. A
// depth map's representation info and every auxiliary image's type go in
// tEXt chunks. False with the last-error text set.
bool write_aux_png(heif_context* ctx, heif_image_handle* master, heif_item_id aux_id, const char* out);
