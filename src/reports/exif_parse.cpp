#include "reports/exif_parse.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/platform.h"

namespace {

const char kAbsentReport[] = "{\"ExifPresent\":false}";  // 21 characters + zero = 22 bytes
static_assert(sizeof(kAbsentReport) == 22, "absent report is copied as 22 bytes");

void write_absent(char* out) { std::memcpy(out, kAbsentReport, sizeof(kAbsentReport)); }

// All reads go through this view, and every offset handed to it has been
// checked against len by the caller; the view itself never wraps.
struct TiffView {
  const unsigned char* base;
  uint64_t len;  // L: bytes from the TIFF header to the end of the block
  bool little;

  uint16_t u16(uint64_t off) const {
    const unsigned char* p = base + off;
    return little ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : static_cast<uint16_t>((p[0] << 8) | p[1]);
  }
  uint32_t u32(uint64_t off) const {
    const unsigned char* p = base + off;
    return little ? (uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24))
                  : ((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]));
  }
  // True when [off, off + size) lies inside the block.
  bool holds(uint64_t off, uint64_t size) const { return off <= len && size <= len - off; }
};

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint64_t value_at;     // where the value starts
  uint64_t value_size;   // count x size of one value, exact
  uint32_t value_field;  // the raw 4-byte field
};

uint64_t type_size(uint16_t type) {
  switch (type) {
    case 3: return 2;  // SHORT
    case 4: return 4;  // LONG
    case 5: return 8;  // RATIONAL
    default: return 1;
  }
}

// Calls visit(entry) for each entry of the IFD at `ifd` whose value lies
// wholly inside the block. Stops at the first entry that does not fit.
template <typename Visit>
void walk_ifd(const TiffView& t, uint64_t ifd, Visit visit) {
  const uint16_t n = t.u16(ifd);
  for (uint32_t k = 0; k < n; ++k) {
    const uint64_t at = ifd + 2 + 12ull * k;
    if (at + 12 > t.len) break;
    Entry e;
    e.tag = t.u16(at);
    e.type = t.u16(at + 2);
    e.count = t.u32(at + 4);
    e.value_field = t.u32(at + 8);
    e.value_size = uint64_t(e.count) * type_size(e.type);
    if (e.value_size <= 4) {
      e.value_at = at + 8;
    } else {
      e.value_at = e.value_field;
    }
    // An out-of-line value running past the end is ignored like one that
    // starts past it: nothing outside the block is ever read.
    if (!t.holds(e.value_at, e.value_size)) continue;
    visit(e);
  }
}

void copy_text(const TiffView& t, const Entry& e, char* dst, uint32_t limit) {
  if (e.count > limit) return;
  std::memcpy(dst, t.base + e.value_at, e.count);
  dst[e.count] = '\0';
}

// Reads the first rational of an entry; false when it must be ignored.
bool read_rational(const TiffView& t, const Entry& e, uint32_t* num, uint32_t* den) {
  if (e.type != 5 || e.count == 0) return false;
  *num = t.u32(e.value_at);
  *den = t.u32(e.value_at + 4);
  return *den != 0;
}

bool read_short(const TiffView& t, const Entry& e, uint16_t* v) {
  // A value field is 4 bytes, so an inline value always has 2 to read; an
  // out-of-line one needs its 2 bytes inside the block.
  if (!t.holds(e.value_at, 2)) return false;
  *v = t.u16(e.value_at);
  return true;
}

void escape_json_str(const char* src, char* dst, size_t cap) {
  size_t j = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != 0; ++p) {
    const unsigned char c = *p;
    if (c == '"' || c == '\\') {
      dst[j++] = '\\';
      dst[j++] = static_cast<char>(c);
    } else if (c >= 0x20 && c <= 0x7E) {
      dst[j++] = static_cast<char>(c);
    }
    if (j + 2 >= cap) break;
  }
  dst[j] = '\0';
}

}  // namespace

int parse_exif_to_json(const unsigned char* block, size_t block_len, char* out, size_t out_cap) {
  if (block == nullptr || block_len < 8 || out == nullptr || out_cap < 32) {
    if (out != nullptr && out_cap >= 22) write_absent(out);
    return 0;
  }

  size_t header = 0;
  bool found = false, little = false;
  for (size_t i = 0; i + 8 <= block_len; ++i) {
    const unsigned char* p = block + i;
    if (p[0] == 0x49 && p[1] == 0x49 && p[2] == 0x2A && p[3] == 0x00) {
      found = true, little = true, header = i;
      break;
    }
    if (p[0] == 0x4D && p[1] == 0x4D && p[2] == 0x00 && p[3] == 0x2A) {
      found = true, little = false, header = i;
      break;
    }
  }
  if (!found) {
    write_absent(out);
    return 0;
  }

  const TiffView t{block + header, uint64_t(block_len - header), little};
  const uint64_t ifd0 = t.u32(4);
  if (ifd0 + 2 > t.len) {
    write_absent(out);
    return 0;
  }

  char make[128] = {0}, model[128] = {0}, software[128] = {0}, date_time[64] = {0};
  char exposure[32] = {0};
  uint16_t orientation = 0, iso = 0;
  double f_number = 0.0, focal_length = 0.0;
  uint32_t exif_ifd = 0;

  walk_ifd(t, ifd0, [&](const Entry& e) {
    switch (e.tag) {
      case 271: copy_text(t, e, make, 127); break;
      case 272: copy_text(t, e, model, 127); break;
      case 274: read_short(t, e, &orientation); break;
      case 305: copy_text(t, e, software, 127); break;
      case 306: copy_text(t, e, date_time, 63); break;
      case 34665: exif_ifd = e.value_field; break;
      default: break;
    }
  });

  if (exif_ifd != 0 && uint64_t(exif_ifd) + 2 <= t.len) {
    walk_ifd(t, exif_ifd, [&](const Entry& e) {
      uint32_t num = 0, den = 0;
      switch (e.tag) {
        case 33434:
          if (read_rational(t, e, &num, &den)) std::snprintf(exposure, sizeof exposure, "%u/%u", num, den);
          break;
        case 33437:
          if (read_rational(t, e, &num, &den)) f_number = double(num) / double(den);
          break;
        case 34855: read_short(t, e, &iso); break;
        case 37386:
          if (read_rational(t, e, &num, &den)) focal_length = double(num) / double(den);
          break;
        default: break;
      }
    });
  }

  char make_esc[128] = {0}, model_esc[128] = {0}, software_esc[128] = {0}, date_time_esc[64] = {0};
  escape_json_str(make, make_esc, sizeof make_esc);
  escape_json_str(model, model_esc, sizeof model_esc);
  escape_json_str(software, software_esc, sizeof software_esc);
  escape_json_str(date_time, date_time_esc, sizeof date_time_esc);

  platform::CLocaleScope c_locale;
  std::snprintf(out, out_cap,
                "{\"Make\":\"%s\",\"Model\":\"%s\",\"Orientation\":%d,\"Software\":\"%s\",\"DateTime\":\"%s\","
                "\"ExposureTime\":\"%s\",\"FNumber\":%.2f,\"ISOSpeedRatings\":%d,\"FocalLength\":%.1f,"
                "\"ExifPresent\":true}",
                make_esc, model_esc, int(orientation), software_esc, date_time_esc, exposure, f_number, int(iso),
                focal_length);
  return 1;
}
