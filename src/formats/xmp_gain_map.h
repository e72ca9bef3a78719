// The parts of an XMP packet that describe images appended to a JPEG
// rather than the picture itself: Adobe's hdrgm gain map properties, the
// container directory (Google's Container namespace under any prefix,
// "Container" or "GContainer": the Ultra HDR gain map, a motion photo's
// video) and Google's camera namespace's MotionPhoto* and MicroVideo*
// properties. An output that holds no such image must not carry them.
#pragma once

#include "formats/metadata.h"

// Removes them from the packet in place, with the namespace declarations
// nothing uses any more; every other byte stays as it was, and a packet
// without them is left untouched. False when the packet still declares the
// gain map or container namespace afterwards (a form this editor does not
// take apart): the caller then leaves the packet out.
bool remove_gain_map_xmp(ByteBlock* xmp);
