// The one frame layout used in both directions on the wire:
//   head, tag, len, cmd, payload[len], CRC-16/MODBUS low byte, high byte.
// The CRC covers the four header bytes and the payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kinetra {

inline constexpr std::size_t frame_overhead = 6; // header (4) + CRC (2)
inline constexpr std::size_t max_payload = 255;  // the width of the len byte
inline constexpr std::size_t max_frame = max_payload + frame_overhead;

inline constexpr std::uint8_t FRAME_TAG = 0x01;
inline constexpr std::uint8_t HEAD_UPLOAD_A = 0x7A;
inline constexpr std::uint8_t HEAD_UPLOAD_B = 0x7B;
inline constexpr std::uint8_t FRAME_UPLOAD = 0xF5;

// A payload held inline: frames live on the stack, never on the heap. Only
// bytes[0, size) are ever read, so the array is left uninitialised: zeroing
// its 255 bytes on every move and every read cost more than the rest of the
// frame's work put together. `frame f{}` still gets zeros where wanted.
struct payload_bytes {
    std::array<std::uint8_t, max_payload> bytes;
    std::size_t size = 0;
};

struct frame {
    std::uint8_t head = 0;
    std::uint8_t tag = 0;
    std::uint8_t len = 0; // as sent or received; not derived from the payload
    std::uint8_t cmd = 0;
    payload_bytes payload;
    std::uint16_t crc = 0; // filled by decode_frame, ignored by encode_frame
};

// The encoded frame; only bytes[0, size) are meaningful (and written).
struct wire_bytes {
    std::array<std::uint8_t, max_frame> bytes;
    std::size_t size = 0;
};

std::uint16_t crc16_modbus(const std::uint8_t *bytes, std::size_t count);

wire_bytes encode_frame(const frame &f);

// Fills `f` from the start of the buffer and says whether a complete frame
// with a matching CRC stands there. The header is copied even when the
// buffer turns out to be too short for the length it announces.
bool decode_frame(const std::uint8_t *bytes, std::size_t n, frame &f);

} // namespace kinetra
