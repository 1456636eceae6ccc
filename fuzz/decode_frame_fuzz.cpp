// decode_frame on arbitrary buffers and lengths, each buffer allocated at
// exactly the length given so that a read past it trips AddressSanitizer.
// The result and every field are compared with the frame rules applied by
// hand, and a decoded frame must encode back to the bytes it came from.
#include "reference.h"

#include "protocol/frame.h"

#include <cstring>
#include <memory>

namespace {

using kinetra::frame;
using kinetra::fuzz::crc_bitwise;
using kinetra::fuzz::expect;

constexpr std::uint8_t stale = 0xEE;

frame stale_frame() {
    frame f;
    f.head = f.tag = f.len = f.cmd = stale;
    f.payload.bytes.fill(stale);
    f.payload.size = 77;
    f.crc = 0xEEEE;
    return f;
}

bool same_payload(const frame &a, const frame &b) {
    return a.payload.size == b.payload.size && a.payload.bytes == b.payload.bytes;
}

void check_one(const std::uint8_t *source, std::size_t n) {
    const auto buffer = std::make_unique<std::uint8_t[]>(n == 0 ? 1 : n);
    std::memcpy(buffer.get(), source, n);
    const std::uint8_t *b = n == 0 ? nullptr : buffer.get();

    frame got = stale_frame();
    const bool ok = kinetra::decode_frame(b, n, got);

    frame want = stale_frame();
    bool want_ok = false;
    if (b != nullptr && n >= 6) {
        want.head = b[0];
        want.tag = b[1];
        want.len = b[2];
        want.cmd = b[3];
        const std::size_t len = b[2];
        if (n >= len + 6) {
            std::memcpy(want.payload.bytes.data(), b + 4, len);
            want.payload.size = len;
            want.crc = static_cast<std::uint16_t>(b[4 + len] | (b[5 + len] << 8));
            want_ok = crc_bitwise(b, 4 + len) == want.crc;
        }
    }
    expect(ok == want_ok, "decode result");
    expect(got.head == want.head && got.tag == want.tag && got.len == want.len &&
               got.cmd == want.cmd,
           "header fields");
    expect(same_payload(got, want), "payload");
    expect(got.crc == want.crc, "crc field");

    if (n >= 6 && n >= std::size_t{got.len} + 6) {
        // Encoding what was decoded gives the same header and payload and a
        // CRC that is right, whatever the wire said.
        const kinetra::wire_bytes wire = kinetra::encode_frame(got);
        const std::size_t body = 4 + std::size_t{got.len};
        expect(wire.size == body + 2, "encoded size");
        expect(std::memcmp(wire.bytes.data(), b, body) == 0, "encoded header and payload");
        const std::uint16_t crc = crc_bitwise(b, body);
        expect(wire.bytes[body] == (crc & 0xFF) && wire.bytes[body + 1] == (crc >> 8),
               "encoded CRC");
        if (ok) {
            expect(std::memcmp(wire.bytes.data(), b, body + 2) == 0, "round trip");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    expect(kinetra::crc16_modbus(data, size) == crc_bitwise(data, size), "CRC-16/MODBUS");

    frame untouched = stale_frame();
    expect(!kinetra::decode_frame(nullptr, size, untouched), "null buffer");
    expect(untouched.head == stale && untouched.payload.size == 77, "null buffer touches nothing");

    // The whole input, and a cut-off copy whose length the input's last byte
    // picks: every length from 0 up gets tried against every header.
    check_one(data, size);
    if (size > 0) {
        check_one(data, data[size - 1] % (size + 1));
    }
    return 0;
}
