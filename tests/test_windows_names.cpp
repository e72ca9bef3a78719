// File names beyond the ANSI code page on Windows: UTF-8 paths through the
// DLL as a host loads it and through lumetra.exe, the ANSI paths of older
// hosts, and paths that are neither. The independent readers (stb, libheif)
// open files with the ANSI fopen, so they read plain-named copies made with
// std::filesystem's wide calls.
#include <gtest/gtest.h>

#include <windows.h>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>

#include "fixtures.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

// The DLL's own calls, not the copy linked into this program.
struct Dll {
  HMODULE module = LoadLibraryA(LUMETRA_DLL);
  template <typename F>
  F get(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  int (*is_heic)(const char*) = get<int (*)(const char*)>("lumetra_is_heic");
  const char* (*info)(const char*) = get<const char* (*)(const char*)>("lumetra_info");
  const char* (*exif)(const char*) = get<const char* (*)(const char*)>("lumetra_exif");
  int (*to_png)(const char*, const char*) = get<int (*)(const char*, const char*)>("lumetra_to_png");
  int (*thumbnail)(const char*, const char*) = get<int (*)(const char*, const char*)>("lumetra_thumbnail");
  int (*from_image)(const char*, const char*, int) = get<int (*)(const char*, const char*, int)>("lumetra_from_image");
  int (*convert)(const char*, const char*, int,
                 int) = get<int (*)(const char*, const char*, int, int)>("lumetra_convert");
  int (*batch)(const char*, const char*, int, int) = get<int (*)(const char*, const char*, int, int)>("lumetra_batch");
  const char* (*last_error)() = get<const char* (*)()>("lumetra_last_error");
};
const Dll& dll() {
  static const Dll d;
  return d;
}

std::wstring utf16(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], n);
  w.resize(w.size() - 1);
  return w;
}

fs::path u8(const std::string& utf8) { return fs::path(utf16(utf8)); }

// A copy of a UTF-8-named file under a plain name, for the ANSI readers.
std::string plain(const std::string& utf8_path) {
  static int n = 0;
  const std::string p = scratch_path("plain" + std::to_string(++n));
  fs::copy_file(u8(utf8_path), p, fs::copy_options::overwrite_existing);
  return p;
}

std::set<std::string> utf8_names_in(const std::string& utf8_dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(u8(utf8_dir))) {
    const std::wstring w = e.path().filename().wstring();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
    names.insert(s.substr(0, s.size() - 1));
  }
  return names;
}

std::string rich_heif() {
  HeifRecipe s;
  s.width = 40, s.height = 30;
  s.thumb_width = 20, s.thumb_height = 15;
  s.exif = Bytes{0, 0, 0, 0, 0x4D, 0x4D, 0, 0x2A, 0, 0, 0, 8, 0, 0};
  return heif_fixture("names_rich.heic", s);
}

std::string text_of(const std::string& path) {
  const Bytes b = read_file(path);
  std::string s(b.begin(), b.end());
  for (size_t at; (at = s.find('\r')) != std::string::npos;) s.erase(at, 1);
  return s;
}

// lumetra.exe with a UTF-8 command line (as a wide one: this program's own
// ANSI code page cannot carry it): its stdout. It must succeed and say
// nothing on stderr but x265's complaint that wine has no NUMA affinity.
std::string run_tool(const std::string& args) {
  const std::string out = scratch_path("tool.out"), err = scratch_path("tool.err");
  const std::string cmd =
      "\"\"" + std::string(LUMETRA_CLI) + "\" " + args + " >\"" + out + "\" 2>\"" + err + "\" <NUL\"";
  const int status = _wsystem(utf16(cmd).c_str());
  std::string errors = text_of(err);
  const std::string noise = "x265 [error]: unable to set thread affinity for NUMA node mask\n";
  for (size_t at; (at = errors.find(noise)) != std::string::npos;) errors.erase(at, noise.size());
  EXPECT_TRUE(status == 0 && errors.empty()) << args << ": exit " << status << ", " << errors;
  return text_of(out);
}

// Cyrillic, Greek, Japanese and an emoji (outside the BMP: a surrogate pair).
const char* const kNames[] = {"\xD0\xA4\xD0\xBE\xD1\x82\xD0\xBE", "\xCE\xA6\xCF\x89\xCF\x84\xCE\xBF",
                              "\xE5\x86\x99\xE7\x9C\x9F", "photo-\xF0\x9F\x98\x80"};

}  // namespace

TEST(WindowsNames, CodePages) {
  // wine takes the ANSI code page from the Unix locale (the scripts pin
  // C.UTF-8: 1252); lumetra.exe's manifest asks for UTF-8 (65001).
  const std::string probe = capture("\"" + std::string(LUMETRA_CODE_PAGE_PROBE) + "\"");
  std::cout << "GetACP(): tests " << GetACP() << ", lumetra.exe manifest " << probe;
  EXPECT_NE(GetACP(), static_cast<UINT>(CP_UTF8));
  EXPECT_EQ(probe, "65001\n");
  // lumetra.exe carries that manifest.
  HMODULE exe = LoadLibraryExA(LUMETRA_CLI, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(exe, found)));
  const std::string manifest(text, SizeofResource(exe, found));
  EXPECT_NE(manifest.find("<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8"
                          "</activeCodePage>"),
            std::string::npos);
  EXPECT_NE(manifest.find("supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\""), std::string::npos);
  FreeLibrary(exe);
}

TEST(WindowsNames, EveryCallOfTheDllTakesUtf8Names) {
  const Dll& d = dll();
  ASSERT_NE(d.batch, nullptr);
  const std::string heif = rich_heif();
  const std::string png = scratch_path("names_src.png");
  write_png(png, 8, 6, 3);
  const std::string info = lumetra_info(heif.c_str()), exif = lumetra_exif(heif.c_str());
  ASSERT_TRUE(libheif_encodes(true, 8));  // the Windows build writes AVIF too
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    const std::string dir = scratch_path("dll_") + name, out = dir + "\\" + name + "-out";
    fs::create_directories(u8(dir));
    const std::string base = dir + "\\" + name;
    fs::copy_file(heif, u8(base + ".heic"));
    fs::copy_file(png, u8(base + ".png"));
    const std::string in = base + ".heic";
    EXPECT_EQ(d.is_heic(in.c_str()), 1);
    ASSERT_NE(d.info(in.c_str()), nullptr) << d.last_error();
    EXPECT_EQ(d.info(in.c_str()), info);
    ASSERT_NE(d.exif(in.c_str()), nullptr) << d.last_error();
    EXPECT_EQ(d.exif(in.c_str()), exif);
    ASSERT_EQ(d.convert(in.c_str(), (base + ".jpg").c_str(), 90, LUMETRA_KEEP_METADATA), 1) << d.last_error();
    EXPECT_EQ(stb_load(plain(base + ".jpg")).width, 40);
    ASSERT_EQ(d.to_png(in.c_str(), (base + "-exact.png").c_str()), 1) << d.last_error();
    EXPECT_EQ(stb_load(plain(base + "-exact.png")).height, 30);
    ASSERT_EQ(d.thumbnail(in.c_str(), (base + "-thumb.png").c_str()), 1) << d.last_error();
    EXPECT_EQ(stb_load(plain(base + "-thumb.png")).width, 20);  // the embedded one
    ASSERT_EQ(d.from_image((base + ".png").c_str(), (base + "-back.heic").c_str(), 60), 1) << d.last_error();
    EXPECT_EQ(libheif_decode(plain(base + "-back.heic"), false).width, 8);
    ASSERT_EQ(d.convert((base + ".png").c_str(), (base + "-av1.avif").c_str(), 60, 0), 1) << d.last_error();
    EXPECT_EQ(libheif_decode(plain(base + "-av1.avif"), false).height, 6);
    const std::set<std::string> outputs{std::string(name) + ".png", std::string(name) + "-back.png",
                                        std::string(name) + "-av1.png"};
    // The listing finds the names, joins them to the directory and writes
    // beside them; the output directory's own name is foreign too.
    fs::create_directories(u8(out));
    EXPECT_EQ(d.batch(dir.c_str(), out.c_str(), 1, 0), static_cast<int>(outputs.size())) << d.last_error();
    EXPECT_EQ(utf8_names_in(out), outputs);
    EXPECT_EQ(stb_load(plain(out + "\\" + name + ".png")).width, 40);
  }
  // Every output landed under its own name: no temporary file, nothing else.
  for (const char* name : kNames) {
    std::set<std::string> expected;
    for (const char* suffix : {".heic", ".png", ".jpg", "-exact.png", "-thumb.png", "-back.heic", "-av1.avif", "-out"})
      expected.insert(std::string(name) + suffix);
    EXPECT_EQ(utf8_names_in(scratch_path("dll_") + name), expected);
  }
}

TEST(WindowsNames, TheToolTakesUtf8Names) {
  const std::string heif = rich_heif();
  const std::string png = scratch_path("tool_src.png");
  write_png(png, 8, 6, 3);
  const std::string info = lumetra_info(heif.c_str()), exif = lumetra_exif(heif.c_str());
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    const std::string dir = scratch_path("tool_") + name, base = dir + "\\" + name;
    const std::string in = base + ".heic", q = "\"";
    fs::create_directories(u8(dir));
    fs::copy_file(heif, u8(in));
    fs::copy_file(png, u8(base + ".png"));
    EXPECT_EQ(run_tool("info " + q + in + q), info + "\n");
    EXPECT_EQ(run_tool("exif " + q + in + q), exif + "\n");
    EXPECT_EQ(run_tool("convert " + q + in + q + " " + q + base + ".jpg" + q), "");
    EXPECT_EQ(stb_load(plain(base + ".jpg")).width, 40);
    EXPECT_EQ(run_tool("thumbnail --size 20 " + q + in + q + " " + q + base + "-thumb.jpg" + q), "");
    EXPECT_EQ(stb_load(plain(base + "-thumb.jpg")).width, 20);
    EXPECT_EQ(run_tool("encode " + q + base + ".png" + q + " " + q + base + "-back.heic" + q), "");
    EXPECT_EQ(libheif_decode(plain(base + "-back.heic"), false).height, 6);
    EXPECT_EQ(run_tool("encode " + q + base + ".png" + q + " " + q + base + "-av1.avif" + q), "");
    EXPECT_EQ(libheif_decode(plain(base + "-av1.avif"), false).width, 8);
    // The batch: a worker process per file, its command line in UTF-16.
    const std::string out = dir + "\\" + name + " out";
    const std::string batch = "batch " + q + dir + q + " " + q + out + q + " --png -j 2";
    EXPECT_EQ(run_tool(batch), "converted 3, skipped 3 (not HEIF), skipped 0 (exists), failed 0\n");
    EXPECT_EQ(utf8_names_in(out), (std::set<std::string>{std::string(name) + ".png", std::string(name) + "-back.png",
                                                         std::string(name) + "-av1.png"}));
    EXPECT_EQ(stb_load(plain(out + "\\" + name + "-back.png")).width, 8);
    EXPECT_EQ(stb_load(plain(out + "\\" + name + "-av1.png")).height, 6);
    EXPECT_EQ(run_tool(batch + " --skip-existing"),
              "converted 0, skipped 3 (not HEIF), skipped 3 (exists), failed 0\n");
  }
}

TEST(WindowsNames, AnsiNamesStillWorkAndInvalidUtf8NamesNoFile) {
  const Dll& d = dll();
  const std::string heif = rich_heif();
  // "café" as an ANSI host (code page 1252) spells it, and as UTF-8: one file.
  if (GetACP() == 1252) {
    const std::string dir = scratch_path("ansi");
    fs::create_directories(dir);
    fs::copy_file(heif, u8(dir + "\\caf\xC3\xA9.heic"));
    const std::string ansi = dir + "\\caf\xE9.heic";
    EXPECT_EQ(d.is_heic(ansi.c_str()), 1);
    ASSERT_NE(d.info(ansi.c_str()), nullptr) << d.last_error();
    ASSERT_EQ(d.to_png(ansi.c_str(), (dir + "\\caf\xE9.png").c_str()), 1) << d.last_error();
    EXPECT_EQ(stb_load(plain(dir + "\\caf\xC3\xA9.png")).width, 40);
    // An ANSI directory's names come back in ANSI: "été.heic" in it.
    const std::string in = dir + "\\r\xE9sum\xE9", out = dir + "\\sortie";
    fs::create_directories(u8(dir + "\\r\xC3\xA9sum\xC3\xA9"));
    fs::create_directories(out);
    fs::copy_file(heif, u8(dir + "\\r\xC3\xA9sum\xC3\xA9\\\xC3\xA9t\xC3\xA9.heic"));
    EXPECT_EQ(d.batch(in.c_str(), out.c_str(), 1, 0), 1) << d.last_error();
    EXPECT_EQ(utf8_names_in(out), (std::set<std::string>{"\xC3\xA9t\xC3\xA9.png"}));
  } else {
    std::cout << "ANSI code page " << GetACP() << ": the cp1252 name is not checked\n";
  }
  // Bytes that are not UTF-8 go to the ANSI code page; naming no file, each
  // call gives its usual message.
  for (const std::string bad : {"\xFF\xFE", "caf\xC3(", "\xED\xA0\x80", "\xF0\x9F\x98"}) {
    const std::string p = scratch_path("missing-" + bad + ".heic"), o = scratch_path("o-" + bad + ".png");
    EXPECT_EQ(d.info(p.c_str()), nullptr);
    EXPECT_EQ(std::string(d.last_error()).rfind("Failed reading HEIC file for info: Input file does not exist", 0), 0u)
        << d.last_error();
    EXPECT_EQ(d.exif(p.c_str()), nullptr);
    EXPECT_STREQ(d.last_error(), "Failed reading HEIC file for EXIF");
    EXPECT_EQ(d.to_png(p.c_str(), o.c_str()), 0);
    EXPECT_EQ(std::string(d.last_error()).rfind("Failed to read HEIC file '" + p + "': Input file does not exist", 0),
              0u)
        << d.last_error();
    EXPECT_EQ(d.from_image(p.c_str(), o.c_str(), 50), 0);
    EXPECT_EQ(std::string(d.last_error()), "Failed loading source image '" + p + "': can't fopen");
    EXPECT_EQ(d.batch(p.c_str(), scratch_dir().c_str(), 1, 0), -1);
    EXPECT_STREQ(d.last_error(), "Failed opening input directory");
  }
}
