#include "reports/icc_description.h"

#include "base/byte_order.h"

namespace {

void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | cp >> 6);
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | cp >> 12);
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | cp >> 18);
    *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Text up to its first NUL, without trailing blanks.
std::string trimmed(std::string s) {
  const size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string from_desc(const uint8_t* tag, uint64_t size) {
  if (size < 12) return std::string();
  const uint64_t count = be32(tag + 8);
  if (count > size - 12) return std::string();
  return trimmed(std::string(reinterpret_cast<const char*>(tag + 12), static_cast<size_t>(count)));
}

std::string from_mluc(const uint8_t* tag, uint64_t size) {
  if (size < 16) return std::string();
  const uint64_t records = be32(tag + 8), record_size = be32(tag + 12);
  if (records == 0 || record_size < 12 || 16 + record_size > size) return std::string();
  const uint64_t length = be32(tag + 20), offset = be32(tag + 24);
  if (offset > size || length > size - offset) return std::string();
  std::string out;
  const uint8_t* p = tag + offset;
  for (uint64_t i = 0; i + 1 < length; i += 2) {
    uint32_t unit = uint32_t(p[i]) << 8 | p[i + 1];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < length) {
      const uint32_t low = uint32_t(p[i + 2]) << 8 | p[i + 3];
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        unit = 0xFFFD;
      }
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      unit = 0xFFFD;
    }
    append_utf8(&out, unit);
  }
  return trimmed(out);
}

}  // namespace

std::string icc_description(const uint8_t* profile, size_t size) {
  if (profile == nullptr || size < 132) return std::string();
  const uint64_t tags = be32(profile + 128);
  if (tags > (size - 132) / 12) return std::string();
  for (uint64_t t = 0; t < tags; ++t) {
    const uint8_t* entry = profile + 132 + 12 * t;
    if (be32(entry) != 0x64657363) continue;  // 'desc'
    const uint64_t offset = be32(entry + 4), length = be32(entry + 8);
    if (offset > size || length > size - offset || length < 8) return std::string();
    const uint8_t* tag = profile + offset;
    const uint32_t type = be32(tag);
    if (type == 0x64657363) return from_desc(tag, length);
    if (type == 0x6D6C7563) return from_mluc(tag, length);  // 'mluc'
    return std::string();
  }
  return std::string();
}
