// The profile description ('desc' tag) of an ICC profile, as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reads the desc tag of a version 2 ('desc' type, ASCII part) or version 4
// ('mluc', its first record, UTF-16BE) profile. Empty when the profile has
// none or a malformed one; every offset is checked against size.
std::string icc_description(const uint8_t* profile, size_t size);
