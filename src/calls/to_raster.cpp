#include "calls/to_raster.h"

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "calls/arguments.h"
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
  if (!paths_given(in, out, call)) return 0;
  return without_exceptions(call, 0, [&] { return convert_heif_call(in, out, format, quality, write_failure); });
}

}  // namespace

int heif_to_jpg(const char* in, const char* out, int quality) {
  return convert_heif("lumetra_to_jpg", in, out, OutputFormat::Jpeg, settled_quality(quality, 90),
                      "Failed writing JPEG output file");
}

int heif_to_png(const char* in, const char* out) {
  return convert_heif("lumetra_to_png", in, out, OutputFormat::Png, 0, "Failed writing PNG output file");
}

int heif_to_bmp(const char* in, const char* out) {
  return convert_heif("lumetra_to_bmp", in, out, OutputFormat::Bmp, 0, "Failed writing BMP output file");
}

int heif_to_image(const char* in, const char* out) {
  if (!paths_given(in, out, "lumetra_to_image")) return 0;
  switch (output_format_for(out)) {
    case OutputFormat::Jpeg: return heif_to_jpg(in, out, 90);
    case OutputFormat::Bmp: return heif_to_bmp(in, out);
    case OutputFormat::Png: break;
  }
  return heif_to_png(in, out);
}
