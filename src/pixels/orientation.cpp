#include "pixels/orientation.h"

#include <algorithm>
#include <cstring>
#include <utility>

Orientation Orientation::from_exif(int orientation, int width, int height) {
  Orientation o(width, height);
  switch (orientation) {
    case 2: o.mirror(true); break;
    case 3: o.rotate_ccw(180); break;
    case 4: o.mirror(false); break;
    case 5: o.mirror(true), o.rotate_ccw(90); break;  // transposed
    case 6: o.rotate_ccw(270); break;
    case 7: o.mirror(true), o.rotate_ccw(270); break;  // transversed
    case 8: o.rotate_ccw(90); break;
    default: break;
  }
  return o;
}

void Orientation::rotate_ccw(int degrees) {
  if (degrees == 0) return;
  if (degrees != 90 && degrees != 180 && degrees != 270) valid_ = false;
  if (degrees != 180) std::swap(cw_, ch_);
  turns_ = true;
  ops_.push_back(Op{degrees, 0, 0, 0, 0});
}

void Orientation::mirror(bool horizontal) {
  turns_ = true;
  ops_.push_back(Op{horizontal ? -1 : -2, 0, 0, 0, 0});
}

void Orientation::crop(int left, int top, int right, int bottom) {
  left = std::max(left, 0), top = std::max(top, 0);
  right = std::max(right, 0), bottom = std::max(bottom, 0);
  if (int64_t(left) + right >= cw_ || int64_t(top) + bottom >= ch_) valid_ = false;
  ops_.push_back(Op{0, left, top, right, bottom});
  crops_ = true;
  cw_ -= left + right;
  ch_ -= top + bottom;
}

Orientation Orientation::scaled(int width, int height) const {
  Orientation o(width, height);
  int rw = w_, rh = h_;  // this picture's size before the next step
  const auto scale = [](int border, int to, int from) { return static_cast<int>(int64_t(border) * to / from); };
  for (const Op& op : ops_) {
    if (op.kind > 0) {
      o.rotate_ccw(op.kind);
      if (op.kind != 180) std::swap(rw, rh);
    } else if (op.kind < 0) {
      o.mirror(op.kind == -1);
    } else if (rw <= 0 || rh <= 0) {
      o.valid_ = false;
      o.crops_ = true;
    } else {
      o.crop(scale(op.left, o.cw_, rw), scale(op.top, o.ch_, rh), scale(op.right, o.cw_, rw),
             scale(op.bottom, o.ch_, rh));
      rw -= op.left + op.right;
      rh -= op.top + op.bottom;
    }
  }
  return o;
}

PlaneMap Orientation::map(int shift) const {
  PlaneMap m{1, 0, 0, 0, 1, 0};
  int cw = w_ >> shift, ch = h_ >> shift;  // the picture's size before the next step
  for (const Op& op : ops_) {
    // The step's own map, new coordinates -> previous ones: B p + u.
    int b00 = 1, b01 = 0, b10 = 0, b11 = 1, u0 = 0, u1 = 0;
    switch (op.kind) {
      case 90: b00 = 0, b01 = -1, b10 = 1, b11 = 0, u0 = cw - 1; break;
      case 180: b00 = -1, b11 = -1, u0 = cw - 1, u1 = ch - 1; break;
      case 270: b00 = 0, b01 = 1, b10 = -1, b11 = 0, u1 = ch - 1; break;
      case -1: b00 = -1, u0 = cw - 1; break;
      case -2: b11 = -1, u1 = ch - 1; break;
      default: u0 = op.left >> shift, u1 = op.top >> shift; break;
    }
    const PlaneMap n{m.a * b00 + m.b * b10, m.a * b01 + m.b * b11, m.a * u0 + m.b * u1 + m.c,
                     m.d * b00 + m.e * b10, m.d * b01 + m.e * b11, m.d * u0 + m.e * u1 + m.f};
    m = n;
    if (op.kind == 90 || op.kind == 270) std::swap(cw, ch);
    if (op.kind == 0) cw -= (op.left + op.right) >> shift, ch -= (op.top + op.bottom) >> shift;
  }
  return m;
}

namespace {

// dst(x, y) = src(m(x, y)) for pixels of N bytes (N 0: `bytes` bytes), in
// blocks so that a quarter turn reads its columns from cache.
template <size_t N>
void remap_blocks(const PlaneMap& m, size_t bytes, int width, int height, const uint8_t* src, size_t src_stride,
                  uint8_t* dst, size_t dst_stride) {
  const int kBlock = 64;
  const size_t n = N != 0 ? N : bytes;
  const ptrdiff_t step = m.a * static_cast<ptrdiff_t>(n) + m.d * static_cast<ptrdiff_t>(src_stride);
  for (int by = 0; by < height; by += kBlock) {
    for (int bx = 0; bx < width; bx += kBlock) {
      const int ey = std::min(by + kBlock, height), ex = std::min(bx + kBlock, width);
      for (int y = by; y < ey; ++y) {
        const int sx = m.a * bx + m.b * y + m.c, sy = m.d * bx + m.e * y + m.f;
        const uint8_t* s = src + static_cast<ptrdiff_t>(sy) * static_cast<ptrdiff_t>(src_stride) +
                           static_cast<ptrdiff_t>(sx) * static_cast<ptrdiff_t>(n);
        uint8_t* d = dst + static_cast<size_t>(y) * dst_stride + static_cast<size_t>(bx) * n;
        for (int x = bx; x < ex; ++x, s += step, d += n) std::memcpy(d, s, n);
      }
    }
  }
}

}  // namespace

void remap_pixels(const Orientation& o, PixelSize size, const uint8_t* src, size_t src_stride, uint8_t* dst,
                  size_t dst_stride) {
  const PlaneMap m = o.map(0);
  const size_t bytes = size.bytes();
  const int width = o.out_width(), height = o.out_height();
  if (m.a == 1 && m.d == 0) {  // rows stay rows, in order: whole-row copies
    for (int y = 0; y < height; ++y) {
      const uint8_t* s = src + static_cast<ptrdiff_t>(m.e * y + m.f) * static_cast<ptrdiff_t>(src_stride) +
                         static_cast<ptrdiff_t>(m.b * y + m.c) * static_cast<ptrdiff_t>(bytes);
      std::memcpy(dst + static_cast<size_t>(y) * dst_stride, s, static_cast<size_t>(width) * bytes);
    }
    return;
  }
  switch (bytes) {
    case 1: remap_blocks<1>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
    case 2: remap_blocks<2>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
    case 3: remap_blocks<3>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
    case 4: remap_blocks<4>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
    case 6: remap_blocks<6>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
    case 8: remap_blocks<8>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
    default: remap_blocks<0>(m, bytes, width, height, src, src_stride, dst, dst_stride); break;
  }
}
