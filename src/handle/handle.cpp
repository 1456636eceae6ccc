// The lifecycle exports: axis_init, axis_close, axis_flush, axis_get_error.
#include "handle.h"

#include <new>

namespace kinetra {
namespace {

// Their results are deliberately not examined: a port that cannot take the
// settings is still usable.
void configure_port(port_handle port) {
    const serial_port &serial = platform_serial;
    line_settings settings;
    (void)serial.get_line_settings(port, &settings);
    settings.baud_rate = 115200;
    settings.byte_size = 8;
    settings.parity = 0;
    settings.stop_bits = 0;
    (void)serial.set_line_settings(port, &settings);
    (void)serial.set_timeouts(port, &handle_timeouts);
}

axis_handle *open_handle(const char *port, std::uint8_t head, const axis_limits *limits) {
    if (port == nullptr) {
        return nullptr;
    }
    const axis_limits window = limits != nullptr ? *limits : axis_limits{};
    auto *handle = new (std::nothrow) axis_handle;
    if (handle == nullptr) {
        return nullptr;
    }
    try {
        handle->error_text.reserve(error_text_capacity);
    } catch (...) {
        delete handle;
        return nullptr;
    }
    handle->head = head;
    handle->limits = window;
    handle->limits_enabled = limits != nullptr;

    const serial_port &serial = platform_serial;
    handle->port = serial.open(port);
    if (handle->port == invalid_port) {
        // Nobody could read a message stored in a record that is about to
        // go, so none is formatted; the OS error of the open is what the
        // host can ask for, and it must survive the cleanup.
        const std::uint32_t os_error = serial.last_os_error();
        delete handle;
        serial.restore_os_error(os_error);
        return nullptr;
    }
    configure_port(handle->port);
    return handle;
}

} // namespace

void set_error(axis_handle &handle, const char *message) noexcept {
    try {
        handle.error_text.assign(message);
    } catch (...) {
        // Only reachable for a message longer than the reserved room when
        // memory has run out; an empty text is better than a torn one.
        handle.error_text.clear();
    }
}

} // namespace kinetra

extern "C" {

KINETRA_API axis_handle *KINETRA_CALL axis_init(const char *port, uint8_t head,
                                                const axis_limits *limits) {
    return kinetra::guarded<axis_handle *>(
        nullptr, [&] { return kinetra::open_handle(port, head, limits); });
}

KINETRA_API void KINETRA_CALL axis_close(axis_handle *handle) {
    if (handle == nullptr) {
        return;
    }
    kinetra::guarded_void([&] {
        kinetra::platform_serial.close(handle->port);
        delete handle;
    });
}

KINETRA_API void KINETRA_CALL axis_flush(axis_handle *handle) {
    if (handle == nullptr) {
        return;
    }
    kinetra::guarded_void([&] { kinetra::platform_serial.purge_receive(handle->port); });
}

KINETRA_API const char *KINETRA_CALL axis_get_error(axis_handle *handle) {
    if (handle == nullptr) {
        return "null handle";
    }
    return handle->error_text.c_str();
}

} // extern "C"
