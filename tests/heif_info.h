// libheif's heif-info tool as an independent reader of HEIF files: its
// text, and the facts the corpus sweeps compare the library's reports with.
#pragma once

#include <string>
#include <vector>

// heif-info's whole output for one file (stderr included).
std::string heif_info_text(const std::string& path);

// What heif-info says about the primary image.
struct PrimaryFacts {
  bool ok = false;
  int width = 0, height = 0, images = 0;
  bool alpha = false, thumbnail = false, exif = false;
  bool complete = true;  // heif-info stops listing images at its first decode failure
};
PrimaryFacts primary_facts(const std::string& heif_info_text);

// heif-info's facts about one image, in its own words.
struct ImageFacts {
  int id = 0, width = 0, height = 0, bits = 0;
  bool primary = false, alpha = false;
  std::string profile;                  // prof, rICC, nclx or no
  std::vector<std::string> thumbnails;  // "WxH"
  std::vector<std::string> transforms;  // "angle (ccw): 90", "mirror: vertical", "crop: left=..."
  std::vector<long> metadata_sizes;
  std::string depth_size;  // "WxH" when it has a depth channel
};

struct FileFacts {
  std::string major;
  std::vector<ImageFacts> images;
};
FileFacts file_facts(const std::string& heif_info_text);
