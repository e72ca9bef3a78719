// Pre-screens for source files whose headers trip stb_image 2.27, Debian's
// snapshot, in ways fixed upstream later (or not at all). Each mirrors what
// the loader would read and answers the reason the fixed loader gives, or
// null. No file they refuse could have been loaded correctly.
#pragma once

#include <cctype>
#include <cstdio>

#include "base/platform.h"

namespace source_guards {

// Buffered byte reader over an open file; EOF is -1.
class ByteReader {
 public:
  explicit ByteReader(FILE* f) : f_(f) {}
  int next() {
    if (pos_ == len_) {
      len_ = std::fread(buf_, 1, sizeof buf_, f_);
      pos_ = 0;
      if (len_ == 0) return -1;
    }
    return buf_[pos_++];
  }
  // The loader reads zeros past the end of its input; so does this.
  int next_or_zero() {
    const int c = next();
    return c < 0 ? 0 : c;
  }
  int next16() {
    const int hi = next(), lo = next();
    return (hi < 0 || lo < 0) ? -1 : hi * 256 + lo;
  }

 private:
  FILE* f_;
  unsigned char buf_[65536];
  size_t len_ = 0, pos_ = 0;
};

// PNM header numbers are parsed with signed overflow (fixed in 2.28).
inline const char* pnm_header_overflows(ByteReader& in, int first, int second) {
  if (first != 'P' || (second != '5' && second != '6')) return nullptr;
  int c = in.next();
  for (int field = 0; field < 3; ++field) {
    while (c >= 0 && (std::isspace(c) || c == '#')) {
      while (c >= 0 && std::isspace(c)) c = in.next();
      if (c == '#') {
        while (c >= 0 && c != '\n' && c != '\r') c = in.next();
      }
    }
    int value = 0;
    while (c >= '0' && c <= '9') {
      if (value > 214748364 || (value == 214748364 && c > '7')) return "integer parse overflow";
      value = value * 10 + (c - '0');
      c = in.next();
    }
  }
  return nullptr;
}

// Two faults of the JPEG loader fixed in 2.28: a Huffman table with more
// than 256 codes overruns its code-length table ("bad size list"), and a
// scan that decodes with a table no DHT segment defined reads the table's
// uninitialised memory as indices ("bad huffman code"). Every segment of
// the file is checked, those between progressive scans included.
inline const char* jpeg_huffman_fault(ByteReader& in, int first, int second) {
  if (first != 0xFF) return nullptr;
  while (second == 0xFF) second = in.next();  // the loader skips fill bytes before SOI too
  if (second != 0xD8) return nullptr;
  bool defined[2][4] = {};  // [DC = 0, AC = 1][table id]
  bool progressive = false;
  int c = in.next();
  while (c >= 0) {
    if (c != 0xFF) {  // entropy-coded data or stray bytes
      c = in.next();
      continue;
    }
    int marker = in.next();
    while (marker == 0xFF) marker = in.next();
    if (marker < 0 || marker == 0xD9) return nullptr;
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
      c = in.next();
      continue;
    }
    int remaining = in.next16();
    if (remaining < 0) return nullptr;
    remaining -= 2;
    if (marker == 0xC4) {
      while (remaining > 0) {
        const int q = in.next_or_zero();
        if ((q >> 4) > 1 || (q & 15) > 3) return nullptr;  // the loader stops here itself
        int codes = 0;
        for (int i = 0; i < 16; ++i) codes += in.next_or_zero();
        if (codes > 256) return "bad size list";
        defined[q >> 4][q & 15] = true;
        for (int i = 0; i < codes; ++i) in.next();
        remaining -= 17 + codes;
      }
    } else if (marker == 0xDA) {
      const int components = in.next_or_zero();
      int tables[4] = {0, 0, 0, 0};
      for (int i = 0; i < components && i < 4; ++i) {
        in.next_or_zero();  // component id
        tables[i] = in.next_or_zero();
      }
      const int spectral_start = in.next_or_zero();
      in.next_or_zero();  // spectral end
      const int approx_high = in.next_or_zero() >> 4;
      remaining -= 1 + 2 * components + 3;
      for (int i = 0; i < components && i < 4; ++i) {
        const int dc = tables[i] >> 4, ac = tables[i] & 15;
        if (dc > 3 || ac > 3) return nullptr;  // the loader refuses these itself
        const bool uses_dc = !progressive || (spectral_start == 0 && approx_high == 0);
        const bool uses_ac = !progressive || spectral_start != 0;
        if ((uses_dc && !defined[0][dc]) || (uses_ac && !defined[1][ac])) return "bad huffman code";
      }
      for (; remaining > 0; --remaining) in.next();
    } else {
      if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) progressive = marker == 0xC2;
      for (; remaining > 0; --remaining) in.next();
    }
    c = in.next();
  }
  return nullptr;
}

// The reason to refuse the file at `path`, or null to hand it to the loader.
inline const char* hostile_source_reason(const char* path) {
  FILE* f = platform::open_file(path, "rb");
  if (f == nullptr) return nullptr;  // the loader reports it
  const char* reason = nullptr;
  {
    ByteReader in(f);
    const int first = in.next(), second = in.next();
    reason = pnm_header_overflows(in, first, second);
    if (reason == nullptr) reason = jpeg_huffman_fault(in, first, second);
  }
  std::fclose(f);
  return reason;
}

}  // namespace source_guards
