// lumetra batch --max-memory: a decompression bomb fails alone, by the cap,
// while the files beside it convert and other failures keep their names.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <stb/stb_image.h>

#include "fixtures.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCapEnforced = false;  // the sanitizers' tool has no cap to set
#else
constexpr bool kCapEnforced = true;
#endif

struct BatchRun {
  std::string status, out, err;
};

std::string text_of(const std::string& path) {
  const Bytes b = read_file(path);
  return std::string(b.begin(), b.end());
}

// The tool's batch with the pretend decoder fault preloaded (*CRASH* files).
BatchRun batch(const std::string& in, const std::string& out, const std::string& size) {
  const std::string o = scratch_path("cap.out"), e = scratch_path("cap.err");
  const std::string status =
      capture("LD_PRELOAD=" LUMETRA_FAULT_SHIM
              " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0:handle_segv=0"
              " TSAN_OPTIONS=handle_segv=0 " LUMETRA_CLI " batch " +
              in + " " + out + " -j 2 --max-memory '" + size + "' >" + o + " 2>" + e + " </dev/null; echo $?");
  return BatchRun{status, text_of(o), text_of(e)};
}

// 19840 x 19840 pixels (590 MB of decoded planes) in a 45 kB file: 961 grid
// tiles that all point at one flat coded tile. A grid goes to JPEG one band
// of tiles at a time, so it converts in under 96 MiB (measured: fails at
// 64 MiB, converts at 96 MiB, with -j 2 on 2 cores); a cap below that
// still fails it alone.
void write_bomb(const std::string& path) {
  GridRecipe g;
  g.tile = 640;
  g.width = g.height = 31 * g.tile;
  g.distinct_tiles = false;
  g.pixel = [](int, int, int) { return uint8_t(128); };
  write_grid_heif(path, g);
}

}  // namespace

TEST(BatchAtScale, MemoryCapFailsTheBombAlone) {
  for (const char* size : {"12x", "-1", "1.5.2G", "G", "1e3", "5T", ".5G", ""}) {
    const BatchRun r = batch(scratch_path("cap_none"), scratch_path("cap_none_out"), size);
    EXPECT_EQ(r.status, "2\n") << size;
    EXPECT_EQ(r.err, std::string("lumetra: --max-memory: not a size: ") + size + "\nRun 'lumetra --help' for usage.\n")
        << size;
  }
  if (!kCapEnforced) GTEST_SKIP() << "a sanitizer build's tool sets no memory cap";

  const std::string in = scratch_path("cap_in");
  remove_tree(in);
  fs::create_directories(in);
  HeifRecipe photo;
  photo.width = 64, photo.height = 48;
  write_heif(in + "/a-photo.heic", photo);
  write_bomb(in + "/b-bomb.heic");
  Bytes broken = read_file(in + "/a-photo.heic");
  broken.resize(broken.size() * 2 / 3);
  write_file(in + "/c-broken.heic", broken);
  fs::copy_file(in + "/a-photo.heic", in + "/d-CRASH.heic");
  GridRecipe grid;  // 200 x 150 over 64-pixel tiles
  write_grid_heif(in + "/e-grid.heic", grid);
  ASSERT_LT(read_file(in + "/b-bomb.heic").size(), 64000u);

  // The broken file's own message, from the library without a cap.
  ASSERT_EQ(
      lumetra_convert((in + "/c-broken.heic").c_str(), scratch_path("broken.jpg").c_str(), 0, LUMETRA_KEEP_METADATA),
      0);
  std::string broken_message = lumetra_last_error();
  while (!broken_message.empty() && broken_message.back() == '\n') broken_message.pop_back();
  const std::string broken_line = in + "/c-broken.heic: " + broken_message + "\n";
  const std::string crash_line = in + "/d-CRASH.heic: crashed (signal 11)\n";
  const Raster photo_pixels = libheif_decode(in + "/a-photo.heic", false);

  const struct {
    const char* size;
    const char* bomb;  // its failure, or nullptr: it converts within the cap
  } rows[] = {
      {"48M", "out of memory (limit 48 MiB)"},
      {"0.046875G", "out of memory (limit 48 MiB)"},
      {"50331648", "out of memory (limit 48 MiB)"},
      {"512M", nullptr},  // streamed: the whole picture (590 MB) is never held
      {"1G", nullptr},    // the same file under a high cap: the cap, not the file, failed it
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    const std::string out = scratch_path("cap_out");
    remove_tree(out);
    const BatchRun r = batch(in, out, row.size);
    const int failed = row.bomb != nullptr ? 3 : 2;
    EXPECT_EQ(r.status, "1\n");
    EXPECT_EQ(r.out, "converted " + std::to_string(5 - failed) + ", skipped 0 (not HEIF), skipped 0 (exists), failed " +
                         std::to_string(failed) + "\n");
    const std::string bomb_line = row.bomb != nullptr ? in + "/b-bomb.heic: " + row.bomb + "\n" : "";
    EXPECT_EQ(r.err, bomb_line + broken_line + crash_line);

    const Raster a = stb_load(out + "/a-photo.jpg");
    EXPECT_EQ(a.width, 64);
    EXPECT_EQ(a.height, 48);
    EXPECT_GT(psnr(a, photo_pixels), 30.0);
    const Raster e = stb_load(out + "/e-grid.jpg");
    EXPECT_EQ(e.width, 200);
    EXPECT_EQ(e.height, 150);
    int w = 0, h = 0, channels = 0;
    const bool bomb_written = stbi_info((out + "/b-bomb.jpg").c_str(), &w, &h, &channels) != 0;
    EXPECT_EQ(bomb_written, row.bomb == nullptr);
    if (bomb_written) EXPECT_TRUE(w == 19840 && h == 19840) << w << " x " << h;
    for (const auto& entry : fs::directory_iterator(out)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "a-photo.jpg" || name == "e-grid.jpg" || (bomb_written && name == "b-bomb.jpg")) << name;
    }
  }
}
