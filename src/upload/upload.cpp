// axis_read_upload: take what the port holds, pick the last upload frame,
// verify it and copy its first 13 payload bytes to the caller.
#include "handle/handle.h"
#include "handle/messages.h"
#include "protocol/frame.h"
#include "upload/scan.h"

#include <cstring>

namespace kinetra {
namespace {

constexpr std::size_t receive_buffer_size = 4096;
constexpr int poll_attempts = 5;
constexpr std::uint32_t poll_pause_ms = 100;

// Return at once with whatever has been received, possibly nothing.
constexpr serial_timeouts nonblocking_read{timeout_forever, 0, 0, 0, 0};

// Up to five immediate reads; every empty (or failed) attempt is followed
// by a pause, the last one too. Stops at the first attempt that yields bytes.
std::size_t poll_port(port_handle port, std::uint8_t *buffer) {
    const serial_port &serial = platform_serial;
    std::size_t total = 0;
    for (int attempt = 0; attempt < poll_attempts; ++attempt) {
        const io_result r = serial.read(port, buffer + total, receive_buffer_size - total);
        if (r.ok) {
            total += r.count;
        }
        if (total > 0) {
            break;
        }
        serial.sleep_ms(poll_pause_ms);
    }
    return total;
}

std::size_t receive(axis_handle &handle, std::uint8_t *buffer) {
    const serial_port &serial = platform_serial;
    serial_timeouts kept;
    if (!serial.get_timeouts(handle.port, &kept)) {
        // Never write back a record the OS did not fill: restore what
        // axis_init set instead.
        kept = handle_timeouts;
    }
    (void)serial.set_timeouts(handle.port, &nonblocking_read);
    const std::size_t total = poll_port(handle.port, buffer);
    (void)serial.set_timeouts(handle.port, &kept);
    return total;
}

std::int32_t read_upload(axis_handle *handle, axis_upload *upload) {
    if (handle == nullptr || upload == nullptr) {
        return AXIS_E_NULL;
    }
    std::uint8_t buffer[receive_buffer_size];
    const std::size_t total = receive(*handle, buffer);
    if (total == 0) {
        return AXIS_E_SILENT;
    }
    return parse_upload(*handle, buffer, total, *upload);
}

} // namespace

std::int32_t parse_upload(axis_handle &handle, const std::uint8_t *bytes, std::size_t total,
                          axis_upload &upload) noexcept {
    const auto chosen = scan_upload(bytes, total);
    if (!chosen) {
        set_error(handle, msg_no_upload);
        return AXIS_E_FRAME;
    }
    frame f;
    if (!decode_frame(bytes + chosen->offset, chosen->length, f)) {
        set_error(handle, msg_crc_failed);
        return AXIS_E_FRAME;
    }
    if (f.payload.size < upload_record_size) {
        set_error(handle, msg_short_payload);
        return AXIS_E_FRAME;
    }
    static_assert(sizeof(axis_upload) == upload_record_size);
    std::memcpy(&upload, f.payload.bytes.data(), upload_record_size);
    return AXIS_OK;
}

} // namespace kinetra

extern "C" KINETRA_API int32_t KINETRA_CALL axis_read_upload(axis_handle *handle,
                                                             axis_upload *upload) {
    return kinetra::guarded(AXIS_E_FRAME, [&] { return kinetra::read_upload(handle, upload); });
}
