#include "heif/primary_image.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/libheif_setup.h"
#include "heif/decode_upright.h"
#include "pixels/pixel_rows.h"

namespace {
std::atomic<int> g_decoding_threads{0};  // 0: libheif's own choice
}  // namespace

void set_decoding_threads(int threads) { g_decoding_threads.store(threads, std::memory_order_relaxed); }
int decoding_threads() { return g_decoding_threads.load(std::memory_order_relaxed); }

bool open_primary_image(const char* path, HeifFileBytes* file, ContextHolder* ctx, HandleHolder* handle) {
  ctx->reset(new_heif_context());
  if (!*ctx) {
    set_error("Failed to allocate heif context");
    return false;
  }
  const int threads = g_decoding_threads.load(std::memory_order_relaxed);
  if (threads > 0) heif_context_set_max_decoding_threads(ctx->get(), threads);
  heif_error err = read_heif_file(ctx->get(), path, file);
  if (err.code != heif_error_Ok) {
    set_error_fmt("Failed to read HEIC file '%s': %s", path, heif_error_text(err));
    return false;
  }
  err = heif_context_get_primary_image_handle(ctx->get(), handle->out());
  if (err.code != heif_error_Ok || !*handle) {
    set_error_fmt("Failed to get primary image handle: %s", heif_error_text(err));
    return false;
  }
  return true;
}

int decode_heic_pixels(const char* path, unsigned char** pixels, int* width, int* height, int* channels) {
  if (path == nullptr || pixels == nullptr || width == nullptr || height == nullptr || channels == nullptr) {
    set_error("Invalid null arguments to decode_heic_pixels");
    return 0;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(path, &file, &ctx, &handle)) return 0;
  heif_error err;
  const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  const int ch = alpha ? 4 : 3;
  ImageHolder image;
  err = decode_upright(ctx.get(), handle.get(), alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                       image.out());
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed to decode HEIC image: %s", heif_error_text(err));
    return 0;
  }
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_primary_width(image.get());
  const int h = heif_image_get_primary_height(image.get());
  const size_t row_len = static_cast<size_t>(w) * static_cast<size_t>(ch);
  if (w <= 0 || h <= 0 || !plane_holds_rows(plane, stride, row_len)) {
    set_error("Failed to retrieve decoded image plane");
    return 0;
  }
  auto* raster = static_cast<unsigned char*>(std::malloc(static_cast<uint64_t>(h) * row_len));
  if (raster == nullptr) {
    set_error("Out of memory allocating pixel buffer");
    return 0;
  }
  copy_plane_rows(raster, plane, stride, row_len, h);
  *pixels = raster;
  *width = w;
  *height = h;
  *channels = ch;
  image.reset();
  handle.reset();
  ctx.reset();
  clear_error();
  return 1;
}
