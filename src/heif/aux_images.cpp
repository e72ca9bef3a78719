#include "heif/aux_images.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <libheif/heif_properties.h>
#include <png.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/output_file.h"
#include "base/platform.h"

namespace {

const char* const kKinds[] = {"depth",     "disparity",  "hdrgainmap",   "portraitmatte",   "skinmatte",    "skymatte",
                              "hairmatte", "teethmatte", "glassesmatte", "linearthumbnail", "styledeltamap"};

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// ---- the grey picture and its turns

struct Grey {
  std::vector<uint16_t> v;
  int width = 0, height = 0;
  uint16_t at(int x, int y) const { return v[static_cast<size_t>(y) * width + x]; }
};

template <typename Map>
Grey remapped(int w, int h, Map map) {
  Grey out;
  out.width = w;
  out.height = h;
  out.v.resize(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) out.v[static_cast<size_t>(y) * w + x] = map(x, y);
  }
  return out;
}

// One transformation property of `item`, whose picture is master_w x
// master_h at this step, applied to g (which may be smaller: a crop is
// scaled to it).
bool apply(heif_context* ctx, heif_item_id item, heif_property_id prop, int* master_w, int* master_h, Grey* g) {
  const int W = g->width, H = g->height;
  switch (heif_item_get_property_type(ctx, item, prop)) {
    case heif_item_property_type_transform_rotation: {
      const int ccw = heif_item_get_property_transform_rotation_ccw(ctx, item, prop);
      if (ccw == 90) {
        *g = remapped(H, W, [&](int x, int y) { return g->at(W - 1 - y, x); });
      } else if (ccw == 180) {
        *g = remapped(W, H, [&](int x, int y) { return g->at(W - 1 - x, H - 1 - y); });
      } else if (ccw == 270) {
        *g = remapped(H, W, [&](int x, int y) { return g->at(y, H - 1 - x); });
      }
      if (ccw == 90 || ccw == 270) std::swap(*master_w, *master_h);
      return true;
    }
    case heif_item_property_type_transform_mirror: {
      const heif_transform_mirror_direction dir = heif_item_get_property_transform_mirror(ctx, item, prop);
      if (dir == heif_transform_mirror_direction_vertical) {
        *g = remapped(W, H, [&](int x, int y) { return g->at(x, H - 1 - y); });
      } else if (dir == heif_transform_mirror_direction_horizontal) {
        *g = remapped(W, H, [&](int x, int y) { return g->at(W - 1 - x, y); });
      }
      return true;
    }
    case heif_item_property_type_transform_crop: {
      int left = 0, top = 0, right = 0, bottom = 0;
      heif_item_get_property_transform_crop_borders(ctx, item, prop, *master_w, *master_h, &left, &top, &right,
                                                    &bottom);
      if (*master_w <= 0 || *master_h <= 0) return false;
      const auto scale = [](int border, int to, int from) {
        return border <= 0 ? 0 : static_cast<int>(int64_t(border) * to / from);
      };
      const int l = scale(left, W, *master_w), r = scale(right, W, *master_w);
      const int t = scale(top, H, *master_h), b = scale(bottom, H, *master_h);
      if (int64_t(l) + r >= W || int64_t(t) + b >= H) return false;
      *master_w -= (left > 0 ? left : 0) + (right > 0 ? right : 0);
      *master_h -= (top > 0 ? top : 0) + (bottom > 0 ? bottom : 0);
      *g = remapped(W - l - r, H - t - b, [&](int x, int y) { return g->at(x + l, y + t); });
      return true;
    }
    default: return true;
  }
}

const int kMaxProps = 16;

// The decoded luma plane, turned as its own properties or its master's say.
bool upright_grey(heif_context* ctx, heif_image_handle* master, heif_image_handle* aux, Grey* g, int* bits) {
  heif_decoding_options* options = heif_decoding_options_alloc();
  if (options == nullptr) {
    set_error("Out of memory decoding auxiliary image");
    return false;
  }
  options->ignore_transformations = 1;
  ImageHolder image;
  const heif_error err = heif_decode_image(aux, image.out(), heif_colorspace_undefined, heif_chroma_undefined, options);
  heif_decoding_options_free(options);
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed to decode auxiliary image: %s", heif_error_text(err));
    return false;
  }
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_Y, &stride);
  const int w = heif_image_get_width(image.get(), heif_channel_Y);
  const int h = heif_image_get_height(image.get(), heif_channel_Y);
  *bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_Y);
  const int sample = *bits > 8 ? 2 : 1;
  if (plane == nullptr || w <= 0 || h <= 0 || *bits < 1 || *bits > 16 || stride < w * sample) {
    set_error("Auxiliary image has no luma plane");
    return false;
  }
  g->width = w;
  g->height = h;
  g->v.resize(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = plane + static_cast<size_t>(y) * stride;
    for (int x = 0; x < w; ++x) {
      uint16_t s;
      if (sample == 2)
        std::memcpy(&s, row + 2 * x, 2);  // libheif's native-endian 16-bit samples
      else
        s = row[x];
      g->v[static_cast<size_t>(y) * w + x] = s;
    }
  }
  image.reset();

  heif_item_id item = heif_image_handle_get_item_id(aux);
  heif_property_id props[kMaxProps];
  int count = heif_item_get_transformation_properties(ctx, item, props, kMaxProps);
  int mw = w, mh = h;
  if (count <= 0) {
    // Stored as shot while its master is turned: it follows the master.
    item = heif_image_handle_get_item_id(master);
    count = heif_item_get_transformation_properties(ctx, item, props, kMaxProps);
    mw = heif_image_handle_get_ispe_width(master);
    mh = heif_image_handle_get_ispe_height(master);
  }
  if (count > kMaxProps) count = kMaxProps;
  for (int i = 0; i < count; ++i) {
    if (!apply(ctx, item, props[i], &mw, &mh, g)) {
      set_error("Invalid input: Invalid clean-aperture specification");
      return false;
    }
  }
  return true;
}

// ---- PNG with tEXt

struct TextEntry {
  std::string key, value;
};

void png_fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void png_quiet(png_structp, png_const_charp) {}

bool png_grey_body(png_structp png, png_infop info, FILE* out, const Grey& g, int bits, std::vector<png_text>* text,
                   std::vector<uint8_t>* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, out);
  png_set_compression_level(png, 4);  // as the picture's own PNG writer, by the same measurement
  const int depth = bits > 8 ? 16 : 8;
  png_set_IHDR(png, info, static_cast<png_uint_32>(g.width), static_cast<png_uint_32>(g.height), depth,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  if (bits > 8 && bits < 16) {
    png_color_8 sig{};
    sig.gray = static_cast<png_byte>(bits);
    png_set_sBIT(png, info, &sig);
  }
  if (!text->empty()) png_set_text(png, info, text->data(), static_cast<int>(text->size()));
  png_write_info(png, info);
  for (int y = 0; y < g.height; ++y) {
    for (int x = 0; x < g.width; ++x) {
      const unsigned v = g.at(x, y);
      if (depth == 8) {
        (*row)[x] = static_cast<uint8_t>(v);
      } else {
        // Bit repetition: the top value becomes 65535.
        const unsigned w = bits == 16 ? v : (v << (16 - bits) | v >> (2 * bits - 16 > 0 ? 2 * bits - 16 : 0)) & 0xFFFF;
        (*row)[2 * x] = static_cast<uint8_t>(w >> 8);
        (*row)[2 * x + 1] = static_cast<uint8_t>(w);
      }
    }
    png_write_row(png, row->data());
  }
  png_write_end(png, info);
  return true;
}

bool write_grey_png(FILE* out, const Grey& g, int bits, const std::vector<TextEntry>& entries) {
  std::vector<png_text> text(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    text[i].compression = PNG_TEXT_COMPRESSION_NONE;
    text[i].key = const_cast<char*>(entries[i].key.c_str());
    text[i].text = const_cast<char*>(entries[i].value.c_str());
    text[i].text_length = entries[i].value.size();
  }
  std::vector<uint8_t> row(static_cast<size_t>(g.width) * 2);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  const bool ok = png_grey_body(png, info, out, g, bits, &text, &row);
  png_destroy_write_struct(&png, &info);
  return ok;
}

std::string number_text(double v) {
  char text[32];
  platform::CLocaleScope c_locale;
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

void depth_entries(heif_image_handle* master, heif_item_id aux_id, std::vector<TextEntry>* out) {
  const heif_depth_representation_info* info = nullptr;
  if (!heif_image_handle_get_depth_image_representation_info(master, aux_id, &info) || info == nullptr) return;
  static const char* const kTypes[] = {"uniform_inverse_Z", "uniform_disparity", "uniform_Z", "nonuniform_disparity"};
  const unsigned type = static_cast<unsigned>(info->depth_representation_type);
  if (type < 4) out->push_back({"DepthRepresentationType", kTypes[type]});
  if (info->has_z_near) out->push_back({"ZNear", number_text(info->z_near)});
  if (info->has_z_far) out->push_back({"ZFar", number_text(info->z_far)});
  if (info->has_d_min) out->push_back({"DMin", number_text(info->d_min)});
  if (info->has_d_max) out->push_back({"DMax", number_text(info->d_max)});
  if (type == 1 || type == 3)
    out->push_back({"DisparityReferenceView", std::to_string(info->disparity_reference_view)});
  heif_depth_representation_info_free(info);
}

// tEXt holds Latin-1 without control characters; a URN is ASCII.
std::string text_safe(const std::string& s) {
  std::string out;
  for (const char c : s) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out.substr(0, 1000);
}

}  // namespace

std::string aux_kind(const std::string& urn) {
  if (urn == "urn:mpeg:hevc:2015:auxid:1" || urn == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha") return "alpha";
  if (urn == "urn:mpeg:hevc:2015:auxid:2" || urn == "urn:mpeg:mpegB:cicp:systems:auxiliary:depth") return "depth";
  if (starts_with(urn, "urn:com:apple:photo:") || starts_with(urn, "tag:apple.com,") ||
      starts_with(urn, "urn:com:samsung:")) {
    // Vendors name the kind last: ...:aux:semanticskymatte
    std::string last = urn.substr(urn.rfind(':') + 1);
    for (char& c : last) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (last == "portraiteffectsmatte") last = "portraitmatte";
    if (starts_with(last, "semantic")) last.erase(0, 8);
    for (const char* kind : kKinds) {
      if (last == kind) return last;
    }
  }
  std::string safe;
  for (const char c : urn.substr(0, 100)) {
    const bool keep =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    safe += keep ? c : '_';
  }
  return safe.empty() ? "aux" : safe;
}

std::vector<heif_item_id> auxiliary_ids(heif_image_handle* image, bool with_alpha) {
  const int filter = with_alpha ? 0 : LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA;
  const int n = heif_image_handle_get_number_of_auxiliary_images(image, filter);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0)
    ids.resize(static_cast<size_t>(heif_image_handle_get_list_of_auxiliary_image_IDs(image, filter, ids.data(), n)));
  return ids;
}

std::string auxiliary_type(heif_image_handle* aux) {
  const char* type = nullptr;
  if (heif_image_handle_get_auxiliary_type(aux, &type).code != heif_error_Ok || type == nullptr) return std::string();
  std::string urn = type;
  heif_image_handle_release_auxiliary_type(aux, &type);
  return urn;
}

bool write_aux_png(heif_context* ctx, heif_image_handle* master, heif_item_id aux_id, const char* out) {
  HandleHolder aux;
  const heif_error err = heif_image_handle_get_auxiliary_image_handle(master, aux_id, aux.out());
  if (err.code != heif_error_Ok || !aux) {
    set_error_fmt("Failed to get auxiliary image %u: %s", static_cast<unsigned>(aux_id), heif_error_text(err));
    return false;
  }
  Grey grey;
  int bits = 8;
  if (!upright_grey(ctx, master, aux.get(), &grey, &bits)) return false;
  const std::string urn = auxiliary_type(aux.get());
  std::vector<TextEntry> entries;
  if (!urn.empty()) entries.push_back({"AuxiliaryType", text_safe(urn)});
  if (aux_kind(urn) == "depth") depth_entries(master, aux_id, &entries);
  OutputFile output(out);
  FILE* f = output.open();
  if (f == nullptr || !write_grey_png(f, grey, bits, entries) || !output.commit()) {
    set_error("Failed writing PNG output file");
    return false;
  }
  return true;
}
