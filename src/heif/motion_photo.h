// The video of a motion photo: a short MP4 kept after the picture in the
// same file, in a top-level `mpvd` box (Samsung) or appended as it is and
// located by the primary image's XMP (Google's container directory, or the
// older GCamera:MicroVideoOffset).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "heif/open_file.h"

struct MotionPhotoVideo {
  size_t offset = 0;  // first byte of the video in the file
  size_t length = 0;
  std::string mime;
  int64_t presentation_timestamp_us = -1;  // -1 when the XMP gives none
};

// Finds the video in a whole file's bytes; xmp_packets are the primary
// image's. Sources in this order: the mpvd box, the container directory's
// MotionPhoto item, MicroVideoOffset; the first whose range lies inside the
// file and starts with an ftyp box wins. False when none does.
bool find_motion_photo(const uint8_t* file, size_t size, const std::vector<std::string>& xmp_packets,
                       MotionPhotoVideo* video);

// The same for an open file and its primary image.
bool motion_photo_of(const HeifFileBytes& file, heif_image_handle* primary, MotionPhotoVideo* video);

// Writes the video's bytes to path through OutputFile; false with the
// last-error text set.
bool write_motion_photo_video(const HeifFileBytes& file, const MotionPhotoVideo& video, const char* path);
