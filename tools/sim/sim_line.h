// The platform's end of a serial line: where the simulator reads the host's
// frames and hands over its uploads. One implementation per OS: a pty master
// or an existing tty on POSIX, an existing COM port on Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kinetra::sim {

struct line_wait {
    bool readable = false;    // the host has sent bytes
    bool host_present = true; // false: nobody has the other end open
};

class sim_line {
  public:
    virtual ~sim_line() = default;
    sim_line() = default;
    sim_line(const sim_line &) = delete;
    sim_line &operator=(const sim_line &) = delete;

    // Waits up to `timeout` for bytes from the host. While no host is
    // present it still takes the whole timeout, so a loop never spins.
    virtual line_wait wait(std::chrono::nanoseconds timeout) = 0;
    // What the host has sent, up to `max` bytes, without waiting; 0: none.
    virtual std::size_t read(std::uint8_t *bytes, std::size_t max) = 0;
    // Hands bytes to the host without waiting for one that does not read:
    // the count the line took, fewer than `n` when the host's side is full.
    virtual std::size_t write(const std::uint8_t *bytes, std::size_t n) = 0;
    // Drops what is queued in both directions, so a new host meets no
    // stale bytes.
    virtual void discard() = 0;
};

struct opened_line {
    std::unique_ptr<sim_line> line; // null on failure
    std::string host_port;          // the name a host opens (a new pty's slave)
    std::string error;              // why it failed, in the OS's words
};

// A new pseudo-terminal; POSIX only (elsewhere it fails and says so).
opened_line open_pty_line();

// An existing port for the platform's side of a line (one end of a socat or
// null-modem pair, or a real port): raw, 115200 8N1.
opened_line open_port_line(const std::string &name);

} // namespace kinetra::sim
