// Probing a port: open it through the library, read what it sends for a
// while, close it. Nothing is ever written to it.
#include <cerrno>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#endif

#include "os_error.h"
#include "port_names.h"
#include "ports.h"

namespace kinetra::tool {

namespace {

using state = probe_result::state;

#ifdef _WIN32

// Why axis_init failed, from GetLastError() of its CreateFileA: Windows
// gives ERROR_ACCESS_DENIED for a COM port another program has open, and
// the same for one this user may not open; busy is by far the usual cause.
state open_failure(int err) {
    switch (err) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return state::busy;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT: return state::missing;
    default: return state::failed;
    }
}

#else

// Why axis_init failed, from the OS error of its open (errno on POSIX): the
// library holds a port with an exclusive flock() (EWOULDBLOCK for the second
// taker) and TIOCEXCL (EBUSY for anyone but root).
state open_failure(int err) {
    switch (err) {
    case EWOULDBLOCK:
    case EBUSY: return state::busy;
    case EACCES:
    case EPERM: return state::no_access;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO: return state::missing;
    default: return state::failed;
    }
}

#endif

struct handle_closer {
    void operator()(axis_handle *h) const { axis_close(h); }
};
using handle_ptr = std::unique_ptr<axis_handle, handle_closer>;

void read_one(axis_handle *h, probe_result &r) {
    axis_upload up{};
    const std::int32_t result = axis_read_upload(h, &up);
    if (result == AXIS_OK) {
        ++r.uploads;
        r.last = up;
    } else if (result == AXIS_E_FRAME) {
        ++r.frame_errors;
        r.message = axis_get_error(h);
    }
}

} // namespace

probe_result probe_port(const std::string &name, std::chrono::milliseconds window) {
    probe_result r;
    clear_os_error();
    // The head byte goes only into frames the handle sends, and it sends none.
    const std::string opened = port_to_open(name); // COM10 and above as \\.\COM10
    const handle_ptr h(axis_init(opened.c_str(), 0x01, nullptr));
    if (h == nullptr) {
        r.os_error = last_os_error_code();
        r.os_reason = os_error_text(r.os_error);
        r.what = open_failure(r.os_error);
        return r;
    }
    // Only what arrives from now on counts.
    axis_flush(h.get());
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    do {
        read_one(h.get(), r);
    } while (clock::now() - start < window);
    r.seconds = std::chrono::duration<double>(clock::now() - start).count();
    r.what = r.uploads > 0        ? state::streaming
             : r.frame_errors > 0 ? state::no_upload_frame
                                  : state::silent;
    return r;
}

} // namespace kinetra::tool
