// Library-internal functions shared with the command-line tool, the tests
// and the fuzz harnesses (they link the library's objects directly). None of
// these is exported from the shared library.
#pragma once

#include "calls/batch.h"
#include "calls/convert.h"
#include "calls/fitted_thumbnail.h"
#include "calls/from_image.h"
#include "calls/thumbnail.h"
#include "formats/stb_reader.h"
#include "formats/stb_writer.h"
#include "heif/encoder.h"
#include "heif/primary_image.h"
#include "pixels/pixel_rows.h"
