// Plain, slow reference versions of the CRC and of the frame rules, written
// apart from the library so that a fuzz target compares two independent
// readings of the same rules rather than the library with itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kinetra::fuzz {

// CRC-16/MODBUS one bit at a time: reflected polynomial 0xA001, start 0xFFFF.
inline std::uint16_t crc_bitwise(const std::uint8_t *bytes, std::size_t count) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc & 1u) != 0) {
                crc = static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u);
            } else {
                crc = static_cast<std::uint16_t>(crc >> 1);
            }
        }
    }
    return crc;
}

// A mismatch between the library and the reference: libFuzzer keeps the input
// that caused it as a crash artifact.
[[noreturn]] inline void mismatch(const char *what) {
    std::fprintf(stderr, "library and reference disagree: %s\n", what);
    std::abort();
}

inline void expect(bool ok, const char *what) {
    if (!ok) {
        mismatch(what);
    }
}

} // namespace kinetra::fuzz
