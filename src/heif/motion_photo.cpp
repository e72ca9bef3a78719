#include "heif/motion_photo.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/error_state.h"
#include "base/output_file.h"
#include "formats/xmp_text.h"
#include "heif/box_cursor.h"
#include "heif/item_metadata.h"

namespace {

using namespace xmp_text;

const size_t npos = std::string::npos;

// ---- XMP, read by hand: no locale, no XML library, every index checked

// Skips white space from p up to end.
size_t skip_space(const std::string& x, size_t p, size_t end) {
  while (p < end && space(x[p])) ++p;
  return p;
}

// The first `what` inside x[from, end), or npos: searches stay inside the
// range they stand for, so a packet of many items is read in linear time.
size_t find_in(const std::string& x, const std::string& what, size_t from, size_t end) {
  if (from >= end || what.size() > end - from) return npos;
  const auto stop = x.begin() + static_cast<std::ptrdiff_t>(end);
  const auto it = std::search(x.begin() + static_cast<std::ptrdiff_t>(from), stop, what.begin(), what.end());
  return it == stop ? npos : static_cast<size_t>(it - x.begin());
}

// The prefixes the packet binds to uri (xmlns:prefix="uri"), each once and
// at most eight (a packet uses one or two).
std::vector<std::string> prefixes(const std::string& x, const char* uri) {
  std::vector<std::string> out;
  for (size_t at = x.find("xmlns:"); at != npos; at = x.find("xmlns:", at + 6)) {
    size_t p = at + 6;
    while (p < x.size() && name_char(x[p])) ++p;
    const std::string prefix = x.substr(at + 6, p - at - 6);
    p = skip_space(x, p, x.size());
    if (prefix.empty() || p >= x.size() || x[p] != '=') continue;
    p = skip_space(x, p + 1, x.size());
    if (p >= x.size() || (x[p] != '"' && x[p] != '\'')) continue;
    const size_t close = x.find(x[p], p + 1);
    if (close == npos) break;
    if (x.compare(p + 1, close - p - 1, uri) == 0 && std::find(out.begin(), out.end(), prefix) == out.end()) {
      out.push_back(prefix);
      if (out.size() == 8) break;
    }
  }
  return out;
}

// The value of the property prefix:name within x[begin, end), under any of
// the prefixes: an attribute (prefix:name="value") or an element holding
// text only (<prefix:name>value</prefix:name>).
bool property(const std::string& x, size_t begin, size_t end, const std::vector<std::string>& prefixes,
              const char* name, std::string* value) {
  for (const std::string& prefix : prefixes) {
    const std::string qname = prefix + ":" + name;
    for (size_t at = find_in(x, qname, begin, end); at != npos; at = find_in(x, qname, at + 1, end)) {
      const size_t after = at + qname.size();
      if (after < end && name_char(x[after])) continue;
      const char before = at > 0 ? x[at - 1] : '\0';
      if (before == '<') {
        if (after >= end || x[after] != '>') continue;
        const size_t lt = x.find('<', after + 1);
        if (lt == npos || lt >= end) return false;
        *value = x.substr(after + 1, lt - after - 1);
        return true;
      }
      if (!space(before)) continue;
      size_t p = skip_space(x, after, end);
      if (p >= end || x[p] != '=') continue;
      p = skip_space(x, p + 1, end);
      if (p >= end || (x[p] != '"' && x[p] != '\'')) continue;
      const size_t close = x.find(x[p], p + 1);
      if (close == npos || close >= end) return false;
      *value = x.substr(p + 1, close - p - 1);
      return true;
    }
  }
  return false;
}

// A decimal integer, white space around it allowed.
bool parse_integer(const std::string& text, int64_t* out) {
  size_t i = skip_space(text, 0, text.size());
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  const size_t first = i;
  int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v > (INT64_MAX - 9) / 10) return false;
    v = v * 10 + (text[i] - '0');
  }
  if (i == first || skip_space(text, i, text.size()) != text.size()) return false;
  *out = negative ? -v : v;
  return true;
}

std::string trimmed(const std::string& s) {
  const size_t b = skip_space(s, 0, s.size());
  size_t e = s.size();
  while (e > b && space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// A media type as a report can show it: type/subtype in token characters.
bool plausible_mime(const std::string& s) {
  if (s.empty() || s.size() > 100 || std::count(s.begin(), s.end(), '/') != 1) return false;
  for (const char c : s) {
    if (!name_char(c) && c != '/' && c != '+') return false;
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return s.front() != '/' && s.back() != '/';
}

struct Range {
  size_t offset = 0, length = 0;
  std::string mime;  // from the XMP; empty when it gives none
};

struct DirectoryItem {
  std::string semantic, mime;
  int64_t length = -1;  // -1: absent or unreadable
  int64_t padding = 0;
};

// The container directory's items in list order; empty when the packet has
// none or its padding cannot be read.
std::vector<DirectoryItem> directory_items(const std::string& x) {
  const std::vector<std::string> items = prefixes(x, kItem);
  for (const std::string& c : prefixes(x, kContainer)) {
    const std::string open = "<" + c + ":Directory";
    size_t at = x.find(open);
    while (at != npos && at + open.size() < x.size() && name_char(x[at + open.size()])) at = x.find(open, at + 1);
    if (at == npos) continue;
    const size_t close = x.find("</" + c + ":Directory", at);
    if (close == npos) return {};
    std::vector<DirectoryItem> out;
    for (size_t li = x.find("<rdf:li", at); li != npos && li < close;) {
      const size_t next = x.find("<rdf:li", li + 7);
      const size_t stop = next == npos || next > close ? close : next;
      DirectoryItem item;
      std::string v;
      if (property(x, li, stop, items, "Semantic", &v)) item.semantic = trimmed(v);
      if (property(x, li, stop, items, "Mime", &v)) item.mime = trimmed(v);
      if (property(x, li, stop, items, "Length", &v) && !parse_integer(v, &item.length)) item.length = -1;
      if (property(x, li, stop, items, "Padding", &v) && (!parse_integer(v, &item.padding) || item.padding < 0)) {
        return {};
      }
      out.push_back(item);
      li = next;
    }
    return out;
  }
  return {};
}

// The MotionPhoto item's range: its Length counted back from the file's end,
// past the items after it (their lengths and padding).
bool directory_range(const std::string& x, size_t size, Range* range) {
  const std::vector<DirectoryItem> items = directory_items(x);
  size_t m = 0;
  while (m < items.size() && items[m].semantic != "MotionPhoto") ++m;
  if (m == items.size() || items[m].length <= 0 || uint64_t(items[m].length) > size) return false;
  uint64_t tail = 0;
  for (size_t k = m + 1; k < items.size(); ++k) {
    if (items[k].length < 0 || uint64_t(items[k].length) > size || uint64_t(items[k].padding) > size) return false;
    tail += uint64_t(items[k].length) + uint64_t(items[k].padding);
    if (tail > size) return false;
  }
  const size_t end = size - size_t(tail);
  if (size_t(items[m].length) > end) return false;
  range->length = size_t(items[m].length);
  range->offset = end - range->length;
  range->mime = items[m].mime;
  return true;
}

// GCamera:MicroVideoOffset: bytes from the video's start to the file's end.
bool micro_video_range(const std::string& x, size_t size, Range* range) {
  std::string v;
  int64_t offset = 0;
  if (!property(x, 0, x.size(), prefixes(x, kCamera), "MicroVideoOffset", &v) || !parse_integer(v, &offset) ||
      offset <= 0 || uint64_t(offset) > size) {
    return false;
  }
  range->offset = size - size_t(offset);
  range->length = size_t(offset);
  return true;
}

// The first of the GCamera timestamps the packets give, in microseconds;
// -1 when none does.
int64_t presentation_timestamp(const std::vector<std::string>& packets, bool micro_video_first) {
  const char* names[2] = {"MotionPhotoPresentationTimestampUs", "MicroVideoPresentationTimestampUs"};
  if (micro_video_first) std::swap(names[0], names[1]);
  for (const char* name : names) {
    for (const std::string& x : packets) {
      std::string v;
      int64_t us = 0;
      if (property(x, 0, x.size(), prefixes(x, kCamera), name, &v) && parse_integer(v, &us)) return us < 0 ? -1 : us;
    }
  }
  return -1;
}

// ---- the file's bytes

// The payload of the first top-level mpvd box.
bool mpvd_range(const uint8_t* file, size_t size, Range* range) {
  const uint32_t mpvd = uint32_t('m') << 24 | uint32_t('p') << 16 | uint32_t('v') << 8 | uint32_t('d');
  Cursor c{file, 0, size};
  Box box;
  while (next_box(c, &box)) {
    if (box.type != mpvd) continue;
    range->offset = box.payload;
    range->length = box.end - box.payload;
    return true;
  }
  return false;
}

// Whether the range lies inside the file, past its first byte, and starts
// with an ftyp box of its own (the MP4's start).
bool holds_mp4(const uint8_t* file, size_t size, const Range& r) {
  if (r.offset == 0 || r.offset >= size || r.length > size - r.offset || r.length < 16) return false;
  const uint8_t* p = file + r.offset;
  const uint32_t box = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  return std::memcmp(p + 4, "ftyp", 4) == 0 && box >= 16 && box <= r.length;
}

// The media type the XMP gives, else the one the MP4's major brand implies.
std::string media_type(const uint8_t* file, const Range& r) {
  if (plausible_mime(r.mime)) return r.mime;
  return std::memcmp(file + r.offset + 8, "qt  ", 4) == 0 ? "video/quicktime" : "video/mp4";
}

}  // namespace

bool find_motion_photo(const uint8_t* file, size_t size, const std::vector<std::string>& xmp_packets,
                       MotionPhotoVideo* video) {
  *video = MotionPhotoVideo();
  if (file == nullptr) return false;
  Range r;
  bool found = mpvd_range(file, size, &r) && holds_mp4(file, size, r);
  for (size_t i = 0; !found && i < xmp_packets.size(); ++i) {
    r = Range();
    found = directory_range(xmp_packets[i], size, &r) && holds_mp4(file, size, r);
  }
  bool micro_video = false;
  for (size_t i = 0; !found && i < xmp_packets.size(); ++i) {
    r = Range();
    found = micro_video = micro_video_range(xmp_packets[i], size, &r) && holds_mp4(file, size, r);
  }
  if (!found) return false;
  video->offset = r.offset;
  video->length = r.length;
  video->mime = media_type(file, r);
  video->presentation_timestamp_us = presentation_timestamp(xmp_packets, micro_video);
  return true;
}

bool motion_photo_of(const HeifFileBytes& file, heif_image_handle* primary, MotionPhotoVideo* video) {
  return find_motion_photo(file.data.get(), file.size, item_xmp_packets(primary), video);
}

bool write_motion_photo_video(const HeifFileBytes& file, const MotionPhotoVideo& video, const char* path) {
  if (video.offset > file.size || video.length > file.size - video.offset) {
    set_error("Failed writing video output file");
    return false;
  }
  OutputFile output(path);
  FILE* f = output.open();
  if (f == nullptr || std::fwrite(file.data.get() + video.offset, 1, video.length, f) != video.length ||
      !output.commit()) {
    set_error("Failed writing video output file");
    return false;
  }
  return true;
}
