// The library's own last edit of a HEIF file written by libheif, for what
// libheif cannot write: a compatible brand, hidden items and an 'altr'
// entity group. Hostile-input code: every size is checked against the box
// it stands in (heif/box_cursor.h), and a file it cannot edit safely is
// refused whole and left as it was.
#pragma once

#include <cstdint>
#include <vector>

struct HeifBoxEdits {
  uint32_t brand = 0;                // added to ftyp's compatible brands (0: none)
  std::vector<uint32_t> hidden;      // items whose infe gets flag bit 0 (hidden)
  std::vector<uint32_t> alternates;  // entities of one 'altr' group, preferred first (empty: none)
};

// Applies edits to a whole file in memory. The brand grows ftyp by four
// bytes (none when it is already listed); the group is a 'grpl' box appended
// to the top-level 'meta' box; every 'iloc' extent in this file
// (construction method 0) is moved by the bytes inserted before the data it
// points at, in its base offset or its extent offset. Null on success, or
// why the file was refused (then *file is unchanged): a malformed or
// unexpected box structure, an item the edits name that is not there, an
// offset that cannot hold its new value or data that an insertion would
// split.
const char* edit_heif_boxes(std::vector<uint8_t>* file, const HeifBoxEdits& edits);
