#include "heif/primary_image.h"

#include <atomic>
#include <cstdlib>

#include "base/error_state.h"
#include "base/libheif_setup.h"
#include "heif/decode_upright.h"
#include "pixels/pixel_rows.h"

namespace {

std::atomic<int> g_decoding_threads{0};  // 0: libheif's own choice

void set_failure(const FailureText& failure, const char* path, const heif_error& err) {
  switch (failure.tail) {
    case FailureTail::None: set_error(failure.text); break;
    case FailureTail::Reason: set_error_fmt("%s: %s", failure.text, heif_error_text(err)); break;
    case FailureTail::PathAndReason: set_error_fmt("%s '%s': %s", failure.text, path, heif_error_text(err)); break;
  }
}

}  // namespace

const OpenTexts kDecodeOpenTexts = {"Failed to allocate heif context",
                                    {"Failed to read HEIC file", FailureTail::PathAndReason},
                                    {"Failed to get primary image handle", FailureTail::Reason}};

void set_decoding_threads(int threads) { g_decoding_threads.store(threads, std::memory_order_relaxed); }
int decoding_threads() { return g_decoding_threads.load(std::memory_order_relaxed); }

bool open_heif_file(const char* path, HeifFileBytes* file, ContextHolder* ctx, const OpenTexts& texts) {
  ctx->reset(new_heif_context());
  if (!*ctx) {
    set_error(texts.no_context);
    return false;
  }
  const int threads = decoding_threads();
  if (threads > 0) heif_context_set_max_decoding_threads(ctx->get(), threads);
  const heif_error err = read_heif_file(ctx->get(), path, file);
  if (err.code != heif_error_Ok) {
    set_failure(texts.unreadable, path, err);
    return false;
  }
  return true;
}

bool reopen_heif_bytes(const HeifFileBytes& file, ContextHolder* ctx) {
  ctx->reset(new_heif_context());
  if (!*ctx || !file.data) return false;
  const int threads = decoding_threads();
  if (threads > 0) heif_context_set_max_decoding_threads(ctx->get(), threads);
  return heif_context_read_from_memory_without_copy(ctx->get(), file.data.get(), file.size, nullptr).code ==
         heif_error_Ok;
}

bool open_primary_image(const char* path, HeifFileBytes* file, ContextHolder* ctx, HandleHolder* handle,
                        const OpenTexts& texts) {
  if (!open_heif_file(path, file, ctx, texts)) return false;
  const heif_error err = heif_context_get_primary_image_handle(ctx->get(), handle->out());
  if (err.code != heif_error_Ok || !*handle) {
    set_failure(texts.no_primary, path, err);
    return false;
  }
  return true;
}

heif_error decode_packed(heif_context* ctx, heif_image_handle* handle, ImageHolder* image, PackedRows* rows,
                         bool item_size) {
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  rows->channels = alpha ? 4 : 3;
  const heif_chroma chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  return item_size ? decode_upright_item_size(ctx, handle, chroma, image->out())
                   : decode_upright(ctx, handle, chroma, image->out());
}

bool packed_rows(const heif_image* image, PackedRows* rows) {
  rows->plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &rows->stride);
  rows->width = heif_image_get_primary_width(image);
  rows->height = heif_image_get_primary_height(image);
  return rows->width > 0 && rows->height > 0 &&
         plane_holds_rows(rows->plane, rows->stride, static_cast<size_t>(rows->width) * rows->channels);
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
  ImageHolder image;
  PackedRows rows;
  const heif_error err = decode_packed(ctx.get(), handle.get(), &image, &rows);
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed to decode HEIC image: %s", heif_error_text(err));
    return 0;
  }
  if (!packed_rows(image.get(), &rows)) {
    set_error("Failed to retrieve decoded image plane");
    return 0;
  }
  const size_t row_len = static_cast<size_t>(rows.width) * static_cast<size_t>(rows.channels);
  auto* raster = static_cast<unsigned char*>(std::malloc(static_cast<uint64_t>(rows.height) * row_len));
  if (raster == nullptr) {
    set_error("Out of memory allocating pixel buffer");
    return 0;
  }
  copy_plane_rows(raster, rows.plane, rows.stride, row_len, rows.height);
  *pixels = raster;
  *width = rows.width;
  *height = rows.height;
  *channels = rows.channels;
  image.reset();
  handle.reset();
  ctx.reset();
  clear_error();
  return 1;
}
