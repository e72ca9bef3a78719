// The full set of calls repeated in one process: resident memory must not
// grow after the warm-up (a leak on any path would show here).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#ifdef _WIN32
#  include <windows.h>
// psapi.h needs windows.h first.
#  include <psapi.h>
#else
#  include <unistd.h>
#endif

#include "fixtures.h"
#include "lumetra.h"

namespace {

long resident_kib() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long>(counters.WorkingSetSize / 1024);
#else
  long pages_total = 0, pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  const int got = std::fscanf(f, "%ld %ld", &pages_total, &pages_resident);
  std::fclose(f);
  return got == 2 ? pages_resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
#endif
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#  else
constexpr bool kSanitized = false;
#  endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

TEST(RepeatedCalls, EveryCallManyTimes) {
  const char* env = std::getenv("LUMETRA_REPEAT");
  const int rounds = env != nullptr ? std::atoi(env) : 200;
  const int warmup = rounds >= 40 ? 20 : rounds / 2;

  HeifRecipe rich;
  rich.width = 48, rich.height = 32, rich.alpha = true;
  rich.thumb_width = 24, rich.thumb_height = 16;
  rich.exif = Bytes{0, 0, 0, 0, 0x4D, 0x4D, 0, 0x2A, 0, 0, 0, 8, 0, 0};
  const std::string heif = heif_fixture("rep.heic", rich);
  const std::string broken = scratch_path("rep-broken.heic");
  Bytes half = read_file(heif);
  half.resize(half.size() / 2);
  write_file(broken, half);
  const std::string png = scratch_path("rep-src.png"), jpg = scratch_path("rep-src.jpg");
  write_png(png, 40, 24, 2);
  write_jpeg(jpg, 40, 24);
  const std::string in_dir = scratch_path("rep-in"), out_dir = scratch_path("rep-out");
  std::filesystem::create_directories(in_dir);
  std::filesystem::create_directories(out_dir);
  std::filesystem::copy_file(heif, in_dir + "/a.heic", std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(broken, in_dir + "/b.heic", std::filesystem::copy_options::overwrite_existing);
  const std::string out = scratch_path("rep-out.img");

  // The decoding side, the reports and the batch walk.
  long after_warmup = 0;
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    failures += lumetra_is_heic(heif.c_str()) != 1;
    failures += lumetra_to_jpg(heif.c_str(), (out + ".jpg").c_str(), 80) != 1;
    failures += lumetra_to_png(heif.c_str(), (out + ".png").c_str()) != 1;
    failures += lumetra_to_bmp(heif.c_str(), (out + ".bmp").c_str()) != 1;
    failures += lumetra_to_image(broken.c_str(), (out + ".png").c_str()) != 0;
    failures += lumetra_thumbnail(heif.c_str(), (out + ".jpg").c_str()) != 1;
    failures += lumetra_thumbnail(broken.c_str(), (out + ".jpg").c_str()) != 0;
    failures += lumetra_info(heif.c_str()) == nullptr;
    failures += lumetra_info(broken.c_str()) != nullptr;
    failures += lumetra_exif(heif.c_str()) == nullptr;
    failures += lumetra_batch(in_dir.c_str(), out_dir.c_str(), i % 2, 80) != 1;
    lumetra_cleanup();
    if (i + 1 == warmup) after_warmup = resident_kib();
  }
  EXPECT_EQ(failures, 0);
  const long at_end = resident_kib();
  std::printf("decoding side: %ld KiB resident after %d warm-up rounds, %ld KiB after %d rounds\n", after_warmup,
              warmup, at_end, rounds);
  if (!kSanitized && rounds >= 100) EXPECT_LT(at_end - after_warmup, 1024) << "KiB grown after the warm-up";

  // The encoder. x265 3.5 itself keeps about 2.7 KiB per encoder it opens
  // (LeakSanitizer and valgrind trace every such block into
  // x265_encoder_open), so growth here is reported, and our own blocks are
  // left to the leak checkers.
  const long before_encoding = resident_kib();
  const int encodes = rounds / 2;
  for (int i = 0; i < encodes; ++i) {
    failures += lumetra_from_image(png.c_str(), (out + ".heic").c_str(), 20) != 1;
    failures += lumetra_from_image(jpg.c_str(), (out + ".heic").c_str(), 20) != 1;
    failures += lumetra_from_image(broken.c_str(), (out + ".heic").c_str(), 20) != 0;
    failures += lumetra_from_image(png.c_str(), "/nonexistent/x.heic", 20) != 0;
  }
  EXPECT_EQ(failures, 0);
  std::printf("encoder: %ld KiB grown over %d rounds of four calls (x265's own blocks)\n",
              resident_kib() - before_encoding, encodes);
}
