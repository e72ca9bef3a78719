// HEIF/AVIF to HEIF/AVIF: the pictures decoded upright and encoded again.
#pragma once

// Re-encodes in's primary image (with LUMETRA_ALL_IMAGES every top-level
// image, the primary first) into out, HEVC or AV1: bit depth, alpha, colour
// profile (ICC and nclx), EXIF and XMP kept as the flags ask, orientation
// applied to the pixels, a new thumbnail. quality <= 0: chosen for the
// codec. False with the last-error text set.
bool heif_to_heif(const char* in, const char* out, bool av1, int quality, int flags);
