// Bounded EXIF (TIFF) block to one-line JSON. Reentrant; allocates nothing.
#pragma once

#include <cstddef>

// Writes the EXIF report (1) or {"ExifPresent":false} (0) into out; leaves
// out untouched when it is null or out_cap < 22.
int parse_exif_to_json(const unsigned char* block, size_t block_len, char* out, size_t out_cap);
