// The faithful encoder's settings: the quality a source deserves and how
// hard x265 or aom work for it.
#pragma once

#include <libheif/heif.h>

#include "base/heif_holders.h"

enum class Effort { Fast, Default, Best };

// The libheif quality that keeps a source as good as it looks: from the
// JPEG quality estimate (0: a lossless source), for HEVC or AV1.
int quality_for_source(int jpeg_quality, bool av1);

// The libheif quality for re-encoding a HEIF or AVIF picture.
int quality_for_heif_source(bool av1);

// The encoder's speed settings for an effort.
void apply_effort(heif_encoder* encoder, Effort effort, bool av1);

// The HEVC or AV1 encoder of a faithful conversion: quality, and the effort
// the LUMETRA_EFFORT_* flags ask. False with the last-error text set.
bool output_encoder(heif_context* ctx, bool av1, int quality, int flags, EncoderHolder* encoder);
