#include "grid/tile_bands.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "heif/hevc_decoder.h"
#include "heif/primary_image.h"
#include "heif/rounded_8bit.h"

namespace {
std::atomic<bool> g_tile_threads{true};
}  // namespace

void set_tile_threads(bool on) { g_tile_threads.store(on, std::memory_order_relaxed); }

bool grid_shape(const heif_image_tiling& t, GridShape* g) {
  const uint32_t kMaxSide = 1u << 16;
  if (t.num_columns == 0 || t.num_rows == 0 || t.tile_width == 0 || t.tile_height == 0 || t.image_width == 0 ||
      t.image_height == 0 || t.image_width >= kMaxSide || t.image_height >= kMaxSide || t.tile_width >= kMaxSide ||
      t.tile_height >= kMaxSide || t.num_columns > t.image_width || t.num_rows > t.image_height ||
      ((t.tile_width | t.tile_height) & 1) != 0 || uint64_t(t.num_columns) * t.tile_width < t.image_width ||
      uint64_t(t.num_rows) * t.tile_height < t.image_height) {
    return false;
  }
  *g = GridShape{int(t.image_width), int(t.image_height), int(t.num_columns),
                 int(t.num_rows),    int(t.tile_width),   int(t.tile_height)};
  return true;
}

TileBands::TileBands(heif_image_handle* handle, const GridShape& g, const Orientation& o, const TileFormat& format)
    : handle_(handle), g_(g), orient_(o), format_(format) {}

TileBands::~TileBands() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  for (std::thread& t : workers_) t.join();
  for (heif_image* img : tiles_)
    if (img != nullptr) heif_image_release(img);
  for (heif_image_handle* h : handles_)
    if (h != nullptr) heif_image_handle_release(h);
  if (colour_ != nullptr) heif_nclx_color_profile_free(colour_);
}

bool TileBands::start() {
  if (!orient_.valid() || (orient_.crops() && format_.planes > 1)) return false;
  const PlaneMap m = orient_.map(0);
  by_rows_ = m.a != 0;  // an output row runs along a coded row
  const int count = by_rows_ ? g_.rows : g_.columns;
  const int side = by_rows_ ? g_.tile_h : g_.tile_w;
  const int extent = by_rows_ ? g_.height : g_.width;
  const int out_h = orient_.out_height();
  // Output row y reads coded line k y + off.
  const int k = by_rows_ ? m.e : m.b, off = by_rows_ ? m.f : m.c;
  for (int i = 0; i < count; ++i) {
    const int c0 = i * side, c1 = std::min(extent, (i + 1) * side);
    int y0 = k > 0 ? c0 - off : off - (c1 - 1), y1 = y0 + (c1 - c0);
    y0 = std::max(y0, 0);
    y1 = std::min(y1, out_h);
    if (y0 >= y1) continue;  // tiles wholly outside the picture or its crop
    Band band{y0, y1, order_.size(), static_cast<size_t>(by_rows_ ? g_.columns : g_.rows)};
    for (size_t j = 0; j < band.count; ++j)
      order_.push_back(by_rows_ ? std::make_pair(uint32_t(j), uint32_t(i)) : std::make_pair(uint32_t(i), uint32_t(j)));
    bands_.push_back(band);
  }
  // Bands go out top to bottom: their tiles are decoded in that order.
  std::vector<Band> sorted = bands_;
  std::sort(sorted.begin(), sorted.end(), [](const Band& x, const Band& y) { return x.out_y0 < y.out_y0; });
  std::vector<std::pair<uint32_t, uint32_t>> order;
  for (Band& b : sorted) {
    const size_t first = order.size();
    order.insert(order.end(), order_.begin() + b.first, order_.begin() + b.first + b.count);
    b.first = first;
  }
  bands_.swap(sorted);
  order_.swap(order);
  if (bands_.empty() || bands_.front().out_y0 != 0 || bands_.back().out_y1 != out_h) return false;
  for (size_t i = 1; i < bands_.size(); ++i)
    if (bands_[i].out_y0 != bands_[i - 1].out_y1) return false;

  tiles_.assign(order_.size(), nullptr);
  handles_.assign(order_.size(), nullptr);
  decoded_.assign(bands_.size(), 0);
  heif_context* ctx = heif_image_handle_get_context(handle_);
  bool found = ctx != nullptr;
  for (size_t i = 0; i < order_.size() && found; ++i) {
    heif_item_id id = 0;
    found = heif_image_handle_get_grid_image_tile_id(handle_, 0, order_[i].first, order_[i].second, &id).code ==
                heif_error_Ok &&
            heif_context_get_image_handle(ctx, id, &handles_[i]).code == heif_error_Ok && handles_[i] != nullptr;
  }
  if (ctx != nullptr) heif_context_free(ctx);
  if (!found) return false;  // the whole-image path reports it
  heif_color_profile_nclx* first = nullptr;
  heif_image_handle_get_nclx_color_profile(handles_[0], &first);
  for (size_t i = 1; i < handles_.size() && tiles_agree_; ++i) {
    heif_color_profile_nclx* own = nullptr;
    heif_image_handle_get_nclx_color_profile(handles_[i], &own);
    tiles_agree_ = (own == nullptr) == (first == nullptr) &&
                   (own == nullptr || (own->matrix_coefficients == first->matrix_coefficients &&
                                       own->color_primaries == first->color_primaries &&
                                       own->transfer_characteristics == first->transfer_characteristics &&
                                       own->full_range_flag == first->full_range_flag));
    if (own != nullptr) heif_nclx_color_profile_free(own);
  }
  if (first != nullptr) heif_nclx_color_profile_free(first);

  int band_rows = 0;
  for (const Band& b : bands_) band_rows = std::max(band_rows, b.out_y1 - b.out_y0);
  for (int c = 0; c < format_.planes; ++c) {
    out_stride_[c] = static_cast<size_t>(orient_.out_width() >> format_.shift[c]) * format_.bytes[c];
    out_[c].resize(out_stride_[c] * static_cast<size_t>(band_rows >> format_.shift[c]));
    out_rows_[c] = out_[c].data();
  }

  int threads = decoding_threads();
  if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
  threads = std::max(1, std::min({threads, 16, static_cast<int>(order_.size())}));
  try {
    if (g_tile_threads.load(std::memory_order_relaxed))
      for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  } catch (const std::exception&) {
    // No thread to be had (a memory cap, a thread limit, a host without
    // threads): fewer will do, and with none the caller's thread decodes.
  }
  started_ = true;
  return true;
}

bool TileBands::decode(size_t tile, heif_image** out, std::string* message) {
  const char* preferred = default_decoder_.load() ? nullptr : preferred_decoder_for(handle_);
  heif_decoding_options* options = decoding_options_for(preferred);
  if (options == nullptr) {
    *message = "Memory allocation error";
    return false;
  }
  // 8-bit RGB tiles of a deeper picture are rounded, not cut.
  const bool rgb = format_.colorspace == heif_colorspace_RGB && format_.chroma == heif_chroma_interleaved_RGB;
  auto decode_tile = [&] {
    return rgb ? decode_rounded(handles_[tile], out, format_.chroma, options)
               : heif_decode_image(handles_[tile], out, format_.colorspace, format_.chroma, options);
  };
  heif_error err = decode_tile();
  if (err.code != heif_error_Ok && preferred != nullptr) {
    // FFmpeg refuses some streams libde265 decodes; keep to libde265 then.
    default_decoder_.store(true);
    options->decoder_id = nullptr;
    err = decode_tile();
  }
  heif_decoding_options_free(options);
  if (err.code == heif_error_Ok && *out != nullptr) return true;
  *message = err.message != nullptr && *err.message != '\0' ? err.message : "unknown";
  return false;
}

void TileBands::work() {
  for (;;) {
    size_t i, band;
    {
      std::unique_lock<std::mutex> lock(m_);
      auto band_of = [&](size_t tile) {
        size_t b = 0;
        while (bands_[b].first + bands_[b].count <= tile) ++b;
        return b;
      };
      cv_.wait(lock, [&] { return stop_ || next_tile_ >= order_.size() || band_of(next_tile_) <= allowed_; });
      if (stop_ || next_tile_ >= order_.size()) return;
      i = next_tile_++;
      band = band_of(i);
    }
    heif_image* img = nullptr;
    std::string message;
    const bool ok = decode(i, &img, &message);
    {
      std::lock_guard<std::mutex> lock(m_);
      tiles_[i] = img;
      ++decoded_[band];
      if (!ok && !failed_) {
        failed_ = stop_ = true;
        error_ = message;
      }
    }
    cv_.notify_all();
  }
}

void TileBands::decode_here(size_t band) {
  const Band& b = bands_[band];
  for (size_t i = b.first; i < b.first + b.count && !failed_; ++i) {
    std::string message;
    const bool ok = decode(i, &tiles_[i], &message);
    ++decoded_[band];
    if (!ok) {
      failed_ = true;
      error_ = message;
    }
  }
}

bool TileBands::tile_planes(const heif_image* img, TilePlanes* p) const {
  if (heif_image_get_colorspace(img) != format_.colorspace || heif_image_get_chroma_format(img) != format_.chroma ||
      heif_image_get_primary_width(img) != g_.tile_w || heif_image_get_primary_height(img) != g_.tile_h) {
    return false;
  }
  static const heif_channel kYcbcr[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
  for (int c = 0; c < format_.planes; ++c) {
    const heif_channel channel = format_.planes == 1 ? heif_channel_interleaved : kYcbcr[c];
    int stride = 0;
    p->plane[c] = heif_image_get_plane_readonly(img, channel, &stride);
    const int w = g_.tile_w >> format_.shift[c], h = g_.tile_h >> format_.shift[c];
    const int bits = heif_image_get_bits_per_pixel_range(img, channel);
    const bool wide = format_.bytes[c] == 6;  // RRGGBB, big-endian
    if (p->plane[c] == nullptr || stride < 0 ||
        static_cast<size_t>(stride) < static_cast<size_t>(w) * format_.bytes[c] ||
        heif_image_get_width(img, channel) < w || heif_image_get_height(img, channel) < h ||
        (wide ? bits <= 8 : bits != 8)) {
      return false;
    }
    p->stride[c] = static_cast<size_t>(stride);
  }
  return true;
}

void TileBands::release_band(size_t band) {
  const Band& b = bands_[band];
  for (size_t i = b.first; i < b.first + b.count; ++i) {
    if (tiles_[i] != nullptr) heif_image_release(tiles_[i]);
    tiles_[i] = nullptr;
  }
}

bool TileBands::next() {
  if (!started_ || done_ || layout_refused_) return false;
  if (delivered_ && ++band_ == bands_.size()) {
    done_ = true;
    return false;
  }
  delivered_ = false;
  const Band& band = bands_[band_];
  if (workers_.empty()) decode_here(band_);  // no worker could start
  {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return failed_ || decoded_[band_] == band.count; });
    if (failed_) return false;
  }
  std::vector<TilePlanes> planes(band.count);
  for (size_t j = 0; j < band.count; ++j) {
    if (!tile_planes(tiles_[band.first + j], &planes[j])) {
      layout_refused_ = true;
      error_ = "Invalid input: a grid tile differs from the grid's tile size or format";
      return false;
    }
  }
  remap(band, planes);
  if (band_ == 0) heif_image_get_nclx_color_profile(tiles_[band.first], &colour_);
  release_band(band_);
  {
    // Held from here: these rows and the next band's tiles, decoding while
    // the caller writes.
    std::lock_guard<std::mutex> lock(m_);
    allowed_ = band_ + 1;
  }
  cv_.notify_all();
  row_count_ = band.out_y1 - band.out_y0;
  delivered_ = true;
  return true;
}

void TileBands::remap(const Band& band, const std::vector<TilePlanes>& tiles) {
  for (int c = 0; c < format_.planes; ++c) {
    const int shift = format_.shift[c];
    const size_t bpp = static_cast<size_t>(format_.bytes[c]);
    const PlaneMap m = orient_.map(shift);
    const int tw = g_.tile_w >> shift, th = g_.tile_h >> shift;
    const int out_w = orient_.out_width() >> shift;
    const int y0 = band.out_y0 >> shift, y1 = band.out_y1 >> shift;
    for (int y = y0; y < y1; ++y) {
      uint8_t* dst = out_[c].data() + static_cast<size_t>(y - y0) * out_stride_[c];
      int sx = m.b * y + m.c, sy = m.e * y + m.f;  // coded position of x = 0
      for (int x = 0; x < out_w;) {
        const int tx = sx / tw, ty = sy / th;
        const int lx = sx - tx * tw, ly = sy - ty * th;
        const TilePlanes& t = tiles[static_cast<size_t>(by_rows_ ? tx : ty)];
        // Pixels left in this tile along the row's direction.
        const int left = m.a > 0 ? tw - lx : m.a < 0 ? lx + 1 : m.d > 0 ? th - ly : ly + 1;
        const int n = std::min(left, out_w - x);
        const uint8_t* src = t.plane[c] + static_cast<size_t>(ly) * t.stride[c] + static_cast<size_t>(lx) * bpp;
        uint8_t* d = dst + static_cast<size_t>(x) * bpp;
        if (m.a == 1) {
          std::memcpy(d, src, static_cast<size_t>(n) * bpp);
        } else {
          const ptrdiff_t step =
              m.a != 0 ? m.a * static_cast<ptrdiff_t>(bpp) : m.d * static_cast<ptrdiff_t>(t.stride[c]);
          if (bpp == 1) {
            for (int i = 0; i < n; ++i, src += step) d[i] = *src;
          } else {
            for (int i = 0; i < n; ++i, src += step, d += bpp) std::memcpy(d, src, bpp);
          }
        }
        x += n;
        sx += m.a * n;
        sy += m.d * n;
      }
    }
  }
}
