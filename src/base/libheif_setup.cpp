#include "base/libheif_setup.h"

#include <mutex>

#include "base/ffmpeg_on_demand.h"

heif_context* new_heif_context() {
  static std::once_flag once;
  // A failed set-up (no plugin found) leaves libheif's built-in codecs, and
  // each call then reports what it misses itself.
  std::call_once(once, [] {
    heif_init(nullptr);
    offer_ffmpeg_on_demand();
  });
  return heif_context_alloc();
}
