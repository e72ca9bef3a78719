// The quality a JPEG was saved at, read from its quantisation tables.
#pragma once

#include <cstddef>
#include <cstdint>

// The IJG quality (1-100) whose scaled standard tables come nearest to a
// JPEG's own quantisation tables, or 0 when the bytes are no JPEG with
// tables before its first scan. Exact for files written by libjpeg at a
// quality setting; the nearest IJG equivalent for other encoders.
int estimate_jpeg_quality(const uint8_t* data, size_t size);
