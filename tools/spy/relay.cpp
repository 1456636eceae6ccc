#include "relay.h"
#include "tty.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kinetra::spy {

namespace {

std::int64_t clock_ns(clockid_t id) {
    timespec t{};
    ::clock_gettime(id, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

constexpr short hang_up_events = POLLHUP | POLLERR | POLLNVAL;

bool hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & hang_up_events) != 0;
}

// The line settings the library applies: raw like a Win32 port in binary
// mode, no flow control, 8 data bits, no parity, one stop bit, 115200 baud.
void set_line(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return; // not a terminal: relay it as it is
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    (void)::cfsetspeed(&tio, B115200);
    (void)::tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

stamp stamp_now() { return {clock_ns(CLOCK_MONOTONIC), clock_ns(CLOCK_REALTIME)}; }

int open_device(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    (void)::ioctl(fd, TIOCEXCL);
    set_line(fd);
    return fd;
}

relay::relay(int device, int host, bool host_is_pty, const relay_options &options)
    : device_(device), host_(host), host_is_pty_(host_is_pty), options_(options),
      to_platform_{
          direction::to_platform, host, device, stream_parser(direction::to_platform), {}, 0, 0},
      to_host_{direction::to_host, device, host, stream_parser(direction::to_host), {}, 0, 0} {}

relay::~relay() {
    (void)::ioctl(device_, TIOCNXCL);
    ::close(device_);
    if (host_ >= 0) {
        ::close(host_);
    }
}

void relay::note(const std::string &text) {
    if (notes_) {
        notes_(stamp_now(), text);
    }
}

// Reads all `l.from` has to give now; each read is one stamped chunk. False
// when that side failed (hung up).
bool relay::drain(lane &l, bool forward_bytes) {
    std::uint8_t bytes[4096];
    for (;;) {
        const ssize_t n = ::read(l.from, bytes, sizeof bytes);
        if (n > 0) {
            const stamp when = stamp_now();
            const auto count = static_cast<std::size_t>(n);
            // Forwarded first: decoding must not delay the line.
            if (forward_bytes) {
                forward(l, bytes, count);
            } else {
                lose(l, count, "no host has the port");
            }
            l.last_read_ns = when.mono_ns;
            l.parser.feed(bytes, count, when, events_);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A raw tty reads 0 when empty; only poll() tells a hang-up.
        return n == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

void relay::forward(lane &l, const std::uint8_t *bytes, std::size_t n) {
    if (l.pending.empty()) {
        while (n > 0) {
            const ssize_t w = ::write(l.to, bytes, n);
            if (w > 0) {
                bytes += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EINTR) {
                continue;
            } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                lose(l, n, std::strerror(errno));
                return;
            }
        }
    }
    const std::size_t room =
        options_.queue_limit > l.pending.size() ? options_.queue_limit - l.pending.size() : 0;
    const std::size_t kept = std::min(n, room);
    l.pending.insert(l.pending.end(), bytes, bytes + kept);
    if (kept < n) {
        lose(l, n - kept, "its buffer is full (is it reading?)");
    }
}

void relay::flush_pending(lane &l) {
    std::size_t sent = 0;
    while (sent < l.pending.size()) {
        const ssize_t w = ::write(l.to, l.pending.data() + sent, l.pending.size() - sent);
        if (w > 0) {
            sent += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else {
            if (w == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            lose(l, l.pending.size() - sent, std::strerror(errno));
            sent = l.pending.size();
        }
    }
    l.pending.erase(l.pending.begin(), l.pending.begin() + static_cast<std::ptrdiff_t>(sent));
    if (l.pending.empty()) {
        settle(l);
    }
}

void relay::lose(lane &l, std::size_t n, const char *why) {
    if (l.dropping == 0) {
        note(std::string("cannot forward ") + direction_name(l.dir) + ": " + why +
             "; counting the bytes not forwarded");
    }
    l.dropping += n;
    if (unforwarded_) {
        unforwarded_(l.dir, n);
    }
}

void relay::settle(lane &l) {
    if (l.dropping > 0) {
        note(std::string("forwarding ") + direction_name(l.dir) +
             " again: " + std::to_string(l.dropping) + " byte(s) could not be forwarded");
        l.dropping = 0;
    }
}

void relay::check_host() {
    if (host_ < 0) {
        return;
    }
    const bool present = !hung_up(host_);
    if (present && !host_present_) {
        host_present_ = true;
        note("host opened the port");
        settle(to_host_);
    } else if (!present && host_present_) {
        host_left();
    }
}

void relay::host_left() {
    (void)drain(to_platform_, true); // a host that leaves may have written last words
    host_present_ = false;
    note("host closed the port");
    if (!to_host_.pending.empty()) {
        lose(to_host_, to_host_.pending.size(), "the host closed the port");
        to_host_.pending.clear();
    }
    if (host_is_pty_) {
        // Nothing stale for the next host: neither what the host wrote and
        // the spy has not read, nor what the spy wrote and the host did not.
        (void)::tcflush(host_, TCIOFLUSH);
        kinetra::sim::discard_unread_by_slave(host_);
    }
}

void relay::resync_quiet(lane &l, std::int64_t now_ns) {
    if (l.parser.pending() && now_ns - l.last_read_ns >= options_.quiet_ns) {
        l.parser.finish(events_);
    }
}

void relay::finish() {
    to_platform_.parser.finish(events_);
    to_host_.parser.finish(events_);
}

int relay::poll_timeout_ms() const {
    // Without a host there is nothing to poll on its side: look again soon.
    std::int64_t wait_ns = host_present_ ? 100'000'000 : 10'000'000;
    const std::int64_t now = stamp_now().mono_ns;
    for (const lane *l : {&to_platform_, &to_host_}) {
        if (l->parser.pending()) {
            wait_ns = std::min(wait_ns, l->last_read_ns + options_.quiet_ns - now);
        }
    }
    return static_cast<int>(std::max<std::int64_t>(wait_ns, 0) / 1'000'000 + 1);
}

int relay::run(const std::atomic<bool> &stop) {
    check_host();
    while (!stop.load()) {
        const auto out_wanted = [](const lane &l) -> short {
            return l.pending.empty() ? 0 : POLLOUT;
        };
        pollfd fds[2] = {
            {device_, static_cast<short>(POLLIN | out_wanted(to_platform_)), 0},
            {host_present_ ? host_ : -1, static_cast<short>(POLLIN | out_wanted(to_host_)), 0}};
        if (::poll(fds, 2, poll_timeout_ms()) < 0) {
            continue; // EINTR: perhaps the signal that stops us
        }
        if ((fds[1].revents & POLLIN) != 0) {
            (void)drain(to_platform_, true);
        }
        if ((fds[1].revents & POLLOUT) != 0) {
            flush_pending(to_host_);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            (void)drain(to_host_, host_present_);
        }
        if ((fds[0].revents & POLLOUT) != 0) {
            flush_pending(to_platform_);
        }
        if ((fds[0].revents & hang_up_events) != 0) {
            (void)drain(to_host_, host_present_);
            note("the platform's port hung up (adapter unplugged?): hanging up the host's side");
            finish();
            ::close(host_);
            host_ = -1;
            return 1;
        }
        check_host();
        const std::int64_t now = stamp_now().mono_ns;
        resync_quiet(to_platform_, now);
        resync_quiet(to_host_, now);
    }
    flush_pending(to_platform_);
    if (host_present_) {
        flush_pending(to_host_);
    }
    for (lane *l : {&to_platform_, &to_host_}) {
        if (!l->pending.empty()) {
            lose(*l, l->pending.size(), "the spy is stopping");
        }
    }
    finish();
    return 0;
}

} // namespace kinetra::spy
