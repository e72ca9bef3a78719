// Whether a file is HEIF by its first bytes.
#pragma once

// 1 when the file's first bytes say HEIF/HEIC (libheif's sniffer for the
// HEIF-family major brands, then an ftyp brand scan), 0 otherwise, also for
// NULL, "" or an unreadable file. Never touches the last-error text.
int is_heif_file(const char* path);
