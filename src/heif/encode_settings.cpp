#include "heif/encode_settings.h"

#include "base/error_state.h"
#include "heif/encoder.h"
#include "lumetra.h"

namespace {

// libheif quality by the source JPEG's quality, fitted on x265 (preset
// medium) encodes of a 12 MP phone photo saved at several JPEG qualities:
// PSNR against the JPEG's own pixels of 43.6-43.9 dB at 60 for sources of
// 90-95 (0.54-0.72 x their bytes), 41.1 dB at 50 for a source of 75 (0.74 x).
struct Point {
  int jpeg, heif;
};
const Point kHevcByJpeg[] = {{50, 40}, {75, 50}, {90, 60}, {95, 62}, {100, 65}};
// aom (speed 6) on the same files: 43.3 dB at 82 for the source of 90
// (0.66 x its bytes), 41.0 dB at 65 for the source of 75 (0.65 x).
const Point kAv1ByJpeg[] = {{50, 50}, {75, 65}, {90, 82}, {95, 85}, {100, 88}};
// A lossless source: 46.3 dB at 65 (HEVC), 45.0 dB at 88 (AV1) on the same
// photo saved as PNG.
const int kHevcLossless = 65;
const int kAv1Lossless = 88;

// A HEIF or AVIF source, against its own decoded pixels: a 12 MP phone
// HEIC (2.18 MB) gives 44.5 dB at 60 with x265 (2.18 MB) and 43.6 dB at 82
// with aom (1.93 MB); 50 and 70 fall to 40.6 and 40.3 dB.
const int kHevcForHeif = 60;
const int kAv1ForHeif = 82;

int interpolate(const Point (&table)[5], int jpeg_quality) {
  if (jpeg_quality <= table[0].jpeg) return table[0].heif;
  for (size_t i = 1; i < 5; ++i) {
    const Point a = table[i - 1], b = table[i];
    if (jpeg_quality <= b.jpeg) return a.heif + (b.heif - a.heif) * (jpeg_quality - a.jpeg) / (b.jpeg - a.jpeg);
  }
  return table[4].heif;
}

}  // namespace

int quality_for_source(int jpeg_quality, bool av1) {
  if (jpeg_quality <= 0) return av1 ? kAv1Lossless : kHevcLossless;
  return interpolate(av1 ? kAv1ByJpeg : kHevcByJpeg, jpeg_quality);
}

int quality_for_heif_source(bool av1) { return av1 ? kAv1ForHeif : kHevcForHeif; }

void apply_effort(heif_encoder* encoder, Effort effort, bool av1) {
  if (av1) {
    heif_encoder_set_parameter_integer(encoder, "speed", effort == Effort::Fast ? 8 : effort == Effort::Best ? 4 : 6);
  } else {
    heif_encoder_set_parameter_string(encoder, "preset",
                                      effort == Effort::Fast   ? "faster"
                                      : effort == Effort::Best ? "slow"
                                                               : "medium");
  }
}

bool output_encoder(heif_context* ctx, bool av1, int quality, int flags, EncoderHolder* encoder) {
  if (!heif_encoder_for(ctx, av1 ? heif_compression_AV1 : heif_compression_HEVC, quality, encoder)) {
    set_error(av1 ? "No AV1 encoder available for AVIF output" : "No HEVC encoder available for HEIF output");
    return false;
  }
  apply_effort(encoder->get(),
               (flags & LUMETRA_EFFORT_FAST)   ? Effort::Fast
               : (flags & LUMETRA_EFFORT_BEST) ? Effort::Best
                                               : Effort::Default,
               av1);
  return true;
}
