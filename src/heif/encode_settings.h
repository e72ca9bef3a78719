// The faithful encoder's settings: the quality a source deserves and how
// hard x265 or aom work for it.
#pragma once

#include <libheif/heif.h>

enum class Effort { Fast, Default, Best };

// The libheif quality that keeps a source as good as it looks: from the
// JPEG quality estimate (0: a lossless source), for HEVC or AV1.
int quality_for_source(int jpeg_quality, bool av1);

// The encoder's speed settings for an effort.
void apply_effort(heif_encoder* encoder, Effort effort, bool av1);
