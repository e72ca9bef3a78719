#include "reports/json_text.h"

#include <cmath>
#include <cstdio>

#include "base/platform.h"

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when there is none.
size_t utf8_sequence(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned c = b(i);
  size_t n;
  unsigned min;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4, min = 0x10000;
  else
    return 0;
  if (i + n > s.size()) return 0;
  unsigned cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

void JsonText::member(const char* key) {
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
  if (key != nullptr) {
    quoted(key);
    out_ += ':';
  }
}

void JsonText::quoted(const std::string& s) {
  out_ += '"';
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out_ += '\\';
      out_ += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out_ += esc;
      ++i;
    } else {
      const size_t n = utf8_sequence(s, i);
      if (n == 0) {
        out_ += "\xEF\xBF\xBD";
        ++i;
      } else {
        out_.append(s, i, n);
        i += n;
      }
    }
  }
  out_ += '"';
}

JsonText& JsonText::begin_object(const char* key) {
  member(key);
  out_ += '{';
  first_.push_back(true);
  return *this;
}

JsonText& JsonText::end_object() {
  out_ += '}';
  first_.pop_back();
  return *this;
}

JsonText& JsonText::begin_array(const char* key) {
  member(key);
  out_ += '[';
  first_.push_back(true);
  return *this;
}

JsonText& JsonText::end_array() {
  out_ += ']';
  first_.pop_back();
  return *this;
}

JsonText& JsonText::string(const char* key, const std::string& value) {
  member(key);
  quoted(value);
  return *this;
}

JsonText& JsonText::integer(const char* key, int64_t value) {
  member(key);
  out_ += std::to_string(value);
  return *this;
}

JsonText& JsonText::number(const char* key, double value) {
  member(key);
  if (!std::isfinite(value)) {
    out_ += "null";
    return *this;
  }
  char text[32];
  {
    platform::CLocaleScope c_locale;
    std::snprintf(text, sizeof text, "%.6g", value);
  }
  out_ += text;
  return *this;
}

JsonText& JsonText::boolean(const char* key, bool value) {
  member(key);
  out_ += value ? "true" : "false";
  return *this;
}

JsonText& JsonText::null(const char* key) {
  member(key);
  out_ += "null";
  return *this;
}
