#include "reports/detail.h"

#include <cstring>
#include <vector>

#include <libheif/heif_properties.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "hdr/gain_map.h"
#include "heif/aux_images.h"
#include "heif/format_name.h"
#include "heif/item_metadata.h"
#include "heif/motion_photo.h"
#include "heif/open_file.h"
#include "heif/primary_image.h"
#include "reports/icc_description.h"
#include "reports/json_text.h"

namespace {

std::string fourcc_text(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(code >> (24 - 8 * i));
  return s;
}

void brands(const unsigned char* bytes, size_t size, JsonText* j) {
  const int len = size > 4096 ? 4096 : static_cast<int>(size);
  j->begin_object("brands");
  const heif_brand2 major = heif_read_main_brand(bytes, len);
  if (major != 0)
    j->string("major", fourcc_text(major));
  else
    j->null("major");
  heif_brand2* list = nullptr;
  int count = 0;
  j->begin_array("compatible");
  if (heif_list_compatible_brands(bytes, len, &list, &count).code == heif_error_Ok && list != nullptr) {
    for (int i = 0; i < count; ++i) j->string(nullptr, fourcc_text(list[i]));
  }
  if (list != nullptr) heif_free_list_of_compatible_brands(list);
  j->end_array().end_object();
}

const char* chroma_name(heif_colorspace cs, heif_chroma chroma) {
  if (cs == heif_colorspace_monochrome || chroma == heif_chroma_monochrome) return "monochrome";
  switch (chroma) {
    case heif_chroma_420: return "4:2:0";
    case heif_chroma_422: return "4:2:2";
    case heif_chroma_444: return "4:4:4";
    default: return cs == heif_colorspace_RGB ? "rgb" : "unknown";
  }
}

void transformations(heif_context* ctx, heif_image_handle* image, JsonText* j) {
  const heif_item_id item = heif_image_handle_get_item_id(image);
  heif_property_id props[16];
  int count = heif_item_get_transformation_properties(ctx, item, props, 16);
  if (count > 16) count = 16;
  int w = heif_image_handle_get_ispe_width(image), h = heif_image_handle_get_ispe_height(image);
  j->begin_array("transformations");
  for (int i = 0; i < count; ++i) {
    switch (heif_item_get_property_type(ctx, item, props[i])) {
      case heif_item_property_type_transform_rotation: {
        const int ccw = heif_item_get_property_transform_rotation_ccw(ctx, item, props[i]);
        j->begin_object().string("type", "irot").integer("angle_ccw", ccw).end_object();
        if (ccw == 90 || ccw == 270) std::swap(w, h);
        break;
      }
      case heif_item_property_type_transform_mirror: {
        const heif_transform_mirror_direction dir = heif_item_get_property_transform_mirror(ctx, item, props[i]);
        j->begin_object().string("type", "imir");
        if (dir == heif_transform_mirror_direction_vertical)
          j->string("axis", "vertical");
        else if (dir == heif_transform_mirror_direction_horizontal)
          j->string("axis", "horizontal");
        else
          j->null("axis");
        j->end_object();
        break;
      }
      case heif_item_property_type_transform_crop: {
        int left = 0, top = 0, right = 0, bottom = 0;
        heif_item_get_property_transform_crop_borders(ctx, item, props[i], w, h, &left, &top, &right, &bottom);
        j->begin_object().string("type", "clap").integer("left", left).integer("top", top);
        j->integer("right", right).integer("bottom", bottom).end_object();
        w -= left + right;
        h -= top + bottom;
        break;
      }
      default: break;
    }
  }
  j->end_array();
}

void color_profile(heif_image_handle* image, JsonText* j) {
  j->begin_object("color_profile");
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(image, &nclx).code == heif_error_Ok && nclx != nullptr) {
    j->begin_object("nclx")
        .integer("color_primaries", nclx->color_primaries)
        .integer("transfer_characteristics", nclx->transfer_characteristics)
        .integer("matrix_coefficients", nclx->matrix_coefficients)
        .boolean("full_range", nclx->full_range_flag != 0)
        .end_object();
    heif_nclx_color_profile_free(nclx);
  } else {
    j->null("nclx");
  }
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(image);
  if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
    std::vector<uint8_t> icc(heif_image_handle_get_raw_color_profile_size(image));
    const bool read = !icc.empty() && heif_image_handle_get_raw_color_profile(image, icc.data()).code == heif_error_Ok;
    j->begin_object("icc").string("type", fourcc_text(type)).integer("size", static_cast<int64_t>(icc.size()));
    const std::string description = read ? icc_description(icc.data(), icc.size()) : std::string();
    if (description.empty())
      j->null("description");
    else
      j->string("description", description);
    j->end_object();
  } else {
    j->null("icc");
  }
  j->end_object();
}

void thumbnails(heif_image_handle* image, JsonText* j) {
  const int n = heif_image_handle_get_number_of_thumbnails(image);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) ids.resize(static_cast<size_t>(heif_image_handle_get_list_of_thumbnail_IDs(image, ids.data(), n)));
  j->begin_array("thumbnails");
  for (const heif_item_id id : ids) {
    HandleHolder thumb;
    if (heif_image_handle_get_thumbnail(image, id, thumb.out()).code != heif_error_Ok || !thumb) continue;
    j->begin_object().integer("item_id", id);
    j->integer("width", heif_image_handle_get_width(thumb.get()))
        .integer("height", heif_image_handle_get_height(thumb.get()));
    j->end_object();
  }
  j->end_array();
}

void auxiliaries(heif_image_handle* image, JsonText* j) {
  j->begin_array("auxiliary");
  for (const heif_item_id id : auxiliary_ids(image, true)) {
    HandleHolder aux;
    if (heif_image_handle_get_auxiliary_image_handle(image, id, aux.out()).code != heif_error_Ok || !aux) continue;
    const std::string urn = auxiliary_type(aux.get());
    j->begin_object().integer("item_id", id).string("type", urn).string("kind", aux_kind(urn));
    j->integer("width", heif_image_handle_get_width(aux.get()))
        .integer("height", heif_image_handle_get_height(aux.get()));
    j->integer("bit_depth", heif_image_handle_get_luma_bits_per_pixel(aux.get())).end_object();
  }
  j->end_array();
}

void gain_map(heif_context* ctx, heif_image_handle* image, JsonText* j) {
  const GainMapFacts facts = describe_gain_map(ctx, image);
  const char* kind = gain_map_kind_name(facts.kind);
  if (kind == nullptr) {
    j->null("gain_map");
    return;
  }
  j->begin_object("gain_map").string("kind", kind).integer("item_id", facts.item);
  if (facts.unusable.empty()) {
    j->number("headroom", facts.headroom).boolean("base_is_hdr", facts.base_is_hdr).boolean("usable", true);
  } else {
    j->null("headroom").boolean("usable", false).string("unusable", facts.unusable);
  }
  j->end_object();
}

void metadata(heif_image_handle* image, JsonText* j) {
  const int n = heif_image_handle_get_number_of_metadata_blocks(image, nullptr);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0)
    ids.resize(static_cast<size_t>(heif_image_handle_get_list_of_metadata_block_IDs(image, nullptr, ids.data(), n)));
  j->begin_array("metadata");
  for (const heif_item_id id : ids) {
    const char* type = heif_image_handle_get_metadata_type(image, id);
    const char* content = heif_image_handle_get_metadata_content_type(image, id);
    j->begin_object().integer("item_id", id).string("type", type != nullptr ? type : "");
    j->string("content_type", content != nullptr ? content : "");
    if (type != nullptr && std::strcmp(type, "uri ") == 0) {
      const char* uri = heif_image_handle_get_metadata_item_uri_type(image, id);
      j->string("uri", uri != nullptr ? uri : "");
    }
    j->integer("size", static_cast<int64_t>(heif_image_handle_get_metadata_size(image, id))).end_object();
  }
  j->end_array();
}

void image_facts(heif_context* ctx, heif_image_handle* image, bool primary, JsonText* j) {
  j->begin_object().integer("item_id", heif_image_handle_get_item_id(image)).boolean("primary", primary);
  j->integer("width", heif_image_handle_get_width(image)).integer("height", heif_image_handle_get_height(image));
  j->integer("bit_depth", heif_image_handle_get_luma_bits_per_pixel(image));
  j->integer("chroma_bit_depth", heif_image_handle_get_chroma_bits_per_pixel(image));
  heif_colorspace cs = heif_colorspace_undefined;
  heif_chroma chroma = heif_chroma_undefined;
  heif_image_handle_get_preferred_decoding_colorspace(image, &cs, &chroma);
  j->string("chroma", chroma_name(cs, chroma));
  const bool alpha = heif_image_handle_has_alpha_channel(image) != 0;
  j->boolean("alpha", alpha).boolean("premultiplied_alpha", alpha && heif_image_handle_is_premultiplied_alpha(image));
  transformations(ctx, image, j);
  color_profile(image, j);
  thumbnails(image, j);
  auxiliaries(image, j);
  gain_map(ctx, image, j);
  metadata(image, j);
  j->end_object();
}

// "Failed reading AVIF file for info: <reason>", by the file's format.
const OpenTexts& detail_open_texts(const char* path) {
  static const OpenTexts kHeic = {"Failed allocating heif context",
                                  {"Failed reading HEIC file for info", FailureTail::Reason},
                                  {"Failed getting primary image handle", FailureTail::None}};
  static const OpenTexts kAvif = {"Failed allocating heif context",
                                  {"Failed reading AVIF file for info", FailureTail::Reason},
                                  {"Failed getting primary image handle", FailureTail::None}};
  static const OpenTexts kHeif = {"Failed allocating heif context",
                                  {"Failed reading HEIF file for info", FailureTail::Reason},
                                  {"Failed getting primary image handle", FailureTail::None}};
  const std::string name = file_format_name(path);
  return name == "HEIC" ? kHeic : name == "AVIF" ? kAvif : kHeif;
}
// The primary image's motion-photo video, or null.
void motion_photo(heif_context* ctx, const unsigned char* bytes, size_t size, JsonText* j) {
  HandleHolder primary;
  MotionPhotoVideo video;
  if (heif_context_get_primary_image_handle(ctx, primary.out()).code != heif_error_Ok || !primary ||
      !find_motion_photo(bytes, size, item_xmp_packets(primary.get()), &video)) {
    j->null("motion_photo");
    return;
  }
  j->begin_object("motion_photo")
      .integer("offset", static_cast<int64_t>(video.offset))
      .integer("length", static_cast<int64_t>(video.length))
      .string("mime", video.mime)
      .integer("presentation_timestamp_us", video.presentation_timestamp_us)
      .end_object();
}

const OpenTexts kDetailOpenTexts = {"Failed allocating heif context",
                                    {"Failed reading HEIC file for info", FailureTail::Reason},
                                    {"Failed getting primary image handle", FailureTail::None}};

const char* detail_call(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    set_error("Invalid null file path for lumetra_info_detail");
    return nullptr;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  if (!open_heif_file(path, &file, &ctx, detail_open_texts(path))) return nullptr;
  const std::string json = detail_json(ctx.get(), file.data.get(), file.size);
  if (json.size() >= kDetailReportSize) {
    set_error_fmt("The detailed report takes %zu bytes, more than its %zu-byte buffer", json.size(),
                  kDetailReportSize - 1);
    return nullptr;
  }
  std::memcpy(detail_report_buffer(), json.c_str(), json.size() + 1);
  ctx.reset();
  clear_error();
  return detail_report_buffer();
}

}  // namespace

std::string detail_json(heif_context* ctx, const unsigned char* bytes, size_t size) {
  JsonText j;
  j.begin_object().integer("schema", kDetailSchema);
  brands(bytes, size, &j);
  const SalvageNote salvage = last_salvage();
  j.begin_object("salvage")
      .boolean("needed", salvage.hidden_images > 0)
      .integer("hidden_images", salvage.hidden_images);
  if (salvage.hidden_images > 0 && salvage.reason != nullptr)
    j.string("reason", salvage.reason);
  else
    j.null("reason");
  j.end_object();
  heif_item_id primary = 0;
  heif_context_get_primary_image_ID(ctx, &primary);
  const int n = heif_context_get_number_of_top_level_images(ctx);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) ids.resize(static_cast<size_t>(heif_context_get_list_of_top_level_image_IDs(ctx, ids.data(), n)));
  j.begin_array("images");
  for (const heif_item_id id : ids) {
    HandleHolder image;
    if (heif_context_get_image_handle(ctx, id, image.out()).code != heif_error_Ok || !image) continue;
    image_facts(ctx, image.get(), id == primary, &j);
  }
  j.end_array();
  motion_photo(ctx, bytes, size, &j);
  j.end_object();
  return j.text();
}

const char* info_detail_report(const char* path) {
  return without_exceptions("lumetra_info_detail", static_cast<const char*>(nullptr),
                            [&] { return detail_call(path); });
}
