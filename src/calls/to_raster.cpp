#include "calls/to_raster.h"

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "formats/stb_writer.h"
#include "heif/primary_image.h"

namespace {

int convert_heif_call(const char* in, const char* out, OutputFormat format, int quality, const char* write_failure) {
  unsigned char* raw = nullptr;
  int w = 0, h = 0, ch = 0;
  if (!decode_heic_pixels(in, &raw, &w, &h, &ch)) return 0;
  HeapBlock raster(raw);
  const int written = write_raster(format, out, w, h, ch, raster.get(), quality);
  raster.reset();
  if (written == 0) {
    set_error(write_failure);
    return 0;
  }
  clear_error();
  return 1;
}

int convert_heif(const char* call, const char* in, const char* out, OutputFormat format, int quality,
                 const char* write_failure) {
  return without_exceptions(call, 0, [&] { return convert_heif_call(in, out, format, quality, write_failure); });
}

}  // namespace

int heif_to_jpg(const char* in, const char* out, int quality) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_jpg");
    return 0;
  }
  if (quality <= 0) quality = 90;
  if (quality > 100) quality = 100;
  return convert_heif("lumetra_to_jpg", in, out, OutputFormat::Jpeg, quality, "Failed writing JPEG output file");
}

int heif_to_png(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_png");
    return 0;
  }
  return convert_heif("lumetra_to_png", in, out, OutputFormat::Png, 0, "Failed writing PNG output file");
}

int heif_to_bmp(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_bmp");
    return 0;
  }
  return convert_heif("lumetra_to_bmp", in, out, OutputFormat::Bmp, 0, "Failed writing BMP output file");
}

int heif_to_image(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_to_image");
    return 0;
  }
  switch (output_format_for(out)) {
    case OutputFormat::Jpeg: return heif_to_jpg(in, out, 90);
    case OutputFormat::Bmp: return heif_to_bmp(in, out);
    case OutputFormat::Png: break;
  }
  return heif_to_png(in, out);
}
