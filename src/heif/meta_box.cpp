#include "heif/meta_box.h"

#include <cstring>

#include "heif/box_cursor.h"

namespace {

bool read_pitm(Cursor c, MetaIndex* index) {
  const uint32_t version = c.u8();
  c.skip(3);
  index->primary = version == 0 ? c.u16() : c.u32();
  index->has_primary = c.ok;
  return c.ok;
}

bool read_infe(Cursor c, MetaIndex* index) {
  const uint32_t version = c.u8();
  c.skip(3);
  if (version < 2) return c.ok;  // no item type: not an image item for libheif
  MetaItem item;
  item.id = version == 2 ? c.u16() : c.u32();
  c.skip(2);  // protection index
  item.type_at = c.at;
  item.type = c.u32();
  if (!c.ok) return false;
  index->items.push_back(item);
  return true;
}

bool read_iinf(Cursor c, MetaIndex* index) {
  const uint32_t version = c.u8();
  c.skip(3);
  c.skip(version == 0 ? 2 : 4);  // entry count: the boxes themselves decide
  Box box;
  while (next_box(c, &box)) {
    if (box.type == fourcc("infe") && !read_infe(inside(c, box), index)) return false;
  }
  return c.ok;
}

bool read_iref(Cursor c, MetaIndex* index) {
  const uint32_t version = c.u8();
  c.skip(3);
  const int id_bytes = version == 0 ? 2 : 4;
  Box box;
  while (next_box(c, &box)) {
    Cursor r = inside(c, box);
    const uint32_t from = uint32_t(r.read(id_bytes));
    const uint32_t count = r.u16();
    if (!r.ok || !r.has(size_t(count) * size_t(id_bytes))) return false;
    for (uint32_t i = 0; i < count; ++i) {
      index->references.push_back(MetaReference{box.type, from, uint32_t(r.read(id_bytes))});
    }
  }
  return c.ok;
}

bool read_ipma(Cursor c, MetaIndex* index) {
  const uint32_t version = c.u8();
  const uint32_t flags = c.u8() << 16 | c.u16();
  const uint32_t entries = c.u32();
  const bool wide = (flags & 1) != 0;
  for (uint32_t e = 0; e < entries && c.ok; ++e) {
    const uint32_t item = version < 1 ? c.u16() : c.u32();
    const uint32_t count = c.u8();
    if (!c.has(size_t(count) * (wide ? 2 : 1))) return false;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t v = wide ? c.u16() : c.u8();
      const uint32_t property = wide ? (v & 0x7FFF) : (v & 0x7F);
      // Only auxiliary types are asked for: keeping just those holds the
      // list to what the auxC boxes themselves take.
      if (property >= 1 && property <= index->properties.size() &&
          index->properties[property - 1].type == fourcc("auxC")) {
        index->associations.push_back(MetaAssociation{item, property});
      }
    }
  }
  return c.ok;
}

// ipco first, wherever it stands, so that ipma's indexes can be told apart.
bool read_iprp(const Cursor& iprp, MetaIndex* index) {
  for (const bool properties : {true, false}) {
    Cursor c = iprp;
    Box box;
    while (next_box(c, &box)) {
      Cursor inner = inside(c, box);
      if (properties && box.type == fourcc("ipco")) {
        Box property;
        while (next_box(inner, &property)) {
          index->properties.push_back(MetaProperty{property.type, property.payload, property.end - property.payload});
        }
        if (!inner.ok) return false;
      } else if (!properties && box.type == fourcc("ipma") && !read_ipma(inner, index)) {
        return false;
      }
    }
    if (!c.ok) return false;
  }
  return true;
}

}  // namespace

bool read_meta_index(const uint8_t* data, size_t size, MetaIndex* index) {
  Cursor file{data, 0, size};
  Box meta;
  bool found = false;
  while (!found && next_box(file, &meta)) found = meta.type == fourcc("meta");
  if (!found) return false;
  Cursor c = inside(file, meta);
  c.skip(4);  // version and flags
  Box box;
  while (next_box(c, &box)) {
    const Cursor inner = inside(c, box);
    bool ok = true;
    if (box.type == fourcc("pitm"))
      ok = read_pitm(inner, index);
    else if (box.type == fourcc("iinf"))
      ok = read_iinf(inner, index);
    else if (box.type == fourcc("iref"))
      ok = read_iref(inner, index);
    else if (box.type == fourcc("iprp"))
      ok = read_iprp(inner, index);
    if (!ok) return false;
  }
  return c.ok && index->has_primary;
}

const char* auxiliary_type(const uint8_t* data, const MetaProperty& auxc, size_t* length) {
  if (auxc.type != fourcc("auxC") || auxc.payload_size < 5) return nullptr;
  const char* text = reinterpret_cast<const char*>(data + auxc.payload_at + 4);  // after version and flags
  const void* zero = std::memchr(text, 0, auxc.payload_size - 4);
  if (zero == nullptr) return nullptr;
  *length = size_t(static_cast<const char*>(zero) - text);
  return text;
}
