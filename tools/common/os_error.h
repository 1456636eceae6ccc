// The OS's own words for the last failed call: strerror(errno) on POSIX,
// FormatMessage(GetLastError()) on Windows, as UTF-8.
#pragma once

#include <string>

namespace kinetra::tool {

// Clears errno (GetLastError()), so that a call that fails without setting
// it reads as "unknown reason" rather than as an older failure.
void clear_os_error();

// Read it right after the failed call, before anything else can reset it.
std::string last_os_error();

} // namespace kinetra::tool
