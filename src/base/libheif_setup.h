// The one way the library gets a libheif context.
#pragma once

#include <libheif/heif.h>

// heif_context_alloc after libheif's one-time set-up has run. libheif 1.19
// loads its plugins on first use behind an unlocked check of its own
// counter, and its decoder list has no lock; running heif_init and adding
// the on-demand FFmpeg decoder (base/ffmpeg_on_demand) once, before any
// context exists, keeps threads that start their first calls together from
// racing on them.
heif_context* new_heif_context();
