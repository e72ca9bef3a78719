#include "base/error_state.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Plain arrays: no constructor or destructor runs per thread, which keeps
// them cheap and safe in threads the host creates and ends as it likes.
thread_local char t_last_error[kLastErrorSize];
thread_local char t_info_report[kInfoReportSize];
thread_local char t_exif_report[kExifReportSize];
thread_local char t_detail_report[kDetailReportSize];

}  // namespace

char* last_error_text() { return t_last_error; }
char* info_report_buffer() { return t_info_report; }
char* exif_report_buffer() { return t_exif_report; }
char* detail_report_buffer() { return t_detail_report; }

void set_error(const char* message) {
  std::snprintf(t_last_error, sizeof t_last_error, "%s", message != nullptr ? message : "");
}

void set_error_fmt(const char* format, ...) {
  char scratch[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(scratch, sizeof scratch, format, args);
  va_end(args);
  set_error(scratch);
}

void clear_error() { t_last_error[0] = '\0'; }

void clear_thread_state() {
  t_last_error[0] = '\0';
  t_info_report[0] = '\0';
  t_exif_report[0] = '\0';
  t_detail_report[0] = '\0';
}
