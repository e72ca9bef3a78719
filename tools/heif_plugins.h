// Which plugin directory libheif loads from in the tool's process.
#pragma once

// When LIBHEIF_PLUGIN_PATH is unset and the package's plugin directory
// exists (LUMETRA_HEIF_PLUGINS: libheif's plugins without FFmpeg's decoder,
// which waits in its on-demand/ folder), points libheif at it for this
// process and its batch workers, so that FFmpeg's libraries are loaded only
// for a picture that repays them. Call before any libheif call. Nothing on
// Windows, where the codecs are linked in.
void use_lumetra_heif_plugins();
