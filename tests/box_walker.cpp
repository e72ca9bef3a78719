#include "box_walker.h"

namespace {

// Reads big-endian numbers from [at, end); past the end it fails for good.
struct Reader {
  const Bytes& f;
  uint64_t at, end;
  bool ok = true;
  uint64_t n(int bytes) {
    if (!ok || bytes < 0 || uint64_t(bytes) > end - at) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | f[size_t(at++)];
    return v;
  }
  std::string type() {
    const uint64_t v = n(4);
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  }
};

struct Child {
  std::string type;
  uint64_t start = 0, payload = 0, end = 0;
};

bool children(const Bytes& f, uint64_t from, uint64_t to, std::vector<Child>* out) {
  while (from < to) {
    Reader r{f, from, to};
    uint64_t size = r.n(4);
    Child c;
    c.type = r.type();
    if (size == 1) size = r.n(8);
    if (size == 0) size = to - from;
    if (!r.ok || size < r.at - from || size > to - from) return false;
    c.start = from;
    c.payload = r.at;
    c.end = from + size;
    out->push_back(c);
    from = c.end;
  }
  return true;
}

bool read_iloc(const Bytes& f, const Child& b, WalkedFile* w) {
  Reader r{f, b.payload, b.end};
  const int version = int(r.n(1));
  r.n(3);
  const int sizes = int(r.n(2));
  const int offset_size = sizes >> 12, length_size = sizes >> 8 & 15, base_size = sizes >> 4 & 15;
  const int index_size = version > 0 ? sizes & 15 : 0;
  const uint64_t count = r.n(version < 2 ? 2 : 4);
  for (uint64_t i = 0; i < count && r.ok; ++i) {
    const uint32_t id = uint32_t(r.n(version < 2 ? 2 : 4));
    WalkedFile::Location loc;
    loc.method = version > 0 ? int(r.n(2) & 15) : 0;
    const uint64_t data_reference = r.n(2);
    const uint64_t base = r.n(base_size);
    const uint64_t extents = r.n(2);
    for (uint64_t e = 0; e < extents && r.ok; ++e) {
      r.n(index_size);
      WalkedFile::Extent x;
      x.start = base + r.n(offset_size);
      x.length = r.n(length_size);
      loc.extents.push_back(x);
    }
    // Data in other files or other items is not this walker's business.
    if (data_reference == 0 && loc.method <= 1) w->locations[id] = loc;
  }
  return r.ok;
}

bool read_meta_child(const Bytes& f, const Child& b, WalkedFile* w) {
  Reader r{f, b.payload, b.end};
  if (b.type == "pitm") {
    const int version = int(r.n(1));
    r.n(3);
    w->primary = uint32_t(r.n(version == 0 ? 2 : 4));
  } else if (b.type == "iinf") {
    const int version = int(r.n(1));
    r.n(3 + (version == 0 ? 2 : 4));
    std::vector<Child> entries;
    if (!r.ok || !children(f, r.at, b.end, &entries)) return false;
    for (const Child& e : entries) {
      Reader q{f, e.payload, e.end};
      const int v = int(q.n(1));
      WalkedFile::Item item;
      item.flags = uint32_t(q.n(3));
      const uint32_t id = uint32_t(q.n(v >= 3 ? 4 : 2));
      q.n(2);
      if (v >= 2) item.type = q.type();
      if (!q.ok || e.type != "infe") return false;
      w->items[id] = item;
    }
  } else if (b.type == "iref") {
    const int version = int(r.n(1));
    r.n(3);
    std::vector<Child> refs;
    if (!r.ok || !children(f, r.at, b.end, &refs)) return false;
    for (const Child& c : refs) {
      Reader q{f, c.payload, c.end};
      WalkedFile::Reference ref;
      ref.type = c.type;
      ref.from = uint32_t(q.n(version == 0 ? 2 : 4));
      const uint64_t n = q.n(2);
      for (uint64_t i = 0; i < n && q.ok; ++i) ref.to.push_back(uint32_t(q.n(version == 0 ? 2 : 4)));
      if (!q.ok) return false;
      w->references.push_back(ref);
    }
  } else if (b.type == "iloc") {
    return read_iloc(f, b, w);
  } else if (b.type == "idat") {
    w->idat_start = b.payload;
    w->idat_size = b.end - b.payload;
  } else if (b.type == "iprp") {
    std::vector<Child> parts;
    if (!children(f, b.payload, b.end, &parts)) return false;
    for (const Child& p : parts) {
      if (p.type == "ipco") {
        std::vector<Child> props;
        if (!children(f, p.payload, p.end, &props)) return false;
        for (const Child& q : props) {
          w->properties.emplace_back(q.type, Bytes(f.begin() + long(q.payload), f.begin() + long(q.end)));
        }
      } else if (p.type == "ipma") {
        Reader q{f, p.payload, p.end};
        const int version = int(q.n(1));
        const bool wide = (q.n(3) & 1) != 0;
        const uint64_t entries = q.n(4);
        for (uint64_t e = 0; e < entries && q.ok; ++e) {
          const uint32_t id = uint32_t(q.n(version < 1 ? 2 : 4));
          const uint64_t n = q.n(1);
          for (uint64_t k = 0; k < n && q.ok; ++k) {
            w->associations[id].push_back(int(q.n(wide ? 2 : 1) & (wide ? 0x7FFF : 0x7F)));
          }
        }
        if (!q.ok) return false;
      }
    }
  } else if (b.type == "grpl") {
    std::vector<Child> groups;
    if (!children(f, b.payload, b.end, &groups)) return false;
    for (const Child& g : groups) {
      Reader q{f, g.payload, g.end};
      q.n(4);
      WalkedFile::Group group;
      group.type = g.type;
      group.id = uint32_t(q.n(4));
      const uint64_t n = q.n(4);
      for (uint64_t i = 0; i < n && q.ok; ++i) group.entities.push_back(uint32_t(q.n(4)));
      if (!q.ok || q.at != g.end) return false;
      w->groups.push_back(group);
    }
  }
  return r.ok;
}

}  // namespace

bool walk_heif(const Bytes& f, WalkedFile* w, std::string* why) {
  std::vector<Child> top;
  if (!children(f, 0, f.size(), &top) || top.empty() || top[0].type != "ftyp") {
    *why = "top-level boxes";
    return false;
  }
  Reader ftyp{f, top[0].payload, top[0].end};
  w->major = ftyp.type();
  ftyp.n(4);
  while (ftyp.ok && ftyp.at < ftyp.end) w->brands.push_back(ftyp.type());
  for (const Child& b : top) {
    if (b.type == "mdat") {
      w->mdat_start = b.payload;
      w->mdat_end = b.end;
    }
    if (b.type != "meta") continue;
    std::vector<Child> parts;
    if (!children(f, b.payload + 4, b.end, &parts)) {
      *why = "meta children";
      return false;
    }
    for (const Child& p : parts) {
      if (!read_meta_child(f, p, w)) {
        *why = "meta box " + p.type;
        return false;
      }
    }
  }
  return true;
}

Bytes walked_item_data(const Bytes& f, const WalkedFile& w, uint32_t id) {
  Bytes out;
  const auto loc = w.locations.find(id);
  if (loc == w.locations.end()) return out;
  for (const WalkedFile::Extent& e : loc->second.extents) {
    const uint64_t base = loc->second.method == 1 ? w.idat_start : 0;
    const uint64_t limit = loc->second.method == 1 ? w.idat_start + w.idat_size : f.size();
    if (e.start > limit - base || e.length > limit - base - e.start) return Bytes();
    out.insert(out.end(), f.begin() + long(base + e.start), f.begin() + long(base + e.start + e.length));
  }
  return out;
}

bool walked_property(const WalkedFile& w, uint32_t id, const std::string& type, Bytes* payload) {
  const auto a = w.associations.find(id);
  if (a == w.associations.end()) return false;
  for (const int index : a->second) {
    if (index >= 1 && size_t(index) <= w.properties.size() && w.properties[size_t(index) - 1].first == type) {
      *payload = w.properties[size_t(index) - 1].second;
      return true;
    }
  }
  return false;
}
