#include "heif/aux_images.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/output_file.h"
#include "base/platform.h"
#include "formats/png_writer.h"
#include "heif/transformations.h"

namespace {

const char* const kKinds[] = {"depth",     "disparity",  "hdrgainmap",   "portraitmatte",   "skinmatte",    "skymatte",
                              "hairmatte", "teethmatte", "glassesmatte", "linearthumbnail", "styledeltamap"};

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// The decoded luma plane, upright as aux_orientation says, in packed rows
// of 1 or 2 bytes a sample (libheif's native-endian 16-bit samples).
struct Grey {
  ByteBlock samples;
  int width = 0, height = 0, bits = 8;
  int sample_bytes() const { return bits > 8 ? 2 : 1; }
};

bool upright_grey(heif_context* ctx, heif_image_handle* master, heif_item_id aux_id, heif_image_handle* aux, Grey* g) {
  ImageHolder image;
  const heif_error err = decode_as_stored(aux, heif_colorspace_undefined, heif_chroma_undefined, &image);
  if (err.code != heif_error_Ok || !image) {
    set_error_fmt("Failed to decode auxiliary image: %s", heif_error_text(err));
    return false;
  }
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_Y, &stride);
  const int w = heif_image_get_width(image.get(), heif_channel_Y);
  const int h = heif_image_get_height(image.get(), heif_channel_Y);
  g->bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_Y);
  if (plane == nullptr || w <= 0 || h <= 0 || g->bits < 1 || g->bits > 16 || stride < w * g->sample_bytes()) {
    set_error("Auxiliary image has no luma plane");
    return false;
  }
  Orientation o(w, h);
  bool from_master = false;
  if (!aux_orientation(ctx, master, aux_id, w, h, &o, &from_master)) {
    set_error(kTooManyTransformations);
    return false;
  }
  if (!o.valid()) {
    set_error("Invalid input: Invalid clean-aperture specification");
    return false;
  }
  const PixelSize size{g->sample_bytes(), 1};
  g->width = o.out_width();
  g->height = o.out_height();
  g->samples.resize(static_cast<size_t>(g->width) * g->height * size.bytes());
  remap_pixels(o, size, plane, static_cast<size_t>(stride), g->samples.data(),
               static_cast<size_t>(g->width) * size.bytes());
  return true;
}

// ---- PNG rows: 8 bits as they are, deeper samples as 16-bit big-endian

struct GreyRows {
  const Grey* g;
  ByteBlock row;
  static const uint8_t* next(void* state, int y) {
    auto* s = static_cast<GreyRows*>(state);
    const Grey& g = *s->g;
    if (g.bits <= 8) return g.samples.data() + static_cast<size_t>(y) * g.width;
    const uint8_t* from = g.samples.data() + static_cast<size_t>(y) * g.width * 2;
    for (int x = 0; x < g.width; ++x) {
      uint16_t v;
      std::memcpy(&v, from + 2 * x, 2);
      // Bit repetition: the top value becomes 65535.
      const int bits = g.bits;
      const unsigned w =
          bits == 16 ? v : (unsigned(v) << (16 - bits) | v >> (2 * bits - 16 > 0 ? 2 * bits - 16 : 0)) & 0xFFFF;
      s->row[2 * x] = static_cast<uint8_t>(w >> 8);
      s->row[2 * x + 1] = static_cast<uint8_t>(w);
    }
    return s->row.data();
  }
};

std::string number_text(double v) {
  char text[32];
  platform::CLocaleScope c_locale;
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

void depth_entries(heif_image_handle* master, heif_item_id aux_id, std::vector<PngTextEntry>* out) {
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
  if (!upright_grey(ctx, master, aux_id, aux.get(), &grey)) return false;
  const std::string urn = auxiliary_type(aux.get());
  PngChunks chunks;
  if (!urn.empty()) chunks.text.push_back({"AuxiliaryType", text_safe(urn)});
  if (aux_kind(urn) == "depth") depth_entries(master, aux_id, &chunks.text);
  if (grey.bits > 8 && grey.bits < 16) chunks.significant_bits = grey.bits;
  GreyRows rows{&grey, ByteBlock(static_cast<size_t>(grey.width) * 2)};
  OutputFile output(out);
  FILE* f = output.open();
  if (f == nullptr ||
      !write_png_rows(f, grey.width, grey.height, 1, grey.bits > 8 ? 16 : 8, chunks,
                      PixelRowSource{GreyRows::next, &rows}) ||
      !output.commit()) {
    set_error("Failed writing PNG output file");
    return false;
  }
  return true;
}

heif_error decode_as_stored(heif_image_handle* aux, heif_colorspace colorspace, heif_chroma chroma, ImageHolder* out) {
  heif_decoding_options* options = heif_decoding_options_alloc();
  if (options == nullptr) {
    return heif_error{heif_error_Memory_allocation_error, heif_suberror_Unspecified, "Memory allocation error"};
  }
  options->ignore_transformations = 1;
  const heif_error err = heif_decode_image(aux, out->out(), colorspace, chroma, options);
  heif_decoding_options_free(options);
  return err;
}

bool aux_orientation(heif_context* ctx, heif_image_handle* master, heif_item_id aux_id, int width, int height,
                     Orientation* out, bool* from_master) {
  int count = 0;
  *from_master = false;
  if (!read_transformations(ctx, aux_id, width, height, out, &count)) return false;
  if (count > 0) return true;
  // Stored as shot while its master is turned: it follows the master.
  *from_master = true;
  Orientation masters(0, 0);
  if (!read_transformations(ctx, heif_image_handle_get_item_id(master), heif_image_handle_get_ispe_width(master),
                            heif_image_handle_get_ispe_height(master), &masters)) {
    return false;
  }
  *out = masters.scaled(width, height);
  return true;
}
