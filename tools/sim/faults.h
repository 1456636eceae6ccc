// Faults the simulated platform can put into its upload stream, so that a
// host can be tried against a line that misbehaves. Each fault is drawn per
// upload frame with its own probability, from a seeded generator: the same
// seed gives the same stream.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "model.h"

namespace kinetra::sim {

struct fault_options {
    double noise = 0;         // random bytes (never 0x7A or 0x7B) before the frame
    double bad_crc = 0;       // the frame's CRC is wrong
    double short_payload = 0; // 12 payload bytes instead of 13, with a good CRC
    double stray_head = 0;    // a lone 0x7A or 0x7B just before the frame
    bool silent = false;      // nothing is sent at all
};

class fault_injector {
  public:
    fault_injector(const fault_options &options, std::uint64_t seed)
        : options_(options), random_(seed) {}

    // The bytes to send for one upload; empty when silent.
    std::vector<std::uint8_t> wire_for(const upload_state &state);

    void set_silent(bool silent) { options_.silent = silent; }
    const fault_options &options() const { return options_; }

  private:
    bool chance(double p);
    std::uint8_t random_byte();

    fault_options options_;
    std::mt19937_64 random_;
};

} // namespace kinetra::sim
