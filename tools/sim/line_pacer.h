// The timing of the platform's serial line as the host sees it. Bytes go out
// one after another at the line's rate (10 bits a byte at 115200 baud 8N1,
// about 87 µs) and reach the host in chunks, the way a USB adapter hands them
// over: a chunk as soon as it is full, a last short one after the adapter's
// latency. Unpaced, every queued frame is handed over at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kinetra::sim {

struct line_timing {
    bool paced = true;
    std::size_t chunk = 1;
    std::chrono::microseconds latency{0};
};

// One byte of 8N1 at 115200 baud: start bit, eight data bits, stop bit.
inline constexpr std::chrono::nanoseconds byte_time{1'000'000'000LL * 10 / 115200};

class line_pacer {
  public:
    using clock = std::chrono::steady_clock;

    explicit line_pacer(line_timing timing) : timing_(timing) {}

    // Puts bytes on the line after those already on it.
    void queue(const std::vector<std::uint8_t> &bytes, clock::time_point now);

    // How many of the waiting bytes the host may have by `now`, from data().
    std::size_t ready(clock::time_point now) const;
    // When ready() next grows; none while nothing waits.
    std::optional<clock::time_point> next_ready() const;

    const std::uint8_t *data() const { return bytes_.data() + head_; }
    std::size_t waiting() const { return bytes_.size() - head_; }
    // The first n waiting bytes have been handed over (or lost).
    void consume(std::size_t n);
    void clear();

  private:
    line_timing timing_;
    std::vector<std::uint8_t> bytes_;
    std::vector<clock::time_point> on_line_; // when each byte has crossed the line
    std::size_t head_ = 0;
};

} // namespace kinetra::sim
