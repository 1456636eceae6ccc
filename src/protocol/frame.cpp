#include "frame.h"

#include <algorithm>
#include <cstring>

namespace kinetra {

wire_bytes encode_frame(const frame &f) {
    wire_bytes out;
    std::uint8_t *p = out.bytes.data();
    p[0] = f.head;
    p[1] = f.tag;
    p[2] = f.len;
    p[3] = f.cmd;
    const std::size_t size = std::min(f.payload.size, max_payload);
    std::memcpy(p + 4, f.payload.bytes.data(), size);
    const std::size_t body = 4 + size;
    const std::uint16_t crc = crc16_modbus(p, body);
    p[body] = static_cast<std::uint8_t>(crc & 0xFFu);
    p[body + 1] = static_cast<std::uint8_t>(crc >> 8);
    out.size = body + 2;
    return out;
}

bool decode_frame(const std::uint8_t *bytes, std::size_t n, frame &f) {
    if (bytes == nullptr || n < frame_overhead) {
        return false;
    }
    f.head = bytes[0];
    f.tag = bytes[1];
    f.len = bytes[2];
    f.cmd = bytes[3];
    if (n < f.len + frame_overhead) {
        return false;
    }
    // std::copy_n, not std::memcpy: with a length it knows to be at most 255,
    // GCC expands memcpy inline as `rep movsq`, whose start-up alone costs
    // more than copying an upload's 13 to 18 bytes; here copy_n becomes a call
    // to the C library's memmove, which is quick at these sizes.
    std::copy_n(bytes + 4, f.len, f.payload.bytes.data());
    f.payload.size = f.len;
    const std::size_t body = 4 + std::size_t{f.len};
    f.crc = static_cast<std::uint16_t>(bytes[body] | (bytes[body + 1] << 8));
    return crc16_modbus(bytes, body) == f.crc;
}

} // namespace kinetra
