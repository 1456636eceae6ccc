// Helpers shared by the fault and load tests: resource counters, a storm of
// signals aimed at one thread, and a parser for the byte stream a peer saw.
#pragma once

#include "pty_peer.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <pthread.h>

namespace kinetra::test {

using steady = std::chrono::steady_clock;

inline std::chrono::milliseconds since(steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
}

// Descriptors open in this process right now (the entries of /proc/self/fd).
std::size_t open_descriptors();

// Bytes of heap in use right now: the sanitizer allocator's own count in a
// sanitizer build, glibc's otherwise.
std::size_t heap_in_use();

// Sends SIGUSR1 to one thread every `period` until destroyed. The handler is
// installed without SA_RESTART, so every blocking call the thread is in when
// a signal lands (poll, write, read, nanosleep) fails with EINTR.
class signal_storm {
  public:
    explicit signal_storm(pthread_t target,
                          std::chrono::microseconds period = std::chrono::microseconds(200));
    ~signal_storm();
    signal_storm(const signal_storm &) = delete;
    signal_storm &operator=(const signal_storm &) = delete;

    // Signals the handler has run for since this storm began.
    long delivered() const;

  private:
    std::atomic<bool> stop_{false};
    long start_count_;
    std::thread sender_;
};

// One frame as it arrived at the platform side.
struct wire_frame {
    std::uint8_t head = 0;
    std::uint8_t tag = 0;
    std::uint8_t cmd = 0;
    bytes payload;
    bool crc_ok = false;
};

// Splits a stream of frames written back to back. Fails (nullopt) when the
// stream does not consist of whole frames.
std::optional<std::vector<wire_frame>> split_frames(const bytes &stream);

// The 16-bit little-endian word at `offset` of a payload.
std::uint16_t word_at(const bytes &payload, std::size_t offset);

} // namespace kinetra::test
