// The salvage read's own box reader and item hiding on arbitrary bytes:
// nothing is read or written outside the bytes, nothing but item types
// changes, and each change is one "skip". The output editor (brand, hidden
// item, altr group) on the same bytes: a refused file is left as it was, an
// edited one grows by exactly what was inserted.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "heif/box_edit.h"
#include "heif/meta_box.h"
#include "heif/salvage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MetaIndex index;
  const bool read = read_meta_index(data, size, &index);
  for (const MetaItem& item : index.items) FUZZ_CHECK(item.type_at + 4 <= size);
  for (const MetaProperty& p : index.properties) FUZZ_CHECK(p.payload_at + p.payload_size <= size);

  std::vector<uint8_t> copy(data, data + size);
  const int hidden = hide_unneeded_images(copy.data(), copy.size());
  FUZZ_CHECK(hidden >= 0);
  FUZZ_CHECK(read || hidden == 0);
  // Every changed byte lies in a "skip" written over an item type.
  int renamed = 0;
  for (const MetaItem& item : index.items) {
    if (std::memcmp(copy.data() + item.type_at, data + item.type_at, 4) != 0) {
      FUZZ_CHECK(std::memcmp(copy.data() + item.type_at, "skip", 4) == 0);
      std::memcpy(copy.data() + item.type_at, data + item.type_at, 4);
      ++renamed;
    }
  }
  FUZZ_CHECK(size == 0 || std::memcmp(copy.data(), data, size) == 0);
  FUZZ_CHECK(renamed <= hidden);  // an item listed twice is renamed once

  HeifBoxEdits edits;
  edits.brand = fourcc("tmap");
  edits.hidden = {index.primary};
  edits.alternates = {index.primary, index.primary};
  std::vector<uint8_t> edited(data, data + size);
  if (edit_heif_boxes(&edited, edits) != nullptr) {
    FUZZ_CHECK(edited.size() == size && (size == 0 || std::memcmp(edited.data(), data, size) == 0));
  } else {
    const size_t group = 8 + 20 + 4 * edits.alternates.size();
    FUZZ_CHECK(edited.size() == size + group || edited.size() == size + group + 4);
  }
  return 0;
}
