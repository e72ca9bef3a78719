// The exported entry points: each hands its call to the file in calls/ or
// reports/ that does the work. Each of those keeps exceptions in and sets
// the calling thread's last-error text, so nothing here needs more than a
// forward.
#include "lumetra.h"

#include "base/error_state.h"
#include "calls/batch.h"
#include "calls/convert.h"
#include "calls/convert_images.h"
#include "calls/detect.h"
#include "calls/from_image.h"
#include "calls/thumbnail.h"
#include "calls/to_raster.h"
#include "reports/detail.h"
#include "reports/exif.h"
#include "reports/info.h"

extern "C" {

LUMETRA_API int lumetra_init(void) {
  clear_error();
  return 1;
}

LUMETRA_API void lumetra_cleanup(void) { clear_thread_state(); }

LUMETRA_API const char* lumetra_last_error(void) { return last_error_text(); }

LUMETRA_API int lumetra_is_heic(const char* path) {
  try {
    return is_heif_file(path);
  } catch (...) {
    return 0;  // a predicate: no message, whatever happens
  }
}

LUMETRA_API int lumetra_to_jpg(const char* in, const char* out, int quality) { return heif_to_jpg(in, out, quality); }
LUMETRA_API int lumetra_to_png(const char* in, const char* out) { return heif_to_png(in, out); }
LUMETRA_API int lumetra_to_bmp(const char* in, const char* out) { return heif_to_bmp(in, out); }
LUMETRA_API int lumetra_to_image(const char* in, const char* out) { return heif_to_image(in, out); }

LUMETRA_API int lumetra_from_image(const char* in, const char* out, int quality) {
  return encode_from_image(in, out, quality);
}

LUMETRA_API const char* lumetra_info(const char* path) { return info_report(path); }
LUMETRA_API const char* lumetra_exif(const char* path) { return exif_report(path); }

LUMETRA_API int lumetra_thumbnail(const char* in, const char* out) { return thumbnail_in_box(in, out, kThumbnailBox); }

LUMETRA_API int lumetra_batch(const char* in_dir, const char* out_dir, int format, int quality) {
  return without_exceptions("lumetra_batch", -1,
                            [&] { return batch_walk(in_dir, out_dir, format, quality, nullptr, nullptr); });
}

LUMETRA_API int lumetra_convert(const char* in_path, const char* out_path, int quality, int flags) {
  if (flags & (LUMETRA_ALL_IMAGES | LUMETRA_WITH_AUX)) return convert_every_image(in_path, out_path, quality, flags);
  return convert_faithfully(in_path, out_path, quality, flags);
}

LUMETRA_API int lumetra_convert_image(const char* in_path, int selector, const char* out_path, int quality, int flags) {
  return convert_selected_image(in_path, selector, out_path, quality, flags);
}

LUMETRA_API const char* lumetra_info_detail(const char* path) { return info_detail_report(path); }

}  // extern "C"
