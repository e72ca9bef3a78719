// The tool's word on a photo that opened only with hidden images dropped
// (the library's salvage read): the call succeeded, but something of the
// file was left out.
#pragma once

#include <string>

#include "formats/png_writer.h"
#include "hdr/ultrahdr_jpeg.h"
#include "heif/open_file.h"

// "7 hidden images dropped (libheif's reason)" for the calling thread's last
// HEIF read, or "" when it opened the file as it is.
inline std::string salvage_warning() {
  const SalvageNote note = last_salvage();
  if (note.hidden_images <= 0) return "";
  std::string reason = note.reason;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  return std::to_string(note.hidden_images) + (note.hidden_images == 1 ? " hidden image" : " hidden images") +
         " dropped (" + reason + ")";
}

// The salvage warning; for a conversion that was asked to keep HDR but
// wrote an SDR JPEG, why; and a colour profile repaired for PNG.
inline std::string conversion_warning() {
  std::string warning = salvage_warning();
  const std::string hdr = last_hdr_note();
  if (!hdr.empty()) warning += (warning.empty() ? "" : "; ") + std::string("HDR gain map not kept: ") + hdr;
  const std::string icc = last_icc_note();
  if (!icc.empty()) warning += (warning.empty() ? "" : "; ") + icc;
  return warning;
}

// Whether a worker's warning tells of a salvaged read (its first part).
inline bool is_salvage_warning(const std::string& warning) {
  return !warning.empty() && warning[0] >= '0' && warning[0] <= '9';
}
