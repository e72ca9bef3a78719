// The last edit of a written HEIF file (brand, hidden item, altr group):
// small hand-built files it must edit or refuse, and every truncation and
// single-byte corruption of a libheif file, with nothing read out of bounds
// (run under the ASan build) and a refused file left as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "box_walker.h"
#include "fixtures.h"
#include "heif/box_edit.h"

namespace {

void put(Bytes* b, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b->push_back(uint8_t(v >> (8 * i)));
}
void put(Bytes* b, const std::string& s) { b->insert(b->end(), s.begin(), s.end()); }

Bytes box(const std::string& type, const Bytes& payload, bool large = false) {
  Bytes b;
  put(&b, large ? 1 : 8 + payload.size(), 4);
  put(&b, type);
  if (large) put(&b, 16 + payload.size(), 8);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Item {
  uint32_t id;
  uint64_t base;
  std::vector<std::pair<uint64_t, uint64_t>> extents;  // offset, length
};

// A small file: ftyp, meta (hdlr, pitm, iinf, iloc), then mdat holding 32
// bytes, items 1 and 2 taking 16 each by default.
struct Mini {
  int version = 1, offset_size = 4, length_size = 4, base_size = 0;
  uint32_t claimed_items = 0;  // non-zero: the count iloc claims
  bool large_meta = false;
  Bytes ftyp_brands = Bytes{'m', 'i', 'f', '1', 0, 0, 0, 0, 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
  Bytes before_meta, meta_extra, after_mdat;
  uint32_t second_item = 2;
  // Items given where mdat's data starts and meta ends.
  std::function<std::vector<Item>(uint64_t data, uint64_t meta_end)> items = [](uint64_t data, uint64_t) {
    return std::vector<Item>{{1, 0, {{data, 16}}}, {2, 0, {{data + 16, 16}}}};
  };

  Bytes build(uint64_t data, uint64_t meta_end) const {
    Bytes iloc{uint8_t(version), 0, 0, 0, uint8_t(offset_size << 4 | length_size), uint8_t(base_size << 4)};
    const std::vector<Item> list = items(data, meta_end);
    put(&iloc, claimed_items ? claimed_items : list.size(), version < 2 ? 2 : 4);
    for (const Item& i : list) {
      put(&iloc, i.id, version < 2 ? 2 : 4);
      if (version >= 1) put(&iloc, 0, 2);
      put(&iloc, 0, 2);
      put(&iloc, i.base, base_size);
      put(&iloc, i.extents.size(), 2);
      for (const auto& e : i.extents) put(&iloc, e.first, offset_size), put(&iloc, e.second, length_size);
    }
    Bytes iinf{0, 0, 0, 0, 0, 2};
    for (const uint32_t id : {1u, second_item}) {
      Bytes infe{2, 0, 0, 0};
      put(&infe, id, 2);
      infe.insert(infe.end(), {0, 0, 'h', 'v', 'c', '1', 0});
      iinf = iinf + box("infe", infe);
    }
    Bytes hdlr(8, 0);
    put(&hdlr, "pict");
    hdlr.resize(hdlr.size() + 13, 0);
    const Bytes meta = box("meta",
                           Bytes(4, 0) + box("hdlr", hdlr) + box("pitm", {0, 0, 0, 0, 0, 1}) + box("iinf", iinf) +
                               box("iloc", iloc) + meta_extra,
                           large_meta);
    Bytes data_bytes;
    for (int i = 0; i < 32; ++i) data_bytes.push_back(uint8_t('A' + i));
    return box("ftyp", ftyp_brands) + before_meta + meta + box("mdat", data_bytes) + after_mdat;
  }
  Bytes file() const {
    const Bytes layout = build(0, 0);
    const uint64_t data = layout.size() - after_mdat.size() - 32;
    return build(data, data - 8);
  }
};

HeifBoxEdits mini_edits() {
  HeifBoxEdits e;
  e.brand = 0x746D6170;  // tmap
  e.hidden = {2};
  e.alternates = {1, 2};
  return e;
}

struct EditCase {
  const char* name;
  std::function<Bytes()> file;
  bool edited;
};
void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }

Bytes with(const std::function<void(Mini*)>& change) {
  Mini m;
  change(&m);
  return m.file();
}

const EditCase kCases[] = {
    {"plain", [] { return Mini().file(); }, true},
    {"large_meta", [] { return with([](Mini* m) { m->large_meta = true; }); }, true},
    {"base_offsets",
     [] {
       return with([](Mini* m) {
         m->base_size = 4, m->offset_size = 0;
         m->items = [](uint64_t d, uint64_t) { return std::vector<Item>{{1, d, {{0, 16}}}, {2, d + 16, {{0, 16}}}}; };
       });
     },
     true},
    {"eight_byte_offsets_version_2", [] { return with([](Mini* m) { m->offset_size = 8, m->version = 2; }); }, true},
    {"offsets_of_size_zero",
     [] {
       return with([](Mini* m) {
         m->offset_size = 0;
         m->items = [](uint64_t, uint64_t) { return std::vector<Item>{{1, 0, {{0, 0}}}, {2, 0, {{0, 0}}}}; };
       });
     },
     false},
    {"zero_byte_extents_claimed_many",
     [] {
       return with([](Mini* m) {
         m->offset_size = 0, m->length_size = 0;
         m->items = [](uint64_t, uint64_t) {
           return std::vector<Item>{{1, 0, std::vector<std::pair<uint64_t, uint64_t>>(65535)}};
         };
       });
     },
     false},
    {"extent_outside_file",
     [] {
       return with([](Mini* m) {
         m->items = [](uint64_t d, uint64_t) { return std::vector<Item>{{1, 0, {{d, 16}}}, {2, 0, {{d + 16, 1000}}}}; };
       });
     },
     false},
    {"offset_far_beyond",
     [] {
       return with([](Mini* m) {
         m->items = [](uint64_t d, uint64_t) {
           return std::vector<Item>{{1, 0, {{d, 16}}}, {2, 0, {{0xFFFFFFF0u, 4}}}};
         };
       });
     },
     false},
    {"extent_across_meta_end",
     [] {
       return with([](Mini* m) {
         m->items = [](uint64_t d, uint64_t e) { return std::vector<Item>{{1, 0, {{e - 4, 12}}}, {2, 0, {{d, 16}}}}; };
       });
     },
     false},
    {"extents_move_apart",
     [] {
       return with([](Mini* m) {
         m->base_size = 4;
         m->items = [](uint64_t d, uint64_t) {
           return std::vector<Item>{{1, 0, {{8, 4}, {d, 16}}}, {2, d, {{16, 16}}}};
         };
       });
     },
     false},
    {"iloc_version_3", [] { return with([](Mini* m) { m->version = 3; }); }, false},
    {"iloc_field_size_2", [] { return with([](Mini* m) { m->length_size = 2; }); }, false},
    {"iloc_count_beyond_bytes", [] { return with([](Mini* m) { m->claimed_items = 65535; }); }, false},
    {"hidden_item_missing", [] { return with([](Mini* m) { m->second_item = 3; }); }, false},
    {"groups_already", [] { return with([](Mini* m) { m->meta_extra = box("grpl", {}); }); }, false},
    {"ftyp_brands_cut", [] { return with([](Mini* m) { m->ftyp_brands.resize(14); }); }, false},
    {"two_meta_boxes", [] { return with([](Mini* m) {
                              m->after_mdat = box("meta", {0, 0, 0, 0});
                            }); }, false},
    {"tracks", [] { return with([](Mini* m) { m->before_meta = box("moov", {}); }); }, false},
    {"trailing_bytes", [] { return with([](Mini* m) {
                              m->after_mdat = {1, 2, 3};
                            }); }, false},
    {"no_meta",
     [] {
       Bytes f = Mini().file();
       f[28] = 'f';
       return f;
     },
     false},
    {"ftyp_not_first",
     [] {
       const Bytes f = Mini().file();
       return box("free", {}) + f;
     },
     false},
    {"size_past_end",
     [] {
       Bytes f = Mini().file();
       f[f.size() - 40 + 3] = 0xFF;
       return f;
     },
     false},
    {"empty", [] { return Bytes(); }, false},
    {"garbage",
     [] {
       Bytes f;
       for (int i = 0; i < 200; ++i) f.push_back(uint8_t(i * 73 + 11));
       return f;
     },
     false},
};

class BoxEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(BoxEdit, EditsOrRefusesWhole) {
  const Bytes original = GetParam().file();
  Bytes file = original;
  const char* why = edit_heif_boxes(&file, mini_edits());
  if (!GetParam().edited) {
    EXPECT_NE(why, nullptr);
    EXPECT_EQ(file, original);
    return;
  }
  ASSERT_EQ(why, nullptr) << why;
  WalkedFile before, after;
  std::string walk_why;
  ASSERT_TRUE(walk_heif(original, &before, &walk_why)) << walk_why;
  ASSERT_TRUE(walk_heif(file, &after, &walk_why)) << walk_why;
  EXPECT_EQ(after.brands, (std::vector<std::string>{"mif1", "heic", "tmap"}));
  EXPECT_EQ(after.items[2].flags, 1u);
  EXPECT_EQ(after.items[1].flags, 0u);
  ASSERT_EQ(after.groups.size(), 1u);
  EXPECT_EQ(after.groups[0].type, "altr");
  EXPECT_EQ(after.groups[0].id, 3u);
  EXPECT_EQ(after.groups[0].entities, (std::vector<uint32_t>{1, 2}));
  for (const uint32_t id : {1u, 2u}) {
    const Bytes data = walked_item_data(original, before, id);
    EXPECT_EQ(data.size(), 16u);
    EXPECT_EQ(walked_item_data(file, after, id), data) << "item " << id;
  }
  EXPECT_EQ(file.size(), original.size() + 4 + 8 + 28);
}

INSTANTIATE_TEST_SUITE_P(Hdr, BoxEdit, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<EditCase>& i) { return std::string(i.param.name); });

// Every prefix of a libheif file and every byte of its meta box set to
// 0xFF, 0x00 and 0x80: refused whole or edited into a file the walker
// reads, never a read out of bounds.
TEST(BoxEdit, TruncatedAndCorruptLibheifFiles) {
  const std::string path = scratch_path("box-edit-source.heic");
  HeifRecipe recipe;
  write_heif(path, recipe);
  const Bytes source = read_file(path);
  WalkedFile w;
  std::string why;
  ASSERT_TRUE(walk_heif(source, &w, &why)) << why;
  HeifBoxEdits edits;
  edits.brand = 0x746D6170;
  edits.hidden = {w.primary};
  edits.alternates = {w.primary};
  Bytes whole = source;
  ASSERT_EQ(edit_heif_boxes(&whole, edits), nullptr);
  int refused = 0, edited = 0;
  auto check = [&](const Bytes& input) {
    Bytes file = input;
    if (edit_heif_boxes(&file, edits) != nullptr) {
      ++refused;
      EXPECT_EQ(file, input);
      return;
    }
    ++edited;
    WalkedFile in, out;
    std::string walk_why;
    if (!walk_heif(input, &in, &walk_why)) return;
    ASSERT_TRUE(walk_heif(file, &out, &walk_why)) << walk_why;
    for (const auto& loc : in.locations) {
      EXPECT_EQ(walked_item_data(file, out, loc.first), walked_item_data(input, in, loc.first));
    }
  };
  for (size_t n = 0; n < source.size(); ++n) check(Bytes(source.begin(), source.begin() + long(n)));
  const size_t meta_end = size_t(w.mdat_start) - 8;
  for (size_t at = 0; at < meta_end; ++at) {
    for (const uint8_t v : {0xFF, 0x00, 0x80}) {
      Bytes file = source;
      file[at] = v;
      check(file);
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(edited, 0);
}

}  // namespace
