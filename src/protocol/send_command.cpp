#include "send_command.h"

#include "frame.h"
#include "handle/messages.h"

#include <cstring>

namespace kinetra {

std::int32_t send_command(axis_handle &handle, std::uint8_t cmd, const std::uint8_t *payload,
                          std::size_t length) noexcept {
    if (length > max_payload) {
        // The length byte could not describe such a payload; nothing is sent.
        set_error(handle, msg_send_failed);
        return AXIS_E_REFUSED;
    }
    frame f;
    f.head = handle.head;
    f.tag = FRAME_TAG;
    f.len = static_cast<std::uint8_t>(length);
    f.cmd = cmd;
    if (payload != nullptr && length != 0) {
        std::memcpy(f.payload.bytes.data(), payload, length);
        f.payload.size = length;
    }
    const wire_bytes wire = encode_frame(f);

    const io_result written = platform_serial.write(handle.port, wire.bytes.data(), wire.size);
    // A write that timed out before its first byte reports success with a
    // count of 0, which a host would read as AXIS_OK: it is a failed send.
    if (!written.ok || written.count == 0) {
        set_error(handle, msg_send_failed);
        return AXIS_E_REFUSED;
    }
    return static_cast<std::int32_t>(written.count);
}

} // namespace kinetra
