// The spy's one loop: every byte read from one side is stamped, handed to
// that direction's parser and written unchanged to the other side. The lanes
// (relay.cpp) are the same everywhere; reading, writing and waiting are the
// OS's (relay_posix.cpp: poll() over ttys; relay_win32.cpp: COM ports).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stream_parser.h"
#include "wire_event.h"

namespace kinetra::spy {

#ifdef _WIN32
using side_handle = void *; // a HANDLE
#else
using side_handle = int; // a file descriptor
#endif

// Opens the platform's port as the library opens a port: exclusive (flock
// and TIOCEXCL on POSIX, share mode 0 on Windows), raw, 115200 8N1, reads
// that never wait. False with `error` in the OS's words on failure.
bool open_device(const std::string &name, side_handle &device, std::string &error);

// Opens an existing port for the host's side (one end of a socat or
// com0com pair), the same way but not exclusive.
bool open_host_port(const std::string &name, side_handle &host, std::string &error);

// Closes a side no relay has taken.
void close_side(side_handle side);

struct relay_options {
    // Bytes held for a side that does not take them, beyond what its tty
    // buffers; whatever comes on top is counted as not forwarded.
    std::size_t queue_limit = 64 * 1024;
    // A partial frame followed by this much silence is given up as noise.
    std::int64_t quiet_ns = 100'000'000;
};

class relay {
  public:
    using event_sink = std::function<void(const wire_event &)>;
    using note_sink = std::function<void(const stamp &, const std::string &)>;
    using unforwarded_sink = std::function<void(direction, std::uint64_t)>;

    // `host` is a pty master (`host_is_pty`), whose slave the host opens and
    // may close and reopen, or an existing port the host reaches otherwise.
    // The relay owns both from now on.
    relay(side_handle device, side_handle host, bool host_is_pty, const relay_options &options);
    ~relay();
    relay(const relay &) = delete;
    relay &operator=(const relay &) = delete;

    void on_event(event_sink sink) { events_ = std::move(sink); }
    void on_note(note_sink sink) { notes_ = std::move(sink); }
    void on_unforwarded(unforwarded_sink sink) { unforwarded_ = std::move(sink); }

    // Relays until `stop` is set (returns 0) or the device hangs up (returns
    // 1, after closing the host side so that the host sees a hang-up too).
    int run(const std::atomic<bool> &stop);

  private:
    struct lane {
        direction dir;
        side_handle from;
        side_handle to;
        stream_parser parser;
        std::vector<std::uint8_t> pending; // read, not yet taken by `to`
        std::uint64_t dropping = 0;        // not forwarded since the last note
        std::int64_t last_read_ns = 0;
    };

    bool drain(lane &l, bool forward);
    void forward(lane &l, const std::uint8_t *bytes, std::size_t n);
    void flush_pending(lane &l);
    void lose(lane &l, std::size_t n, const char *why);
    void settle(lane &l);
    void check_host();
    void host_left();
    void resync_quiet(lane &l, std::int64_t now_ns);
    void finish();
    int poll_timeout_ms() const;
    void note(const std::string &text);

    int hang_up_host();
    void close_host();
    void wind_down();

    side_handle device_;
    side_handle host_;
    bool host_open_ = true;
    bool host_is_pty_;
    bool host_present_ = false;
    relay_options options_;
    lane to_platform_;
    lane to_host_;
    event_sink events_;
    note_sink notes_;
    unforwarded_sink unforwarded_;
};

} // namespace kinetra::spy
