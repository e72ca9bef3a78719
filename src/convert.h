// Faithful conversion (lumetra_convert): colour profile, EXIF, XMP and
// orientation kept, in both directions.
#pragma once

// The body; ycbcr_fast_path false always takes the RGB road to JPEG (for
// comparing the two).
int convert_file(const char* in, const char* out, int quality, int flags, bool ycbcr_fast_path);

// lumetra_convert as a whole call: keeps exceptions in, sets or empties the
// last-error text.
int convert_faithfully(const char* in, const char* out, int quality, int flags);
