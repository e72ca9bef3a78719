#include "calls/convert_images.h"

#include <strings.h>
#include <map>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "calls/convert.h"
#include "formats/png_writer.h"
#include "formats/stb_writer.h"
#include "hdr/ultrahdr_jpeg.h"
#include "heif/aux_images.h"
#include "heif/format_name.h"
#include "heif/motion_photo.h"
#include "heif/open_file.h"
#include "heif/primary_image.h"
#include "lumetra.h"

namespace {

const int kSelectionFlags = LUMETRA_ALL_IMAGES | LUMETRA_WITH_AUX;

std::vector<heif_item_id> top_level_ids(heif_context* ctx) {
  const int n = heif_context_get_number_of_top_level_images(ctx);
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) ids.resize(static_cast<size_t>(heif_context_get_list_of_top_level_image_IDs(ctx, ids.data(), n)));
  return ids;
}

bool top_level_handle(heif_context* ctx, int index, HandleHolder* out) {
  const std::vector<heif_item_id> ids = top_level_ids(ctx);
  if (index < 0 || static_cast<size_t>(index) >= ids.size()) {
    set_error_fmt("No top-level image %d (the file has %zu)", index, ids.size());
    return false;
  }
  const heif_error err = heif_context_get_image_handle(ctx, ids[static_cast<size_t>(index)], out->out());
  if (err.code != heif_error_Ok || !*out) {
    set_error_fmt("Failed to get image handle: %s", heif_error_text(err));
    return false;
  }
  return true;
}

bool is_png_name(const char* out) { return strcasecmp(output_extension(out), ".png") == 0; }

bool is_raster_name(const char* out) {
  const char* ext = output_extension(out);
  return is_png_name(out) || strcasecmp(ext, ".jpg") == 0 || strcasecmp(ext, ".jpeg") == 0 ||
         strcasecmp(ext, ".bmp") == 0;
}

bool is_heif_name(const char* out) {
  const char* ext = output_extension(out);
  return strcasecmp(ext, ".heic") == 0 || strcasecmp(ext, ".heif") == 0 || strcasecmp(ext, ".hif") == 0 ||
         strcasecmp(ext, ".avif") == 0;
}

int selected_call(const char* in, int selector, const char* out, int quality, int flags) {
  clear_hdr_note();
  clear_icc_note();
  if (in == nullptr || out == nullptr || selector < 0) {
    set_error("Invalid arguments to lumetra_convert_image");
    return 0;
  }
  if ((flags & kSelectionFlags) != 0) {
    set_error(
        "lumetra_convert_image writes one image: LUMETRA_ALL_IMAGES and LUMETRA_WITH_AUX belong to lumetra_convert");
    return 0;
  }
  const int index = selector & 0xFFFF;
  const int aux = (selector >> 16) - 1;
  if (aux >= 0 && !is_png_name(out)) {
    set_error("An auxiliary image is written as PNG: use a .png output name");
    return 0;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder primary, image;
  if (!open_primary_image(in, &file, &ctx, &primary, named_open_texts(in))) return 0;
  if (!top_level_handle(ctx.get(), index, &image)) return 0;
  bool ok;
  if (aux < 0) {
    ok = convert_heif_image(ctx.get(), image.get(), &file, out, quality, flags);
  } else {
    const std::vector<heif_item_id> ids = auxiliary_ids(image.get(), false);
    if (static_cast<size_t>(aux) >= ids.size()) {
      set_error_fmt("Image %d has no auxiliary image %d (it has %zu)", index, aux, ids.size());
      return 0;
    }
    ok = write_aux_png(ctx.get(), image.get(), ids[static_cast<size_t>(aux)], out);
  }
  if (!ok) return 0;
  clear_error();
  return 1;
}

// Remembers the first failure's message while the others are tried.
struct FirstFailure {
  std::string message;
  void note(const std::string& name) {
    if (message.empty()) message = name + ": " + last_error_text();
  }
};

void write_auxiliaries(heif_context* ctx, heif_image_handle* image, const std::string& stem, FirstFailure* failure) {
  std::map<std::string, int> seen;
  for (const heif_item_id id : auxiliary_ids(image, false)) {
    HandleHolder aux;
    std::string kind = "aux";
    if (heif_image_handle_get_auxiliary_image_handle(image, id, aux.out()).code == heif_error_Ok && aux) {
      kind = aux_kind(auxiliary_type(aux.get()));
    }
    aux.reset();
    const int n = ++seen[kind];
    const std::string name = stem + "-" + kind + (n > 1 ? "-" + std::to_string(n) : "") + ".png";
    if (!write_aux_png(ctx, image, id, name.c_str())) failure->note(name);
  }
}

// The primary's motion-photo video beside its picture as stem + "-video.mp4",
// byte for byte; nothing when the file holds none.
void write_video(const HeifFileBytes& file, heif_image_handle* primary, const std::string& stem,
                 FirstFailure* failure) {
  MotionPhotoVideo video;
  if (!motion_photo_of(file, primary, &video)) return;
  const std::string name = stem + "-video.mp4";
  if (!write_motion_photo_video(file, video, name.c_str())) failure->note(name);
}

int every_call(const char* in, const char* out, int quality, int flags) {
  clear_hdr_note();
  clear_icc_note();
  if (in == nullptr || out == nullptr) {
    set_error("Invalid arguments to lumetra_convert");
    return 0;
  }
  const std::string target = out;
  const std::string ext = output_extension(out);
  const std::string stem = target.substr(0, target.size() - ext.size());
  const int image_flags = flags & ~kSelectionFlags;
  if (!known_convert_flags(flags)) return 0;
  // A HEIF or AVIF output holds every picture itself.
  if (is_heif_name(out)) return convert_file(in, out, quality, flags, true);
  if (!is_raster_name(out)) {
    set_error_fmt("Unsupported output extension '%s' for every image of a file (use .jpg, .jpeg, .png or .bmp)",
                  ext.c_str());
    return 0;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder primary;
  if (!open_primary_image(in, &file, &ctx, &primary, named_open_texts(in))) return 0;
  FirstFailure failure;
  if (flags & LUMETRA_ALL_IMAGES) {
    const std::vector<heif_item_id> ids = top_level_ids(ctx.get());
    for (size_t i = 0; i < ids.size(); ++i) {
      const std::string image_stem = stem + "-" + std::to_string(i + 1);
      const std::string name = image_stem + ext;
      HandleHolder image;
      const heif_error err = heif_context_get_image_handle(ctx.get(), ids[i], image.out());
      if (err.code != heif_error_Ok || !image) {
        set_error_fmt("Failed to get image handle: %s", heif_error_text(err));
        failure.note(name);
        continue;
      }
      if (!convert_heif_image(ctx.get(), image.get(), &file, name.c_str(), quality, image_flags)) {
        failure.note(name);
        continue;
      }
      if (!(flags & LUMETRA_WITH_AUX)) continue;
      write_auxiliaries(ctx.get(), image.get(), image_stem, &failure);
      if (ids[i] == heif_image_handle_get_item_id(primary.get()))
        write_video(file, primary.get(), image_stem, &failure);
    }
  } else if (!convert_heif_image(ctx.get(), primary.get(), &file, out, quality, image_flags)) {
    return 0;
  } else {
    write_auxiliaries(ctx.get(), primary.get(), stem, &failure);
    write_video(file, primary.get(), stem, &failure);
  }
  if (!failure.message.empty()) {
    set_error(failure.message.c_str());
    return 0;
  }
  clear_error();
  return 1;
}

}  // namespace

int convert_selected_image(const char* in, int selector, const char* out, int quality, int flags) {
  return without_exceptions("lumetra_convert_image", 0,
                            [&] { return selected_call(in, selector, out, quality, flags); });
}

int convert_every_image(const char* in, const char* out, int quality, int flags) {
  return without_exceptions("lumetra_convert", 0, [&] { return every_call(in, out, quality, flags); });
}
