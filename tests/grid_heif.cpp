// Grid HEIF files the way phones write them: tiles coded by libheif, put
// together here into a 'grid' item, so that tile counts and lists can be made wrong.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include <libheif/heif.h>

#include "fixtures.h"

namespace {

void put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void put32(Bytes& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

Bytes box(const char* type, const Bytes& payload) {
  Bytes b;
  put32(b, static_cast<uint32_t>(payload.size() + 8));
  b.insert(b.end(), type, type + 4);
  append(b, payload);
  return b;
}

Bytes fullbox(const char* type, uint8_t version, uint32_t flags, const Bytes& payload) {
  Bytes p{version, uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)};
  append(p, payload);
  return box(type, p);
}

void fail(const char* what) {
  std::fprintf(stderr, "grid fixture: %s\n", what);
  std::abort();
}

uint64_t get(const Bytes& b, size_t& at, int n) {
  if (at + n > b.size()) fail("short box");
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | b[at++];
  return v;
}

// One coded image item of a file libheif wrote: its data and its hvcC box.
struct CodedItem {
  Bytes data;
  Bytes hvcc;
};

// Children of a box payload [begin, end).
std::vector<std::pair<std::string, std::pair<size_t, size_t>>> children(const Bytes& f, size_t begin, size_t end) {
  std::vector<std::pair<std::string, std::pair<size_t, size_t>>> out;
  while (begin + 8 <= end) {
    size_t at = begin;
    const size_t size = get(f, at, 4);
    const std::string type(f.begin() + at, f.begin() + at + 4);
    if (size < 8 || begin + size > end) fail("bad box size");
    out.push_back({type, {begin + 8, begin + size}});
    begin += size;
  }
  return out;
}

std::vector<CodedItem> coded_items(const Bytes& f) {
  std::pair<size_t, size_t> meta{0, 0};
  for (const auto& c : children(f, 0, f.size()))
    if (c.first == "meta") meta = {c.second.first + 4, c.second.second};
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> extents;  // item -> offset, length
  std::vector<Bytes> properties;
  std::map<uint32_t, std::vector<uint32_t>> associations;
  for (const auto& c : children(f, meta.first, meta.second)) {
    size_t at = c.second.first;
    if (c.first == "iloc") {
      const int version = int(get(f, at, 1));
      at += 3;
      const int sizes = int(get(f, at, 1)), sizes2 = int(get(f, at, 1));
      const int off_size = sizes >> 4, len_size = sizes & 15, base_size = sizes2 >> 4;
      const int index_size = version >= 1 ? (sizes2 & 15) : 0;
      const uint32_t count = uint32_t(get(f, at, version < 2 ? 2 : 4));
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t id = uint32_t(get(f, at, version < 2 ? 2 : 4));
        int method = 0;
        if (version >= 1) method = int(get(f, at, 2) & 15);
        get(f, at, 2);  // data reference index
        const uint64_t base = get(f, at, base_size);
        const uint32_t n = uint32_t(get(f, at, 2));
        for (uint32_t e = 0; e < n; ++e) {
          get(f, at, index_size);
          const uint64_t off = get(f, at, off_size), len = get(f, at, len_size);
          if (e == 0 && method == 0) extents[id] = {base + off, len};
        }
      }
    } else if (c.first == "iprp") {
      for (const auto& p : children(f, c.second.first, c.second.second)) {
        if (p.first == "ipco") {
          for (const auto& prop : children(f, p.second.first, p.second.second)) {
            Bytes whole(f.begin() + static_cast<long>(prop.second.first - 8),
                        f.begin() + static_cast<long>(prop.second.second));
            properties.push_back(prop.first == "hvcC" ? whole : Bytes{});
          }
        } else if (p.first == "ipma") {
          size_t q = p.second.first;
          const int version = int(get(f, q, 1));
          const uint32_t flags = uint32_t(get(f, q, 3));
          const uint32_t entries = uint32_t(get(f, q, 4));
          for (uint32_t e = 0; e < entries; ++e) {
            const uint32_t id = uint32_t(get(f, q, version < 1 ? 2 : 4));
            const int n = int(get(f, q, 1));
            for (int k = 0; k < n; ++k) {
              const uint32_t v = uint32_t(get(f, q, (flags & 1) ? 2 : 1));
              associations[id].push_back((flags & 1) ? (v & 0x7FFF) : (v & 0x7F));
            }
          }
        }
      }
    }
  }
  std::vector<CodedItem> items;
  for (const auto& e : extents) {
    CodedItem item;
    if (e.second.first + e.second.second > f.size()) fail("extent outside file");
    item.data.assign(f.begin() + static_cast<long>(e.second.first),
                     f.begin() + static_cast<long>(e.second.first + e.second.second));
    for (uint32_t index : associations[e.first])
      if (index >= 1 && index <= properties.size() && !properties[index - 1].empty()) item.hvcc = properties[index - 1];
    if (item.hvcc.empty()) fail("item without hvcC");
    items.push_back(item);
  }
  return items;
}

heif_error to_bytes(heif_context*, const void* data, size_t size, void* user) {
  auto* out = static_cast<Bytes*>(user);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

// Codes `images` (w x h each, pixels from fn at the given origins) with
// libheif and returns their items in order.
std::vector<CodedItem> code_images(int w, int h, const std::vector<std::pair<int, int>>& origins, const PixelFn& fn,
                                   int scale) {
  heif_context* ctx = heif_context_alloc();
  heif_encoder* enc = nullptr;
  if (heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc).code != heif_error_Ok) fail("encoder");
  heif_encoder_set_lossy_quality(enc, 80);
  heif_encoder_set_parameter_string(enc, "preset", "ultrafast");
  for (const auto& o : origins) {
    heif_image* img = nullptr;
    heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img);
    heif_image_add_plane(img, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t* p = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          p[size_t(y) * stride + x * 3 + c] = fn((o.first + x) * scale, (o.second + y) * scale, c);
    heif_image_handle* handle = nullptr;
    if (heif_context_encode_image(ctx, img, enc, nullptr, &handle).code != heif_error_Ok) fail("encode tile");
    heif_image_handle_release(handle);
    heif_image_release(img);
  }
  Bytes file;
  heif_writer writer{1, to_bytes};
  if (heif_context_write(ctx, &writer, &file).code != heif_error_Ok) fail("write");
  heif_encoder_release(enc);
  heif_context_free(ctx);
  return coded_items(file);
}

}  // namespace

// A one-byte property; built by hand (GCC 12 misreads box() inlined here).
Bytes byte_box(const char* type, uint8_t value) {
  Bytes b{0, 0, 0, 9, uint8_t(type[0]), uint8_t(type[1]), uint8_t(type[2]), uint8_t(type[3])};
  b.push_back(value);
  return b;
}

Bytes irot_box(int ccw_degrees) { return byte_box("irot", uint8_t(ccw_degrees / 90 & 3)); }

Bytes imir_box(int axis) { return byte_box("imir", uint8_t(axis & 1)); }

Bytes clap_box(int w, int h, int dx_halves, int dy_halves) {
  Bytes p;
  for (const int32_t v : {w, 1, h, 1, dx_halves, 2, dy_halves, 2}) put32(p, uint32_t(v));
  return box("clap", p);
}

void write_grid_heif(const std::string& path, const GridRecipe& s) {
  const int cols = (s.width + s.tile - 1) / s.tile, rows = (s.height + s.tile - 1) / s.tile;
  if (cols > 256 || rows > 256 || cols * rows > 65530) fail("grid too large for 16-bit item IDs");
  const int tiles = cols * rows;
  const int referenced = s.referenced_tiles >= 0 ? s.referenced_tiles : tiles;

  std::vector<std::pair<int, int>> origins;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      if (s.distinct_tiles || origins.empty()) origins.push_back({c * s.tile, r * s.tile});
  const std::vector<CodedItem> coded = code_images(s.tile, s.tile, origins, s.pixel, 1);
  std::vector<CodedItem> thumb;
  const int tw = s.thumbnail ? std::max(2, s.width * 320 / std::max(s.width, s.height)) & ~1 : 0;
  const int th = s.thumbnail ? std::max(2, s.height * 320 / std::max(s.width, s.height)) & ~1 : 0;
  if (s.thumbnail) {
    const int scale = std::max(1, s.width / tw);
    thumb = code_images(tw, th, {{0, 0}}, s.pixel, scale);
  }

  // Properties: grid ispe, tile ispe, [thumb ispe], the distinct hvcC boxes.
  std::vector<Bytes> props;
  auto ispe = [](int w, int h) {
    Bytes p;
    put32(p, uint32_t(w));
    put32(p, uint32_t(h));
    return fullbox("ispe", 0, 0, p);
  };
  props.push_back(ispe(s.width, s.height));
  props.push_back(ispe(s.tile, s.tile));
  if (s.thumbnail) props.push_back(ispe(tw, th));
  auto property_index = [&](const Bytes& p) {
    for (size_t i = 0; i < props.size(); ++i)
      if (props[i] == p) return uint32_t(i + 1);
    props.push_back(p);
    return uint32_t(props.size());
  };

  // Items: 1 grid, 2.. tiles, then thumbnail, then Exif.
  const uint32_t first_tile = 2, thumb_id = first_tile + uint32_t(tiles), exif_id = thumb_id + (s.thumbnail ? 1 : 0);
  struct Item {
    uint32_t id;
    const char* type;
    bool hidden;
    const Bytes* data;            // null for the grid (idat)
    std::vector<uint32_t> props;  // high bit: essential
  };
  std::vector<Item> items;
  std::vector<uint32_t> grid_props{1};
  for (const Bytes& p : s.grid_properties) grid_props.push_back(0x8000 | property_index(p));
  items.push_back({1, "grid", false, nullptr, grid_props});
  const Bytes broken{0, 0};
  for (int t = 0; t < tiles; ++t) {
    const CodedItem& c = coded[s.distinct_tiles ? size_t(t) : 0];
    items.push_back({first_tile + uint32_t(t),
                     "hvc1",
                     true,
                     t == s.broken_tile ? &broken : &c.data,
                     {0x8000 | property_index(c.hvcc), 2}});
  }
  if (s.thumbnail)
    items.push_back({thumb_id, "hvc1", false, &thumb[0].data, {0x8000 | property_index(thumb[0].hvcc), 3}});
  if (!s.exif.empty()) items.push_back({exif_id, "Exif", true, &s.exif, {}});
  const uint32_t aux_id = grid_aux_item(s);
  if (s.aux_grid) {
    static const char kGainMap[] = "urn:com:apple:photo:2020:aux:hdrgainmap";
    const uint32_t aux_type = property_index(fullbox("auxC", 0, 0, Bytes(kGainMap, kGainMap + sizeof kGainMap)));
    items.push_back({aux_id, "grid", true, nullptr, {1, aux_type}});
    for (int t = 0; t < tiles; ++t) {
      const CodedItem& c = coded[s.distinct_tiles ? size_t(t) : 0];
      items.push_back({aux_id + 1 + uint32_t(t), "hvc1", true, &c.data, {0x8000 | property_index(c.hvcc), 2}});
    }
  }

  Bytes grid_desc{0, 0, uint8_t(rows - 1), uint8_t(cols - 1)};
  put16(grid_desc, uint32_t(s.width));
  put16(grid_desc, uint32_t(s.height));

  // Item data goes to mdat once per distinct block.
  std::map<const Bytes*, uint32_t> mdat_offset;
  Bytes mdat_payload;
  for (const Item& it : items)
    if (it.data != nullptr && !mdat_offset.count(it.data)) {
      mdat_offset[it.data] = uint32_t(mdat_payload.size());
      append(mdat_payload, *it.data);
    }

  auto build_meta = [&](uint32_t mdat_data_at) {
    Bytes hdlr{0, 0, 0, 0, 'p', 'i', 'c', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes pitm;
    put16(pitm, 1);
    Bytes iloc{0x44, 0x00};
    put16(iloc, uint32_t(items.size()));
    for (const Item& it : items) {
      put16(iloc, it.id);
      put16(iloc, it.data == nullptr ? 1 : 0);  // construction method: idat for the grid
      put16(iloc, 0);
      put16(iloc, 1);
      put32(iloc, it.data == nullptr ? 0 : mdat_data_at + mdat_offset[it.data]);
      put32(iloc, uint32_t(it.data == nullptr ? grid_desc.size() : it.data->size()));
    }
    Bytes iinf;
    put16(iinf, uint32_t(items.size()));
    for (const Item& it : items) {
      Bytes infe;
      put16(infe, it.id);
      put16(infe, 0);
      infe.insert(infe.end(), it.type, it.type + 4);
      infe.push_back(0);
      append(iinf, fullbox("infe", 2, it.hidden ? 1 : 0, infe));
    }
    Bytes iref;
    Bytes dimg;
    put16(dimg, 1);
    put16(dimg, uint32_t(referenced));
    for (int t = 0; t < referenced; ++t) put16(dimg, first_tile + uint32_t(t % tiles));
    append(iref, box("dimg", dimg));
    if (s.aux_grid) {
      Bytes auxl, aux_dimg;
      put16(auxl, aux_id);
      put16(auxl, 1);
      put16(auxl, 1);
      append(iref, box("auxl", auxl));
      put16(aux_dimg, aux_id);
      put16(aux_dimg, uint32_t(tiles));
      for (int t = 0; t < tiles; ++t) put16(aux_dimg, aux_id + 1 + uint32_t(t));
      append(iref, box("dimg", aux_dimg));
    }
    if (s.thumbnail) {
      Bytes thmb;
      put16(thmb, thumb_id);
      put16(thmb, 1);
      put16(thmb, 1);
      append(iref, box("thmb", thmb));
    }
    if (!s.exif.empty()) {
      Bytes cdsc;
      put16(cdsc, exif_id);
      put16(cdsc, 1);
      put16(cdsc, 1);
      append(iref, box("cdsc", cdsc));
    }
    Bytes ipco;
    for (const Bytes& p : props) append(ipco, p);
    Bytes ipma;
    put32(ipma, uint32_t(items.size()));
    for (const Item& it : items) {
      put16(ipma, it.id);
      ipma.push_back(uint8_t(it.props.size()));
      for (uint32_t p : it.props) put16(ipma, p);
    }
    Bytes iprp = box("ipco", ipco);
    append(iprp, fullbox("ipma", 0, 1, ipma));
    Bytes meta;
    append(meta, fullbox("hdlr", 0, 0, hdlr));
    append(meta, fullbox("pitm", 0, 0, pitm));
    append(meta, fullbox("iloc", 1, 0, iloc));
    append(meta, fullbox("iinf", 0, 0, iinf));
    append(meta, fullbox("iref", 0, 0, iref));
    append(meta, box("iprp", iprp));
    append(meta, box("idat", grid_desc));
    return fullbox("meta", 0, 0, meta);
  };

  const Bytes ftyp = box("ftyp", Bytes{'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'});
  const size_t meta_size = build_meta(0).size();
  const uint32_t data_at = uint32_t(ftyp.size() + meta_size + 8);
  Bytes file = ftyp;
  append(file, build_meta(data_at));
  append(file, box("mdat", mdat_payload));
  write_file(path, file);
}

uint32_t grid_aux_item(const GridRecipe& s) {
  const int tiles = ((s.width + s.tile - 1) / s.tile) * ((s.height + s.tile - 1) / s.tile);
  return 2 + uint32_t(tiles) + (s.thumbnail ? 1 : 0) + (s.exif.empty() ? 0 : 1);
}

bool break_hvcc(Bytes* heif, const std::vector<uint32_t>& targets) {
  Bytes& f = *heif;
  // Top-level boxes up to meta only: a phone's mdat may have a 64-bit size.
  std::pair<size_t, size_t> meta{0, 0};
  for (size_t at = 0; at + 8 <= f.size() && meta.second == 0;) {
    size_t q = at;
    const size_t size = get(f, q, 4);
    if (size < 8 || at + size > f.size()) return false;
    if (std::memcmp(&f[q], "meta", 4) == 0) meta = {at + 12, at + size};
    at += size;
  }
  for (const auto& c : children(f, meta.first, meta.second)) {
    if (c.first != "iprp") continue;
    std::vector<std::string> types;
    for (const auto& p : children(f, c.second.first, c.second.second))
      if (p.first == "ipco")
        for (const auto& prop : children(f, p.second.first, p.second.second)) types.push_back(prop.first);
    const auto ispe = std::find(types.begin(), types.end(), "ispe");
    if (ispe == types.end()) return false;
    const uint32_t ispe_index = uint32_t(ispe - types.begin() + 1);
    size_t broken = 0;
    for (const auto& p : children(f, c.second.first, c.second.second)) {
      if (p.first != "ipma") continue;
      size_t q = p.second.first;
      const int version = int(get(f, q, 1));
      const bool wide = (get(f, q, 3) & 1) != 0;
      const uint32_t entries = uint32_t(get(f, q, 4));
      for (uint32_t e = 0; e < entries; ++e) {
        const uint32_t id = uint32_t(get(f, q, version < 1 ? 2 : 4));
        const int n = int(get(f, q, 1));
        const bool target = std::find(targets.begin(), targets.end(), id) != targets.end();
        for (int k = 0; k < n; ++k) {
          const size_t at = q;
          const uint32_t v = uint32_t(get(f, q, wide ? 2 : 1));
          const uint32_t index = wide ? (v & 0x7FFF) : (v & 0x7F);
          if (!target || index < 1 || index > types.size() || types[index - 1] != "hvcC") continue;
          if (wide) {
            f[at] = uint8_t(ispe_index >> 8);  // the essential bit goes with it
            f[at + 1] = uint8_t(ispe_index);
          } else {
            f[at] = uint8_t(ispe_index);
          }
          ++broken;
        }
      }
    }
    return broken == targets.size();
  }
  return false;
}
