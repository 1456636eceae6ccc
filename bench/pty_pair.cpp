#include "pty_pair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kinetra::bench {

pty_pair::pty_pair() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    slave_path_ = name;
    (void)::fcntl(master_, F_SETFD, FD_CLOEXEC);
    (void)::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    (void)::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Raw from the start: a frame fed to the master must reach the host's
    // queue unchanged even before anybody has opened the slave by its path.
    termios tio{};
    if (::tcgetattr(slave_, &tio) == 0) {
        ::cfmakeraw(&tio);
        (void)::tcsetattr(slave_, TCSANOW, &tio);
    }
}

pty_pair::~pty_pair() {
    ::close(master_);
    ::close(slave_);
}

std::size_t pty_pair::queued_for_host() const {
    int n = 0;
    if (::ioctl(slave_, FIONREAD, &n) != 0 || n < 0) {
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool pty_pair::send(const std::uint8_t *bytes, std::size_t n) const {
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t w = ::write(master_, bytes + sent, n - sent);
        if (w > 0) {
            sent += static_cast<std::size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            (void)::sched_yield();
        }
    }
    return true;
}

bool pty_pair::wait_queued(std::size_t n) const {
    // The tty moves the bytes to the slave's queue from a kernel worker, a
    // few microseconds after the write returns.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (queued_for_host() < n) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        (void)::sched_yield();
    }
    return true;
}

int open_raw_port(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    (void)::ioctl(fd, TIOCEXCL);
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        (void)::cfsetispeed(&tio, B115200);
        (void)::cfsetospeed(&tio, B115200);
        (void)::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

drainer::drainer(int master_fd) : fd_(master_fd), thread_([this] { run(); }) {}

drainer::~drainer() { stop(); }

void drainer::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void drainer::run() {
    std::uint8_t buffer[65536];
    // After stop() it goes on until the master has been quiet for 50 ms, so
    // that the bytes of a short run, still on their way through the tty's
    // worker, are seen too.
    for (;;) {
        const bool stopping = stop_.load(std::memory_order_relaxed);
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, stopping ? 50 : 20);
        if (ready <= 0) {
            if (stopping) {
                return;
            }
            continue;
        }
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            return; // the slave side is gone
        }
        const auto got = static_cast<std::size_t>(n);
        const std::size_t keep = std::min(first_.size() - first_count_, got);
        std::copy_n(buffer, keep, first_.begin() + static_cast<std::ptrdiff_t>(first_count_));
        first_count_ += keep;
    }
}

} // namespace kinetra::bench
