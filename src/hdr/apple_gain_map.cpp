#include "hdr/apple_gain_map.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/byte_order.h"
#include "base/platform.h"

namespace {

// A RATIONAL or SRATIONAL entry's value; false when absent or malformed.
bool rational(const TiffReader& t, size_t ifd, uint32_t tag, double* out) {
  const size_t e = t.entry(ifd, tag);
  if (e == 0) return false;
  const uint32_t type = t.u16(e + 2);
  const size_t at = t.u32(e + 8);
  if ((type != 5 && type != 10) || t.u32(e + 4) != 1 || !t.has(at, 8)) return false;
  const uint32_t n = t.u32(at), d = t.u32(at + 4);
  if (d == 0) return false;
  *out = type == 10 ? double(int32_t(n)) / double(int32_t(d)) : double(n) / double(d);
  return std::isfinite(*out);
}

// Apple's maker note inside an EXIF block: "Apple iOS\0", a version, the
// byte order, then an IFD whose offsets count from the note's start.
bool apple_maker_note(const uint8_t* exif, size_t size, TiffReader* note) {
  if (size < 8) return false;
  const bool big = exif[0] == 'M';
  if (!(exif[0] == 'M' && exif[1] == 'M') && !(exif[0] == 'I' && exif[1] == 'I')) return false;
  const TiffReader tiff{exif, size, big};
  const size_t ifd0 = tiff.u32(4);
  const size_t exif_entry = tiff.entry(ifd0, 0x8769);
  if (exif_entry == 0) return false;
  const size_t note_entry = tiff.entry(tiff.u32(exif_entry + 8), 0x927C);
  if (note_entry == 0) return false;
  const size_t count = tiff.u32(note_entry + 4), at = tiff.u32(note_entry + 8);
  if (count < 16 || !tiff.has(at, count) || std::memcmp(exif + at, "Apple iOS\0", 10) != 0) return false;
  const uint8_t* p = exif + at;
  if (!(p[12] == 'M' && p[13] == 'M') && !(p[12] == 'I' && p[13] == 'I')) return false;
  *note = TiffReader{p, count, p[12] == 'M'};
  return true;
}

// The headroom Apple's own software derives from maker-note tags 0x21
// and 0x30, in stops.
double maker_note_stops(double m33, double m48) {
  if (m33 < 1) return m48 <= 0.01 ? -20 * m48 + 1.8 : -0.101 * m48 + 1.601;
  return m48 <= 0.01 ? -70 * m48 + 3.0 : -0.303 * m48 + 2.303;
}

double xmp_number(const std::string& xmp, const char* name) {
  const std::string open = std::string("<HDRGainMap:") + name + ">";
  const size_t at = xmp.find(open);
  if (at == std::string::npos) return 0;
  const size_t begin = at + open.size();
  const size_t end = xmp.find('<', begin);
  if (end == std::string::npos) return 0;
  const std::string text = xmp.substr(begin, end - begin);
  platform::CLocaleScope c_locale;
  char* stop = nullptr;
  const double v = std::strtod(text.c_str(), &stop);
  return stop != text.c_str() && std::isfinite(v) ? v : 0;
}

double rec709_to_linear(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }

}  // namespace

bool is_apple_gain_map_xmp(const std::string& xmp) {
  return xmp.find("http://ns.apple.com/HDRGainMap/1.0/") != std::string::npos;
}

double apple_headroom(const std::string& gain_map_xmp, const uint8_t* exif, size_t exif_size) {
  const double from_xmp = xmp_number(gain_map_xmp, "HDRGainMapHeadroom");
  if (from_xmp > 0) return from_xmp;
  TiffReader note{};
  double m33 = 0, m48 = 0;
  if (exif == nullptr || !apple_maker_note(exif, exif_size, &note) || !rational(note, 14, 0x0021, &m33)) return 0;
  if (!rational(note, 14, 0x0030, &m48)) m48 = 0;
  const double stops = maker_note_stops(m33, m48);
  return std::exp2(stops > 0 ? stops : 0);
}

GainMapMetadata apple_iso_metadata(double headroom) {
  GainMapMetadata md;
  md.base_headroom = GainFraction{0, 1};
  md.alternate_headroom = decimal_fraction(std::log2(headroom));
  GainMapChannel& ch = md.channel[0];
  ch.min = GainFraction{0, 1};
  ch.max = md.alternate_headroom;
  ch.gamma = GainFraction{1, 1};
  ch.base_offset = GainFraction{0, 1};
  ch.alternate_offset = GainFraction{0, 1};
  return md;
}

void apple_iso_table(const GainMapMetadata& iso, double headroom, uint8_t table[256]) {
  const double max_stops = iso.channel[0].max.value();
  for (int v = 0; v < 256; ++v) {
    const double gain = 1 + (headroom - 1) * rec709_to_linear(v / 255.0);
    const double s = max_stops > 0 ? std::round(255 * std::log2(gain) / max_stops) : 0;
    table[v] = static_cast<uint8_t>(s < 0 ? 0 : s > 255 ? 255 : s);
  }
}

bool apple_iso_model(double headroom, GainMapMetadata* md, const char** why) {
  if (!(headroom > 1.0)) {
    *why = "the photo gives no HDR headroom for its gain map";
    return false;
  }
  *md = apple_iso_metadata(headroom);
  return gain_map_metadata_usable(*md, why);
}

void apple_samples_to_iso(const GainMapMetadata& iso, double headroom, uint8_t* samples, size_t count) {
  uint8_t table[256];
  apple_iso_table(iso, headroom, table);
  for (size_t i = 0; i < count; ++i) samples[i] = table[samples[i]];
}
