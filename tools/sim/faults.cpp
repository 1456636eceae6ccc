#include "faults.h"

namespace kinetra::sim {

// Drawn from the raw generator output rather than a standard distribution,
// whose algorithm differs between standard libraries: a seed names the same
// stream everywhere. Every call draws once, so p = 0 and p = 1 do not shift
// the draws of the other faults.
bool fault_injector::chance(double p) {
    const double u = static_cast<double>(random_() >> 11) * 0x1.0p-53; // [0, 1)
    return u < p;
}

std::uint8_t fault_injector::random_byte() {
    for (;;) {
        const auto b = static_cast<std::uint8_t>(random_() & 0xFF);
        // An upload head among the noise would be a stray head: that fault
        // has an option of its own.
        if (b != HEAD_UPLOAD_A && b != HEAD_UPLOAD_B) {
            return b;
        }
    }
}

std::vector<std::uint8_t> fault_injector::wire_for(const upload_state &state) {
    const bool noise = chance(options_.noise);
    const bool stray = chance(options_.stray_head);
    const bool shorten = chance(options_.short_payload);
    const bool corrupt = chance(options_.bad_crc);
    const std::uint64_t extra = random_();
    std::vector<std::uint8_t> out;
    if (options_.silent) {
        return out;
    }
    if (noise) {
        const auto count = 1 + static_cast<std::size_t>(extra % 8);
        for (std::size_t i = 0; i < count; ++i) {
            out.push_back(random_byte());
        }
    }
    if (stray) {
        out.push_back((extra & 0x100) != 0 ? HEAD_UPLOAD_B : HEAD_UPLOAD_A);
    }
    frame f = upload_frame(state);
    if (shorten) {
        f.len = static_cast<std::uint8_t>(upload_payload_size - 1);
        f.payload.size = upload_payload_size - 1;
    }
    const wire_bytes wire = encode_frame(f);
    out.insert(out.end(), wire.bytes.begin(),
               wire.bytes.begin() + static_cast<std::ptrdiff_t>(wire.size));
    if (corrupt) {
        out.back() = static_cast<std::uint8_t>(out.back() ^ 0xA5); // high CRC byte
    }
    return out;
}

} // namespace kinetra::sim
