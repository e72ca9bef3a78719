#include "heif/salvage.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "heif/meta_box.h"

namespace {

// Item types libheif 1.19 makes an image of (or, for tmap, may in later
// versions).
bool is_image_type(uint32_t type) {
  static const uint32_t kTypes[] = {fourcc("hvc1"), fourcc("av01"), fourcc("vvc1"), fourcc("avc1"), fourcc("jpeg"),
                                    fourcc("unci"), fourcc("j2k1"), fourcc("mski"), fourcc("grid"), fourcc("iovl"),
                                    fourcc("iden"), fourcc("tili"), fourcc("tmap")};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

bool is_alpha_type(const char* text, size_t length) {
  static const char* const kAlpha[] = {"urn:mpeg:avc:2015:auxid:1", "urn:mpeg:hevc:2015:auxid:1",
                                       "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha"};
  for (const char* alpha : kAlpha) {
    if (std::strlen(alpha) == length && std::memcmp(alpha, text, length) == 0) return true;
  }
  return false;
}

using References = std::vector<MetaReference>;

}  // namespace

int hide_unneeded_images(uint8_t* data, size_t size) {
  MetaIndex index;
  if (!read_meta_index(data, size, &index)) return 0;
  const uint32_t primary = index.primary;
  if (std::none_of(index.items.begin(), index.items.end(), [&](const MetaItem& i) { return i.id == primary; })) {
    return 0;
  }

  std::vector<uint32_t> alpha_items;
  for (const MetaAssociation& a : index.associations) {
    size_t length = 0;
    const char* type = auxiliary_type(data, index.properties[a.property - 1], &length);
    if (type != nullptr && is_alpha_type(type, length)) alpha_items.push_back(a.item);
  }
  std::sort(alpha_items.begin(), alpha_items.end());

  References by_from = index.references, by_to = index.references;
  std::sort(by_from.begin(), by_from.end(),
            [](const MetaReference& a, const MetaReference& b) { return a.from < b.from; });
  std::sort(by_to.begin(), by_to.end(), [](const MetaReference& a, const MetaReference& b) { return a.to < b.to; });
  auto from_range = [&](uint32_t id) {
    return std::equal_range(by_from.begin(), by_from.end(), MetaReference{0, id, 0},
                            [](const MetaReference& a, const MetaReference& b) { return a.from < b.from; });
  };
  auto to_range = [&](uint32_t id) {
    return std::equal_range(by_to.begin(), by_to.end(), MetaReference{0, 0, id},
                            [](const MetaReference& a, const MetaReference& b) { return a.to < b.to; });
  };

  // A worklist, not recursion: each item is taken once, so dimg cycles and
  // deep chains cost no stack.
  std::unordered_set<uint32_t> needed{primary};
  std::vector<uint32_t> work{primary};
  auto need = [&](uint32_t id) {
    if (needed.insert(id).second) work.push_back(id);
  };
  for (auto r = to_range(primary); r.first != r.second; ++r.first) {
    if (r.first->type == fourcc("thmb")) need(r.first->from);
  }
  while (!work.empty()) {
    const uint32_t id = work.back();
    work.pop_back();
    for (auto r = from_range(id); r.first != r.second; ++r.first) {
      if (r.first->type == fourcc("dimg")) need(r.first->to);
    }
    for (auto r = to_range(id); r.first != r.second; ++r.first) {
      if (r.first->type == fourcc("auxl") &&
          std::binary_search(alpha_items.begin(), alpha_items.end(), r.first->from)) {
        need(r.first->from);
      }
    }
  }

  // A region item describing only hidden images would be refused by
  // libheif as pointing at nothing.
  auto describes_needed = [&](uint32_t id) {
    for (auto r = from_range(id); r.first != r.second; ++r.first) {
      if (r.first->type == fourcc("cdsc") && needed.count(r.first->to) != 0) return true;
    }
    return false;
  };

  int hidden = 0;
  for (const MetaItem& item : index.items) {
    if (needed.count(item.id) != 0) continue;
    if (is_image_type(item.type) || (item.type == fourcc("rgan") && !describes_needed(item.id))) {
      std::memcpy(data + item.type_at, "skip", 4);
      ++hidden;
    }
  }
  return hidden;
}
