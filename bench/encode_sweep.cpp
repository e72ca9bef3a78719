// Bytes, PSNR against the source's own decoded pixels, and time of the
// faithful encoder over qualities and efforts: the measurements behind
// the default quality table and effort settings.
// Usage: encode-sweep OUT_DIR SOURCE... (env QUALITIES="50 60 70", EFFORTS="fast default best", AV1=1)
//        encode-sweep --psnr SOURCE HEIF   (PSNR of any encoder's output)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "formats/metadata.h"
#include "heif/encode_settings.h"
#include "internal.h"
#include "lumetra.h"

namespace {

std::vector<std::string> words(const char* env, const char* fallback) {
  std::istringstream in(std::getenv(env) != nullptr ? std::getenv(env) : fallback);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

double psnr(const unsigned char* a, const unsigned char* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) se += double(a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * double(n) / se);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (std::string(argv[1]) == "--psnr" && argc == 4) {
    SourceImage src;
    unsigned char* px = nullptr;
    int w = 0, h = 0, ch = 0;
    if (!load_source_image(argv[2], &src) || src.bytes_per_pixel != 3 ||
        !decode_heic_pixels(argv[3], &px, &w, &h, &ch) || w != src.width || h != src.height || ch != 3) {
      return 1;
    }
    std::printf("%.2f\n", psnr(px, src.pixels, size_t(w) * h * 3));
    std::free(px);
    return 0;
  }
  const bool av1 = std::getenv("AV1") != nullptr;
  const std::string dir = argv[1];
  std::printf("%-40s %5s %4s %8s %10s %7s %6s\n", "source", "jpegq", "q", "effort", "bytes", "psnr", "sec");
  for (int i = 2; i < argc; ++i) {
    const PictureMetadata md = read_raster_metadata(argv[i]);
    SourceImage src;
    if (!load_source_image(argv[i], &src)) continue;
    const size_t n = size_t(src.width) * src.height * 3;
    if (src.bytes_per_pixel != 3) continue;  // alpha sources: not measured here
    for (const std::string& effort : words("EFFORTS", "default")) {
      for (const std::string& q : words("QUALITIES", "0")) {
        const std::string out = dir + "/sweep" + (av1 ? ".avif" : ".heic");
        const int flags = effort == "fast" ? LUMETRA_EFFORT_FAST : effort == "best" ? LUMETRA_EFFORT_BEST : 0;
        const auto start = std::chrono::steady_clock::now();
        if (!convert_file(argv[i], out.c_str(), std::atoi(q.c_str()), flags, true)) {
          std::printf("%s: %s\n", argv[i], lumetra_last_error());
          continue;
        }
        const double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        unsigned char* px = nullptr;
        int w = 0, h = 0, ch = 0;
        if (!decode_heic_pixels(out.c_str(), &px, &w, &h, &ch) || size_t(w) * h * ch != n) return 1;
        FILE* f = std::fopen(out.c_str(), "rb");
        std::fseek(f, 0, SEEK_END);
        const long bytes = std::ftell(f);
        std::fclose(f);
        const std::string name = std::string(argv[i]).substr(std::string(argv[i]).find_last_of('/') + 1);
        std::printf("%-40.40s %5d %4s %8s %10ld %7.2f %6.2f\n", name.c_str(), md.jpeg_quality, q.c_str(),
                    effort.c_str(), bytes, psnr(px, src.pixels, n), sec);
        std::fflush(stdout);
        std::free(px);
      }
    }
  }
  return 0;
}
