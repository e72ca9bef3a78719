// A picture's transformation: its quarter turns, mirrors and crops in
// order, as a HEIF item's irot, imir and clap or an EXIF orientation give
// them, and the copy that applies it to packed or strided pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Output (x, y) -> source (a x + b y + c, d x + e y + f), in one plane.
struct PlaneMap {
  int a, b, c, d, e, f;
};

class Orientation {
 public:
  Orientation(int width, int height) : w_(width), h_(height), cw_(width), ch_(height) {}
  // EXIF orientation 1-8 of a width x height picture (others: none).
  static Orientation from_exif(int orientation, int width, int height);

  void rotate_ccw(int degrees);  // 0, 90, 180 or 270; others make it invalid
  void mirror(bool horizontal);
  // Borders cut off the picture as it is at this step; negative ones count
  // as none. Nothing left makes it invalid.
  void crop(int left, int top, int right, int bottom);

  bool valid() const { return valid_; }
  bool turns() const { return turns_; }  // any quarter turn or mirror
  bool crops() const { return crops_; }
  int in_width() const { return w_; }
  int in_height() const { return h_; }
  int out_width() const { return cw_; }  // so far
  int out_height() const { return ch_; }

  // The same steps for a picture of width x height that stands for this
  // one (an auxiliary image smaller than its master): crops scaled to it.
  Orientation scaled(int width, int height) const;
  // For a plane of the input size shifted right by `shift` (4:2:0 chroma:
  // 1; only without a crop).
  PlaneMap map(int shift) const;

 private:
  struct Op {
    int kind;  // 90, 180, 270; -1 horizontal mirror, -2 vertical; 0 crop
    int left, top, right, bottom;
  };
  int w_, h_, cw_, ch_;
  bool valid_ = true, turns_ = false, crops_ = false;
  std::vector<Op> ops_;
};

// Bytes of one pixel: channels samples of sample_bytes each.
struct PixelSize {
  int sample_bytes;
  int channels;
  size_t bytes() const { return static_cast<size_t>(sample_bytes) * channels; }
};

// Writes o's output (o.out_width() x o.out_height()) from src, a picture of
// o.in_width() x o.in_height(); o must be valid.
void remap_pixels(const Orientation& o, PixelSize size, const uint8_t* src, size_t src_stride, uint8_t* dst,
                  size_t dst_stride);
