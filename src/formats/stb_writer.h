// The writers of lumetra_to_jpg/png/bmp/image: stb's JPEG, PNG and BMP
// encoders through the safe output file, and the output-extension rules.
#pragma once

enum class OutputFormat { Jpeg, Png, Bmp };

// 1 when text ends with suffix, ignoring letter case.
int str_ends_with_nocase(const char* text, const char* suffix);

// The output path's extension: from its last '.', unless that is the
// path's first character; "" when there is none.
const char* output_extension(const char* path);

// Format chosen by the output path's extension (last '.', not the first
// character): .jpg/.jpeg JPEG, .bmp BMP, anything else PNG.
OutputFormat output_format_for(const char* path);

// stb's encoder for `format` writing a packed raster to `path` through the
// safe output file; 0 on any failure, the old file untouched.
int write_raster(OutputFormat format, const char* path, int w, int h, int ch, const unsigned char* px, int quality);
