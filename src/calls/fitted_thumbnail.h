// Thumbnails that always fit the box asked for (the tool's thumbnail and
// the thumbnailer entry): from an embedded thumbnail big enough, else from
// the primary image, reduced by area averaging (pixels/scale.h).
#pragma once

// Writes a thumbnail fitting box x box (aspect kept; a picture already
// inside the box keeps its size): the smallest embedded thumbnail whose
// long side reaches box, reduced; without one, the primary image, reduced.
// Format from the output extension, JPEG at quality 85. A whole call.
int thumbnail_fit(const char* in, const char* out, int box);
