// The tool's command line as UTF-8 strings on every system.
#pragma once

#include <string>
#include <vector>

// argv as given (POSIX, or Windows with UTF-8 as the ANSI code page, which
// the tool's manifest asks for), or the wide command line in UTF-8 where
// Windows is older than the manifest (before 10 1903).
std::vector<std::string> utf8_arguments(int argc, char** argv);
