// FFmpeg's HEVC decoder loaded on demand: libheif learns of it at start-up
// as a decoder named "ffmpeg", and its plugin file (with libavcodec and its
// libraries) is loaded only when libheif first creates one of its decoders.
#pragma once

// Registers the on-demand decoder with libheif when libheif has no "ffmpeg"
// decoder of its own and one of its plugin directories holds
// on-demand/libheif-ffmpegdec.so (the package's plugin directory without
// FFmpeg's plugin), unless LUMETRA_HEVC_DECODER is "libde265". Call once,
// after heif_init and before any context exists: libheif's decoder list has
// no lock.
void offer_ffmpeg_on_demand();

// Whether libheif has a decoder named "ffmpeg" for the library to ask for:
// FFmpeg's plugin loaded at start-up or the on-demand one (never when
// LUMETRA_HEVC_DECODER is "libde265").
bool ffmpeg_decoder_available();

// Whether using FFmpeg's decoder costs no more loading: libheif loaded its
// plugin at start-up, or the on-demand decoder has loaded it.
bool ffmpeg_decoder_loaded();
