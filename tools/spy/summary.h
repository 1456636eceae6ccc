// The tally printed when the spy stops: frames per kind and direction, CRC
// failures, noise, bytes that could not be forwarded, and the upload timing.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "describe.h"
#include "wire_event.h"

namespace kinetra::spy {

class summary {
  public:
    void count(const wire_event &e);
    void count_unforwarded(direction dir, std::uint64_t bytes);

    // {"kind":"summary", "host->platform": {...}, "platform->host": {...},
    //  "uploads_per_s": R, "longest_upload_gap_ms": G}
    json to_json() const;
    // A few lines of text, each without its newline.
    std::string to_text() const;

  private:
    struct side {
        std::map<std::string, std::uint64_t> frames; // by kind
        std::uint64_t crc_failures = 0;
        std::uint64_t noise_bytes = 0;
        std::uint64_t unforwarded = 0;
    };

    const side &of(direction dir) const { return sides_[static_cast<std::size_t>(dir)]; }
    side &of(direction dir) { return sides_[static_cast<std::size_t>(dir)]; }
    double upload_rate() const;

    std::array<side, 2> sides_;
    std::uint64_t good_uploads_ = 0;
    std::int64_t first_upload_ns_ = 0;
    std::int64_t last_upload_ns_ = 0;
    std::int64_t longest_gap_ns_ = 0;
};

} // namespace kinetra::spy
