// A raster source (JPEG, PNG, BMP, GIF, PSD, PIC, PNM, TGA) written as
// JPEG, PNG or BMP by lumetra_convert.
#pragma once

#include "formats/metadata.h"
#include "formats/stb_writer.h"
#include "hdr/ultrahdr_jpeg.h"
#include "pixels/pixel_rows.h"

// The pixels as stb_image reads them (16-bit samples kept for a PNG output
// with LUMETRA_KEEP_DEPTH), turned upright by their EXIF orientation with
// LUMETRA_UPRIGHT, with the colour profile, EXIF and XMP the flags keep. An
// Ultra HDR or Apple gain-map JPEG stays an Ultra HDR JPEG with
// LUMETRA_KEEP_HDR; other outputs leave its gain map out and say so in the
// HDR note. False with the last-error text set.
bool raster_to_raster(const char* in, const char* out, OutputFormat format, int quality, int flags);

// Packed rows (BMP: 8-bit, stride = width x channels) written as `format`
// through the safe output file: JPEG by libjpeg-turbo with md and, when hdr
// is given, its Ultra HDR appendix; PNG by libpng with md; BMP by stb.
// False with "Failed writing <format> output file" as the last error.
bool write_picture(const char* out, OutputFormat format, const PixelRows& rows, int quality, const PictureMetadata& md,
                   UltraHdrAppendix* hdr);
