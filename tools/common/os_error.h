// The OS's own words for the last failed call: strerror(errno) on POSIX,
// FormatMessage(GetLastError()) on Windows, as UTF-8.
#pragma once

#include <string>

namespace kinetra::tool {

// Clears errno (GetLastError()), so that a call that fails without setting
// it reads as "unknown reason" rather than as an older failure.
void clear_os_error();

// The last failed call's code (errno, GetLastError()) and its words: read
// them right after the failed call, before anything else can reset them.
int last_os_error_code();
std::string last_os_error();

// The OS's words for an error code as last_os_error_code() gives them.
std::string os_error_text(int error);

} // namespace kinetra::tool
