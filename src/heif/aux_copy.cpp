#include "heif/aux_copy.h"

#include <cstring>

#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "heif/aux_images.h"
#include "heif/item_metadata.h"
#include "heif/meta_box.h"
#include "heif/transformations.h"
#include "pixels/orientation.h"

const char kAppleGainMapType[] = "urn:com:apple:photo:2020:aux:hdrgainmap";

namespace {

// Kinds whose meaning is one plane: kept monochrome even when coded with
// (flat) chroma.
bool one_plane_kind(const std::string& urn) {
  const std::string kind = aux_kind(urn);
  const size_t n = kind.size();
  return kind == "depth" || kind == "disparity" || kind == "hdrgainmap" ||
         (n >= 5 && kind.compare(n - 5, 5, "matte") == 0);
}

// An auxiliary image's samples, upright: packed rows of channels samples
// of 1 byte (8 bits) or 2 (native-endian, deeper).
struct Upright {
  std::vector<uint8_t> samples;
  int width = 0, height = 0, channels = 1, bits = 8;
  int sample_bytes() const { return bits > 8 ? 2 : 1; }
};

bool decode_turned(heif_context* src, heif_image_handle* master, heif_item_id id, heif_image_handle* aux, bool grey,
                   Upright* out, std::string* why) {
  const int coded_bits = heif_image_handle_get_luma_bits_per_pixel(aux);
  const bool deep = coded_bits > 8;
  ImageHolder image;
  const heif_error err =
      grey ? decode_as_stored(aux, heif_colorspace_undefined, heif_chroma_undefined, &image)
           : decode_as_stored(aux, heif_colorspace_RGB,
                              deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, &image);
  if (err.code != heif_error_Ok || !image) {
    *why = std::string("it could not be decoded (") + heif_error_text(err) + ")";
    return false;
  }
  const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), channel, &stride);
  const int w = heif_image_get_width(image.get(), channel), h = heif_image_get_height(image.get(), channel);
  out->channels = grey ? 1 : 3;
  out->bits = heif_image_get_bits_per_pixel_range(image.get(), channel);
  if (plane == nullptr || w <= 0 || h <= 0 || out->bits < 1 || out->bits > 16 ||
      stride < w * out->channels * out->sample_bytes()) {
    *why = "it decoded to no usable plane";
    return false;
  }
  Orientation o(w, h);
  bool from_master = false;
  if (!aux_orientation(src, master, id, w, h, &o, &from_master)) {
    *why = kTooManyTransformations;
    return false;
  }
  if (!o.valid()) {
    *why = "its clean aperture leaves nothing";
    return false;
  }
  const PixelSize size{out->sample_bytes(), out->channels};
  out->width = o.out_width();
  out->height = o.out_height();
  const size_t row = static_cast<size_t>(out->width) * size.bytes();
  out->samples.resize(row * out->height);
  remap_pixels(o, size, plane, static_cast<size_t>(stride), out->samples.data(), row);
  return true;
}

// A libheif image of the upright samples at `bits` (the samples' own, or 8
// with deeper samples rounded down to it).
bool make_image(const Upright& u, int bits, ImageHolder* image) {
  const bool grey = u.channels == 1;
  const heif_colorspace cs = grey ? heif_colorspace_monochrome : heif_colorspace_RGB;
  const heif_chroma chroma = grey       ? heif_chroma_monochrome
                             : bits > 8 ? heif_chroma_interleaved_RRGGBB_LE
                                        : heif_chroma_interleaved_RGB;
  const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
  if (heif_image_create(u.width, u.height, cs, chroma, image->out()).code != heif_error_Ok || !*image ||
      heif_image_add_plane(image->get(), channel, u.width, u.height, bits).code != heif_error_Ok) {
    return false;
  }
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image->get(), channel, &stride);
  const size_t samples = static_cast<size_t>(u.width) * u.channels;
  const size_t out_row = samples * (bits > 8 ? 2 : 1);
  if (plane == nullptr || stride < 0 || static_cast<size_t>(stride) < out_row) return false;
  const size_t in_row = samples * u.sample_bytes();
  const int shift = u.bits - bits;
  for (int y = 0; y < u.height; ++y) {
    const uint8_t* s = u.samples.data() + in_row * y;
    uint8_t* d = plane + static_cast<size_t>(stride) * y;
    if (shift == 0) {
      std::memcpy(d, s, out_row);
      continue;
    }
    for (size_t i = 0; i < samples; ++i) {  // deep to 8 bits, rounded
      uint16_t v;
      std::memcpy(&v, s + 2 * i, 2);
      const unsigned r = (unsigned(v) + (1u << (shift - 1))) >> shift;
      d[i] = static_cast<uint8_t>(r > 255 ? 255 : r);
    }
  }
  return true;
}

void copy_colour_profiles(heif_image_handle* aux, heif_image* image) {
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(aux, &nclx).code == heif_error_Ok && nclx != nullptr) {
    heif_image_set_nclx_color_profile(image, nclx);
  }
  heif_nclx_color_profile_free(nclx);
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(aux);
  const size_t size = heif_image_handle_get_raw_color_profile_size(aux);
  if ((type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) && size > 0) {
    std::vector<uint8_t> icc(size);
    if (heif_image_handle_get_raw_color_profile(aux, icc.data()).code == heif_error_Ok) {
      heif_image_set_raw_color_profile(image, type == heif_color_profile_type_prof ? "prof" : "rICC", icc.data(),
                                       icc.size());
    }
  }
}

void copy_xmp(heif_image_handle* from, heif_context* ctx, heif_image_handle* to) {
  for (const std::string& xmp : item_xmp_packets(from)) {
    heif_context_add_XMP_metadata(ctx, to, xmp.data(), static_cast<int>(xmp.size()));
  }
}

// libheif 1.19.7 answers for the master's depth image whatever ID it is
// given, and dereferences a null image when the master has none.
bool has_depth_information(heif_image_handle* master, heif_item_id id) {
  heif_item_id depth = 0;
  if (!heif_image_handle_has_depth_image(master) ||
      heif_image_handle_get_list_of_depth_image_IDs(master, &depth, 1) != 1 || depth != id) {
    return false;
  }
  const heif_depth_representation_info* info = nullptr;
  const bool has = heif_image_handle_get_depth_image_representation_info(master, id, &info) != 0 && info != nullptr;
  if (info != nullptr) heif_depth_representation_info_free(info);
  return has;
}

// The bytes of an auxC box's payload: version and flags 0, the URN and its
// zero, the subtype bytes.
std::vector<uint8_t> auxc_payload(const AuxCopy::Source& s) {
  std::vector<uint8_t> b(4, 0);
  b.insert(b.end(), s.type.begin(), s.type.end());
  b.push_back(0);
  b.insert(b.end(), s.subtype.begin(), s.subtype.end());
  return b;
}

// The subtype bytes of the source's auxC box of s.id, when its URN is the
// one libheif reported.
void read_subtype(const MetaIndex& index, const uint8_t* file, AuxCopy::Source* s) {
  for (const MetaAssociation& a : index.associations) {
    size_t length = 0;
    const MetaProperty& p = index.properties[a.property - 1];
    const char* urn = a.item == s->id ? auxiliary_type(file, p, &length) : nullptr;
    if (urn == nullptr || s->type.compare(0, std::string::npos, urn, length) != 0) continue;
    const uint8_t* from = file + p.payload_at + 4 + length + 1;
    s->subtype.assign(from, file + p.payload_at + p.payload_size);
    s->subtype_known = true;
    return;
  }
}

}  // namespace

bool is_gain_map_type(const std::string& urn) { return urn.find("hdrgainmap") != std::string::npos; }

bool AuxCopy::copy_one(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder, const Source& s) {
  const std::string name = aux_kind(s.type) + " image";
  HandleHolder aux;
  const heif_error got = heif_image_handle_get_auxiliary_image_handle(primary_, s.id, aux.out());
  std::string why = "it could not be opened";
  Upright u;
  if (got.code != heif_error_Ok || !aux) {
    note_ += name + " not kept: " + why + ". ";
    return false;
  }
  heif_colorspace cs = heif_colorspace_undefined;
  heif_chroma chroma = heif_chroma_undefined;
  heif_image_handle_get_preferred_decoding_colorspace(aux.get(), &cs, &chroma);
  const bool grey = cs == heif_colorspace_monochrome || one_plane_kind(s.type);
  if (!decode_turned(source_, primary_, s.id, aux.get(), grey, &u, &why)) {
    note_ += name + " not kept: " + why + ". ";
    return false;
  }
  // The samples' own depth where the encoder takes it, else 8 bits.
  HandleHolder written;
  heif_error err{heif_error_Usage_error, heif_suberror_Unspecified, "no image"};
  for (const int bits : {u.bits, 8}) {
    ImageHolder image;
    if (!make_image(u, bits, &image)) continue;
    copy_colour_profiles(aux.get(), image.get());
    err = heif_context_encode_image(ctx, image.get(), encoder, nullptr, written.out());
    if (err.code == heif_error_Ok && written) {
      if (bits != u.bits) note_ += name + " kept at 8 bits (the encoder takes no deeper samples). ";
      break;
    }
    if (bits == 8) break;
  }
  if (err.code != heif_error_Ok || !written) {
    note_ += name + " not kept: it could not be encoded (" + heif_error_text(err) + "). ";
    return false;
  }
  const heif_item_id item = heif_image_handle_get_item_id(written.get());
  const std::vector<uint8_t> auxc = auxc_payload(s);
  heif_context_add_item_reference(ctx, fourcc("auxl"), item, heif_image_handle_get_item_id(primary));
  // Essential, as libheif writes it for alpha and Apple for every type.
  heif_item_add_raw_property(ctx, item, fourcc("auxC"), nullptr, auxc.data(), auxc.size(), 1, nullptr);
  copy_xmp(aux.get(), ctx, written.get());
  written_.push_back(item);
  if (!s.subtype_known && has_depth_information(primary_, s.id)) {
    note_ += name + ": its depth representation information could not be read and is not kept. ";
  }
  return true;
}

bool AuxCopy::add(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder) {
  written_.clear();
  note_.clear();
  for (const Source& s : sources_) copy_one(ctx, primary, encoder, s);
  if (!note_.empty() && note_.back() == ' ') note_.pop_back();
  return true;
}

std::unique_ptr<AuxCopy> aux_copy_addition(heif_context* source, heif_image_handle* source_primary, const uint8_t* file,
                                           size_t file_size, bool keep_apple_gain_map) {
  MetaIndex index;
  const bool indexed = file != nullptr && read_meta_index(file, file_size, &index);
  std::vector<AuxCopy::Source> sources;
  for (const heif_item_id id : auxiliary_ids(source_primary, false)) {
    HandleHolder aux;
    if (heif_image_handle_get_auxiliary_image_handle(source_primary, id, aux.out()).code != heif_error_Ok) continue;
    AuxCopy::Source s;
    s.id = id;
    s.type = auxiliary_type(aux.get());
    if (s.type.empty() || aux_kind(s.type) == "alpha") continue;
    if (is_gain_map_type(s.type) && !(keep_apple_gain_map && s.type == kAppleGainMapType)) continue;
    if (indexed) read_subtype(index, file, &s);
    sources.push_back(std::move(s));
  }
  if (sources.empty()) return nullptr;
  return std::unique_ptr<AuxCopy>(new AuxCopy(source, source_primary, std::move(sources)));
}
