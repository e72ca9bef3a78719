// lumetra_to_jpg/png/bmp/image: decode a HEIF file's primary image and
// write it with stb. Each is a whole call: it checks its arguments, keeps
// exceptions in, and sets or empties the last-error text.
#pragma once

int heif_to_jpg(const char* in, const char* out, int quality);
int heif_to_png(const char* in, const char* out);
int heif_to_bmp(const char* in, const char* out);
int heif_to_image(const char* in, const char* out);  // format by out's extension
