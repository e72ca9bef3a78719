// The whole-file calls on arbitrary HEIF-like files, lumetra_convert's
// metadata carrying and both JPEG paths included, every image and every
// auxiliary image too.
#include <cstring>

#include "calls/fitted_thumbnail.h"
#include "fuzz_support.h"
#include "lumetra.h"

namespace {
bool decode_message(const char* msg) {
  return std::strncmp(msg, "Failed to read HEIC file '", 26) == 0 ||
         std::strncmp(msg, "Failed to get primary image handle: ", 36) == 0 ||
         std::strncmp(msg, "Failed to decode HEIC image: ", 29) == 0 ||
         std::strcmp(msg, "Failed to retrieve decoded image plane") == 0 ||
         std::strcmp(msg, "Out of memory allocating pixel buffer") == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = write_input("in.heic", data, size);

  const char* info = lumetra_info(in.c_str());
  FUZZ_CHECK((info != nullptr) == (lumetra_last_error()[0] == '\0'));
  if (info != nullptr) FUZZ_CHECK(keys_are(info, kInfoKeys));

  const char* exif = lumetra_exif(in.c_str());
  FUZZ_CHECK((exif != nullptr) == (lumetra_last_error()[0] == '\0'));
  if (exif != nullptr) {
    FUZZ_CHECK(std::strcmp(exif, "{\"ExifPresent\":false}") == 0 || keys_are(exif, kExifKeys));
  }

  const char* detail = lumetra_info_detail(in.c_str());
  FUZZ_CHECK((detail != nullptr) == (lumetra_last_error()[0] == '\0'));
  if (detail != nullptr) FUZZ_CHECK(std::strncmp(detail, "{\"schema\":1,\"brands\":{", 21) == 0);

  // Pixel work only for images of sane size, to keep the fuzzer fast.
  if (info == nullptr || std::strstr(info, "\"width\":") == nullptr) return 0;
  int w = 0, h = 0;
  std::sscanf(info, "{\"width\":%d,\"height\":%d", &w, &h);
  if (int64_t(w) * h > 1024 * 1024) return 0;

  const std::string thumb = fuzz_dir() + "/thumb.png";
  std::remove(thumb.c_str());
  const int t = lumetra_thumbnail(in.c_str(), thumb.c_str());
  FUZZ_CHECK((t == 1) == (lumetra_last_error()[0] == '\0'));
  FUZZ_CHECK((t == 1) == exists(thumb));

  const std::string png = fuzz_dir() + "/out.png";
  std::remove(png.c_str());
  const int c = lumetra_to_png(in.c_str(), png.c_str());
  FUZZ_CHECK((c == 1) == (lumetra_last_error()[0] == '\0'));
  if (c == 0) {
    FUZZ_CHECK(decode_message(lumetra_last_error()));
    FUZZ_CHECK(!exists(png));  // a failed decode leaves no output file
  }

  for (const char* name : {"/faithful.jpg", "/faithful.png"}) {
    const std::string out = fuzz_dir() + name;
    std::remove(out.c_str());
    const int f = lumetra_convert(in.c_str(), out.c_str(), 50, LUMETRA_KEEP_METADATA | LUMETRA_KEEP_DEPTH);
    FUZZ_CHECK((f == 1) == (lumetra_last_error()[0] == '\0'));
    FUZZ_CHECK((f == 1) == exists(out));
  }
  const std::string every = fuzz_dir() + "/every.png";
  const int e =
      lumetra_convert(in.c_str(), every.c_str(), 0, LUMETRA_KEEP_METADATA | LUMETRA_ALL_IMAGES | LUMETRA_WITH_AUX);
  FUZZ_CHECK((e == 1) == (lumetra_last_error()[0] == '\0'));
  const std::string aux = fuzz_dir() + "/aux.png";
  std::remove(aux.c_str());
  const int a = lumetra_convert_image(in.c_str(), LUMETRA_AUX(0, 0), aux.c_str(), 0, 0);
  FUZZ_CHECK((a == 1) == (lumetra_last_error()[0] == '\0'));
  FUZZ_CHECK((a == 1) == exists(aux));
  const std::string fit = fuzz_dir() + "/fit.png";
  std::remove(fit.c_str());
  const int t2 = thumbnail_fit(in.c_str(), fit.c_str(), 100);
  FUZZ_CHECK((t2 == 1) == (lumetra_last_error()[0] == '\0'));
  FUZZ_CHECK((t2 == 1) == exists(fit));
  return 0;
}
