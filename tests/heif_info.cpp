#include "heif_info.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "fixtures.h"

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

std::string heif_info_text(const std::string& path) { return capture("heif-info '" + path + "' 2>&1"); }

PrimaryFacts primary_facts(const std::string& text) {
  PrimaryFacts f;
  std::istringstream in(text);
  std::string line;
  bool in_primary = false;
  while (std::getline(in, line)) {
    if (starts_with(line, "Could not")) f.complete = false;
    if (starts_with(line, "image: ")) {
      ++f.images;
      in_primary = line.find(", primary") != std::string::npos;
      if (in_primary) {
        f.ok = std::sscanf(line.c_str(), "image: %dx%d", &f.width, &f.height) == 2;
      }
    } else if (in_primary) {
      if (starts_with(line, "  thumbnail:")) f.thumbnail = true;
      if (starts_with(line, "  alpha channel: yes")) f.alpha = true;
      if (starts_with(line, "  Exif:")) f.exif = true;
    }
  }
  return f;
}

FileFacts file_facts(const std::string& text) {
  FileFacts f;
  std::istringstream in(text);
  std::string line, section;
  bool depth = false;
  while (std::getline(in, line)) {
    if (starts_with(line, "main brand: ")) f.major = line.substr(12);
    if (starts_with(line, "image: ")) {
      ImageFacts im;
      std::sscanf(line.c_str(), "image: %dx%d (id=%d)", &im.width, &im.height, &im.id);
      im.primary = line.find(", primary") != std::string::npos;
      f.images.push_back(im);
      section = "image";
      depth = false;
      continue;
    }
    if (f.images.empty()) continue;
    ImageFacts& im = f.images.back();
    if (line == "metadata:" || line == "transformations:" || line == "region annotations:" || line == "properties:") {
      section = line;
    } else if (section == "image") {
      int w = 0, h = 0;
      if (std::sscanf(line.c_str(), "  bit depth: %d", &im.bits) == 1) continue;
      if (std::sscanf(line.c_str(), "  thumbnail: %dx%d", &w, &h) == 2) im.thumbnails.push_back(line.substr(13));
      if (starts_with(line, "  color profile: ")) im.profile = line.substr(17);
      if (starts_with(line, "  alpha channel: yes")) im.alpha = true;
      if (starts_with(line, "  depth channel: yes")) depth = true;
      if (depth && std::sscanf(line.c_str(), "    size: %dx%d", &w, &h) == 2) im.depth_size = line.substr(10);
    } else if (section == "metadata:" && line != "  none") {
      const size_t colon = line.rfind(": ");
      if (colon != std::string::npos) im.metadata_sizes.push_back(std::atol(line.c_str() + colon + 2));
    } else if (section == "transformations:" && line != "  none" && starts_with(line, "  ")) {
      im.transforms.push_back(line.substr(2));
    }
  }
  return f;
}
