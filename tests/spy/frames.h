// Frames the spy's tests send, built apart from the library's encoder.
#pragma once

#include <initializer_list>

#include "pty_peer.h"

namespace kinetra::test {

// Little-endian 16-bit words, as a move's payload carries them.
inline bytes words(std::initializer_list<int> values) {
    bytes out;
    for (const int v : values) {
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
    return out;
}

// The frame with its CRC's high byte damaged.
inline bytes with_bad_crc(bytes frame) {
    frame.back() ^= 0x5A;
    return frame;
}

} // namespace kinetra::test
