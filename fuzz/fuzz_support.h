// Shared helpers of the fuzz harnesses: temporary files and a strict check
// of the library's one-line JSON reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/temp_dir.h"

#define FUZZ_CHECK(cond)                                                                 \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// A per-process scratch directory for the harness's files.
inline const std::string& fuzz_dir() {
  static std::string dir = [] {
    const std::string d = make_temp_dir("lumetra-fuzz-");
    FUZZ_CHECK(!d.empty());
    return d;
  }();
  return dir;
}

inline std::string write_input(const char* name, const uint8_t* data, size_t size) {
  const std::string path = fuzz_dir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  if (size > 0) FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
  return path;
}

inline bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// A flat JSON object: string keys, values that are strings, integers,
// fixed-point numbers, true or false. Returns the keys in order, or false
// when the text is not such an object.
inline bool parse_flat_json(const char* text, std::vector<std::string>* keys) {
  const char* p = text;
  auto string = [&](std::string* out) {
    if (*p != '"') return false;
    ++p;
    while (*p != '"') {
      if (*p == '\0' || static_cast<unsigned char>(*p) < 0x20) return false;
      if (*p == '\\') {
        ++p;
        if (*p != '"' && *p != '\\') return false;
      }
      if (out) out->push_back(*p);
      ++p;
    }
    ++p;
    return true;
  };
  if (*p++ != '{') return false;
  for (;;) {
    std::string key;
    if (!string(&key)) return false;
    keys->push_back(key);
    if (*p++ != ':') return false;
    if (*p == '"') {
      if (!string(nullptr)) return false;
    } else if (std::strncmp(p, "true", 4) == 0) {
      p += 4;
    } else if (std::strncmp(p, "false", 5) == 0) {
      p += 5;
    } else {
      if (*p == '-') ++p;
      if (*p < '0' || *p > '9') return false;
      while (*p >= '0' && *p <= '9') ++p;
      if (*p == '.') {
        ++p;
        if (*p < '0' || *p > '9') return false;
        while (*p >= '0' && *p <= '9') ++p;
      }
    }
    if (*p == '}') return p[1] == '\0';
    if (*p++ != ',') return false;
  }
}

inline bool keys_are(const char* json, std::initializer_list<const char*> expected) {
  std::vector<std::string> keys;
  if (!parse_flat_json(json, &keys) || keys.size() != expected.size()) return false;
  size_t i = 0;
  for (const char* k : expected)
    if (keys[i++] != k) return false;
  return true;
}

const std::initializer_list<const char*> kExifKeys = {"Make",        "Model",        "Orientation", "Software",
                                                      "DateTime",    "ExposureTime", "FNumber",     "ISOSpeedRatings",
                                                      "FocalLength", "ExifPresent"};
const std::initializer_list<const char*> kInfoKeys = {"width",         "height",      "bit_depth", "has_alpha",
                                                      "has_thumbnail", "color_space", "exif",      "image_count"};
