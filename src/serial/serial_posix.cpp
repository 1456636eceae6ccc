// POSIX backend of serial_port, over a terminal device.
//
// Win32 semantics are kept: the port is exclusive, reads and writes follow the
// five COMMTIMEOUTS fields (emulated with poll() against a monotonic clock),
// and a write whose total timeout expires succeeds with the count sent so far.
// A hang-up of the far end (POLLHUP/POLLERR, EIO, ENXIO, or a read of 0 bytes
// after readiness) fails the operation at once.
#include "serial_port.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kinetra {

struct serial_device {
    int fd = -1;
    serial_timeouts timeouts; // kept here: a tty has no such setting of its own
};

namespace {

static_assert(sizeof(termios) <= sizeof(line_settings::native), "termios must fit");

using clock = std::chrono::steady_clock;
using millis = std::chrono::milliseconds;

// A point in time, or never.
struct deadline {
    bool forever = true;
    clock::time_point at{};

    static deadline after(std::uint64_t ms) { return {false, clock::now() + millis(ms)}; }

    // poll() timeout until the deadline: -1 for never, 0 once it has passed.
    int poll_timeout() const {
        if (forever) {
            return -1;
        }
        const auto left = std::chrono::ceil<millis>(at - clock::now()).count();
        if (left <= 0) {
            return 0;
        }
        return left > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(left);
    }
    bool passed() const { return !forever && clock::now() >= at; }
};

deadline earlier(deadline a, deadline b) {
    if (a.forever) {
        return b;
    }
    if (b.forever) {
        return a;
    }
    return a.at <= b.at ? a : b;
}

enum class wait_result { ready, timed_out, failed };

// Waits for `events` until the deadline. POLLHUP/POLLERR/POLLNVAL fail.
wait_result wait_for(int fd, short events, const deadline &until) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, until.poll_timeout());
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return wait_result::failed;
        }
        if (rc == 0) {
            return wait_result::timed_out;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return wait_result::failed;
        }
        return wait_result::ready;
    }
}

// The tty delivers 0 from read() both when it is empty and when the far end
// has gone; only poll() can tell which.
bool hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    int rc = 0;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

enum class chunk_status { data, empty, failed };

struct chunk {
    chunk_status status;
    std::size_t count;
};

// One read() of whatever is buffered, without waiting.
chunk read_available(int fd, std::uint8_t *buffer, std::size_t max) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, max);
        if (n > 0) {
            return {chunk_status::data, static_cast<std::size_t>(n)};
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            return {hung_up(fd) ? chunk_status::failed : chunk_status::empty, 0};
        }
        return {chunk_status::failed, 0};
    }
}

port_handle posix_open(const char *name) {
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return invalid_port;
    }
    // Exclusive like a Win32 port opened with share mode 0. flock() holds
    // against root too; TIOCEXCL makes later open() calls fail for others.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return invalid_port;
    }
    (void)::ioctl(fd, TIOCEXCL);
    auto *device = new (std::nothrow) serial_device;
    if (device == nullptr) {
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);
        errno = ENOMEM;
        return invalid_port;
    }
    device->fd = fd;
    return device;
}

speed_t speed_constant(std::uint32_t baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
    }
}

std::uint32_t baud_of(speed_t speed) {
    switch (speed) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
    }
}

bool posix_get_line_settings(port_handle port, line_settings *settings) {
    termios tio{};
    const bool ok = ::tcgetattr(port->fd, &tio) == 0;
    std::memcpy(settings->native, &tio, sizeof tio);
    settings->baud_rate = baud_of(::cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: settings->byte_size = 5; break;
    case CS6: settings->byte_size = 6; break;
    case CS7: settings->byte_size = 7; break;
    default: settings->byte_size = 8; break;
    }
    settings->parity = (tio.c_cflag & PARENB) == 0 ? 0 : ((tio.c_cflag & PARODD) != 0 ? 1 : 2);
    settings->stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
    return ok;
}

tcflag_t size_flag(std::uint8_t byte_size) {
    switch (byte_size) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// Raw like a Win32 port in binary mode: no echo, no line editing, no CR/LF
// translation, no signal characters, no flow control; reads never block in
// the driver (VMIN = VTIME = 0), the timeouts are ours.
void make_raw(termios &tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

bool posix_set_line_settings(port_handle port, const line_settings *settings) {
    termios tio{};
    std::memcpy(&tio, settings->native, sizeof tio);
    make_raw(tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= size_flag(settings->byte_size);
    if (settings->parity != 0) {
        tio.c_cflag |= PARENB | (settings->parity == 1 ? PARODD : 0);
    }
    if (settings->stop_bits != 0) {
        tio.c_cflag |= CSTOPB;
    }
    const speed_t speed = speed_constant(settings->baud_rate);
    (void)::cfsetispeed(&tio, speed);
    (void)::cfsetospeed(&tio, speed);
    return ::tcsetattr(port->fd, TCSANOW, &tio) == 0;
}

bool posix_get_timeouts(port_handle port, serial_timeouts *timeouts) {
    *timeouts = port->timeouts;
    return true;
}

bool posix_set_timeouts(port_handle port, const serial_timeouts *timeouts) {
    port->timeouts = *timeouts;
    return true;
}

// A total timeout of multiplier × n + constant; none when both are 0.
deadline total_deadline(std::uint32_t multiplier, std::uint32_t constant, std::size_t n) {
    if (multiplier == 0 && constant == 0) {
        return {};
    }
    return deadline::after(std::uint64_t{multiplier} * n + constant);
}

// Reads under the Win32 rules: interval MAXDWORD with both totals 0 returns
// at once; interval MAXDWORD with multiplier MAXDWORD waits up to the
// constant for the first byte and returns with it; otherwise the read ends
// when `max` bytes arrived, the total timeout passed, or the gap after a byte
// exceeded the interval.
io_result posix_read(port_handle port, std::uint8_t *buffer, std::size_t max) {
    const serial_timeouts &t = port->timeouts;
    const int fd = port->fd;
    if (max == 0) {
        return {true, 0};
    }
    const bool immediate = t.read_interval == timeout_forever && t.read_total_multiplier == 0 &&
                           t.read_total_constant == 0;
    const bool first_byte_returns =
        t.read_interval == timeout_forever && t.read_total_multiplier == timeout_forever;
    const deadline total =
        first_byte_returns ? deadline::after(t.read_total_constant)
                           : total_deadline(t.read_total_multiplier, t.read_total_constant, max);

    std::size_t got = 0;
    for (;;) {
        const chunk c = read_available(fd, buffer + got, max - got);
        if (c.status == chunk_status::failed) {
            return {false, got};
        }
        got += c.count;
        if (got == max || immediate || (first_byte_returns && got > 0)) {
            return {true, got};
        }
        deadline until = total;
        if (got > 0 && t.read_interval != 0 && t.read_interval != timeout_forever) {
            until = earlier(until, deadline::after(t.read_interval));
        }
        if (until.passed()) {
            return {true, got};
        }
        const wait_result w = wait_for(fd, POLLIN, until);
        if (w == wait_result::failed) {
            return {false, got};
        }
        if (w == wait_result::timed_out) {
            return {true, got};
        }
    }
}

// Writes all bytes, or as many as the total write timeout allows. The usual
// case is a single write() call.
io_result posix_write(port_handle port, const std::uint8_t *bytes, std::size_t n) {
    const serial_timeouts &t = port->timeouts;
    const int fd = port->fd;
    deadline until{};
    bool deadline_set = false;
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t w = ::write(fd, bytes + sent, n - sent);
        if (w > 0) {
            sent += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return {false, sent};
        }
        if (!deadline_set) {
            until = total_deadline(t.write_total_multiplier, t.write_total_constant, n);
            deadline_set = true;
        }
        const wait_result r = wait_for(fd, POLLOUT, until);
        if (r == wait_result::failed) {
            return {false, sent};
        }
        if (r == wait_result::timed_out) {
            return {true, sent};
        }
    }
    return {true, sent};
}

void posix_purge_receive(port_handle port) { (void)::tcflush(port->fd, TCIFLUSH); }

void posix_close(port_handle port) {
    (void)::ioctl(port->fd, TIOCNXCL);
    ::close(port->fd); // also releases the flock
    delete port;
}

void posix_sleep_ms(std::uint32_t ms) {
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1'000'000L;
    if (until.tv_nsec >= 1'000'000'000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000L;
    }
    // An absolute deadline: a signal cannot stretch or shorten the pause.
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

std::uint32_t posix_last_os_error() { return static_cast<std::uint32_t>(errno); }

void posix_restore_os_error(std::uint32_t error) { errno = static_cast<int>(error); }

} // namespace

const serial_port platform_serial = {
    posix_open,         posix_get_line_settings, posix_set_line_settings,
    posix_get_timeouts, posix_set_timeouts,      posix_read,
    posix_write,        posix_purge_receive,     posix_close,
    posix_sleep_ms,     posix_last_os_error,     posix_restore_os_error,
};

} // namespace kinetra
