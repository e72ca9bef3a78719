// Bounded big-endian reading of ISO BMFF boxes held in memory, shared by
// the library's own readers and editors of HEIF files. Hostile-input code:
// every read is checked against the range it stands in.
#pragma once

#include <cstddef>
#include <cstdint>

// Big-endian reads inside [at, end); any read past end marks the cursor bad
// and yields 0, so a parse checks `ok` once per box instead of per field.
struct Cursor {
  const uint8_t* data;
  size_t at;
  size_t end;
  bool ok = true;

  bool has(size_t n) const { return ok && n <= end - at; }
  uint64_t read(int n) {
    if (!has(size_t(n))) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | data[at++];
    return v;
  }
  uint32_t u8() { return uint32_t(read(1)); }
  uint32_t u16() { return uint32_t(read(2)); }
  uint32_t u32() { return uint32_t(read(4)); }
  void skip(size_t n) {
    if (has(n))
      at += n;
    else
      ok = false;
  }
};

struct Box {
  uint32_t type = 0;
  size_t start = 0;     // first byte of the header
  size_t payload = 0;   // first byte after the header
  size_t end = 0;       // one past the box
  bool large = false;   // its size is the 64-bit field after the type
  bool to_end = false;  // its size field is 0: to the end of the enclosing range
};

// The box starting at c.at, which it then passes. False at the end of the
// range or on a box that does not fit it.
inline bool next_box(Cursor& c, Box* box) {
  if (!c.ok || c.end - c.at < 8) return false;
  const size_t start = c.at;
  uint64_t size = c.u32();
  box->type = c.u32();
  box->large = size == 1;
  box->to_end = size == 0;
  if (size == 1) {
    size = c.read(8);
    if (!c.ok) return false;
  } else if (size == 0) {
    size = c.end - start;  // to the end of the enclosing range
  }
  const size_t header = c.at - start;
  if (size < header || size > c.end - start) {
    c.ok = false;
    return false;
  }
  box->start = start;
  box->payload = c.at;
  box->end = start + size_t(size);
  c.at = box->end;
  return true;
}

inline Cursor inside(const Cursor& outer, const Box& box) { return Cursor{outer.data, box.payload, box.end}; }
