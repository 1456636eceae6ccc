// Win32 backend of serial_port: every operation is the one Win32 call that
// Windows itself offers for it, with the flags the library has always used.
//
// The port handle is the Win32 HANDLE itself, carried in the opaque
// port_handle; nothing is allocated per port. CreateFileA never returns a
// null handle on success, so invalid_port (null) cannot be confused with an
// open port, and INVALID_HANDLE_VALUE never leaves this file.
#include "serial_port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

namespace kinetra {

namespace {

static_assert(sizeof(DCB) <= sizeof(line_settings::native), "DCB must fit");
// A HANDLE is a void pointer, so it converts to and from the opaque pointer
// without a reinterpretation.
HANDLE native_handle(port_handle port) { return port; }

// Reads and writes are one synchronous call each, so a request larger than
// a DWORD can count is cut to what one call can carry.
DWORD dword_count(std::size_t n) {
    constexpr std::size_t most = MAXDWORD;
    return static_cast<DWORD>(n < most ? n : most);
}

port_handle win32_open(const char *name) {
    // Share mode 0: nobody else may open the port while we hold it. No
    // overlapped flag: every read and write below completes before it returns.
    HANDLE h =
        ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        return invalid_port;
    }
    return static_cast<port_handle>(h);
}

DCB empty_dcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    return dcb;
}

bool win32_get_line_settings(port_handle port, line_settings *settings) {
    DCB dcb = empty_dcb();
    const bool ok = ::GetCommState(native_handle(port), &dcb) != FALSE;
    if (!ok) {
        // What a failed call may have left behind is not a setting: write
        // back zeros (and the record's length) rather than half a read.
        dcb = empty_dcb();
    }
    std::memcpy(settings->native, &dcb, sizeof dcb);
    settings->baud_rate = dcb.BaudRate;
    settings->byte_size = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stop_bits = dcb.StopBits;
    return ok;
}

bool win32_set_line_settings(port_handle port, const line_settings *settings) {
    DCB dcb;
    std::memcpy(&dcb, settings->native, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings->baud_rate;
    dcb.ByteSize = settings->byte_size;
    dcb.Parity = settings->parity;
    dcb.StopBits = settings->stop_bits;
    return ::SetCommState(native_handle(port), &dcb) != FALSE;
}

bool win32_get_timeouts(port_handle port, serial_timeouts *timeouts) {
    COMMTIMEOUTS t;
    std::memset(&t, 0, sizeof t);
    const bool ok = ::GetCommTimeouts(native_handle(port), &t) != FALSE;
    timeouts->read_interval = t.ReadIntervalTimeout;
    timeouts->read_total_multiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->read_total_constant = t.ReadTotalTimeoutConstant;
    timeouts->write_total_multiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->write_total_constant = t.WriteTotalTimeoutConstant;
    return ok;
}

bool win32_set_timeouts(port_handle port, const serial_timeouts *timeouts) {
    COMMTIMEOUTS t;
    std::memset(&t, 0, sizeof t);
    t.ReadIntervalTimeout = timeouts->read_interval;
    t.ReadTotalTimeoutMultiplier = timeouts->read_total_multiplier;
    t.ReadTotalTimeoutConstant = timeouts->read_total_constant;
    t.WriteTotalTimeoutMultiplier = timeouts->write_total_multiplier;
    t.WriteTotalTimeoutConstant = timeouts->write_total_constant;
    return ::SetCommTimeouts(native_handle(port), &t) != FALSE;
}

io_result win32_read(port_handle port, std::uint8_t *buffer, std::size_t max) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(native_handle(port), buffer, dword_count(max), &got, nullptr);
    return {ok != FALSE, got};
}

io_result win32_write(port_handle port, const std::uint8_t *bytes, std::size_t n) {
    DWORD written = 0;
    const BOOL ok = ::WriteFile(native_handle(port), bytes, dword_count(n), &written, nullptr);
    return {ok != FALSE, written};
}

void win32_purge_receive(port_handle port) {
    (void)::PurgeComm(native_handle(port), PURGE_RXCLEAR);
}

void win32_close(port_handle port) { (void)::CloseHandle(native_handle(port)); }

void win32_sleep_ms(std::uint32_t ms) { ::Sleep(ms); }

std::uint32_t win32_last_os_error() { return std::uint32_t{::GetLastError()}; }

void win32_restore_os_error(std::uint32_t error) { ::SetLastError(error); }

} // namespace

const serial_port platform_serial = {
    win32_open,         win32_get_line_settings, win32_set_line_settings,
    win32_get_timeouts, win32_set_timeouts,      win32_read,
    win32_write,        win32_purge_receive,     win32_close,
    win32_sleep_ms,     win32_last_os_error,     win32_restore_os_error,
};

} // namespace kinetra
