// A COM port opened for the tools on Windows: 115200 8N1, no flow control,
// reads that return at once with what has arrived, writes that give up
// after a moment on a far end that does not read.
#pragma once

#ifdef _WIN32

#include <string>

namespace kinetra::tool {

// `share` as CreateFileA takes it (0: exclusive). Returns the HANDLE, or
// null with `error` in Windows' words.
void *open_com_port(const std::string &name, unsigned long share, unsigned long write_timeout_ms,
                    std::string &error);

} // namespace kinetra::tool

#endif
