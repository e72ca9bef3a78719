/* Mean and 99th-percentile difference, in stops, between the luminance of
 * two 16-bit BT.2100 PQ PNGs of one size (BT.709 or BT.2020 luminance
 * weights: the first argument), floored at 1/64 of SDR white (203 cd/m²).
 * Used by bench/gain_map_avif.sh on renditions that avifgainmaputil makes. */
#define STB_IMAGE_IMPLEMENTATION
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stb/stb_image.h>

static double pq_nits(double e) {
  const double m1 = 2610.0 / 16384, m2 = 2523.0 / 32, c1 = 107.0 / 128, c2 = 2413.0 / 128, c3 = 2392.0 / 128;
  const double p = pow(e, 1 / m2);
  const double n = p - c1 > 0 ? p - c1 : 0;
  return 10000 * pow(n / (c2 - c3 * p), 1 / m1);
}

static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: stops_between 709|2020 A.png B.png\n");
    return 2;
  }
  const double w709[3] = {0.2126, 0.7152, 0.0722}, w2020[3] = {0.2627, 0.6780, 0.0593};
  const double* w = strcmp(argv[1], "2020") == 0 ? w2020 : w709;
  int wa, ha, ca, wb, hb, cb;
  stbi_us* a = stbi_load_16(argv[2], &wa, &ha, &ca, 3);
  stbi_us* b = stbi_load_16(argv[3], &wb, &hb, &cb, 3);
  if (a == NULL || b == NULL || wa != wb || ha != hb) {
    fprintf(stderr, "stops_between: unreadable or of different sizes\n");
    return 1;
  }
  const size_t n = (size_t)wa * ha;
  double* d = malloc(n * sizeof *d);
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    double la = 0, lb = 0;
    for (int c = 0; c < 3; ++c) {
      la += w[c] * pq_nits(a[i * 3 + c] / 65535.0);
      lb += w[c] * pq_nits(b[i * 3 + c] / 65535.0);
    }
    const double floor = 203.0 / 64;
    d[i] = fabs(log2(la > floor ? la : floor) - log2(lb > floor ? lb : floor));
    sum += d[i];
  }
  qsort(d, n, sizeof *d, by_value);
  printf("mean %.4f p99 %.4f stops\n", sum / n, d[n * 99 / 100]);
  free(d);
  stbi_image_free(a);
  stbi_image_free(b);
  return 0;
}
