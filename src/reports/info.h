// The information report: the primary image's facts as one-line JSON,
// without decoding a pixel.
#pragma once

// This thread's report buffer, or NULL with the last-error text set (the
// thread's previous report stays). A whole call: checks its argument and
// keeps exceptions in.
const char* info_report(const char* path);
