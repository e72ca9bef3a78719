// The EXIF report: the primary image's EXIF block summarised as one-line
// JSON.
#pragma once

// This thread's report buffer, or NULL with the last-error text set (the
// thread's previous report stays). A whole call: checks its argument and
// keeps exceptions in.
const char* exif_report(const char* path);
