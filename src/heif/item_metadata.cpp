#include "heif/item_metadata.h"

#include <cstring>
#include <utility>
#include <vector>

#include "formats/xmp_gain_map.h"
#include "heif/transformations.h"
#include "lumetra.h"
#include "pixels/orientation.h"

PictureMetadata heif_item_metadata(heif_context* ctx, heif_image_handle* handle, int flags) {
  Orientation o(0, 0);
  const bool turned = !read_transformations(ctx, heif_image_handle_get_item_id(handle), 0, 0, &o) || o.turns();
  PictureMetadata md;
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if ((flags & LUMETRA_KEEP_ICC) && (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC)) {
    md.icc.resize(heif_image_handle_get_raw_color_profile_size(handle));
    if (md.icc.empty() || heif_image_handle_get_raw_color_profile(handle, md.icc.data()).code != heif_error_Ok) {
      md.icc.clear();
    }
  }
  auto block = [&](const char* kind, const char* content_type, ByteBlock* out) {
    const int n = heif_image_handle_get_number_of_metadata_blocks(handle, kind);
    if (n <= 0) return;
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, kind, ids.data(), n);
    for (const heif_item_id id : ids) {
      if (content_type != nullptr) {
        const char* ct = heif_image_handle_get_metadata_content_type(handle, id);
        if (ct == nullptr || std::strcmp(ct, content_type) != 0) continue;
      }
      out->resize(heif_image_handle_get_metadata_size(handle, id));
      if (!out->empty() && heif_image_handle_get_metadata(handle, id, out->data()).code == heif_error_Ok) return;
      out->clear();
    }
  };
  if (flags & LUMETRA_KEEP_EXIF) {
    block("Exif", nullptr, &md.exif);
    const long at = find_tiff_header(md.exif.data(), md.exif.size());
    if (at < 0)
      md.exif.clear();
    else
      md.exif.erase(md.exif.begin(), md.exif.begin() + at);
    if (turned) set_exif_orientation(&md.exif, 1);
  }
  if (flags & LUMETRA_KEEP_XMP) {
    block("mime", "application/rdf+xml", &md.xmp);
    if (!remove_gain_map_xmp(&md.xmp)) md.xmp.clear();
    if (turned) set_xmp_orientation(&md.xmp, 1);
  }
  return md;
}

std::vector<std::string> item_xmp_packets(heif_image_handle* handle) {
  std::vector<std::string> packets;
  const int n = heif_image_handle_get_number_of_metadata_blocks(handle, "mime");
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) heif_image_handle_get_list_of_metadata_block_IDs(handle, "mime", ids.data(), n);
  for (const heif_item_id id : ids) {
    const char* type = heif_image_handle_get_metadata_content_type(handle, id);
    if (type == nullptr || std::strcmp(type, "application/rdf+xml") != 0) continue;
    std::string xmp(heif_image_handle_get_metadata_size(handle, id), '\0');
    if (!xmp.empty() && heif_image_handle_get_metadata(handle, id, &xmp[0]).code == heif_error_Ok) {
      packets.push_back(std::move(xmp));
    }
  }
  return packets;
}
