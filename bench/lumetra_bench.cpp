// Speed and memory of every exported call, with the stage split of the
// conversions. Each measurement runs in a forked child, so its peak
// resident memory is its own.
//
//   lumetra-bench [--quick] [--corpus DIR] [--runs N]
//
// Inputs: files generated here (1 MP; 12 MP as a grid of 512 x 512 tiles
// and as a single image; a 48 MP grid; each with and without an embedded
// thumbnail, all with EXIF) and, when the corpus is present, its grid12mp-*
// and grid16mp-* phone photos.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <libheif/heif.h>
#include <stb/stb_image_write.h>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Result {
  double median_ms = 0, min_ms = 0, max_ms = 0;
  long peak_kib = 0;
};

// Runs fn `runs` times in a child process; times each run.
Result measure(int runs, const std::function<void()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
      const auto t0 = Clock::now();
      fn();
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    const ssize_t want = static_cast<ssize_t>(ms.size() * sizeof(double));
    if (write(fds[1], ms.data(), ms.size() * sizeof(double)) != want) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  std::vector<double> ms(runs);
  size_t got = 0;
  while (got < ms.size() * sizeof(double)) {
    const ssize_t n = read(fds[0], reinterpret_cast<char*>(ms.data()) + got, ms.size() * sizeof(double) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  Result r;
  std::sort(ms.begin(), ms.end());
  r.median_ms = ms[ms.size() / 2];
  r.min_ms = ms.front();
  r.max_ms = ms.back();
  r.peak_kib = ru.ru_maxrss;
  return r;
}

void check(const heif_error& e, const char* what) {
  if (e.code != heif_error_Ok) {
    std::fprintf(stderr, "bench: %s: %s\n", what, e.message);
    std::exit(1);
  }
}

// An EXIF block with a Make entry: offset field, then big-endian TIFF.
const uint8_t kExif[] = {0, 0, 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0,   1,   1,   15,  0,   2,
                         0, 0, 0, 6, 0,   0,   0, 26, 0, 0, 0, 0, 'B', 'e', 'n', 'c', 'h', 0};

// A photo-like picture: gradients with detail, so the coders do real work.
uint8_t scene(int x, int y, int c) {
  const int v = (x * (3 + c) + y * (5 - c) + ((x * y) >> 7) + ((x ^ y) & 31)) & 0xFF;
  return static_cast<uint8_t>(v);
}

void make_heif(const std::string& path, int w, int h, bool thumbnail, bool exif) {
  heif_context* ctx = heif_context_alloc();
  heif_encoder* enc = nullptr;
  check(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc), "encoder");
  heif_encoder_set_lossy_quality(enc, 80);
  heif_encoder_set_parameter_string(enc, "preset", "ultrafast");
  heif_image* img = nullptr;
  check(heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img), "image");
  check(heif_image_add_plane(img, heif_channel_interleaved, w, h, 8), "plane");
  int stride = 0;
  uint8_t* p = heif_image_get_plane(img, heif_channel_interleaved, &stride);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) p[static_cast<size_t>(y) * stride + x * 3 + c] = scene(x, y, c);
  heif_image_handle* handle = nullptr;
  check(heif_context_encode_image(ctx, img, enc, nullptr, &handle), "encode");
  if (thumbnail) {
    heif_image_handle* t = nullptr;
    check(heif_context_encode_thumbnail(ctx, img, handle, enc, nullptr, 320, &t), "thumbnail");
    heif_image_handle_release(t);
  }
  if (exif) heif_context_add_exif_metadata(ctx, handle, kExif, sizeof kExif);
  check(heif_context_write_to_file(ctx, path.c_str()), "write");
  heif_image_handle_release(handle);
  heif_image_release(img);
  heif_encoder_release(enc);
  heif_context_free(ctx);
}

// The floor of a conversion: libheif's read and decode to interleaved RGB.
struct Decoded {
  heif_context* ctx = nullptr;
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  ~Decoded() {
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    if (ctx) heif_context_free(ctx);
  }
};

void libheif_decode(const std::string& path, Decoded* d) {
  d->ctx = heif_context_alloc();
  check(heif_context_read_from_file(d->ctx, path.c_str(), nullptr), "read");
  check(heif_context_get_primary_image_handle(d->ctx, &d->handle), "primary");
  const bool alpha = heif_image_handle_has_alpha_channel(d->handle) != 0;
  check(heif_decode_image(d->handle, &d->image, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr),
        "decode");
}

void libheif_open(const std::string& path) {
  heif_context* ctx = heif_context_alloc();
  check(heif_context_read_from_file(ctx, path.c_str(), nullptr), "read");
  heif_image_handle* h = nullptr;
  check(heif_context_get_primary_image_handle(ctx, &h), "primary");
  heif_image_handle_release(h);
  heif_context_free(ctx);
}

// Peak memory is reported above what a child that does nothing reaches.
long baseline_kib() {
  return measure(1, [] {}).peak_kib;
}

void print_row(const std::string& input, const char* call, double mp, const Result& r) {
  const long extra = std::max(0L, r.peak_kib - baseline_kib());
  std::printf("%-34s %-22s %9.1f %9.1f %9.1f %8.1f %9.1f\n", input.c_str(), call, r.median_ms, r.min_ms, r.max_ms,
              mp > 0 ? mp / (r.median_ms / 1000.0) : 0.0, extra / 1024.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string corpus = "../shared/corpus";
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick"))
      quick = true;
    else if (!std::strcmp(argv[i], "--corpus") && i + 1 < argc)
      corpus = argv[++i];
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
      runs = std::atoi(argv[++i]);
  }
  if (quick) runs = 3;

  char tmpl[] = "/tmp/lumetra-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);

  struct Input {
    std::string name, path;
    int w, h;
  };
  std::vector<Input> inputs;
  const struct {
    const char* name;
    int w, h;
    bool thumb, grid;
  } generated[] = {
      {"gen-1mp-thumb", 1152, 864, true, false},          {"gen-1mp-nothumb", 1152, 864, false, false},
      {"gen-12mp-grid512-thumb", 4032, 3024, true, true}, {"gen-12mp-grid512-nothumb", 4032, 3024, false, true},
      {"gen-12mp-single-thumb", 4032, 3024, true, false}, {"gen-12mp-single-nothumb", 4032, 3024, false, false},
      {"gen-48mp-grid512-thumb", 8064, 6048, true, true}, {"gen-48mp-grid512-nothumb", 8064, 6048, false, true}};
  for (const auto& g : generated) {
    if (quick && (g.w > 4032 || !g.thumb)) continue;
    const std::string path = dir + "/" + g.name + ".heic";
    std::fprintf(stderr, "bench: generating %s\n", g.name);
    // In a child, so the encoder's memory stays out of this process.
    measure(1, [&] {
      if (g.grid) {
        GridRecipe recipe;
        recipe.width = g.w, recipe.height = g.h, recipe.tile = 512, recipe.thumbnail = g.thumb;
        recipe.exif = Bytes(kExif, kExif + sizeof kExif);
        recipe.pixel = scene;
        write_grid_heif(path, recipe);
      } else {
        make_heif(path, g.w, g.h, g.thumb, true);
      }
    });
    inputs.push_back({std::string(g.name) + "-exif", path, g.w, g.h});
  }
  if (fs::is_directory(corpus + "/heif")) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(corpus + "/heif")) {
      const std::string n = e.path().filename().string();
      if (n.rfind("grid12mp-", 0) == 0 || n.rfind("grid16mp-", 0) == 0) names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    if (quick && names.size() > 2) names.resize(2);
    for (const std::string& n : names) {
      const std::string p = corpus + "/heif/" + n;
      const char* info = lumetra_info(p.c_str());
      int w = 0, h = 0;
      if (info != nullptr) std::sscanf(info, "{\"width\":%d,\"height\":%d", &w, &h);
      inputs.push_back({n.substr(0, 33), p, w, h});
    }
  }

  std::printf("%-34s %-22s %9s %9s %9s %8s %9s\n", "input", "call", "median_ms", "min_ms", "max_ms", "MP/s",
              "+peak_MiB");
  const std::string out = dir + "/out";
  for (const Input& in : inputs) {
    const double mp = double(in.w) * in.h / 1e6;
    const char* p = in.path.c_str();
    const Result jpg = measure(runs, [&] { lumetra_to_jpg(p, (out + ".jpg").c_str(), 90); });
    print_row(in.name, "lumetra_to_jpg q90", mp, jpg);

    // Stage split: libheif alone, our row copy, the writer alone.
    Result decode = measure(runs, [&] {
      Decoded d;
      libheif_decode(in.path, &d);
    });
    print_row(in.name, "  libheif read+decode", mp, decode);
    Decoded d;
    libheif_decode(in.path, &d);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(d.image, heif_channel_interleaved, &stride);
    const int w = heif_image_get_primary_width(d.image), h = heif_image_get_primary_height(d.image);
    const int ch = heif_image_handle_has_alpha_channel(d.handle) ? 4 : 3;
    std::vector<unsigned char> raster(static_cast<size_t>(w) * h * ch);
    const Result copy =
        measure(runs * 3, [&] { copy_plane_rows(raster.data(), plane, stride, static_cast<size_t>(w) * ch, h); });
    print_row(in.name, "  our row copy", mp, copy);
    copy_plane_rows(raster.data(), plane, stride, static_cast<size_t>(w) * ch, h);
    const Result jpg_writer =
        measure(runs, [&] { stbi_write_jpg((out + "-w.jpg").c_str(), w, h, ch, raster.data(), 90); });
    print_row(in.name, "  stb JPEG writer", mp, jpg_writer);
    std::printf("%-34s %-22s %9.1f  (own work: %.1f%% of the call; floor ratio %.3f)\n", in.name.c_str(),
                "  = our overhead", jpg.median_ms - decode.median_ms - jpg_writer.median_ms,
                100.0 * (jpg.median_ms - decode.median_ms - jpg_writer.median_ms) / jpg.median_ms,
                jpg.median_ms / (decode.median_ms + jpg_writer.median_ms));

    if (!quick || mp < 2) {
      const Result png = measure(std::max(1, runs / 2), [&] { lumetra_to_png(p, (out + ".png").c_str()); });
      print_row(in.name, "lumetra_to_png", mp, png);
      const Result png_writer = measure(
          std::max(1, runs / 2), [&] { stbi_write_png((out + "-w.png").c_str(), w, h, ch, raster.data(), w * ch); });
      print_row(in.name, "  stb PNG writer", mp, png_writer);
    }
    print_row(in.name, "lumetra_to_bmp", mp, measure(runs, [&] { lumetra_to_bmp(p, (out + ".bmp").c_str()); }));
    print_row(in.name, "lumetra_thumbnail", mp, measure(runs, [&] { lumetra_thumbnail(p, (out + "-t.jpg").c_str()); }));
    const Result open = measure(runs * 4, [&] { libheif_open(in.path); });
    print_row(in.name, "  libheif bare open", 0, open);
    print_row(in.name, "lumetra_info", 0, measure(runs * 4, [&] { lumetra_info(p); }));
    print_row(in.name, "lumetra_exif", 0, measure(runs * 4, [&] { lumetra_exif(p); }));
    print_row(in.name, "lumetra_is_heic", 0, measure(runs * 4, [&] { lumetra_is_heic(p); }));

    if (in.name.rfind("gen-", 0) == 0 && (!quick || mp < 2)) {
      const std::string src = dir + "/" + in.name + ".jpg";
      stbi_write_jpg(src.c_str(), w, h, ch, raster.data(), 92);
      print_row(in.name, "lumetra_from_image q85", mp,
                measure(std::max(1, runs / 2), [&] { lumetra_from_image(src.c_str(), (out + ".heic").c_str(), 85); }));
    }
  }

  // Batch: 50 copies of the 1 MP file against 50 single-file calls.
  const std::string batch_in = dir + "/batch-in", batch_out = dir + "/batch-out";
  fs::create_directories(batch_in);
  fs::create_directories(batch_out);
  for (int i = 0; i < 50; ++i) fs::copy_file(inputs.front().path, batch_in + "/f" + std::to_string(i) + ".heic");
  const Result batch =
      measure(std::max(1, runs / 2), [&] { lumetra_batch(batch_in.c_str(), batch_out.c_str(), 0, 90); });
  const Result singles = measure(std::max(1, runs / 2), [&] {
    for (int i = 0; i < 50; ++i)
      lumetra_to_jpg((batch_in + "/f" + std::to_string(i) + ".heic").c_str(), (batch_out + "/s.jpg").c_str(), 90);
  });
  std::printf("%-34s %-22s %9.1f ms per file (50 single calls: %.1f ms per file; ratio %.3f)\n", "50 x 1 MP",
              "lumetra_batch", batch.median_ms / 50, singles.median_ms / 50, batch.median_ms / singles.median_ms);

  fs::remove_all(dir);
  return 0;
}
