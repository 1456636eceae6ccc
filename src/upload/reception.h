// One call's reception of uploads, over any serial_port backend (the build's
// own, or a scripted one in the fuzz target).
#pragma once

#include "handle/handle.h"
#include "serial/serial_port.h"

#include <cstddef>
#include <cstdint>

namespace kinetra {

inline constexpr std::size_t receive_buffer_size = 4096;
inline constexpr int poll_attempts = 5;
inline constexpr std::uint32_t poll_pause_ms = 100;

// A batch at least this large may not be all the driver holds.
inline constexpr std::size_t backlog_batch = receive_buffer_size / 2;
// Follow-up reads of a backlog, at most: 64 × 4 KiB, so that a stream faster
// than the reads cannot hold the call.
inline constexpr int max_backlog_reads = 64;
// Reads that finish a frame in flight, at most: one for a head after noise,
// one for the length byte, one for the rest, one more after a stray head.
inline constexpr int max_completion_reads = 4;

// Return at once with whatever has been received, possibly nothing.
inline constexpr serial_timeouts nonblocking_read{timeout_forever, 0, 0, 0, 0};
// A backlog read waits up to 5 ms for its buffer to fill: the line discipline
// refills from the driver behind our back, so an immediate read can come
// back short while more is queued.
inline constexpr serial_timeouts backlog_read{0, 0, 5, 0, 0};
// The rest of a frame in flight: the longest frame takes 2.1 ms on a
// 115200-baud line, and a USB adapter holds a short packet for up to 16 ms
// (its latency timer) before handing it over; 20 ms covers both.
inline constexpr serial_timeouts frame_rest_read{0, 0, 20, 0, 0};

// Polls the port, drains a backed-up driver, finishes a frame in flight,
// restores the port's timeouts and then verifies and copies the newest
// upload frame among everything read.
std::int32_t receive_upload(const serial_port &serial, axis_handle &handle,
                            axis_upload &upload) noexcept;

} // namespace kinetra
