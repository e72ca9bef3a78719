#include "hdr/hdr_png.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/error_state.h"
#include "base/output_file.h"
#include "formats/png_writer.h"
#include "hdr/gain_map.h"
#include "hdr/hdr_rendition.h"
#include "hdr/linear_picture.h"
#include "hdr/ultrahdr_jpeg.h"

namespace {

enum class Kind { None, GainMap, Pq, Hlg };

// zlib level 2 for 16-bit PQ rows, by measurement (12 MP iPhone photo):
// 3.6 s of CPU for 56.2 MB against 4.5-5.5 s for 55.3 MB at the 8-bit
// writer's level 4; the low bytes of the samples hardly compress.
const int kCompressionLevel = 2;

// PQ codes of luminances, by a table over a float's exponent and its top
// mantissa bits, interpolated (within 0.01 of a 16-bit code); luminances
// below 2^-24 of the PQ range by the formula.
class PqEncoder {
 public:
  PqEncoder() : table_(kOctaves * kSteps + 2) {
    for (size_t i = 0; i < table_.size(); ++i) {
      const double y = std::ldexp(1 + double(i % kSteps) / kSteps, int(i / kSteps) - kOctaves);
      table_[i] = static_cast<float>(pq_inverse_eotf(y * 10000) * 65535);
    }
  }
  uint16_t code(float nits) const {
    const float y = std::min(nits * 1e-4f, 1.0f);
    if (!(y >= kSmallest)) return static_cast<uint16_t>(std::lround(pq_inverse_eotf(y > 0 ? y * 1e4 : 0) * 65535));
    uint32_t bits;
    std::memcpy(&bits, &y, 4);
    const uint32_t index = (bits >> (23 - kMantissaBits)) - ((127u - kOctaves) << kMantissaBits);
    const float f = float(bits & ((1u << (23 - kMantissaBits)) - 1)) * (1.0f / (1u << (23 - kMantissaBits)));
    const float v = table_[index] + (table_[index + 1] - table_[index]) * f;
    return static_cast<uint16_t>(v + 0.5f);
  }

 private:
  static const int kMantissaBits = 7, kSteps = 1 << kMantissaBits, kOctaves = 24;
  static constexpr float kSmallest = 1.0f / (1 << kOctaves);
  std::vector<float> table_;
};

// The decoded picture and everything that turns a row of it into BT.2020
// light in cd/m² and then into 16-bit PQ samples.
struct Rendition {
  Kind kind = Kind::None;
  PictureColour colour;
  DecodedPicture picture;
  std::vector<float> linear;  // per sample value: SDR light, PQ cd/m² or HLG scene light
  GainMap map;
  std::unique_ptr<GainMapApplier> applier;
  bool passthrough = false;  // PQ in BT.2020: the samples widened to 16 bits as they are
  PqEncoder pq;
  std::vector<float> row;
  std::vector<uint8_t> out_row;

  unsigned sample(const uint8_t* p, int i) const { return picture.sample(p, i, unsigned(linear.size() - 1)); }

  // Row y in BT.2020 cd/m², in `row`.
  void light(int y) {
    relative_light_row(picture, colour, linear, applier.get(), y, row.data());
    for (float& v : row) v *= float(kSdrWhiteNits);
  }

  const uint8_t* pq_row(int y) {
    const uint8_t* p = picture.row(y);
    const unsigned top = (1u << picture.bits) - 1;
    auto widen = [&](unsigned v) { return unsigned(std::lround(v * 65535.0 / top)); };
    if (!passthrough) light(y);
    for (int x = 0; x < picture.width; ++x) {
      for (int c = 0; c < picture.channels; ++c) {
        const int i = x * picture.channels + c;
        const unsigned v = c == 3 || passthrough ? widen(sample(p, i)) : pq.code(row[size_t(x) * 3 + c]);
        uint8_t* o = &out_row[size_t(i) * 2];
        o[0] = static_cast<uint8_t>(v >> 8), o[1] = static_cast<uint8_t>(v);
      }
    }
    return out_row.data();
  }
};

const uint8_t* next_row(void* state, int y) { return static_cast<Rendition*>(state)->pq_row(y); }

// The cLLI payload: the largest max(R, G, B) over the picture and its
// average, in 0.0001 cd/m², big-endian.
ByteBlock light_levels(Rendition* r) {
  double peak = 0, sum = 0;
  const int width = r->picture.width, height = r->picture.height;
  for (int y = 0; y < height; ++y) {
    if (r->passthrough) {
      const uint8_t* p = r->picture.row(y);
      for (int i = 0; i < width * 3; ++i)
        r->row[size_t(i)] = r->linear[r->sample(p, i / 3 * r->picture.channels + i % 3)];
    } else {
      r->light(y);
    }
    double row_sum = 0;
    for (int x = 0; x < width; ++x) {
      const float* v = &r->row[size_t(x) * 3];
      const double m = std::clamp(double(std::max({v[0], v[1], v[2]})), 0.0, 10000.0);
      peak = std::max(peak, m);
      row_sum += m;
    }
    sum += row_sum;
  }
  ByteBlock b(8);
  const uint32_t levels[2] = {uint32_t(std::lround(peak * 1e4)),
                              uint32_t(std::lround(sum / (double(width) * height) * 1e4))};
  for (int i = 0; i < 8; ++i) b[size_t(i)] = static_cast<uint8_t>(levels[i / 4] >> (24 - 8 * (i % 4)));
  return b;
}

bool write(Rendition* r, const char* out, const PictureMetadata& md) {
  const DecodedPicture& p = r->picture;
  r->row.resize(size_t(p.width) * 3);
  r->out_row.resize(size_t(p.width) * p.channels * 2);
  PictureMetadata no_icc;
  no_icc.exif = md.exif;
  no_icc.xmp = md.xmp;
  PngChunks chunks;
  chunks.md = &no_icc;
  chunks.extra.push_back(PngRawChunk{"cICP", ByteBlock{9, 16, 0, 1}});
  chunks.extra.push_back(PngRawChunk{"cLLI", light_levels(r)});
  chunks.compression_level = kCompressionLevel;
  OutputFile output(out);
  FILE* f = output.open();
  if (f == nullptr || !write_png_rows(f, p.width, p.height, p.channels, 16, chunks, PixelRowSource{next_row, r}) ||
      !output.commit()) {
    set_error("Failed writing PNG output file");
    return false;
  }
  return true;
}

}  // namespace

HdrPngResult write_hdr_png(heif_context* ctx, heif_image_handle* image, const char* out, const PictureMetadata& md) {
  Rendition r;
  const PictureColour& colour = r.colour = colour_of(image);
  r.kind = colour.coding == HdrCoding::Pq ? Kind::Pq : colour.coding == HdrCoding::Hlg ? Kind::Hlg : Kind::None;
  if (r.kind == Kind::None) {
    std::string why;
    if (!load_gain_map(ctx, image, &r.map, &why)) {
      set_hdr_note(why);
      return HdrPngResult::NoHdr;
    }
    if (r.map.kind == GainMapKind::None) {
      set_hdr_note("the photo holds no HDR picture (no gain map, PQ or HLG): the PNG is SDR");
      return HdrPngResult::NoHdr;
    }
    r.kind = Kind::GainMap;
  }
  if (!decode_picture(ctx, image, &r.picture)) return HdrPngResult::Failed;
  r.linear = linear_table(colour, r.picture.bits);
  // A base that is the HDR rendition itself needs nothing of its map.
  if (r.kind == Kind::GainMap && !base_is_hdr(r.map.metadata)) {
    r.applier.reset(new GainMapApplier(r.map, r.map.metadata, 1.0, r.picture.width, r.picture.height));
  }
  r.passthrough = r.kind == Kind::Pq && colour.primaries == Primaries::Bt2020;
  return write(&r, out, md) ? HdrPngResult::Written : HdrPngResult::Failed;
}
