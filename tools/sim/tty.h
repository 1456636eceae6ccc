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

// Empties the input queue of the slave of the pty whose master is `master`:
// bytes written to the master that no host read. Flushing the master does
// not reach them (Linux keeps them for whoever opens the slave next); only a
// flush through the slave does. Best effort, and nothing for a fd that is no
// pty master: the slave may refuse to open, for instance while a host that
// left it exclusive is gone without clearing.
void discard_unread_by_slave(int master);

} // namespace kinetra::sim
