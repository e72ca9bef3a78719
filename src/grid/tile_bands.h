// A grid image decoded one band of coded tiles at a time (the tiles of a
// band in parallel, the next band decoding while the caller writes this
// one; where no thread can start, on the caller's thread) and turned,
// mirrored and cropped into upright rows.
//
// The grid's transformations are applied here, as libheif applies them to
// a whole picture: libheif 1.19's transformed tile offsets do not stitch,
// and an irot + imir grid aborts in its tile lookup. Each tile is decoded
// through its own item handle, as libheif's whole-grid decode does: the
// tile API (heif_image_handle_decode_image_tile) writes every call's result
// text into the grid item, which races when tiles decode in parallel.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <libheif/heif.h>

#include "formats/metadata.h"
#include "pixels/orientation.h"

struct GridShape {
  int width, height;  // of the coded grid, before its transformations
  int columns, rows;
  int tile_w, tile_h;
};
// Whether tiles decode on threads of their own (the default) or on the
// caller's thread, band by band, as where no thread can be started.
void set_tile_threads(bool on);

// The shape of an untransformed tiling; false unless the tiles have even
// sides and cover the picture.
bool grid_shape(const heif_image_tiling& tiling, GridShape* g);

// What the tiles decode to: 8-bit YCbCr 4:2:0 planes or one interleaved
// plane of `bytes[0]` bytes a pixel.
struct TileFormat {
  heif_colorspace colorspace;
  heif_chroma chroma;
  int planes;
  int shift[3];
  int bytes[3];
};

struct TilePlanes {
  const uint8_t* plane[3];
  size_t stride[3];
};

class TileBands {
 public:
  TileBands(heif_image_handle* handle, const GridShape& g, const Orientation& o, const TileFormat& format);
  ~TileBands();
  TileBands(const TileBands&) = delete;
  TileBands& operator=(const TileBands&) = delete;

  bool start();
  // The next band of upright rows, top to bottom; false after the last
  // (done()) or on failure (error(), or layout_refused(): a tile that is
  // not what the grid promised).
  bool next();
  bool done() const { return done_; }
  bool layout_refused() const { return layout_refused_; }
  const char* error() const { return error_.c_str(); }
  // Whether no tile item carries an nclx box other than the first tile's
  // (known after start()).
  bool tiles_agree() const { return tiles_agree_; }
  // The first decoded tile's colour description (its nclx box or its
  // stream's VUI; after a conversion, the conversion's), or null.
  const heif_color_profile_nclx* coded_colour() const { return colour_; }

  const uint8_t* const* rows() const { return out_rows_; }
  const size_t* strides() const { return out_stride_; }
  int row_count() const { return row_count_; }

 private:
  struct Band {
    int out_y0, out_y1;   // rows of the output
    size_t first, count;  // its tiles in order_
  };
  void work();
  void decode_here(size_t band);
  bool decode(size_t tile, heif_image** out, std::string* message);
  bool tile_planes(const heif_image* img, TilePlanes* p) const;
  void release_band(size_t band);
  void remap(const Band& band, const std::vector<TilePlanes>& tiles);

  heif_image_handle* handle_;
  GridShape g_;
  Orientation orient_;
  TileFormat format_;
  bool by_rows_ = true;  // bands are coded tile rows (else columns)
  std::vector<Band> bands_;
  std::vector<std::pair<uint32_t, uint32_t>> order_;  // tile x, y
  std::vector<heif_image_handle*> handles_;           // per tile in order_
  std::vector<heif_image*> tiles_;
  std::vector<size_t> decoded_;  // per band

  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::thread> workers_;
  size_t next_tile_ = 0, allowed_ = 0;  // workers decode bands up to allowed_
  bool stop_ = false, failed_ = false;
  std::string error_;
  std::atomic<bool> default_decoder_{false};  // after the preferred one failed a tile

  size_t band_ = 0;
  bool started_ = false, delivered_ = false, done_ = false, layout_refused_ = false, tiles_agree_ = true;
  heif_color_profile_nclx* colour_ = nullptr;
  ByteBlock out_[3];
  const uint8_t* out_rows_[3] = {nullptr, nullptr, nullptr};
  size_t out_stride_[3] = {0, 0, 0};
  int row_count_ = 0;
};
