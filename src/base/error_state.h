// The library's per-thread texts (last error; the info, EXIF and detail
// reports) and the one way failures are reported. Each thread has its own
// copy, so calls from different threads never see each other's messages or
// reports.
#pragma once

#include <cstddef>
#include <exception>

#include <libheif/heif.h>

constexpr size_t kLastErrorSize = 1024;
constexpr size_t kInfoReportSize = 1024;
constexpr size_t kExifReportSize = 8192;
constexpr size_t kDetailReportSize = 65536;

// This thread's buffers: stable for the thread's life.
char* last_error_text();
char* info_report_buffer();
char* exif_report_buffer();
char* detail_report_buffer();

// Replaces the last-error text (bounded, always terminated).
void set_error(const char* message);

// Builds a formatted message in a 256-byte scratch text, then set_error:
// such messages keep at most 255 characters.
void set_error_fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

void clear_error();

// Empties this thread's last error and its reports.
void clear_thread_state();

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
