// The HDR PNG: a HEIF image's HDR rendition as 16-bit BT.2100 PQ RGB(A),
// tagged by a cICP chunk (BT.2020 primaries, PQ, RGB, full range) and a
// cLLI chunk with the picture's content light levels, without iCCP, sRGB
// or gAMA. From a gain map of any kind at full headroom, SDR white at
// 203 cd/m²; from a PQ picture as it is; from an HLG picture displayed at
// 1000 cd/m².
#pragma once

#include <libheif/heif.h>

#include "formats/metadata.h"

enum class HdrPngResult { Written, Failed, NoHdr };

// Writes the PNG to `out` with md's EXIF and XMP (its ICC profile is left
// out: cICP describes the pixels). NoHdr, nothing written and
// last_hdr_note() saying why, when the image has no HDR rendition or a gain
// map that cannot be used; Failed with the last-error text set.
HdrPngResult write_hdr_png(heif_context* ctx, heif_image_handle* image, const char* out, const PictureMetadata& md);
