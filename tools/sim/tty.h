// POSIX ttys as the simulator and the spy serve them.
#pragma once

#include <string>

namespace kinetra::sim {

// A pseudo-terminal whose slave a host opens by name; the platform keeps the
// master. The slave is not held open, so that the master can tell when no
// host has the port.
struct pty_pair {
    int master = -1;
    std::string slave_path;
};

// Opens a new pseudo-terminal in raw mode. On failure master is -1 and errno
// says why.
pty_pair open_pty();

// Opens an existing tty for the platform's side of a line: raw, 115200 8N1,
// non-blocking. Returns -1 with errno set on failure.
int open_port(const std::string &name);

} // namespace kinetra::sim
