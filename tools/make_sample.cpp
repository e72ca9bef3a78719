// Writes the project's own sample picture (a synthetic scene, no external
// image needed) as a PNG file: lumetra-sample OUT.png [WIDTH HEIGHT]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <stb/stb_image_write.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: lumetra-sample OUT.png [WIDTH HEIGHT]\n");
    return 2;
  }
  const int w = argc > 3 ? std::atoi(argv[2]) : 640;
  const int h = argc > 3 ? std::atoi(argv[3]) : 480;
  if (w < 1 || h < 1 || w > 16384 || h > 16384) {
    std::fprintf(stderr, "lumetra-sample: size out of range\n");
    return 2;
  }
  std::vector<unsigned char> px(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      unsigned char* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      // Sky gradient, a sun, and rolling hills.
      const double fx = double(x) / w, fy = double(y) / h;
      int r = int(90 + 120 * fy), g = int(150 + 80 * fy), b = int(235 - 40 * fy);
      const double dx = (fx - 0.75) * w / h, dy = fy - 0.25;  // a round sun whatever the aspect
      if (dx * dx + dy * dy < 0.01) r = 255, g = 220, b = 90;
      const double hill = 0.65 + 0.08 * std::sin(fx * 9.0) + 0.04 * std::sin(fx * 23.0 + 1.0);
      if (fy > hill) r = int(40 + 60 * fy), g = int(120 + 50 * std::sin(fx * 40.0)), b = 50;
      p[0] = static_cast<unsigned char>(r);
      p[1] = static_cast<unsigned char>(g);
      p[2] = static_cast<unsigned char>(b);
    }
  }
  if (!stbi_write_png(argv[1], w, h, 3, px.data(), w * 3)) {
    std::fprintf(stderr, "lumetra-sample: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
