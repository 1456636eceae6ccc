// The relay on POSIX: one poll() over the device's tty and the host's side
// (a pty master whose slave the host opens, or an existing tty).
#include "relay.h"
#include "relay_io.h"
#include "tty.h"

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

namespace io {

result read_now(side_handle side, std::uint8_t *bytes, std::size_t max) {
    for (;;) {
        const ssize_t n = ::read(side, bytes, max);
        if (n > 0) {
            return {static_cast<std::size_t>(n), true};
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A raw tty reads 0 when empty; only poll() tells a hang-up.
        return {0, n == 0 || errno == EAGAIN || errno == EWOULDBLOCK};
    }
}

result write_now(side_handle side, const std::uint8_t *bytes, std::size_t n) {
    for (;;) {
        const ssize_t w = ::write(side, bytes, n);
        if (w >= 0) {
            return {static_cast<std::size_t>(w), true};
        }
        if (errno == EINTR) {
            continue;
        }
        return {0, errno == EAGAIN || errno == EWOULDBLOCK};
    }
}

// Only what was on its way to the host: what the host wrote has been
// drained, and flushing that direction could eat the first bytes of a host
// that has opened the port since.
void discard_host_side(side_handle host) {
    (void)::tcflush(host, TCOFLUSH);
    kinetra::sim::discard_unread_by_slave(host);
}

} // namespace io

stamp stamp_now() { return {clock_ns(CLOCK_MONOTONIC), clock_ns(CLOCK_REALTIME)}; }

bool open_device(const std::string &name, side_handle &device, std::string &error) {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    (void)::ioctl(fd, TIOCEXCL);
    set_line(fd);
    device = fd;
    return true;
}

bool open_host_port(const std::string &name, side_handle &host, std::string &error) {
    const int fd = kinetra::sim::open_port(name);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    host = fd;
    return true;
}

void close_side(side_handle side) { ::close(side); }

relay::~relay() {
    (void)::ioctl(device_, TIOCNXCL);
    ::close(device_);
    close_host();
}

void relay::close_host() {
    if (host_open_) {
        ::close(host_);
        host_open_ = false;
    }
}

void relay::check_host() {
    if (!host_open_) {
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
            return hang_up_host();
        }
        check_host();
        const std::int64_t now = stamp_now().mono_ns;
        resync_quiet(to_platform_, now);
        resync_quiet(to_host_, now);
    }
    wind_down();
    return 0;
}

} // namespace kinetra::spy
