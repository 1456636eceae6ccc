#include "receiver.h"

#include <cstdio>
#include <utility>

#include "model.h"

namespace kinetra::sim {

std::string describe(const received_frame &r) {
    const frame &f = r.decoded;
    char text[256];
    int used = std::snprintf(text, sizeof text, "head 0x%02X %s (0x%02X) len %u", f.head,
                             command_name(f.cmd), f.cmd, f.len);
    const std::size_t axes = command_payload_size(f.cmd) / 6;
    if (axes > 0 && f.payload.size == axes * 6) {
        static constexpr const char *names = "XYZ";
        for (std::size_t i = 0; i < axes; ++i) {
            const axis_words w = words_at(f.payload, i);
            const char name = axes == 1 ? names[f.cmd - CMD_MOVE_X] : names[i];
            used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used),
                                  " %c[target %d aux1 %u aux2 %u]", name, w.target, w.aux1, w.aux2);
        }
    }
    if (r.crc_ok) {
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), " CRC good");
    } else {
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used),
                      " CRC bad (0x%04X, should be 0x%04X): ignored", f.crc, r.expected_crc);
    }
    return text;
}

void command_receiver::feed(const std::uint8_t *bytes, std::size_t n, const frame_sink &sink) {
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    process(sink);
}

void command_receiver::resync(const frame_sink &sink) {
    if (!buffer_.empty()) {
        buffer_.erase(buffer_.begin());
        ++skipped_;
        process(sink);
    }
}

void command_receiver::process(const frame_sink &sink) {
    std::size_t pos = 0;
    while (buffer_.size() - pos >= 4) {
        const std::uint8_t *at = buffer_.data() + pos;
        if (at[1] != FRAME_TAG) {
            ++pos;
            ++skipped_;
            continue;
        }
        const std::size_t total = std::size_t{at[2]} + frame_overhead;
        if (buffer_.size() - pos < total) {
            break; // wait for the rest
        }
        received_frame r;
        r.crc_ok = decode_frame(at, total, r.decoded);
        r.expected_crc = crc16_modbus(at, total - 2);
        // A bad CRC on a header that fits a known command is a damaged
        // command; anything else is noise that happened to hold a 0x01.
        const std::size_t expected = command_payload_size(r.decoded.cmd);
        if (r.crc_ok || (expected != 0 && expected == r.decoded.len)) {
            sink(r);
            pos += total;
        } else {
            ++pos;
            ++skipped_;
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
}

} // namespace kinetra::sim
