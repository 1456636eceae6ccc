// What the relay's lanes need from the OS: a read and a write that never
// wait, and the side's own cleanup when a host leaves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay.h"

namespace kinetra::spy::io {

struct result {
    std::size_t count = 0;
    bool ok = true; // false: the side failed (hung up); the OS error is still set
};

// What the side holds now, up to `max` bytes; 0 when it has nothing.
result read_now(side_handle side, std::uint8_t *bytes, std::size_t max);

// As many bytes as the side takes now; 0 when its buffer is full.
result write_now(side_handle side, const std::uint8_t *bytes, std::size_t n);

// Drops what is queued either way on a pty's host side, so that the next
// host meets nothing the previous one left.
void discard_host_side(side_handle host);

} // namespace kinetra::spy::io
