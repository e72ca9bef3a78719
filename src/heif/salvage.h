// Opening a photo whose hidden images break libheif: libheif 1.19 sets up
// every image item while it reads a file and fails the whole read on the
// first it cannot (a tile without its codec configuration, a codec with no
// decoder, an auxiliary grid past a security limit), though the primary
// image may be intact.
#pragma once

#include <cstddef>
#include <cstdint>

// Hides from libheif every image item the primary does not need, by
// renaming its infe item type to one libheif ignores ("skip": same length,
// so nothing else moves) in `data`, the caller's own copy of the file. The
// primary needs itself, its derivation inputs (dimg, followed through any
// depth and cycle), its alpha images and its thumbnails with their inputs.
// Metadata items stay. Returns how many items were hidden: 0 leaves `data`
// untouched (no readable structure, no primary, nothing to hide).
int hide_unneeded_images(uint8_t* data, size_t size);
