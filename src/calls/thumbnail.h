// Thumbnails: the file's embedded one, or the primary image reduced.
#pragma once

#include <libheif/heif.h>

#include "base/heif_holders.h"

// The box of lumetra_thumbnail's reduced pictures.
constexpr int kThumbnailBox = 320;

// Output size of a non-embedded thumbnail: the image fits box x box as is,
// else it is reduced to fit with its aspect kept.
void thumbnail_size(int width, int height, int* out_width, int* out_height, int box = kThumbnailBox);

// Which of a primary image's embedded thumbnails a thumbnail starts from.
enum class EmbeddedChoice {
  First,            // lumetra_thumbnail's: the first one the file lists
  SmallestReaching  // the smallest whose long side reaches the box
};

// The embedded thumbnail `choice` picks for a box x box thumbnail, in *out
// (empty on entry); false when there is none, or libheif gives no handle
// for it.
bool choose_embedded_thumbnail(heif_image_handle* primary, EmbeddedChoice choice, int box, HandleHolder* out);

// lumetra_thumbnail with another box for the thumbnail made from the
// picture (an embedded one is still written at its own size). A whole call:
// checks its arguments, keeps exceptions in, sets or empties the last error.
int thumbnail_in_box(const char* in, const char* out, int box);
