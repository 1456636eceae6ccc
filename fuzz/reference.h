// Plain, slow reference versions of the CRC and of the frame rules, written
// apart from the library so that a fuzz target compares two independent
// readings of the same rules rather than the library with itself.
#pragma once

#include <array>
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

struct scan_result {
    bool found = false;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::size_t stop = 0; // the first byte the scan did not step over
};

// The scan exactly as the wire rules state it: a 0x7A/0x7B byte whose length
// byte two further on is at most 18 is a frame head; a frame cut off by the
// end of the bytes stops the scan; a complete frame is stepped over whole,
// and the last complete one of kind 0xF5 is chosen.
inline scan_result reference_scan(const std::uint8_t *bytes, std::size_t total) {
    scan_result best;
    if (total < 6) {
        return best;
    }
    std::size_t pos = 0;
    for (;;) {
        const bool head = bytes[pos] == 0x7A || bytes[pos] == 0x7B;
        if (head && bytes[pos + 2] <= 18) {
            const std::size_t length = std::size_t{bytes[pos + 2]} + 6;
            if (pos + length > total) {
                best.stop = pos;
                break;
            }
            if (bytes[pos + 3] == 0xF5) {
                best.found = true;
                best.offset = pos;
                best.length = length;
            }
            pos = pos + length;
        } else {
            pos = pos + 1;
        }
        if (pos + 6 > total) {
            best.stop = pos;
            break;
        }
    }
    return best;
}

// The bytes a reader must wait for before the scan can decide about the end
// of `bytes`: from the first head the scan has not stepped over, up to the
// end of its frame, or of a shortest frame while its length byte is unknown.
inline std::size_t reference_missing(const std::uint8_t *bytes, std::size_t total) {
    for (std::size_t pos = reference_scan(bytes, total).stop; pos < total; ++pos) {
        if (bytes[pos] != 0x7A && bytes[pos] != 0x7B) {
            continue;
        }
        if (total - pos < 3) {
            return pos + 6 - total;
        }
        if (bytes[pos + 2] <= 18 && pos + bytes[pos + 2] + 6 > total) {
            return pos + bytes[pos + 2] + 6 - total;
        }
    }
    return 0;
}

// Whether the bytes hold a complete upload frame, sound or not.
inline bool reference_has_upload(const std::uint8_t *bytes, std::size_t total) {
    return reference_scan(bytes, total).found;
}

struct outcome {
    std::int32_t code = 0;
    const char *message = nullptr; // null: the text must stay as it was
    std::array<std::uint8_t, 13> record{};
};

inline outcome reference_parse(const std::uint8_t *bytes, std::size_t total) {
    const scan_result chosen = reference_scan(bytes, total);
    if (!chosen.found) {
        return {-7, "未找到上传帧", {}};
    }
    const std::uint8_t *f = bytes + chosen.offset;
    const std::size_t len = f[2];
    const std::uint16_t on_wire = static_cast<std::uint16_t>(f[4 + len] | (f[5 + len] << 8));
    if (crc_bitwise(f, 4 + len) != on_wire) {
        return {-7, "CRC校验失败", {}};
    }
    if (len < 13) {
        return {-7, "载荷不足", {}};
    }
    outcome ok{0, nullptr, {}};
    for (std::size_t i = 0; i < 13; ++i) {
        ok.record[i] = f[4 + i];
    }
    return ok;
}

} // namespace kinetra::fuzz
