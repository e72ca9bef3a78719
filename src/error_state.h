// Process-wide text buffers and the one way failures are reported.
#pragma once

#include <exception>

#include <libheif/heif.h>

extern char g_last_error[1024];
extern char g_info_json[1024];
extern char g_exif_json[8192];

// Replaces the last-error text (bounded, always terminated).
void set_error(const char* message);

// Builds a formatted message in a 256-byte scratch text, then set_error:
// such messages keep at most 255 characters.
void set_error_fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline void clear_error() { g_last_error[0] = '\0'; }

// The text a heif_error carries, or "unknown" when it carries none.
inline const char* heif_error_text(const heif_error& err) {
  return (err.message != nullptr && err.message[0] != '\0') ? err.message : "unknown";
}

// Runs an exported call's body so that no exception ever reaches the host:
// one escaping a dependency (libheif is C++ inside) becomes a failure.
template <typename T, typename Body>
T without_exceptions(const char* call, T failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    set_error_fmt("Internal error in %s: %s", call, e.what());
  } catch (...) {
    set_error_fmt("Internal error in %s: %s", call, "unknown exception");
  }
  return failure;
}
