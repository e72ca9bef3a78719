#include "calls/batch.h"

#include <cstdio>
#include <cstring>

#include "base/error_state.h"
#include "base/platform.h"
#include "calls/convert.h"
#include "calls/detect.h"
#include "calls/to_raster.h"

namespace {

bool same_file(const char* a, const char* b) { return std::strcmp(a, b) == 0 || platform::same_file(a, b); }

}  // namespace

int batch_walk(const char* in_dir, const char* out_dir, int format, int quality, BatchCallback callback, void* user,
               int convert_flags) {
  if (in_dir == nullptr || out_dir == nullptr) {
    set_error("Invalid directory paths for lumetra_batch");
    return -1;
  }
  char request[platform::kListingRequestSize];
  if (!platform::listing_request(in_dir, request)) {
    set_error("Failed opening input directory");
    return -1;
  }
  platform::DirListing listing(request);
  if (!listing.opened()) {
    set_error("Failed opening input directory");
    return -1;
  }
  const bool png = format == 1;
  int count = 0;
  char input_path[4096];
  char stem[1024];
  char output_path[4096];
  const char sep = platform::kSeparator;
  bool is_directory = false;
  for (const char* name = listing.next(&is_directory); name != nullptr; name = listing.next(&is_directory)) {
    if (is_directory) continue;
    BatchEntry report{name, input_path, "", BatchOutcome::NotHeif, ""};
    const int in_len = std::snprintf(input_path, sizeof input_path, "%s%c%s", in_dir, sep, name);
    if (in_len < 0 || static_cast<size_t>(in_len) >= sizeof input_path) {
      report.input_path = "";
      report.outcome = BatchOutcome::PathTooLong;
      if (callback != nullptr) callback(report, user);
      continue;
    }
    if (!is_heif_file(input_path)) {
      if (callback != nullptr) callback(report, user);
      continue;
    }
    std::snprintf(stem, sizeof stem, "%s", name);
    if (char* dot = std::strrchr(stem, '.')) *dot = '\0';
    const int out_len =
        std::snprintf(output_path, sizeof output_path, "%s%c%s.%s", out_dir, sep, stem, png ? "png" : "jpg");
    report.output_path = output_path;
    if (out_len < 0 || static_cast<size_t>(out_len) >= sizeof output_path) {
      report.output_path = "";
      report.outcome = BatchOutcome::PathTooLong;
    } else if (same_file(input_path, output_path)) {
      report.outcome = BatchOutcome::WouldOverwrite;
    } else {
      const int ok = convert_flags >= 0 ? convert_faithfully(input_path, output_path, quality, convert_flags)
                     : png              ? heif_to_png(input_path, output_path)
                                        : heif_to_jpg(input_path, output_path, quality);
      count += ok;
      report.outcome = ok ? BatchOutcome::Converted : BatchOutcome::Failed;
      report.message = ok ? "" : last_error_text();
    }
    if (callback != nullptr) callback(report, user);
  }
  clear_error();
  return count;
}

int batch_count_candidates(const char* in_dir) {
  char request[platform::kListingRequestSize];
  if (in_dir == nullptr || !platform::listing_request(in_dir, request)) return -1;
  platform::DirListing listing(request);
  if (!listing.opened()) return -1;
  int count = 0;
  bool is_directory = false;
  for (const char* name = listing.next(&is_directory); name != nullptr; name = listing.next(&is_directory)) {
    if (!is_directory) ++count;
  }
  return count;
}
