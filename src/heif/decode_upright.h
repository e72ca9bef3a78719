// Decoding a HEIF image to interleaved 8-bit RGB(A), upright.
#pragma once

#include <libheif/heif.h>

// Like heif_decode_image(handle, out, RGB, chroma, no options), chroma being
// one of the interleaved RGB(A) layouts (8 bits, or 16-bit big-endian): the
// image comes out cropped, turned and mirrored by its clap/irot/imir.
//
// libheif 1.19.7 crops a clean aperture ('clap', written for every odd-sized
// image) with the chroma row index rounded up, reading one chroma row past
// the decoder's plane (a heap over-read, and that row's garbage reaches the
// picture). An image with a clap is therefore decoded without
// transformations and cropped, turned and mirrored here, on the RGB pixels,
// in the order of its properties; other images are decoded by libheif.
// An image with more than kMaxTransformations transformation properties is
// refused (heif/transformations.h).
heif_error decode_upright(heif_context* ctx, heif_image_handle* handle, heif_chroma chroma, heif_image** out);

// decode_upright for an image whose decoder gives more than its ispe says
// (a phone's thumbnail coded at 320 x 256 with ispe 320 x 212 decodes with
// black rows below): the coded picture is cut to the ispe size before its
// clap/irot/imir. An image decoded at its handle's size comes out as
// decode_upright gives it.
heif_error decode_upright_item_size(heif_context* ctx, heif_image_handle* handle, heif_chroma chroma, heif_image** out);

// Whether the handle's image carries a clean aperture (clap), or more
// transformation properties than decode_upright takes.
bool has_clean_aperture(heif_context* ctx, heif_image_handle* handle);
