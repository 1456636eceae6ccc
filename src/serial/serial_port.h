// The serial-port operations the library needs from the OS, as one table of
// functions. Exactly one backend (POSIX or Win32) is compiled in, chosen at
// build time; nothing outside src/serial/ knows which.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kinetra {

// Opaque port handle. Each backend defines serial_device its own way.
struct serial_device;
using port_handle = serial_device *;
inline constexpr port_handle invalid_port = nullptr;

// The fields of a line setting the library changes, plus the backend's whole
// native record (DCB, termios) so that everything else is written back as read.
struct line_settings {
    std::uint32_t baud_rate = 0;
    std::uint8_t byte_size = 0;
    std::uint8_t parity = 0;    // 0: none
    std::uint8_t stop_bits = 0; // 0: one stop bit
    alignas(8) unsigned char native[96] = {};
};

// Win32 COMMTIMEOUTS, in milliseconds, with its meaning kept on every backend.
struct serial_timeouts {
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_multiplier = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_multiplier = 0;
    std::uint32_t write_total_constant = 0;
};

inline constexpr std::uint32_t timeout_forever = 0xFFFFFFFFu;

// A read or write outcome: whether the OS call succeeded, and how many bytes
// moved. A write may succeed with count < n when its total timeout expired.
struct io_result {
    bool ok = false;
    std::size_t count = 0;
};

struct serial_port {
    // Opens an existing device by its name, unchanged, for exclusive read and
    // write access. Returns invalid_port on failure, with the OS error of the
    // failure left in place.
    port_handle (*open)(const char *name);
    bool (*get_line_settings)(port_handle port, line_settings *settings);
    bool (*set_line_settings)(port_handle port, const line_settings *settings);
    bool (*get_timeouts)(port_handle port, serial_timeouts *timeouts);
    bool (*set_timeouts)(port_handle port, const serial_timeouts *timeouts);
    io_result (*read)(port_handle port, std::uint8_t *buffer, std::size_t max);
    io_result (*write)(port_handle port, const std::uint8_t *bytes, std::size_t n);
    void (*purge_receive)(port_handle port);
    void (*close)(port_handle port);
    void (*sleep_ms)(std::uint32_t ms);
    // The calling thread's last OS error, saved and put back so that cleanup
    // after a failed open cannot overwrite what the host may ask for.
    std::uint32_t (*last_os_error)();
    void (*restore_os_error)(std::uint32_t error);
};

// The backend compiled into this build.
extern const serial_port platform_serial;

} // namespace kinetra
