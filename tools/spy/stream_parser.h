// Reassembles one direction's frames from the chunks read() happens to
// return, with the library's own decoder. Frames and noise come out in
// stream order, and how the bytes were chunked never changes what comes out:
// only finish(), which the caller decides on, can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "wire_event.h"

namespace kinetra::spy {

class stream_parser {
  public:
    using sink = std::function<void(const wire_event &)>;

    explicit stream_parser(direction dir) : dir_(dir) {}

    void feed(const std::uint8_t *bytes, std::size_t n, stamp when, const sink &out);

    // The stream ended, or went quiet for so long that a frame still
    // incomplete will not be completed: its first byte was noise after all,
    // and the search goes on from the next. Everything held is reported.
    void finish(const sink &out);

    bool pending() const { return !buffer_.empty() || !noise_.empty(); }

  private:
    enum class verdict : std::uint8_t { frame, noise, wait };

    struct chunk_mark {
        std::uint64_t offset;
        stamp when;
    };

    verdict judge(const std::uint8_t *at, std::size_t available, wire_event &e) const;
    void process(const sink &out);
    void resync(const sink &out);
    void add_noise(std::uint64_t offset, std::uint8_t b);
    void flush_noise(const sink &out);
    void date(wire_event &e) const;
    void forget_marks_before(std::uint64_t offset);

    direction dir_;
    std::vector<std::uint8_t> buffer_; // undecided bytes
    std::uint64_t buffer_offset_ = 0;  // stream offset of buffer_[0]
    std::vector<std::uint8_t> noise_;  // the noise run so far, just before buffer_
    std::uint64_t noise_offset_ = 0;   // stream offset of noise_[0]
    std::vector<chunk_mark> marks_;    // where each read's bytes begin
};

} // namespace kinetra::spy
