#include "hdr/gain_map_metadata.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/platform.h"

namespace {

// Logarithmic values beyond this many stops describe no real display.
const double kMaxStops = 16.0;

struct Reader {
  const uint8_t* p;
  size_t left;
  bool ok = true;
  bool common = false;  // one denominator for every fraction, read once
  uint32_t common_d = 1;
  uint32_t u(int bytes) {
    if (left < static_cast<size_t>(bytes)) {
      ok = false;
      return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | *p++;
    left -= static_cast<size_t>(bytes);
    return v;
  }
  GainFraction fraction(bool is_signed) {
    GainFraction f;
    const uint32_t n = u(4);
    f.n = is_signed ? static_cast<int64_t>(static_cast<int32_t>(n)) : static_cast<int64_t>(n);
    f.d = common ? common_d : u(4);
    return f;
  }
};

void put(ByteBlock* out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_fraction(ByteBlock* out, const GainFraction& f) {
  put(out, static_cast<uint32_t>(f.n), 4);
  put(out, f.d, 4);
}

bool defined(const GainFraction& f) { return f.d != 0 && std::isfinite(f.value()); }

// ---- XMP

// The prefix bound to the hdrgm namespace ("hdrgm" in every writer seen).
std::string hdrgm_prefix(const std::string& xmp) {
  const char kUri[] = "\"http://ns.adobe.com/hdr-gain-map/1.0/\"";
  size_t at = xmp.find(kUri);
  if (at == std::string::npos) {
    const char kUri1[] = "'http://ns.adobe.com/hdr-gain-map/1.0/'";
    at = xmp.find(kUri1);
    if (at == std::string::npos) return std::string();
  }
  const size_t eq = xmp.rfind('=', at);
  const size_t colon = xmp.rfind("xmlns:", eq);
  if (eq == std::string::npos || colon == std::string::npos || eq - colon > 64) return std::string();
  return xmp.substr(colon + 6, eq - colon - 6);
}

double parse_number(const std::string& text, bool* ok) {
  platform::CLocaleScope c_locale;
  const char* s = text.c_str();
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')) ++end;
  *ok = end != s && end != nullptr && *end == '\0' && std::isfinite(v);
  return v;
}

// One value (attribute or element) or three (an rdf:Seq of channels).
std::vector<std::string> hdrgm_values(const std::string& xmp, const std::string& prefix, const char* name) {
  const std::string attr = prefix + ":" + name + "=";
  size_t at = xmp.find(attr);
  if (at != std::string::npos) {
    const size_t q = at + attr.size();
    if (q >= xmp.size() || (xmp[q] != '"' && xmp[q] != '\'')) return {};
    const size_t end = xmp.find(xmp[q], q + 1);
    if (end == std::string::npos) return {};
    return {xmp.substr(q + 1, end - q - 1)};
  }
  const std::string open = "<" + prefix + ":" + name + ">";
  const std::string close = "</" + prefix + ":" + name + ">";
  at = xmp.find(open);
  if (at == std::string::npos) return {};
  const size_t begin = at + open.size();
  const size_t end = xmp.find(close, begin);
  if (end == std::string::npos) return {};
  const std::string body = xmp.substr(begin, end - begin);
  if (body.find("<rdf:li") == std::string::npos) return {body};
  std::vector<std::string> items;
  for (size_t li = body.find("<rdf:li"); li != std::string::npos && items.size() < 4;
       li = body.find("<rdf:li", li + 1)) {
    const size_t gt = body.find('>', li);
    const size_t stop = body.find("</rdf:li>", li);
    if (gt == std::string::npos || stop == std::string::npos || stop < gt) return {};
    items.push_back(body.substr(gt + 1, stop - gt - 1));
  }
  return items;
}

void append_number(std::string* out, double v) {
  char buf[32];
  {
    platform::CLocaleScope c_locale;
    std::snprintf(buf, sizeof buf, "%.6f", v);
  }
  *out += buf;
}

}  // namespace

GainMapMetadata sdr_based(const GainMapMetadata& md) {
  if (!base_is_hdr(md)) return md;
  GainMapMetadata out = md;
  std::swap(out.base_headroom, out.alternate_headroom);
  for (GainMapChannel& ch : out.channel) std::swap(ch.base_offset, ch.alternate_offset);
  return out;
}

GainFraction decimal_fraction(double value) {
  const double kScale = 1000000.0;
  if (!(value > -2000.0)) value = -2000.0;
  if (value > 2000.0) value = 2000.0;
  GainFraction f;
  f.n = static_cast<int64_t>(std::llround(value * kScale));
  f.d = static_cast<uint32_t>(kScale);
  return f;
}

bool gain_map_metadata_usable(const GainMapMetadata& md, const char** why) {
  const int channels = md.multichannel ? 3 : 1;
  if (!defined(md.base_headroom) || !defined(md.alternate_headroom)) {
    *why = "gain map headroom has a zero denominator";
    return false;
  }
  const double base = md.base_headroom.value(), alternate = md.alternate_headroom.value();
  if (base < 0 || alternate < 0 || base > kMaxStops || alternate > kMaxStops || alternate == base) {
    *why = "gain map headroom is out of range (the base and alternate pictures must differ in headroom)";
    return false;
  }
  for (int c = 0; c < channels; ++c) {
    const GainMapChannel& ch = md.channel[c];
    if (!defined(ch.min) || !defined(ch.max) || !defined(ch.gamma) || !defined(ch.base_offset) ||
        !defined(ch.alternate_offset)) {
      *why = "gain map metadata has a zero denominator";
      return false;
    }
    if (std::fabs(ch.min.value()) > kMaxStops || std::fabs(ch.max.value()) > kMaxStops ||
        ch.max.value() < ch.min.value() || ch.gamma.value() <= 0 || ch.gamma.value() > 100 ||
        std::fabs(ch.base_offset.value()) > 1 || std::fabs(ch.alternate_offset.value()) > 1) {
      *why = "gain map metadata is out of range";
      return false;
    }
  }
  return true;
}

bool parse_tmap_payload(const uint8_t* data, size_t size, GainMapMetadata* out, const char** why) {
  Reader r{data, size};
  const uint32_t version = r.u(1);
  const uint32_t minimum_version = r.u(2);
  r.u(2);  // writer version: informative
  const uint32_t flags = r.u(1);
  if (r.ok && (version != 0 || minimum_version != 0)) {
    *why = "gain map metadata has an unknown version";
    return false;
  }
  GainMapMetadata md;
  md.multichannel = (flags & 0x80) != 0;
  md.use_base_colour_space = (flags & 0x40) != 0;
  r.common = (flags & 0x08) != 0;
  if (r.common) r.common_d = r.u(4);
  md.base_headroom = r.fraction(false);
  md.alternate_headroom = r.fraction(false);
  for (int c = 0; c < (md.multichannel ? 3 : 1); ++c) {
    GainMapChannel& ch = md.channel[c];
    ch.min = r.fraction(true);
    ch.max = r.fraction(true);
    ch.gamma = r.fraction(false);
    ch.base_offset = r.fraction(true);
    ch.alternate_offset = r.fraction(true);
  }
  if (!r.ok) {
    *why = "gain map metadata is truncated";
    return false;
  }
  if (!gain_map_metadata_usable(md, why)) return false;
  *out = md;
  return true;
}

ByteBlock iso_gain_map_record(const GainMapMetadata& md) {
  ByteBlock out;
  put(&out, 0, 2);  // minimum version
  put(&out, 0, 2);  // writer version
  put(&out, (md.multichannel ? 0x80u : 0u) | (md.use_base_colour_space ? 0x40u : 0u), 1);
  put_fraction(&out, md.base_headroom);
  put_fraction(&out, md.alternate_headroom);
  for (int c = 0; c < (md.multichannel ? 3 : 1); ++c) {
    const GainMapChannel& ch = md.channel[c];
    put_fraction(&out, ch.min);
    put_fraction(&out, ch.max);
    put_fraction(&out, ch.gamma);
    put_fraction(&out, ch.base_offset);
    put_fraction(&out, ch.alternate_offset);
  }
  return out;
}

bool parse_hdrgm_xmp(const std::string& xmp, GainMapMetadata* out) {
  const std::string prefix = hdrgm_prefix(xmp);
  if (prefix.empty()) return false;
  // Defaults of the hdrgm namespace; GainMapMax and HDRCapacityMax have none.
  struct Field {
    const char* name;
    double fallback;
    bool required;
    std::vector<double> values;
  } fields[] = {
      {"GainMapMin", 0, false, {}},       {"GainMapMax", 0, true, {}},        {"Gamma", 1, false, {}},
      {"OffsetSDR", 1.0 / 64, false, {}}, {"OffsetHDR", 1.0 / 64, false, {}}, {"HDRCapacityMin", 0, false, {}},
      {"HDRCapacityMax", 0, true, {}}};
  for (Field& f : fields) {
    const std::vector<std::string> texts = hdrgm_values(xmp, prefix, f.name);
    if (texts.empty()) {
      if (f.required) return false;
      f.values.push_back(f.fallback);
      continue;
    }
    if (texts.size() != 1 && texts.size() != 3) return false;
    for (const std::string& t : texts) {
      bool ok = false;
      f.values.push_back(parse_number(t, &ok));
      if (!ok) return false;
    }
  }
  const std::vector<std::string> hdr_base = hdrgm_values(xmp, prefix, "BaseRenditionIsHDR");
  if (!hdr_base.empty() && hdr_base[0] != "False") return false;
  GainMapMetadata md;
  md.multichannel = false;
  for (int i = 0; i < 5; ++i) md.multichannel = md.multichannel || fields[i].values.size() == 3;
  if (fields[5].values.size() != 1 || fields[6].values.size() != 1) return false;
  md.base_headroom = decimal_fraction(fields[5].values[0]);
  md.alternate_headroom = decimal_fraction(fields[6].values[0]);
  for (int c = 0; c < (md.multichannel ? 3 : 1); ++c) {
    auto at = [&](int field) {
      const std::vector<double>& v = fields[field].values;
      return decimal_fraction(v.size() == 3 ? v[static_cast<size_t>(c)] : v[0]);
    };
    md.channel[c] = GainMapChannel{at(0), at(1), at(2), at(3), at(4)};
  }
  *out = md;
  return true;
}

std::string hdrgm_description(const GainMapMetadata& md) {
  std::string out =
      "<rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\""
      " hdrgm:Version=\"1.0\"";
  auto attribute = [&](const char* name, double v) {
    out += std::string(" hdrgm:") + name + "=\"";
    append_number(&out, v);
    out += "\"";
  };
  attribute("HDRCapacityMin", md.base_headroom.value());
  attribute("HDRCapacityMax", md.alternate_headroom.value());
  out += " hdrgm:BaseRenditionIsHDR=\"False\"";
  const char* names[] = {"GainMapMin", "GainMapMax", "Gamma", "OffsetSDR", "OffsetHDR"};
  auto field = [&](const GainMapChannel& ch, int i) {
    const GainFraction* f[] = {&ch.min, &ch.max, &ch.gamma, &ch.base_offset, &ch.alternate_offset};
    return f[i]->value();
  };
  if (!md.multichannel) {
    for (int i = 0; i < 5; ++i) attribute(names[i], field(md.channel[0], i));
    return out + "/>";
  }
  out += ">";
  for (int i = 0; i < 5; ++i) {
    out += std::string("<hdrgm:") + names[i] + "><rdf:Seq>";
    for (const GainMapChannel& ch : md.channel) {
      out += "<rdf:li>";
      append_number(&out, field(ch, i));
      out += "</rdf:li>";
    }
    out += std::string("</rdf:Seq></hdrgm:") + names[i] + ">";
  }
  return out + "</rdf:Description>";
}
