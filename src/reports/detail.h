// The detailed report (lumetra_info_detail): every top-level image of a
// HEIF file with its transformations, colour profile, thumbnails,
// auxiliary images, gain map and metadata, the file's brands, whether a
// salvage read was needed, and the motion-photo video kept after the
// picture; one JSON document, no pixel decoded.
#pragma once

#include <string>

#include <libheif/heif.h>

// Raised whenever the document's shape changes.
constexpr int kDetailSchema = 1;

// The document for an open file; bytes/size are the file's (for its ftyp).
std::string detail_json(heif_context* ctx, const unsigned char* bytes, size_t size);

// This thread's detail buffer, or NULL with the last-error text set (the
// thread's previous report stays). A whole call.
const char* info_detail_report(const char* path);
