#include "reports/exif.h"

#include <cstdlib>
#include <cstring>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "heif/primary_image.h"
#include "reports/exif_parse.h"

namespace {

const OpenTexts kExifOpenTexts = {"Failed allocating heif context",
                                  {"Failed reading HEIC file for EXIF", FailureTail::None},
                                  {"Failed getting primary image handle", FailureTail::None}};

const char* exif_call(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    set_error("Invalid null file path for lumetra_exif");
    return nullptr;
  }
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(path, &file, &ctx, &handle, kExifOpenTexts)) return nullptr;
  bool parsed = false;
  if (heif_image_handle_get_number_of_metadata_blocks(handle.get(), "Exif") > 0) {
    heif_item_id id = 0;
    heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1);
    const size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    if (size > 4) {
      HeapBlock block(static_cast<unsigned char*>(std::malloc(size)));
      if (!block) {
        set_error("Out of memory allocating metadata buffer");
        return nullptr;
      }
      if (heif_image_handle_get_metadata(handle.get(), id, block.get()).code == heif_error_Ok) {
        parse_exif_to_json(block.get(), size, exif_report_buffer(), kExifReportSize);
        parsed = true;
      }
    }
  }
  if (!parsed) std::memcpy(exif_report_buffer(), "{\"ExifPresent\":false}", 22);
  handle.reset();
  ctx.reset();
  clear_error();
  return exif_report_buffer();
}

}  // namespace

const char* exif_report(const char* path) {
  return without_exceptions("lumetra_exif", static_cast<const char*>(nullptr), [&] { return exif_call(path); });
}
