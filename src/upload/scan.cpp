#include "scan.h"

#include "protocol/frame.h"

namespace kinetra {
namespace {

bool is_upload_head(std::uint8_t b) { return b == HEAD_UPLOAD_A || b == HEAD_UPLOAD_B; }

} // namespace

scan_progress continue_scan(const std::uint8_t *bytes, std::size_t total,
                            scan_progress from) noexcept {
    if (bytes == nullptr) {
        return from;
    }
    std::size_t pos = from.next;
    while (pos + frame_overhead <= total) {
        const std::size_t len = bytes[pos + 2];
        if (is_upload_head(bytes[pos]) && len <= max_upload_len) {
            const std::size_t length = len + frame_overhead;
            if (pos + length > total) {
                break;
            }
            if (bytes[pos + 3] == FRAME_UPLOAD) {
                from.best = frame_span{pos, length};
            }
            pos += length;
        } else {
            pos += 1;
        }
    }
    from.next = pos;
    return from;
}

std::optional<frame_span> scan_upload(const std::uint8_t *bytes, std::size_t total) noexcept {
    return continue_scan(bytes, total, {}).best;
}

std::size_t bytes_to_complete(const std::uint8_t *bytes, std::size_t total,
                              std::size_t next) noexcept {
    if (bytes == nullptr) {
        return 0;
    }
    for (std::size_t pos = next; pos < total; ++pos) {
        if (!is_upload_head(bytes[pos])) {
            continue;
        }
        // Until its length byte arrives, a head may begin a shortest frame.
        const std::size_t len = pos + 2 < total ? bytes[pos + 2] : 0;
        const std::size_t end = pos + len + frame_overhead;
        if (len <= max_upload_len && end > total) {
            return end - total;
        }
    }
    return 0;
}

} // namespace kinetra
