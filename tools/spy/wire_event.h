// What the spy sees on the line: each direction's bytes cut into frames and
// runs of noise, each with the times its first and last byte were read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/frame.h"

namespace kinetra::spy {

enum class direction : std::uint8_t { to_platform, to_host };

// When a chunk was read: monotonic for durations, wall clock for people.
struct stamp {
    std::int64_t mono_ns = 0;
    std::int64_t wall_ns = 0;
};

stamp stamp_now();

enum class event_kind : std::uint8_t { frame, noise };

struct wire_event {
    direction dir = direction::to_platform;
    event_kind kind = event_kind::noise;
    std::uint64_t offset = 0; // of the first byte, counted in this direction's stream
    std::vector<std::uint8_t> raw;
    frame decoded{};                // frames only
    bool crc_ok = false;            // frames only
    std::uint16_t expected_crc = 0; // the CRC the bytes should have carried
    stamp first;                    // the read that brought the first byte
    stamp last;                     // the read that brought the last byte
    std::size_t reads = 1;          // how many reads the bytes came in
};

const char *direction_name(direction dir);

} // namespace kinetra::spy
