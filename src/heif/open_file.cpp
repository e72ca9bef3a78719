#include "heif/open_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "heif/salvage.h"

namespace {

thread_local char t_message[256];
thread_local char t_salvage_reason[256];
thread_local int t_salvaged_images = 0;

heif_error failure(heif_error_code code, const char* format, ...) __attribute__((format(printf, 2, 3)));
heif_error failure(heif_error_code code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(t_message, sizeof t_message, format, args);
  va_end(args);
  return heif_error{code, heif_suberror_Unspecified, t_message};
}

// Reads to the end of the file; block devices report no size, and a file
// may grow while it is read.
bool read_all(platform::InputFile& file, size_t size_hint, HeifFileBytes* bytes) {
  size_t capacity = size_hint > 0 ? size_hint + 1 : 64 * 1024;
  size_t used = 0;
  HeapBlock data(static_cast<unsigned char*>(std::malloc(capacity)));
  if (!data) return false;
  for (;;) {
    if (used == capacity) {
      if (capacity > SIZE_MAX / 2) return false;
      auto* grown = static_cast<unsigned char*>(std::realloc(data.get(), capacity * 2));
      if (grown == nullptr) return false;
      data.release();
      data.reset(grown);
      capacity *= 2;
    }
    const long got = file.read(data.get() + used, capacity - used);
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  bytes->data.reset(data.release());
  bytes->size = used;
  return true;
}

}  // namespace

heif_error read_heif_file(heif_context* ctx, const char* path, HeifFileBytes* bytes) {
  t_salvaged_images = 0;
  t_salvage_reason[0] = '\0';
  platform::InputFile file;
  if (!file.open(path)) {
    const int e = errno;
    return failure(heif_error_Input_does_not_exist,
                   "Input file does not exist: Unspecified: Error opening file: %s (%d)\n", std::strerror(e), e);
  }
  // A FIFO would block, and libheif reading a directory can run away with
  // memory.
  if (!file.is_regular()) return failure(heif_error_Invalid_input, "Invalid input: Not a regular file");
  const size_t hint = file.size() > 0 ? static_cast<size_t>(file.size()) : 0;
  if (!read_all(file, hint, bytes)) {
    const int e = errno;
    return failure(heif_error_Memory_allocation_error, "Memory allocation error: Unspecified: Cannot read file: %s",
                   std::strerror(e));
  }
  const heif_error err = heif_context_read_from_memory_without_copy(ctx, bytes->data.get(), bytes->size, nullptr);
  if (err.code == heif_error_Ok) return err;

  // The retry reuses the context, which owns libheif's message: keep a copy
  // to report if the retry fails too.
  std::snprintf(t_message, sizeof t_message, "%s", err.message != nullptr ? err.message : "");
  const heif_error original{err.code, err.subcode, t_message};
  const int hidden = hide_unneeded_images(bytes->data.get(), bytes->size);
  if (hidden == 0 ||
      heif_context_read_from_memory_without_copy(ctx, bytes->data.get(), bytes->size, nullptr).code != heif_error_Ok) {
    return original;
  }
  std::snprintf(t_salvage_reason, sizeof t_salvage_reason, "%s", t_message);
  t_salvaged_images = hidden;
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

SalvageNote last_salvage() { return SalvageNote{t_salvaged_images, t_salvage_reason}; }
