// The simulated platform: three axes that travel toward their targets at a
// fixed speed, commanded by the frames a host sends and reported in the
// upload frames the platform sends back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/frame.h"

namespace kinetra::sim {

inline constexpr std::uint8_t CMD_MOVE_X = 0xA1;
inline constexpr std::uint8_t CMD_MOVE_Y = 0xA2;
inline constexpr std::uint8_t CMD_MOVE_Z = 0xA3;
inline constexpr std::uint8_t CMD_MOVE_XYZ_REL = 0xA4;
inline constexpr std::uint8_t CMD_MOVE_XYZ_ABS = 0xA5;

inline constexpr std::size_t axis_count = 3;
inline constexpr std::size_t upload_payload_size = 13;

// "move X", "move XYZ abs", ... or "unknown" for a code the platform ignores.
const char *command_name(std::uint8_t cmd);

// The payload size a known command carries, or 0 for an unknown one.
std::size_t command_payload_size(std::uint8_t cmd);

// The three 16-bit words of one axis in a move payload.
struct axis_words {
    std::int16_t target = 0;
    std::uint16_t aux1 = 0;
    std::uint16_t aux2 = 0;
};

// Reads the words of axis `index` (0 for the first) from a payload.
axis_words words_at(const payload_bytes &payload, std::size_t index);

// What the platform reports in one upload: payload byte 0 has bit 0, 1, 2 set
// while X, Y, Z are still moving; words 1 to 3 are the positions; the tail is
// a 32-bit frame counter and two zero bytes.
struct upload_state {
    std::uint8_t moving_bits = 0;
    std::array<std::int16_t, axis_count> position{};
    std::uint32_t counter = 0;
};

std::array<std::uint8_t, upload_payload_size> upload_payload(const upload_state &state);

// The upload frame: head 0x7A, tag 0x01, kind 0xF5, 13 payload bytes.
frame upload_frame(const upload_state &state);

class platform_model {
  public:
    explicit platform_model(double speed_units_per_s) : speed_(speed_units_per_s) {}

    // Applies a decoded frame with a good CRC. Returns false, changing
    // nothing, when its command is unknown or its payload has the wrong size.
    bool apply(const frame &f);

    // Lets `seconds` pass: every axis travels toward its target.
    void advance(double seconds);

    std::int16_t position(std::size_t axis) const;
    std::int16_t target(std::size_t axis) const { return target_[axis]; }
    bool moving(std::size_t axis) const { return position(axis) != target_[axis]; }

    // The state for the next upload; counts the uploads made.
    upload_state next_upload();

  private:
    double speed_;
    std::array<double, axis_count> position_{};
    std::array<std::int16_t, axis_count> target_{};
    std::uint32_t uploads_ = 0;
};

} // namespace kinetra::sim
