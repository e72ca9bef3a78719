// Every picture of a HEIF file, not only the primary: any top-level image
// or auxiliary image by its index (lumetra_convert_image), and all of them
// beside one output name (lumetra_convert with LUMETRA_ALL_IMAGES or
// LUMETRA_WITH_AUX).
#pragma once

// The image the selector names (LUMETRA_IMAGE, LUMETRA_AUX) written to out.
// A whole call: checks its arguments, keeps exceptions in, sets or empties
// the last-error text.
int convert_selected_image(const char* in, int selector, const char* out, int quality, int flags);

// lumetra_convert when flags hold LUMETRA_ALL_IMAGES or LUMETRA_WITH_AUX:
// out's stem + "-1", "-2", ... + out's extension for every top-level image
// in file order (only with LUMETRA_ALL_IMAGES; else the primary as out),
// and each written image's stem + "-" + kind + ".png" for its auxiliary
// images (with LUMETRA_WITH_AUX), and with it the primary's motion-photo
// video as the primary's stem + "-video.mp4". Every image is tried; 0 when any failed,
// the first failure's message kept. A whole call.
int convert_every_image(const char* in, const char* out, int quality, int flags);
