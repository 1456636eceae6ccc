// Port names as people type them, made into names the OS opens.
#pragma once

#include <string>

namespace kinetra::tool {

// On Windows a COM port above COM9 opens only as \\.\COM10; COM1 to COM9
// open either way. So "COM10" (any case) becomes "\\.\COM10", and every
// other name is kept as typed.
std::string windows_port_name(const std::string &typed);

// The name to open on this OS: windows_port_name() on Windows, the name as
// typed elsewhere.
std::string port_to_open(const std::string &typed);

} // namespace kinetra::tool
