#include "heif/transformations.h"

#include <libheif/heif_properties.h>

const char kTooManyTransformations[] = "Invalid input: too many transformation properties";

bool read_transformations(heif_context* ctx, heif_item_id item, int width, int height, Orientation* out,
                          int* count_out) {
  // One slot more than allowed tells a full list from a longer one.
  heif_property_id props[kMaxTransformations + 1];
  const int count = heif_item_get_transformation_properties(ctx, item, props, kMaxTransformations + 1);
  if (count > kMaxTransformations) return false;
  Orientation o(width, height);
  for (int i = 0; i < count; ++i) {
    switch (heif_item_get_property_type(ctx, item, props[i])) {
      case heif_item_property_type_transform_rotation:
        o.rotate_ccw(heif_item_get_property_transform_rotation_ccw(ctx, item, props[i]));
        break;
      case heif_item_property_type_transform_mirror: {
        const heif_transform_mirror_direction dir = heif_item_get_property_transform_mirror(ctx, item, props[i]);
        if (dir == heif_transform_mirror_direction_vertical) {
          o.mirror(false);
        } else if (dir == heif_transform_mirror_direction_horizontal) {
          o.mirror(true);
        }
        break;
      }
      case heif_item_property_type_transform_crop: {
        // libheif asserts on an empty picture: a crop of one leaves nothing.
        int left = 0, top = 0, right = 0, bottom = 0;
        if (o.out_width() > 0 && o.out_height() > 0) {
          heif_item_get_property_transform_crop_borders(ctx, item, props[i], o.out_width(), o.out_height(), &left, &top,
                                                        &right, &bottom);
        }
        o.crop(left, top, right, bottom);
        break;
      }
      default: break;
    }
  }
  *out = o;
  if (count_out != nullptr) *count_out = count;
  return true;
}
