// The library's own reader of a HEIF file's item structure (the `meta`
// box: pitm, iinf/infe, iref, iprp/ipco/ipma), for what libheif cannot tell
// once its own read has failed. Hostile-input code: every size and count is
// checked against the bytes it stands in, nothing is allocated beyond what
// the bytes themselves hold, and nothing recurses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t fourcc(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
         uint32_t(uint8_t(s[3]));
}

struct MetaItem {
  uint32_t id = 0;
  uint32_t type = 0;   // infe item type (versions 2 and 3), else 0
  size_t type_at = 0;  // where those four bytes are in the file
};

struct MetaReference {  // one `from` → `to` pair of an iref entry
  uint32_t type = 0;
  uint32_t from = 0;
  uint32_t to = 0;
};

struct MetaProperty {  // a child box of ipco, 1-based index = position + 1
  uint32_t type = 0;
  size_t payload_at = 0;
  size_t payload_size = 0;
};

struct MetaAssociation {  // kept for auxC properties only
  uint32_t item = 0;
  uint32_t property = 0;  // 1-based ipco index, always within properties
};

struct MetaIndex {
  bool has_primary = false;
  uint32_t primary = 0;
  std::vector<MetaItem> items;
  std::vector<MetaReference> references;
  std::vector<MetaProperty> properties;
  std::vector<MetaAssociation> associations;
};

// Reads the first top-level `meta` box of a file held in memory. False when
// there is none, it names no primary item, or its item structure is
// malformed. The lists grow only with the bytes they are read from (a few
// times the meta box's size at most), whatever counts the boxes claim.
bool read_meta_index(const uint8_t* data, size_t size, MetaIndex* index);

// The auxiliary type an auxC property holds, pointing into data, or null.
// `length` receives its length without the terminating zero.
const char* auxiliary_type(const uint8_t* data, const MetaProperty& auxc, size_t* length);
