#include "formats/stb_writer.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/output_file.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

int str_ends_with_nocase(const char* text, const char* suffix) {
  const size_t text_len = std::strlen(text);
  const size_t suffix_len = std::strlen(suffix);
  if (text_len < suffix_len) return 0;
  if (suffix_len == 0) return 1;
  const char* tail = text + (text_len - suffix_len);
  for (size_t i = 0; i < suffix_len; ++i) {
    if (std::tolower(static_cast<unsigned char>(tail[i])) != std::tolower(static_cast<unsigned char>(suffix[i]))) {
      return 0;
    }
  }
  return 1;
}

const char* output_extension(const char* path) {
  const char* dot = std::strrchr(path, '.');
  return (dot == nullptr || dot == path) ? "" : dot;
}

OutputFormat output_format_for(const char* path) {
  const char* ext = output_extension(path);
  if (str_ends_with_nocase(ext, ".jpg") || str_ends_with_nocase(ext, ".jpeg")) return OutputFormat::Jpeg;
  if (str_ends_with_nocase(ext, ".png")) return OutputFormat::Png;
  if (str_ends_with_nocase(ext, ".bmp")) return OutputFormat::Bmp;
  return OutputFormat::Png;
}

namespace {

// stb's file writers ignore failed writes and a failed close (a full disk
// reads as success), so the encoded bytes go through this checked sink.
struct CheckedFile {
  FILE* f;
  bool failed;
};

void write_checked(void* context, void* data, int size) {
  auto* out = static_cast<CheckedFile*>(context);
  if (!out->failed && size > 0 &&
      std::fwrite(data, 1, static_cast<size_t>(size), out->f) != static_cast<size_t>(size)) {
    out->failed = true;
  }
}

}  // namespace

// The writers' own encoders with their defaults, writing to `path`; 0 on
// any failure, and then the file that was at `path` is untouched.
int write_raster(OutputFormat format, const char* path, int w, int h, int ch, const unsigned char* px, int quality) {
  OutputFile file(path);
  CheckedFile out{file.open(), false};
  if (out.f == nullptr) return 0;
  int encoded = 0;
  switch (format) {
    case OutputFormat::Jpeg: encoded = stbi_write_jpg_to_func(write_checked, &out, w, h, ch, px, quality); break;
    case OutputFormat::Bmp: encoded = stbi_write_bmp_to_func(write_checked, &out, w, h, ch, px); break;
    case OutputFormat::Png: encoded = stbi_write_png_to_func(write_checked, &out, w, h, ch, px, w * ch); break;
  }
  if (encoded == 0 || out.failed) return 0;
  return file.commit() ? 1 : 0;
}
