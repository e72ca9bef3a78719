// The faithful encoder's settings: the quality a source deserves and how
// hard x265 or aom work for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include <libheif/heif.h>

// The IJG quality (1-100) whose scaled standard tables come nearest to a
// JPEG's own quantisation tables, or 0 when the bytes are no JPEG with
// tables before its first scan. Exact for files written by libjpeg at a
// quality setting; the nearest IJG equivalent for other encoders.
int estimate_jpeg_quality(const uint8_t* data, size_t size);

enum class Effort { Fast, Default, Best };

// The libheif quality that keeps a source as good as it looks: from the
// JPEG quality estimate (0: a lossless source), for HEVC or AV1.
int quality_for_source(int jpeg_quality, bool av1);

// The encoder's speed settings for an effort.
void apply_effort(heif_encoder* encoder, Effort effort, bool av1);
