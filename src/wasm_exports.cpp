// The WebAssembly module's entry points beside those of lumetra.h: what the
// tool offers that the C interface does not. Each forwards a whole call.
#include "calls/fitted_thumbnail.h"

extern "C" {

// A thumbnail that fits box x box, as the tool's thumbnail command writes it.
__attribute__((visibility("default"))) int lumetra_wasm_thumbnail(const char* in, const char* out, int box) {
  return thumbnail_fit(in, out, box);
}
}
