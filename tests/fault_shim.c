/* Test-only LD_PRELOAD shim: a pretend decoder fault. heif_decode_image
 * crashes (SIGSEGV) or hangs for files whose path, as last opened by the
 * process, contains "CRASH" or "HANG"; every other file decodes as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <libheif/heif.h>

static char last_path[4096];

int open(const char* path, int flags, ...) {
  static int (*real_open)(const char*, int, ...);
  if (real_open == NULL) real_open = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  if (strstr(path, ".heic") != NULL) snprintf(last_path, sizeof last_path, "%s", path);
  return real_open(path, flags, mode);
}

struct heif_error heif_decode_image(const struct heif_image_handle* handle, struct heif_image** out,
                                    enum heif_colorspace colorspace, enum heif_chroma chroma,
                                    const struct heif_decoding_options* options) {
  static struct heif_error (*real)(const struct heif_image_handle*, struct heif_image**, enum heif_colorspace,
                                   enum heif_chroma, const struct heif_decoding_options*);
  if (real == NULL)
    real = (struct heif_error(*)(const struct heif_image_handle*, struct heif_image**, enum heif_colorspace,
                                 enum heif_chroma, const struct heif_decoding_options*))dlsym(RTLD_NEXT,
                                                                                              "heif_decode_image");
  if (strstr(last_path, "CRASH") != NULL) raise(SIGSEGV);
  if (strstr(last_path, "HANG") != NULL) {
    for (;;) pause();
  }
  return real(handle, out, colorspace, chroma, options);
}
