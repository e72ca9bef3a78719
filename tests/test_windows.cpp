// What only the Windows build has: the DLL as a host loads it, the
// FindFirstFileA listing, and replacing files that other programs hold.
#include <gtest/gtest.h>

#include <windows.h>
#include <filesystem>
#include <set>
#include <string>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string small_heif() {
  HeifRecipe s;
  s.width = 20, s.height = 14;
  return heif_fixture("win_small.heic", s);
}

}  // namespace

TEST(Windows, DllLoadsAndExportsEveryCall) {
  HMODULE dll = LoadLibraryA(LUMETRA_DLL);  // DllMain must say yes
  ASSERT_NE(dll, nullptr) << GetLastError();
  for (const char* name :
       {"lumetra_init", "lumetra_cleanup", "lumetra_last_error", "lumetra_is_heic", "lumetra_to_jpg", "lumetra_to_png",
        "lumetra_to_bmp", "lumetra_to_image", "lumetra_thumbnail", "lumetra_info", "lumetra_exif", "lumetra_from_image",
        "lumetra_batch", "lumetra_convert", "lumetra_convert_image", "lumetra_info_detail"})
    EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(dll, name)), nullptr) << name;
  // The DLL's own state, separate from the copy linked into this program.
  using Info = const char* (*)(const char*);
  using LastError = const char* (*)();
  auto info = reinterpret_cast<Info>(reinterpret_cast<void*>(GetProcAddress(dll, "lumetra_info")));
  auto last_error = reinterpret_cast<LastError>(reinterpret_cast<void*>(GetProcAddress(dll, "lumetra_last_error")));
  ASSERT_TRUE(info != nullptr && last_error != nullptr);
  const std::string heif = small_heif();
  const char* json = info(heif.c_str());
  ASSERT_NE(json, nullptr) << last_error();
  EXPECT_STREQ(json, lumetra_info(heif.c_str()));
  EXPECT_EQ(info("C:\\no\\such\\file.heic"), nullptr);
  EXPECT_EQ(std::string(last_error()).rfind("Failed reading HEIC file for info: Input file does not exist", 0), 0u)
      << last_error();
  EXPECT_NE(FreeLibrary(dll), 0);
}

TEST(Windows, BatchListsEveryNameAndJoinsWithBackslashes) {
  const std::string in = scratch_path("win_batch_in"), out = scratch_path("win_batch_out");
  remove_tree(in);
  remove_tree(out);
  fs::create_directories(in + "/folder.heic");
  fs::create_directories(out);
  // "*.*" matches names without a dot too; hidden and read-only files are
  // files like any other.
  for (const char* n : {"noext", "photo.heic", "two.dots.heif", ".heic"}) fs::copy_file(small_heif(), in + "/" + n);
  SetFileAttributesA((in + "\\noext").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA((in + "\\photo.heic").c_str(), FILE_ATTRIBUTE_READONLY);
  write_png(in + "/fake.heic", 4, 4, 3);
  std::set<std::string> inputs;
  const int n = batch_walk(
      in.c_str(), out.c_str(), 1, 0,
      [](const BatchEntry& e, void* user) { static_cast<std::set<std::string>*>(user)->insert(e.input_path); },
      &inputs);
  EXPECT_EQ(n, 4);
  EXPECT_STREQ(lumetra_last_error(), "");
  EXPECT_EQ(inputs, (std::set<std::string>{in + "\\noext", in + "\\photo.heic", in + "\\two.dots.heif", in + "\\.heic",
                                           in + "\\fake.heic"}));
  EXPECT_EQ(names_in(out), (std::set<std::string>{"noext.png", "photo.png", "two.dots.png", ".png"}));
  EXPECT_EQ(stb_load(out + "/two.dots.png").width, 20);
  SetFileAttributesA((in + "\\photo.heic").c_str(), FILE_ATTRIBUTE_NORMAL);
  // A missing directory, and a file where a directory should be.
  EXPECT_EQ(lumetra_batch((in + "\\missing").c_str(), out.c_str(), 1, 0), -1);
  EXPECT_STREQ(lumetra_last_error(), "Failed opening input directory");
  EXPECT_EQ(lumetra_batch((in + "\\noext").c_str(), out.c_str(), 1, 0), -1);
}

TEST(Windows, ReplacingAFileKeepsTheOldOneUntilTheNewOneIsComplete) {
  const std::string heif = small_heif();
  const std::string dir = scratch_path("win_replace");
  remove_tree(dir);
  fs::create_directories(dir);
  const std::string png = dir + "/picture.png";
  write_png(png, 8, 6, 3);
  struct Case {
    const char* name;
    std::function<int(const std::string&)> write;
    int width;  // of the new picture, as its own reader sees it
  };
  const std::vector<Case> cases = {
      {"out.jpg", [&](const std::string& o) { return lumetra_to_jpg(heif.c_str(), o.c_str(), 80); }, 20},
      {"out.png", [&](const std::string& o) { return lumetra_to_png(heif.c_str(), o.c_str()); }, 20},
      {"out.bmp", [&](const std::string& o) { return lumetra_to_bmp(heif.c_str(), o.c_str()); }, 20},
      {"thumb.png", [&](const std::string& o) { return lumetra_thumbnail(heif.c_str(), o.c_str()); }, 20},
      {"faithful.jpg", [&](const std::string& o) { return lumetra_convert(heif.c_str(), o.c_str(), 0, 7); }, 20},
      {"out.heic", [&](const std::string& o) { return lumetra_from_image(png.c_str(), o.c_str(), 50); }, 8},
  };
  for (const Case& c : cases) {
    const std::string target = dir + "/" + c.name;
    write_file(target, Bytes(100, 'x'));
    // Another program holds the file without letting it be replaced.
    HANDLE held = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(c.write(target), 0) << c.name;
    CloseHandle(held);
    EXPECT_TRUE(read_file(target) == Bytes(100, 'x')) << c.name;
    // Let go of, the file is replaced.
    ASSERT_EQ(c.write(target), 1) << c.name << ": " << lumetra_last_error();
    const int width = std::string(c.name).find(".heic") != std::string::npos ? libheif_decode(target, false).width
                                                                             : stb_load(target).width;
    EXPECT_EQ(width, c.width) << c.name;
  }
  std::set<std::string> expected{"picture.png"};
  for (const Case& c : cases) expected.insert(c.name);
  EXPECT_EQ(names_in(dir), expected);  // no temporary file left behind
}

TEST(Windows, BatchWorkerPastItsTimeoutIsStoppedAndLeavesNothing) {
  // A 12-megapixel photo takes seconds to convert, far more than 1 s.
  const std::string photo =
      std::string(LUMETRA_CORPUS) + "/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic";
  if (!fs::exists(photo)) GTEST_SKIP() << "corpus not present";
  const std::string in = scratch_path("win_timeout_in"), out = scratch_path("win_timeout_out");
  remove_tree(in);
  remove_tree(out);
  fs::create_directories(in);
  fs::copy_file(photo, in + "/big.heic");
  fs::copy_file(small_heif(), in + "/small.heic");
  const std::string o = scratch_path("timeout.out"), e = scratch_path("timeout.err");
  const std::string cmd = "\"\"" + std::string(LUMETRA_CLI) + "\" batch \"" + in + "\" \"" + out +
                          "\" --png -j 2 --timeout 1 >\"" + o + "\" 2>\"" + e + "\" <NUL\"";
  EXPECT_EQ(std::system(cmd.c_str()), 1);
  const Bytes summary = read_file(o), errors = read_file(e);
  EXPECT_EQ(std::string(summary.begin(), summary.end()),
            "converted 1, skipped 0 (not HEIF), skipped 0 (exists), failed 1\r\n");
  EXPECT_EQ(std::string(errors.begin(), errors.end()), in + "\\big.heic: timed out after 1 s\r\n");
  EXPECT_EQ(names_in(out), (std::set<std::string>{"small.png"}));  // no big.png, no temporary file
}
