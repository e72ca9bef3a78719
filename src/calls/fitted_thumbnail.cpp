#include "calls/fitted_thumbnail.h"

#include <cstdlib>
#include <vector>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "calls/thumbnail.h"
#include "formats/stb_writer.h"
#include "heif/decode_upright.h"
#include "heif/open_file.h"
#include "pixels/pixel_rows.h"

namespace {

const int kThumbnailJpegQuality = 85;

struct Tap {
  int source;
  float weight;
};

// For each of n output pixels over `size` source pixels: the source pixels
// it covers and their shares, in exact integer units (size * n per span).
std::vector<std::vector<Tap>> taps(int size, int n) {
  std::vector<std::vector<Tap>> out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const int64_t lo = int64_t(i) * size, hi = int64_t(i + 1) * size;  // in 1/n source pixels
    for (int64_t j = lo / n; j * n < hi; ++j) {
      const int64_t from = lo > j * n ? lo : j * n;
      const int64_t to = hi < (j + 1) * n ? hi : (j + 1) * n;
      if (to > from) out[static_cast<size_t>(i)].push_back({static_cast<int>(j), float(double(to - from) / size)});
    }
  }
  return out;
}

// The one embedded thumbnail to start from: the smallest whose long side
// reaches box.
bool pick_thumbnail(heif_image_handle* primary, int box, HandleHolder* out) {
  const int n = heif_image_handle_get_number_of_thumbnails(primary);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) ids.resize(static_cast<size_t>(heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), n)));
  int best_side = 0;
  for (const heif_item_id id : ids) {
    HandleHolder thumb;
    if (heif_image_handle_get_thumbnail(primary, id, thumb.out()).code != heif_error_Ok || !thumb) continue;
    const int w = heif_image_handle_get_width(thumb.get()), h = heif_image_handle_get_height(thumb.get());
    const int side = w > h ? w : h;
    if (side >= box && (best_side == 0 || side < best_side)) {
      best_side = side;
      out->reset(thumb.release());
    }
  }
  return best_side > 0;
}

int fit_call(const char* in, const char* out, int box) {
  if (in == nullptr || out == nullptr || box < 1) {
    set_error("Invalid arguments to thumbnail");
    return 0;
  }
  HeifFileBytes file;
  ContextHolder ctx(new_heif_context());
  if (!ctx) {
    set_error("Failed allocating heif context");
    return 0;
  }
  heif_error err = read_heif_file(ctx.get(), in, &file);
  if (err.code != heif_error_Ok) {
    set_error_fmt("Failed reading HEIC file for thumbnail: %s", heif_error_text(err));
    return 0;
  }
  HandleHolder primary, embedded;
  err = heif_context_get_primary_image_handle(ctx.get(), primary.out());
  if (err.code != heif_error_Ok || !primary) {
    set_error("Failed getting primary image handle");
    return 0;
  }
  // A thumbnail that cannot be decoded gives way to the primary image.
  ImageHolder image;
  const auto decode = [&](heif_image_handle* h, int* ch) {
    *ch = heif_image_handle_has_alpha_channel(h) ? 4 : 3;
    return decode_upright(ctx.get(), h, *ch == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          image.out());
  };
  int ch = 3;
  err.code = heif_error_Decoder_plugin_error;
  if (pick_thumbnail(primary.get(), box, &embedded)) err = decode(embedded.get(), &ch);
  if (err.code != heif_error_Ok || !image) err = decode(primary.get(), &ch);
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed decoding thumbnail image: %s", heif_error_text(err));
    return 0;
  }
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_primary_width(image.get());
  const int h = heif_image_get_primary_height(image.get());
  if (w <= 0 || h <= 0 || !plane_holds_rows(plane, stride, static_cast<size_t>(w) * ch)) {
    set_error("Failed decoding thumbnail image");
    return 0;
  }
  int ow = w, oh = h;
  thumbnail_size(w, h, &ow, &oh, box);
  HeapBlock raster(static_cast<unsigned char*>(std::malloc(size_t(ow) * size_t(oh) * size_t(ch))));
  if (!raster) {
    set_error("Out of memory allocating pixel buffer");
    return 0;
  }
  scale_area(plane, stride, w, h, ch, raster.get(), ow, oh);
  image.reset();
  if (write_raster(output_format_for(out), out, ow, oh, ch, raster.get(), kThumbnailJpegQuality) == 0) {
    set_error("Failed writing thumbnail image output file");
    return 0;
  }
  clear_error();
  return 1;
}

}  // namespace

void scale_area(const uint8_t* src, int stride, int width, int height, int channels, uint8_t* dst, int out_width,
                int out_height) {
  const std::vector<std::vector<Tap>> across = taps(width, out_width), down = taps(height, out_height);
  const size_t row_len = static_cast<size_t>(out_width) * channels;
  std::vector<float> rows(static_cast<size_t>(height) * row_len);  // each source row narrowed
  for (int y = 0; y < height; ++y) {
    const uint8_t* s = src + static_cast<size_t>(y) * stride;
    float* r = rows.data() + static_cast<size_t>(y) * row_len;
    for (int x = 0; x < out_width; ++x) {
      for (int c = 0; c < channels; ++c) {
        float sum = 0;
        for (const Tap& t : across[static_cast<size_t>(x)]) sum += t.weight * s[t.source * channels + c];
        r[x * channels + c] = sum;
      }
    }
  }
  std::vector<float> acc(row_len);
  for (int y = 0; y < out_height; ++y) {
    std::fill(acc.begin(), acc.end(), 0.0f);
    for (const Tap& t : down[static_cast<size_t>(y)]) {
      const float* r = rows.data() + static_cast<size_t>(t.source) * row_len;
      for (size_t i = 0; i < row_len; ++i) acc[i] += t.weight * r[i];
    }
    uint8_t* d = dst + static_cast<size_t>(y) * row_len;
    for (size_t i = 0; i < row_len; ++i) {
      const float v = acc[i] + 0.5f;
      d[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
}

int thumbnail_fit(const char* in, const char* out, int box) {
  return without_exceptions("thumbnail", 0, [&] { return fit_call(in, out, box); });
}
