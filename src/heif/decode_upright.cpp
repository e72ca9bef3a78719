#include "heif/decode_upright.h"

#include <libheif/heif_properties.h>
#include <cstdint>
#include <cstring>

#include "base/heif_holders.h"
#include "heif/hevc_decoder.h"

namespace {

const heif_error kOk{heif_error_Ok, heif_suberror_Unspecified, "Success"};

struct Geometry {
  const uint8_t* src;
  int src_stride;
  int width, height;  // of the source
  int bpp;
};

// A new interleaved image of the given size, or an error.
heif_error new_image(int width, int height, heif_chroma chroma, int bit_depth, ImageHolder* out, uint8_t** plane,
                     int* stride) {
  heif_error err = heif_image_create(width, height, heif_colorspace_RGB, chroma, out->out());
  if (err.code != heif_error_Ok) return err;
  err = heif_image_add_plane(out->get(), heif_channel_interleaved, width, height, bit_depth);
  if (err.code != heif_error_Ok) return err;
  *plane = heif_image_get_plane(out->get(), heif_channel_interleaved, stride);
  if (*plane == nullptr) {
    return heif_error{heif_error_Memory_allocation_error, heif_suberror_Unspecified, "Memory allocation error"};
  }
  return kOk;
}

// Writes the source pixel that lands at each destination pixel: map(x, y)
// gives the source coordinates of destination (x, y).
template <typename Map>
void remap(const Geometry& g, uint8_t* dst, int dst_stride, int dst_w, int dst_h, Map map) {
  for (int y = 0; y < dst_h; ++y) {
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * dst_stride;
    for (int x = 0; x < dst_w; ++x) {
      int sx, sy;
      map(x, y, &sx, &sy);
      std::memcpy(row + static_cast<ptrdiff_t>(x) * g.bpp,
                  g.src + static_cast<ptrdiff_t>(sy) * g.src_stride + static_cast<ptrdiff_t>(sx) * g.bpp, g.bpp);
    }
  }
}

heif_error apply(const heif_context* ctx, heif_item_id item, heif_property_id prop, heif_chroma chroma,
                 ImageHolder* image) {
  Geometry g;
  g.src = heif_image_get_plane_readonly(image->get(), heif_channel_interleaved, &g.src_stride);
  g.width = heif_image_get_primary_width(image->get());
  g.height = heif_image_get_primary_height(image->get());
  switch (chroma) {
    case heif_chroma_interleaved_RGBA: g.bpp = 4; break;
    case heif_chroma_interleaved_RRGGBB_BE: g.bpp = 6; break;
    case heif_chroma_interleaved_RRGGBBAA_BE: g.bpp = 8; break;
    default: g.bpp = 3; break;
  }
  const int depth = heif_image_get_bits_per_pixel_range(image->get(), heif_channel_interleaved);
  if (g.src == nullptr || g.width <= 0 || g.height <= 0 || g.src_stride < g.width * g.bpp) {
    return heif_error{heif_error_Decoder_plugin_error, heif_suberror_Unspecified, "Decoded image has no usable plane"};
  }
  const int W = g.width, H = g.height;
  ImageHolder next;
  uint8_t* dst = nullptr;
  int stride = 0;
  heif_error err = kOk;
  switch (heif_item_get_property_type(ctx, item, prop)) {
    case heif_item_property_type_transform_rotation: {
      const int ccw = heif_item_get_property_transform_rotation_ccw(ctx, item, prop);
      if (ccw == 0) return kOk;
      const bool quarter = ccw == 90 || ccw == 270;
      const int w = quarter ? H : W, h = quarter ? W : H;
      if ((err = new_image(w, h, chroma, depth, &next, &dst, &stride)).code != heif_error_Ok) return err;
      if (ccw == 90) {
        remap(g, dst, stride, w, h, [&](int x, int y, int* sx, int* sy) { *sx = W - 1 - y, *sy = x; });
      } else if (ccw == 180) {
        remap(g, dst, stride, w, h, [&](int x, int y, int* sx, int* sy) { *sx = W - 1 - x, *sy = H - 1 - y; });
      } else {
        remap(g, dst, stride, w, h, [&](int x, int y, int* sx, int* sy) { *sx = y, *sy = H - 1 - x; });
      }
      break;
    }
    case heif_item_property_type_transform_mirror: {
      const heif_transform_mirror_direction dir = heif_item_get_property_transform_mirror(ctx, item, prop);
      if (dir == heif_transform_mirror_direction_invalid) return kOk;
      if ((err = new_image(W, H, chroma, depth, &next, &dst, &stride)).code != heif_error_Ok) return err;
      if (dir == heif_transform_mirror_direction_vertical) {
        remap(g, dst, stride, W, H, [&](int x, int y, int* sx, int* sy) { *sx = x, *sy = H - 1 - y; });
      } else {
        remap(g, dst, stride, W, H, [&](int x, int y, int* sx, int* sy) { *sx = W - 1 - x, *sy = y; });
      }
      break;
    }
    case heif_item_property_type_transform_crop: {
      int left = 0, top = 0, right = 0, bottom = 0;
      heif_item_get_property_transform_crop_borders(ctx, item, prop, W, H, &left, &top, &right, &bottom);
      // Clamped to the image as libheif does; nothing left is an error.
      if (left < 0) left = 0;
      if (top < 0) top = 0;
      if (right < 0) right = 0;
      if (bottom < 0) bottom = 0;
      if (static_cast<int64_t>(left) + right >= W || static_cast<int64_t>(top) + bottom >= H) {
        return heif_error{heif_error_Invalid_input, heif_suberror_Invalid_clean_aperture,
                          "Invalid input: Invalid clean-aperture specification"};
      }
      const int w = W - left - right, h = H - top - bottom;
      if ((err = new_image(w, h, chroma, depth, &next, &dst, &stride)).code != heif_error_Ok) return err;
      for (int y = 0; y < h; ++y) {
        std::memcpy(dst + static_cast<ptrdiff_t>(y) * stride,
                    g.src + static_cast<ptrdiff_t>(y + top) * g.src_stride + static_cast<ptrdiff_t>(left) * g.bpp,
                    static_cast<size_t>(w) * g.bpp);
      }
      break;
    }
    default: return kOk;
  }
  image->reset(next.release());
  return kOk;
}

// The item's transformative properties in order (at most kMaxProps).
const int kMaxProps = 16;
int transformation_properties(heif_context* ctx, heif_item_id item, heif_property_id* props) {
  const int count = heif_item_get_transformation_properties(ctx, item, props, kMaxProps);
  return count < kMaxProps ? count : kMaxProps;
}

bool has_crop(heif_context* ctx, heif_item_id item, const heif_property_id* props, int count) {
  for (int i = 0; i < count; ++i) {
    if (heif_item_get_property_type(ctx, item, props[i]) == heif_item_property_type_transform_crop) return true;
  }
  return false;
}

}  // namespace

bool has_clean_aperture(heif_context* ctx, heif_image_handle* handle) {
  const heif_item_id item = heif_image_handle_get_item_id(handle);
  heif_property_id props[kMaxProps];
  return has_crop(ctx, item, props, transformation_properties(ctx, item, props));
}

heif_error decode_upright(heif_context* ctx, heif_image_handle* handle, heif_chroma chroma, heif_image** out) {
  const heif_item_id item = heif_image_handle_get_item_id(handle);
  heif_property_id props[kMaxProps];
  const int count = transformation_properties(ctx, item, props);
  if (!has_crop(ctx, item, props, count))
    return decode_image_preferring(handle, out, heif_colorspace_RGB, chroma, nullptr);

  heif_decoding_options untransformed{};
  untransformed.ignore_transformations = 1;
  ImageHolder image;
  heif_error err = decode_image_preferring(handle, image.out(), heif_colorspace_RGB, chroma, &untransformed);
  if (err.code != heif_error_Ok) return err;
  for (int i = 0; i < count; ++i) {
    if ((err = apply(ctx, item, props[i], chroma, &image)).code != heif_error_Ok) return err;
  }
  *out = image.release();
  return kOk;
}
