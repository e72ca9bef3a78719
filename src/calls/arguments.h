// Argument checks the calls' entry points share.
#pragma once

#include "base/error_state.h"

// Whether both paths are given; else the last error reads "Invalid
// arguments to <call>".
inline bool paths_given(const char* in, const char* out, const char* call) {
  if (in != nullptr && out != nullptr) return true;
  set_error_fmt("Invalid arguments to %s", call);
  return false;
}

// A quality on libheif's and libjpeg's 1-100 scale: 0 or less takes
// `fallback`, more than 100 is 100.
inline int settled_quality(int quality, int fallback) {
  return quality <= 0 ? fallback : quality > 100 ? 100 : quality;
}
