// Gain map metadata from arbitrary bytes: the binary record, hdrgm XMP and
// Apple's headroom. What parses is usable and survives its own round trip.
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "hdr/apple_gain_map.h"
#include "hdr/gain_map_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GainMapMetadata md;
  const char* why = nullptr;
  if (parse_tmap_payload(data, size, &md, &why)) {
    FUZZ_CHECK(gain_map_metadata_usable(md, &why));
    ByteBlock again{0};
    const ByteBlock record = iso_gain_map_record(md);
    again.insert(again.end(), record.begin(), record.end());
    GainMapMetadata back;
    FUZZ_CHECK(parse_tmap_payload(again.data(), again.size(), &back, &why));
    FUZZ_CHECK(iso_gain_map_record(back) == record);
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (parse_hdrgm_xmp(text, &md) && gain_map_metadata_usable(md, &why)) {
    GainMapMetadata back;
    FUZZ_CHECK(parse_hdrgm_xmp(hdrgm_description(md), &back));
    FUZZ_CHECK(std::fabs(back.alternate_headroom.value() - md.alternate_headroom.value()) < 1e-5);
    FUZZ_CHECK(std::fabs(back.channel[0].max.value() - md.channel[0].max.value()) < 1e-5);
  }
  const double headroom = apple_headroom(text, data, size);
  FUZZ_CHECK(headroom == 0 || (std::isfinite(headroom) && headroom >= 1));
  if (headroom > 1 && headroom < 65536) {
    const GainMapMetadata iso = apple_iso_metadata(headroom);
    uint8_t table[256];
    apple_iso_table(iso, headroom, table);
    for (int v = 1; v < 256; ++v) FUZZ_CHECK(table[v] >= table[v - 1]);  // brighter maps stay brighter
  }
  return 0;
}
