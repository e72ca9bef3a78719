#include "heif/box_edit.h"

#include <algorithm>

#include "heif/box_cursor.h"
#include "heif/meta_box.h"

namespace {

struct Insertion {
  size_t at = 0;  // the new bytes go before the original byte at this position
  std::vector<uint8_t> bytes;
  const Box* grows = nullptr;  // the top-level box they join
};

// What the edit moves: the insertions, in file order.
struct Plan {
  std::vector<Insertion> insertions;
  size_t file_size = 0;

  uint64_t shift_at(uint64_t position) const {
    uint64_t shift = 0;
    for (const Insertion& i : insertions) {
      if (i.at <= position) shift += i.bytes.size();
    }
    return shift;
  }
  // Whether an insertion would fall inside [start, start + length); length
  // 0 means to the end of the file.
  bool splits(uint64_t start, uint64_t length) const {
    const uint64_t end = length == 0 ? file_size : start + length;
    for (const Insertion& i : insertions) {
      if (start < i.at && i.at < end) return true;
    }
    return false;
  }
};

void put_be(uint8_t* out, size_t at, int size, uint64_t value) {
  for (int i = size - 1; i >= 0; --i, value >>= 8) out[at + size_t(i)] = uint8_t(value);
}

void append_u32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out->push_back(uint8_t(v >> (8 * i)));
}

bool fits(uint64_t value, int size) { return size == 8 || (size == 4 && value <= 0xFFFFFFFFu) || value == 0; }

struct OffsetField {
  size_t at = 0;
  int size = 0;
  uint64_t value = 0;
};

OffsetField read_field(Cursor& c, int size) {
  OffsetField f;
  f.at = c.at;
  f.size = size;
  f.value = c.read(size);
  return f;
}

// Walks an 'iloc' box; with out set (a copy of the file, same size) it writes
// the moved offsets there. Null when every extent of this file can be
// moved by plan, else why not. Extents of zero bytes are all alike: one of
// them stands for all, so a huge claimed count costs nothing.
const char* move_iloc(Cursor c, const Plan& plan, uint8_t* out) {
  const uint32_t version = c.u8();
  c.skip(3);
  const uint32_t sizes = c.u16();
  const int offset_size = int(sizes >> 12), length_size = int(sizes >> 8 & 15);
  const int base_size = int(sizes >> 4 & 15), index_size = version >= 1 ? int(sizes & 15) : 0;
  if (!c.ok || version > 2) return "unknown iloc version";
  for (const int s : {offset_size, length_size, base_size, index_size}) {
    if (s != 0 && s != 4 && s != 8) return "unknown iloc field size";
  }
  const uint32_t items = version < 2 ? c.u16() : c.u32();
  for (uint32_t k = 0; k < items && c.ok; ++k) {
    c.skip(version < 2 ? 2 : 4);                              // item ID
    const uint32_t method = version >= 1 ? c.u16() & 15 : 0;  // construction method
    const uint32_t data_reference = c.u16();
    const OffsetField base = read_field(c, base_size);
    uint32_t extents = c.u16();
    if (index_size + offset_size + length_size == 0 && extents > 1) extents = 1;
    const bool in_this_file = method == 0 && data_reference == 0;
    bool first = true;
    uint64_t item_shift = 0;
    for (uint32_t e = 0; e < extents && c.ok; ++e) {
      c.skip(size_t(index_size));
      const OffsetField offset = read_field(c, offset_size);
      const uint64_t length = c.read(length_size);
      if (!c.ok) break;
      if (!in_this_file) continue;  // idat, another item or another file: nothing moves
      if (base.value > UINT64_MAX - offset.value) return "iloc offset out of range";
      const uint64_t start = base.value + offset.value;
      if (start > plan.file_size || length > plan.file_size - start) return "iloc extent outside the file";
      if (plan.splits(start, length)) return "iloc extent would be split";
      const uint64_t shift = plan.shift_at(start);
      if (base_size > 0) {
        if (!first && shift != item_shift) return "iloc extents of one item would move apart";
        item_shift = shift;
        first = false;
      } else if (shift != 0) {
        if (!fits(offset.value + shift, offset_size)) return "iloc offset cannot hold the moved position";
        if (out != nullptr) put_be(out, offset.at, offset_size, offset.value + shift);
      }
    }
    if (!c.ok) break;
    if (item_shift != 0) {
      if (!fits(base.value + item_shift, base_size)) return "iloc base offset cannot hold the moved position";
      if (out != nullptr) put_be(out, base.at, base_size, base.value + item_shift);
    }
  }
  return c.ok ? nullptr : "malformed iloc box";
}

struct InfeEntry {
  uint32_t id = 0;
  size_t flags_at = 0;  // the low byte of its flags
};

// The item IDs of an 'iinf' box's entries and where their flags are.
bool read_entries(Cursor c, std::vector<InfeEntry>* entries) {
  const uint32_t version = c.u8();
  c.skip(3);
  c.skip(version == 0 ? 2 : 4);  // entry count: the boxes themselves decide
  Box box;
  while (next_box(c, &box)) {
    if (box.type != fourcc("infe")) continue;
    Cursor e = inside(c, box);
    const uint32_t infe_version = e.u8();
    InfeEntry entry;
    entry.flags_at = e.at + 2;  // the last of its three bytes
    e.skip(3);
    entry.id = infe_version >= 3 ? e.u32() : e.u16();
    if (!e.ok) return false;
    entries->push_back(entry);
  }
  return c.ok;
}

// Sets the box's size field to its size grown by `grow` bytes; false when
// the field cannot hold it.
bool grow_box(uint8_t* out, const Box& box, size_t grow) {
  const uint64_t size = uint64_t(box.end - box.start) + grow;
  if (box.to_end) return true;  // still to the end of the file
  if (box.large) {
    put_be(out, box.start + 8, 8, size);
    return true;
  }
  if (size > 0xFFFFFFFFu) return false;
  put_be(out, box.start, 4, size);
  return true;
}

struct Layout {
  Box ftyp, meta, iinf, iloc;
  bool has_iinf = false, has_iloc = false, has_brand = false;
};

const char* read_layout(const std::vector<uint8_t>& file, uint32_t brand, Layout* l) {
  Cursor top{file.data(), 0, file.size()};
  Box box;
  if (!next_box(top, &box) || box.type != fourcc("ftyp") || box.to_end) return "the file does not start with ftyp";
  l->ftyp = box;
  bool has_meta = false;
  while (next_box(top, &box)) {
    if (box.type == fourcc("moov")) return "the file has tracks";
    if (box.type != fourcc("meta")) continue;
    if (has_meta) return "the file has two meta boxes";
    has_meta = true;
    l->meta = box;
  }
  if (!top.ok || top.at != file.size()) return "malformed top-level box";
  if (!has_meta) return "the file has no meta box";
  Cursor ftyp = inside(top, l->ftyp);
  const size_t brands = ftyp.end - ftyp.at;
  if (brands < 8 || brands % 4 != 0) return "malformed ftyp box";
  ftyp.skip(8);  // major brand, minor version
  while (ftyp.has(4)) l->has_brand = l->has_brand || ftyp.u32() == brand;
  Cursor meta = inside(top, l->meta);
  if (meta.u32() != 0) return "unknown meta box version";
  while (next_box(meta, &box)) {
    if (box.type == fourcc("grpl")) return "the file has entity groups already";
    bool* seen = box.type == fourcc("iinf") ? &l->has_iinf : box.type == fourcc("iloc") ? &l->has_iloc : nullptr;
    if (seen == nullptr) continue;
    if (*seen) return "the file has two iinf or iloc boxes";
    *seen = true;
    (box.type == fourcc("iinf") ? l->iinf : l->iloc) = box;
  }
  return meta.ok ? nullptr : "malformed meta box";
}

// The 'grpl' box with one 'altr' group, its ID above every item ID.
const char* group_box(const std::vector<InfeEntry>& entries, const std::vector<uint32_t>& ids,
                      std::vector<uint8_t>* out) {
  uint32_t top_id = 0;
  for (const InfeEntry& e : entries) top_id = std::max(top_id, e.id);
  if (top_id == UINT32_MAX) return "no group ID is free";
  if (ids.size() > 64) return "too many alternatives";
  for (const uint32_t id : ids) {
    if (std::none_of(entries.begin(), entries.end(), [id](const InfeEntry& e) { return e.id == id; })) {
      return "an alternative is not an item of the file";
    }
  }
  const uint32_t altr_size = 20 + 4 * uint32_t(ids.size());
  append_u32(out, 8 + altr_size);
  append_u32(out, fourcc("grpl"));
  append_u32(out, altr_size);
  append_u32(out, fourcc("altr"));
  append_u32(out, 0);  // version and flags
  append_u32(out, top_id + 1);
  append_u32(out, uint32_t(ids.size()));
  for (const uint32_t id : ids) append_u32(out, id);
  return nullptr;
}

}  // namespace

const char* edit_heif_boxes(std::vector<uint8_t>* file, const HeifBoxEdits& edits) {
  if (edits.brand == 0 && edits.hidden.empty() && edits.alternates.empty()) return nullptr;
  Layout l;
  if (const char* why = read_layout(*file, edits.brand, &l)) return why;
  std::vector<InfeEntry> entries;
  if (l.has_iinf && !read_entries(Cursor{file->data(), l.iinf.payload, l.iinf.end}, &entries)) {
    return "malformed iinf box";
  }
  for (const uint32_t id : edits.hidden) {
    if (std::count_if(entries.begin(), entries.end(), [id](const InfeEntry& e) { return e.id == id; }) != 1) {
      return "a hidden item is not an item of the file";
    }
  }
  Plan plan;
  plan.file_size = file->size();
  if (edits.brand != 0 && !l.has_brand) {
    Insertion brand{l.ftyp.end, {}, &l.ftyp};
    append_u32(&brand.bytes, edits.brand);
    plan.insertions.push_back(brand);
  }
  if (!edits.alternates.empty()) {
    Insertion group{l.meta.end, {}, &l.meta};
    if (const char* why = group_box(entries, edits.alternates, &group.bytes)) return why;
    plan.insertions.push_back(group);
  }
  const Cursor iloc{file->data(), l.iloc.payload, l.iloc.end};
  if (l.has_iloc && !plan.insertions.empty()) {
    if (const char* why = move_iloc(iloc, plan, nullptr)) return why;
  }
  // Edits in place on a copy, then insertions from the last to the first so
  // that earlier positions stay valid; *file changes only once all is done.
  std::vector<uint8_t> out(*file);
  for (const uint32_t id : edits.hidden) {
    for (const InfeEntry& e : entries) {
      if (e.id == id) out[e.flags_at] |= 1;
    }
  }
  if (l.has_iloc && !plan.insertions.empty()) move_iloc(iloc, plan, out.data());
  for (const Insertion& i : plan.insertions) {
    if (!grow_box(out.data(), *i.grows, i.bytes.size())) return "a box cannot hold its new size";
  }
  for (auto i = plan.insertions.rbegin(); i != plan.insertions.rend(); ++i) {
    out.insert(out.begin() + std::ptrdiff_t(i->at), i->bytes.begin(), i->bytes.end());
  }
  file->swap(out);
  return nullptr;
}
