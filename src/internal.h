// Library-internal functions shared with the command-line tool, the tests
// and the fuzz harnesses (they link the library's objects directly). None of
// these is exported from the shared library.
#pragma once

#include "batch_walk.h"
#include "convert.h"
#include "heif_encode.h"
#include "pixel_rows.h"
#include "primary_image.h"
#include "raster_source.h"
#include "raster_writer.h"
#include "thumbnail.h"
#include "thumbnail_fit.h"
