// Reading HEIF files for libheif.
#pragma once

#include <cstddef>

#include <libheif/heif.h>

#include "base/heif_holders.h"

// A whole HEIF file in memory. libheif keeps reading from it until its
// context is freed, so declare it before the context.
struct HeifFileBytes {
  HeapBlock data;
  size_t size = 0;
};

// Reads the file at path into *bytes and has ctx parse it. Errors read like
// libheif's own; their text stays valid until the thread's next read.
//
// When libheif refuses the file, it is read once more with the image items
// the primary does not need hidden from libheif (salvage.h); if that read
// succeeds, so does this one, and last_salvage() says what was dropped.
// Otherwise libheif's first error is returned.
//
// libheif 1.19's file reader claims any byte range is available and aborts
// the process (a failed assert in BitstreamRange) when a top-level box
// points past the end of the file; its memory reader checks each range.
heif_error read_heif_file(heif_context* ctx, const char* path, HeifFileBytes* bytes);

// What the calling thread's last read_heif_file dropped to open its file:
// the number of image items hidden from libheif (0 when the file opened as
// it is) and libheif's message that made it necessary.
struct SalvageNote {
  int hidden_images;
  const char* reason;
};
SalvageNote last_salvage();
