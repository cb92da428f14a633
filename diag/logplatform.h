// The logger's calls into the system, one small function each: a body per system in logplatform_unix.cpp and
// logplatform_win.cpp.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

// The local calendar time of a moment.
std::tm localParts(std::time_t seconds);

// Opens a file named in UTF-8 for appending, made if need be; null when it cannot be.
std::FILE *openForAppend(const std::string &path);
