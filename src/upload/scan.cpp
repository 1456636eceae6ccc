#include "scan.h"

#include "protocol/frame.h"

namespace kinetra {

std::optional<frame_span> scan_upload(const std::uint8_t *bytes, std::size_t total) noexcept {
    std::optional<frame_span> best;
    if (bytes == nullptr || total < frame_overhead) {
        return best;
    }
    std::size_t pos = 0;
    do {
        const std::uint8_t b = bytes[pos];
        const std::size_t len = bytes[pos + 2];
        if ((b == HEAD_UPLOAD_A || b == HEAD_UPLOAD_B) && len <= max_upload_len) {
            const std::size_t length = len + frame_overhead;
            if (pos + length > total) {
                break;
            }
            if (bytes[pos + 3] == FRAME_UPLOAD) {
                best = frame_span{pos, length};
            }
            pos += length;
        } else {
            pos += 1;
        }
    } while (pos + frame_overhead <= total);
    return best;
}

} // namespace kinetra
