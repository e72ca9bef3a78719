#include "memory_cap.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

bool parse_memory_size(const std::string& text, int64_t* bytes) {
  size_t at = 0;
  while (at < text.size() && (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '.')) ++at;
  const std::string number = text.substr(0, at);
  if (number.empty() || number.front() == '.' || number.back() == '.' || number.find('.') != number.rfind('.'))
    return false;
  const std::string unit = text.substr(at);
  int shift = 0;
  if (unit.size() == 1) {
    const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
    shift = u == 'K' ? 10 : u == 'M' ? 20 : u == 'G' ? 30 : -1;
  } else if (!unit.empty()) {
    shift = -1;
  }
  if (shift < 0) return false;
  // Digits alone are exact; a fraction goes through a double and is rounded
  // down to whole bytes.
  const double value = std::strtod(number.c_str(), nullptr) * std::ldexp(1.0, shift);
  if (!(value <= std::ldexp(1.0, 62))) return false;
  *bytes = number.find('.') == std::string::npos ? std::strtoll(number.c_str(), nullptr, 10) << shift
                                                 : static_cast<int64_t>(value);
  return true;
}

std::string human_size(int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  double value = static_cast<double>(bytes);
  while (value >= 1024 && unit < 4) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", std::floor(value * 100) / 100);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s + " " + kUnits[unit];
}

std::string out_of_memory_message(int64_t limit) { return "out of memory (limit " + human_size(limit) + ")"; }

int64_t memory_cap(int64_t option, int64_t available, size_t workers) {
  if (option >= 0) return option;
  if (available < 0) return 0;
  return std::max(kGiB, available / static_cast<int64_t>(std::max<size_t>(1, workers)));
}
