#include "reports/info.h"

#include <cstdio>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "heif/primary_image.h"

namespace {

const OpenTexts kInfoOpenTexts = {"Failed allocating heif context",
                                  {"Failed reading HEIC file for info", FailureTail::Reason},
                                  {"Failed getting primary image handle", FailureTail::None}};

const char* info_call(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    set_error("Invalid null file path for lumetra_info");
    return nullptr;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(path, &file, &ctx, &handle, kInfoOpenTexts)) return nullptr;
  const int width = heif_image_handle_get_width(handle.get());
  const int height = heif_image_handle_get_height(handle.get());
  const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
  const int alpha = heif_image_handle_has_alpha_channel(handle.get());
  const int thumbnails = heif_image_handle_get_number_of_thumbnails(handle.get());
  const int exif_blocks = heif_image_handle_get_number_of_metadata_blocks(handle.get(), "Exif");
  const int images = heif_context_get_number_of_top_level_images(ctx.get());
  std::snprintf(info_report_buffer(), kInfoReportSize,
                "{\"width\":%d,\"height\":%d,\"bit_depth\":%d,\"has_alpha\":%s,\"has_thumbnail\":%s,"
                "\"color_space\":\"%s\",\"exif\":%s,\"image_count\":%d}",
                width, height, bits > 0 ? bits : 8, alpha ? "true" : "false", thumbnails > 0 ? "true" : "false",
                "YCbCr", exif_blocks > 0 ? "true" : "false", images > 0 ? images : 1);
  handle.reset();
  ctx.reset();
  clear_error();
  return info_report_buffer();
}

}  // namespace

const char* info_report(const char* path) {
  return without_exceptions("lumetra_info", static_cast<const char*>(nullptr), [&] { return info_call(path); });
}
