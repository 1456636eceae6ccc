// The simulator's line on POSIX: a pty master, or an existing tty.
#include "sim_line.h"
#include "tty.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kinetra::sim {

namespace {

void make_raw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return; // not a terminal: serve it as it is
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    (void)::cfsetspeed(&tio, B115200);
    (void)::tcsetattr(fd, TCSANOW, &tio);
}

void set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

timespec to_timespec(std::chrono::nanoseconds t) {
    t = std::max(t, std::chrono::nanoseconds{0});
    timespec out{};
    out.tv_sec = static_cast<time_t>(t.count() / 1'000'000'000);
    out.tv_nsec = static_cast<long>(t.count() % 1'000'000'000);
    return out;
}

void pause_for(timespec t) {
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

class posix_line final : public sim_line {
  public:
    explicit posix_line(int fd) : fd_(fd) {}
    ~posix_line() override { ::close(fd_); }

    line_wait wait(std::chrono::nanoseconds timeout) override {
        const timespec t = to_timespec(timeout);
        pollfd p{fd_, POLLIN, 0};
        if (::ppoll(&p, 1, &t, nullptr) < 0) {
            return {false, host_present_}; // EINTR: a signal, perhaps the one that stops us
        }
        // A pty master reports a hang-up while no host has the slave open;
        // a host that just left may still have written last words.
        host_present_ = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
        if (!host_present_) {
            pause_for(t); // poll() would return at once
        }
        return {(p.revents & POLLIN) != 0, host_present_};
    }

    std::size_t read(std::uint8_t *bytes, std::size_t max) override {
        const ssize_t n = ::read(fd_, bytes, max);
        return n > 0 ? static_cast<std::size_t>(n) : 0; // EAGAIN, or the host went away
    }

    std::size_t write(const std::uint8_t *bytes, std::size_t n) override {
        const ssize_t written = ::write(fd_, bytes, n);
        return written > 0 ? static_cast<std::size_t>(written) : 0;
    }

    // Only the uploads on their way to the host: what the host wrote was read
    // before its leave was noticed, and a flush of that direction could eat
    // the first bytes of a host that has opened the port since.
    void discard() override {
        (void)::tcflush(fd_, TCOFLUSH);
        discard_unread_by_slave(fd_);
    }

  private:
    int fd_;
    bool host_present_ = false; // until a poll says otherwise
};

} // namespace

pty_pair open_pty() {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return {};
    }
    make_raw(slave);
    const char *name = ::ttyname(slave);
    pty_pair pair{master, name != nullptr ? name : ""};
    ::close(slave);
    set_nonblocking(master);
    return pair;
}

int open_port(const std::string &name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        make_raw(fd);
    }
    return fd;
}

void discard_unread_by_slave(int master) {
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        return;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        return;
    }
    (void)::tcflush(slave, TCIFLUSH);
    ::close(slave);
}

opened_line open_pty_line() {
    const pty_pair pty = open_pty();
    if (pty.master < 0) {
        return {nullptr, "", std::strerror(errno)};
    }
    return {std::make_unique<posix_line>(pty.master), pty.slave_path, ""};
}

opened_line open_port_line(const std::string &name) {
    const int fd = open_port(name);
    if (fd < 0) {
        return {nullptr, "", std::strerror(errno)};
    }
    return {std::make_unique<posix_line>(fd), name, ""};
}

} // namespace kinetra::sim
