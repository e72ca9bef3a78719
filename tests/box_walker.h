// The tests' own reader of a HEIF file's box structure, independent of the
// library's: ftyp, and in meta the items, references, locations,
// properties and entity groups, as plain values.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fixtures.h"

struct WalkedFile {
  std::string major;
  std::vector<std::string> brands;
  uint32_t primary = 0;
  struct Item {
    uint32_t flags = 0;
    std::string type;
  };
  std::map<uint32_t, Item> items;
  struct Reference {
    std::string type;
    uint32_t from = 0;
    std::vector<uint32_t> to;
  };
  std::vector<Reference> references;
  struct Extent {
    uint64_t start = 0, length = 0;  // start: in the file, or in idat (method 1)
  };
  struct Location {
    int method = 0;
    std::vector<Extent> extents;
  };
  std::map<uint32_t, Location> locations;
  uint64_t idat_start = 0, idat_size = 0;
  std::vector<std::pair<std::string, Bytes>> properties;  // ipco children: type, payload
  std::map<uint32_t, std::vector<int>> associations;      // item: 1-based property indexes
  struct Group {
    std::string type;
    uint32_t id = 0;
    std::vector<uint32_t> entities;
  };
  std::vector<Group> groups;
  uint64_t mdat_start = 0, mdat_end = 0;  // mdat's payload
};

// False, with *why, on anything it does not understand.
bool walk_heif(const Bytes& file, WalkedFile* out, std::string* why);

// The item's data, its extents joined (empty when they leave the file).
Bytes walked_item_data(const Bytes& file, const WalkedFile& w, uint32_t id);

// The payload of the item's first property of this type, or false.
bool walked_property(const WalkedFile& w, uint32_t id, const std::string& type, Bytes* payload);
