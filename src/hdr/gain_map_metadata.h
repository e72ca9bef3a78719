// Gain map metadata in its two interchange forms: the binary ISO 21496-1
// record (the HEIF 'tmap' item, the JPEG APP2 segment) and the Adobe
// 'hdrgm' XMP attributes. Both describe the same model: in linear light,
// hdr = (sdr + offset_sdr) * 2^(log_gain * weight) - offset_hdr, where
// log_gain = min + (max - min) * sample^(1/gamma), logarithms base 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/metadata.h"

struct GainFraction {
  int64_t n = 0;  // signed or unsigned 32-bit numerator as stored
  uint32_t d = 1;
  double value() const { return static_cast<double>(n) / d; }
};

struct GainMapChannel {
  GainFraction min, max, gamma, base_offset, alternate_offset;
};

struct GainMapMetadata {
  bool multichannel = false;
  bool use_base_colour_space = true;
  GainFraction base_headroom, alternate_headroom;  // log2 of the peak brightness over SDR white
  GainMapChannel channel[3];                       // [0] only unless multichannel
};

// The 'tmap' item payload (version byte first). Fails on anything short,
// of an unknown version, or of unusable values; *why says which.
bool parse_tmap_payload(const uint8_t* data, size_t size, GainMapMetadata* out, const char** why);

// Whether every fraction is defined and the values make a gain map this
// library can carry: two renditions of different, finite headrooms, the
// base either the SDR one or the HDR one.
bool gain_map_metadata_usable(const GainMapMetadata& md, const char** why);

// Whether the base picture is the HDR rendition (its headroom above the
// alternate's). The map then stores log2 of HDR over SDR as well, and
// the alternate is (base + base_offset) * 2^(-log_gain) - alternate_offset.
inline bool base_is_hdr(const GainMapMetadata& md) { return md.base_headroom.value() > md.alternate_headroom.value(); }

// The same map described from its SDR rendition: for an HDR base, the
// headrooms and the offsets change sides and the samples stay as they
// are; an SDR-based description comes back unchanged.
GainMapMetadata sdr_based(const GainMapMetadata& md);

// The JPEG APP2 record: minimum and writer version, then everything else
// (the 'tmap' payload without its leading version byte).
ByteBlock iso_gain_map_record(const GainMapMetadata& md);

// The same numbers from an XMP packet's hdrgm attributes or elements;
// false when it carries none. Decimal values become fractions over 10^6.
bool parse_hdrgm_xmp(const std::string& xmp, GainMapMetadata* out);

// An rdf:Description carrying hdrgm:Version and the model's values.
std::string hdrgm_description(const GainMapMetadata& md);

// value as a fraction over 10^6 (values beyond +-2000 clamp).
GainFraction decimal_fraction(double value);
