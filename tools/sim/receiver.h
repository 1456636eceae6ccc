// Picks the host's command frames out of the bytes the platform receives.
// The host's head byte can be anything, so a frame is recognised by its tag
// (0x01) and checked with the library's own decoder; bytes that start no
// frame are skipped one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frame.h"

namespace kinetra::sim {

struct received_frame {
    frame decoded;
    bool crc_ok = false;
    std::uint16_t expected_crc = 0; // the CRC the bytes should have carried
};

// One line of the platform's log for a frame, without the time stamp:
// head, command name, the three words of each axis, CRC good or bad.
std::string describe(const received_frame &r);

class command_receiver {
  public:
    using frame_sink = std::function<void(const received_frame &)>;

    // Takes bytes as they arrive and hands each complete frame to `sink`.
    void feed(const std::uint8_t *bytes, std::size_t n, const frame_sink &sink);

    // The line went quiet with a partial frame pending: its first byte cannot
    // have been a head after all. Drops it and looks again.
    void resync(const frame_sink &sink);

    bool pending() const { return !buffer_.empty(); }
    // Bytes stepped over since the last call.
    std::size_t take_skipped() { return std::exchange(skipped_, 0); }

  private:
    void process(const frame_sink &sink);

    std::vector<std::uint8_t> buffer_;
    std::size_t skipped_ = 0;
};

} // namespace kinetra::sim
