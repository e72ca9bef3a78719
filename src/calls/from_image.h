// lumetra_from_image: a raster file to HEIF, its pixels as loaded, with
// the EXIF of a JPEG source.
#pragma once

// lumetra_from_image as a whole call: checks its arguments, keeps
// exceptions in, sets or empties the last-error text.
int encode_from_image(const char* in, const char* out, int quality);
