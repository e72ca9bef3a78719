#include "hdr_reference.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <libheif/heif.h>
#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

double rec709_to_linear(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }

// Walks a JPEG's markers up to SOS; calls f(marker, payload, size).
template <typename F>
bool walk_segments(const Bytes& j, F f) {
  if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8) return false;
  size_t at = 2;
  while (at + 4 <= j.size() && j[at] == 0xFF) {
    const uint8_t marker = j[at + 1];
    if (marker == 0xDA) return true;
    const size_t len = size_t(j[at + 2]) << 8 | j[at + 3];
    if (len < 2 || at + 2 + len > j.size()) return false;
    f(marker, j.data() + at + 4, len - 2, at);
    at += 2 + len;
  }
  return false;
}

std::string xmp_of(const Bytes& jpeg) {
  std::string xmp;
  walk_segments(jpeg, [&](uint8_t m, const uint8_t* p, size_t n, size_t) {
    const char sig[] = "http://ns.adobe.com/xap/1.0/";
    if (m == 0xE1 && n > sizeof sig && std::memcmp(p, sig, sizeof sig) == 0) xmp.assign(p + sizeof sig, p + n);
  });
  return xmp;
}

std::vector<Bytes> app2_of(const Bytes& jpeg) {
  std::vector<Bytes> out;
  walk_segments(jpeg, [&](uint8_t m, const uint8_t* p, size_t n, size_t) {
    if (m == 0xE2) out.emplace_back(p, p + n);
  });
  return out;
}

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void on_jpeg_error(j_common_ptr c) { longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); }

Raster heif_plane(heif_image_handle* h, bool grey) {
  Raster r;
  heif_image* img = nullptr;
  heif_error e = grey ? heif_decode_image(h, &img, heif_colorspace_monochrome, heif_chroma_monochrome, nullptr)
                      : heif_decode_image(h, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
  if (e.code != heif_error_Ok && grey) e = heif_decode_image(h, &img, heif_colorspace_YCbCr, heif_chroma_420, nullptr);
  if (e.code != heif_error_Ok) return r;
  const heif_channel c = grey ? heif_channel_Y : heif_channel_interleaved;
  int stride = 0;
  const uint8_t* p = heif_image_get_plane_readonly(img, c, &stride);
  r.width = heif_image_get_width(img, c), r.height = heif_image_get_height(img, c), r.channels = grey ? 1 : 3;
  for (int y = 0; y < r.height; ++y)
    r.pixels.insert(r.pixels.end(), p + y * stride, p + y * stride + r.width * r.channels);
  heif_image_release(img);
  return r;
}

Raster rotated_ccw(const Raster& s, int ccw) {
  if (ccw % 360 == 0) return s;
  Raster d = s;
  const bool quarter = ccw == 90 || ccw == 270;
  d.width = quarter ? s.height : s.width, d.height = quarter ? s.width : s.height;
  for (int y = 0; y < d.height; ++y) {
    for (int x = 0; x < d.width; ++x) {
      const int sx = ccw == 90 ? s.width - 1 - y : ccw == 180 ? s.width - 1 - x : y;
      const int sy = ccw == 90 ? x : ccw == 180 ? s.height - 1 - y : s.height - 1 - x;
      d.pixels[size_t(y) * d.width + x] = s.pixels[size_t(sy) * s.width + sx];
    }
  }
  return d;
}

double exiftool_number(const std::string& path, const char* tag) {
  const std::string v = capture("exiftool -n -s3 -" + std::string(tag) + " '" + path + "' 2>/dev/null");
  return v.empty() ? std::nan("") : std::atof(v.c_str());
}

// hdrgm values as attributes (the only form the corpus files use).
bool parse_hdrgm(const std::string& xmp, GainModel* m) {
  auto value = [&](const char* name, double fallback) {
    const std::string key = std::string("hdrgm:") + name + "=\"";
    const size_t at = xmp.find(key);
    return at == std::string::npos ? fallback : std::atof(xmp.c_str() + at + key.size());
  };
  if (xmp.find("hdrgm:GainMapMax") == std::string::npos) return false;
  m->min[0] = value("GainMapMin", 0), m->max[0] = value("GainMapMax", 0), m->gamma[0] = value("Gamma", 1);
  m->offset_sdr[0] = value("OffsetSDR", 1.0 / 64), m->offset_hdr[0] = value("OffsetHDR", 1.0 / 64);
  m->base_headroom = value("HDRCapacityMin", 0), m->alternate_headroom = value("HDRCapacityMax", 0);
  return true;
}

double log_gain(const GainModel& m, int c, double sample) {
  if (m.apple) return std::log2(1 + (m.apple_headroom - 1) * rec709_to_linear(sample));
  const int k = m.channels == 3 ? c : 0;
  return m.min[k] + (m.max[k] - m.min[k]) * std::pow(sample, 1 / m.gamma[k]);
}

// Per-sample tables: linear SDR light, and each channel's log gain.
struct Tables {
  double linear[256];
  double gain[3][256];
  explicit Tables(const GainModel& m) {
    for (int v = 0; v < 256; ++v) {
      linear[v] = srgb_light(v / 255.0);
      for (int c = 0; c < 3; ++c) gain[c][v] = std::exp2(log_gain(m, c, v / 255.0));
    }
  }
};

const double kBt709Weights[3] = {0.2126, 0.7152, 0.0722};

// log2 luminance of the HDR rendition at one pixel.
double render(const Raster& sdr, const Raster& gain, const GainModel& m, const Tables& t, int x, int y,
              const double* weights = kBt709Weights) {
  const int gx = int(int64_t(x) * gain.width / sdr.width), gy = int(int64_t(y) * gain.height / sdr.height);
  const uint8_t* s = &sdr.pixels[(size_t(y) * sdr.width + x) * 3];
  const uint8_t* g = &gain.pixels[(size_t(gy) * gain.width + gx) * gain.channels];
  double lum = 0;
  for (int c = 0; c < 3; ++c) {
    const double linear_gain = t.gain[c][g[gain.channels == 3 ? c : 0]];
    const double os = m.apple ? 0 : m.offset_sdr[m.channels == 3 ? c : 0];
    const double oh = m.apple ? 0 : m.offset_hdr[m.channels == 3 ? c : 0];
    lum += weights[c] * ((t.linear[s[c]] + os) * linear_gain - oh);
  }
  return std::log2(std::max(lum, 1.0 / 4096));
}

}  // namespace

double srgb_light(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

bool parse_iso_record(const Bytes& d, bool with_version, GainModel* m) {
  size_t at = with_version ? 1 : 0;
  if (d.size() < at + 5 + 16) return false;
  const uint8_t flags = d[at + 4];
  at += 5;
  m->channels = (flags & 0x80) ? 3 : 1;
  if (d.size() < at + 16 + 40 * size_t(m->channels)) return false;
  auto u = [&](size_t i) { return double(be32(&d[i])) / be32(&d[i + 4]); };
  auto s = [&](size_t i) { return double(int32_t(be32(&d[i]))) / be32(&d[i + 4]); };
  m->base_headroom = u(at), m->alternate_headroom = u(at + 8);
  at += 16;
  for (int c = 0; c < m->channels; ++c, at += 40) {
    m->min[c] = s(at), m->max[c] = s(at + 8), m->gamma[c] = u(at + 16);
    m->offset_sdr[c] = s(at + 24), m->offset_hdr[c] = s(at + 32);
  }
  return true;
}

bool split_ultrahdr(const Bytes& file, UltraHdrParts* out) {
  size_t tiff = 0;
  uint32_t offsets[2] = {}, sizes[2] = {};
  bool found = false;
  walk_segments(file, [&](uint8_t m, const uint8_t* p, size_t n, size_t at) {
    if (m != 0xE2 || n < 4 + 8 + 2 + 36 + 4 + 32 || std::memcmp(p, "MPF\0MM\0*", 8) != 0) return;
    tiff = at + 8;
    const uint8_t* ifd = p + 4 + be32(p + 8);
    for (int i = 0; i < (ifd[0] << 8 | ifd[1]); ++i) {
      const uint8_t* e = ifd + 2 + 12 * i;
      if ((e[0] << 8 | e[1]) != 0xB002) continue;
      const uint8_t* entries = p + 4 + be32(e + 8);
      for (int k = 0; k < 2; ++k) sizes[k] = be32(entries + 16 * k + 4), offsets[k] = be32(entries + 16 * k + 8);
      found = true;
    }
  });
  if (!found || offsets[0] != 0 || sizes[0] == 0 || tiff + offsets[1] + sizes[1] != file.size() ||
      offsets[1] + tiff != sizes[0]) {
    return false;
  }
  out->primary.assign(file.begin(), file.begin() + sizes[0]);
  out->gain_map.assign(file.begin() + sizes[0], file.end());
  out->primary_app2 = app2_of(out->primary), out->gain_map_app2 = app2_of(out->gain_map);
  out->primary_xmp = xmp_of(out->primary), out->gain_map_xmp = xmp_of(out->gain_map);
  return true;
}

Raster jpeg_decode(const Bytes& jpeg) {
  Raster r;
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = on_jpeg_error;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return Raster();
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  r.width = int(cinfo.output_width), r.height = int(cinfo.output_height), r.channels = cinfo.output_components;
  r.pixels.resize(size_t(r.width) * r.height * r.channels);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &r.pixels[size_t(cinfo.output_scanline) * r.width * r.channels];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return r;
}

bool heif_gain_map(const std::string& path, Raster* primary, Raster* gain_map, GainModel* model) {
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* h = nullptr;
  bool ok = heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
            heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok;
  const heif_item_id pid = ok ? heif_image_handle_get_item_id(h) : 0;
  heif_item_id gain = 0;
  std::string aux_type, aux_xmp;
  // An ISO 'tmap' item deriving from the primary and its gain map wins.
  std::vector<heif_item_id> ids(ok ? size_t(heif_context_get_number_of_items(ctx)) : 0);
  if (ok) heif_context_get_list_of_item_IDs(ctx, ids.data(), int(ids.size()));
  for (const heif_item_id id : ids) {
    if (heif_item_get_item_type(ctx, id) != heif_fourcc('t', 'm', 'a', 'p')) continue;
    uint32_t type = 0;
    heif_item_id* to = nullptr;
    if (heif_context_get_item_references(ctx, id, 0, &type, &to) >= 2 && to[0] == pid) {
      gain = to[1];
      uint8_t* data = nullptr;
      size_t size = 0;
      heif_item_get_item_data(ctx, id, nullptr, &data, &size);
      ok = parse_iso_record(Bytes(data, data + size), true, model);
      heif_release_item_data(ctx, &data);
    }
    if (to != nullptr) heif_release_item_references(ctx, &to);
  }
  heif_image_handle* gh = nullptr;
  const int naux = ok ? heif_image_handle_get_number_of_auxiliary_images(h, 0) : 0;
  std::vector<heif_item_id> aux(size_t(naux > 0 ? naux : 0));
  if (naux > 0) heif_image_handle_get_list_of_auxiliary_image_IDs(h, 0, aux.data(), naux);
  for (const heif_item_id id : aux) {
    heif_image_handle* a = nullptr;
    heif_image_handle_get_auxiliary_image_handle(h, id, &a);
    const char* type = nullptr;
    heif_image_handle_get_auxiliary_type(a, &type);
    const bool is_gain = type != nullptr && std::strstr(type, "hdrgainmap") != nullptr && (gain == 0 || gain == id);
    if (is_gain && gh == nullptr) {
      gh = a, aux_type = type;
      heif_item_id md[4];
      const int n = heif_image_handle_get_list_of_metadata_block_IDs(a, "mime", md, 4);
      if (n > 0) {
        aux_xmp.resize(heif_image_handle_get_metadata_size(a, md[0]));
        heif_image_handle_get_metadata(a, md[0], &aux_xmp[0]);
      }
    } else {
      heif_image_handle_release(a);
    }
    heif_image_handle_release_auxiliary_type(a, &type);
  }
  if (ok && gh == nullptr && gain != 0) heif_context_get_image_handle(ctx, gain, &gh);
  ok = ok && gh != nullptr;
  if (ok && gain == 0) {
    if (aux_type.find(":apple:") != std::string::npos) {
      model->apple = true;
      // exiftool reads the headroom from the gain map's XMP or Apple's maker note.
      double h_xmp = 0;
      const size_t at = aux_xmp.find("HDRGainMapHeadroom>");
      if (at != std::string::npos) h_xmp = std::atof(aux_xmp.c_str() + at + 19);
      // Without exiftool (under wine) an Apple headroom from the maker note
      // cannot be read independently: no reference then.
      const double m33 = h_xmp > 0 ? 1 : exiftool_number(path, "Apple:HDRHeadroom");
      double m48 = exiftool_number(path, "Apple:HDRGain");
      if (std::isnan(m48)) m48 = 0;
      const double stops = m33 < 1 ? (m48 <= 0.01 ? -20 * m48 + 1.8 : -0.101 * m48 + 1.601)
                                   : (m48 <= 0.01 ? -70 * m48 + 3.0 : -0.303 * m48 + 2.303);
      model->apple_headroom = h_xmp > 0 ? h_xmp : std::exp2(std::max(stops, 0.0));
      ok = !std::isnan(m33) && model->apple_headroom > 1;
    } else {
      ok = parse_hdrgm(aux_xmp, model);
    }
  }
  if (ok) {
    *primary = libheif_decode(path, false);
    *gain_map = heif_plane(gh, model->channels == 1);
    // A map stored without the primary's rotation takes it.
    const bool primary_portrait = primary->height > primary->width, gain_portrait = gain_map->height > gain_map->width;
    if (primary_portrait != gain_portrait) {
      heif_property_id props[8];
      const int n = heif_item_get_transformation_properties(ctx, pid, props, 8);
      for (int i = 0; i < n; ++i) {
        if (heif_item_get_property_type(ctx, pid, props[i]) == heif_item_property_type_transform_rotation) {
          *gain_map = rotated_ccw(*gain_map, heif_item_get_property_transform_rotation_ccw(ctx, pid, props[i]));
        }
      }
    }
    ok = gain_map->width > 0;
  }
  if (gh != nullptr) heif_image_handle_release(gh);
  if (h != nullptr) heif_image_handle_release(h);
  heif_context_free(ctx);
  return ok;
}

Agreement compare_renditions(const Raster& sdr_a, const Raster& gain_a, const GainModel& a, const Raster& sdr_b,
                             const Raster& gain_b, const GainModel& b, int step) {
  std::vector<float> diffs;
  double sum = 0;
  const Tables ta(a), tb(b);
  for (int y = 0; y < sdr_a.height; y += step) {
    for (int x = 0; x < sdr_a.width; x += step) {
      const double d = std::fabs(render(sdr_a, gain_a, a, ta, x, y) - render(sdr_b, gain_b, b, tb, x, y));
      diffs.push_back(float(d));
      sum += d;
    }
  }
  Agreement g;
  g.pixels = diffs.size();
  if (diffs.empty()) return g;
  g.mean_stops = sum / diffs.size();
  const size_t k = diffs.size() * 99 / 100;
  std::nth_element(diffs.begin(), diffs.begin() + k, diffs.end());
  g.p99_stops = diffs[k];
  return g;
}

std::vector<double> rendition_luminance(const Raster& sdr, const Raster& gain, const GainModel& m, int step,
                                        const double weights[3]) {
  std::vector<double> out;
  const Tables t(m);
  for (int y = 0; y < sdr.height; y += step)
    for (int x = 0; x < sdr.width; x += step) out.push_back(render(sdr, gain, m, t, x, y, weights));
  return out;
}

Raster sdr_from_hdr_base(const Raster& base, const Raster& gain, const GainModel& m) {
  Raster out;
  out.width = base.width, out.height = base.height, out.channels = 3;
  out.pixels.resize(size_t(base.width) * base.height * 3);
  for (int y = 0; y < base.height; ++y) {
    for (int x = 0; x < base.width; ++x) {
      const int gx = int(int64_t(x) * gain.width / base.width), gy = int(int64_t(y) * gain.height / base.height);
      const uint8_t* g = &gain.pixels[(size_t(gy) * gain.width + gx) * gain.channels];
      for (int c = 0; c < 3; ++c) {
        const int k = m.channels == 3 ? c : 0;
        const double b = srgb_light(base.pixels[(size_t(y) * base.width + x) * base.channels + c] / 255.0);
        const double sdr =
            (b + m.offset_sdr[k]) * std::exp2(-log_gain(m, c, g[gain.channels == 3 ? c : 0] / 255.0)) - m.offset_hdr[k];
        const double v = std::clamp(sdr, 0.0, 1.0);
        const double e = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
        out.pixels[(size_t(y) * base.width + x) * 3 + c] = uint8_t(std::lround(e * 255));
      }
    }
  }
  return out;
}

double pq_nits(unsigned code16) {
  const double m1 = 2610.0 / 16384, m2 = 2523.0 / 32, c1 = 107.0 / 128, c2 = 2413.0 / 128, c3 = 2392.0 / 128;
  const double e = std::pow(code16 / 65535.0, 1 / m2);
  return 10000 * std::pow(std::max(e - c1, 0.0) / (c2 - c3 * e), 1 / m1);
}

double hlg_scene(double e) {
  const double a = 0.17883277, b = 0.28466892, c = 0.55991073;
  return e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
}

// libheif's decode of a 10-bit source: samples 0..1023, RGB.
std::vector<unsigned> decode_10bit(const std::string& path, int* width, int* height) {
  std::vector<unsigned> out;
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* h = nullptr;
  heif_image* img = nullptr;
  if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
      heif_decode_image(h, &img, heif_colorspace_RGB, heif_chroma_interleaved_RRGGBB_BE, nullptr).code ==
          heif_error_Ok) {
    int stride = 0;
    const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
    *width = heif_image_get_primary_width(img), *height = heif_image_get_primary_height(img);
    for (int y = 0; y < *height; ++y)
      for (int i = 0; i < *width * 3; ++i)
        out.push_back(unsigned(p[y * stride + 2 * i]) << 8 | p[y * stride + 2 * i + 1]);
  }
  if (img != nullptr) heif_image_release(img);
  if (h != nullptr) heif_image_handle_release(h);
  heif_context_free(ctx);
  return out;
}

// |log2 a - log2 b| over pixels, both in the same units, floored at `floor`.
Stops compare_log2(const std::vector<double>& a, const std::vector<double>& b, double floor) {
  std::vector<double> d;
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    d.push_back(std::fabs(std::log2(std::max(a[i], floor)) - std::log2(std::max(b[i], floor))));
    sum += d.back();
  }
  Stops s;
  if (d.empty() || a.size() != b.size()) return Stops{99, 99};
  s.mean = sum / d.size();
  const size_t k = d.size() * 99 / 100;
  std::nth_element(d.begin(), d.begin() + long(k), d.end());
  s.p99 = d[k];
  return s;
}
