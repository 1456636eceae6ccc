#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kinetra::sim {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

void pause_for(timespec t) {
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// A line that has been quiet this long with a partial frame pending will not
// complete it: the library writes each frame in one piece.
constexpr milliseconds resync_gap{200};
constexpr milliseconds longest_wait{50};
// Bytes waiting to cross the line, at most: about 0.35 s of a full line.
constexpr std::size_t line_backlog = 4096;

// ppoll()'s timeout until `until`, at most longest_wait, never negative.
timespec wait_until(clock::time_point until) {
    const auto left =
        std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(until - clock::now()),
                   std::chrono::nanoseconds{0}, std::chrono::nanoseconds{longest_wait});
    timespec t{};
    t.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
    t.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    return t;
}

} // namespace

std::string time_stamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    const std::size_t used = std::strftime(text, sizeof text, "%H:%M:%S", &local);
    std::snprintf(text + used, sizeof text - used, ".%03ld ", now.tv_nsec / 1'000'000L);
    return text;
}

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

simulator::simulator(int fd, const sim_options &options, log_sink log)
    : fd_(fd), options_(options), log_(std::move(log)), model_(options.speed),
      faults_(options.faults, options.seed), line_(options.line), silent_(options.faults.silent) {}

void simulator::on_frame(const received_frame &r) {
    std::string line = time_stamp() + describe(r);
    if (r.crc_ok && !model_.apply(r.decoded)) {
        line += ": ignored, not a move the platform knows";
    }
    log_(line);
}

void simulator::receive() {
    std::uint8_t bytes[1024];
    const auto sink = [this](const received_frame &r) { on_frame(r); };
    for (;;) {
        const ssize_t n = ::read(fd_, bytes, sizeof bytes);
        if (n <= 0) {
            break; // EAGAIN, or the host went away: the caller's poll tells
        }
        receiver_.feed(bytes, static_cast<std::size_t>(n), sink);
    }
    if (const std::size_t skipped = receiver_.take_skipped(); skipped > 0) {
        log_(time_stamp() + "skipped " + std::to_string(skipped) + " byte(s) that start no frame");
    }
}

void simulator::send_upload() {
    faults_.set_silent(silent_.load());
    const std::vector<std::uint8_t> bytes = faults_.wire_for(model_.next_upload());
    if (!host_present_ || bytes.empty()) {
        return; // nobody listens: the bytes are lost on the line
    }
    if (line_.waiting() >= line_backlog) {
        note_dropping(true); // more uploads a second than the line carries
        return;
    }
    line_.queue(bytes, clock::now());
    hand_over();
}

// Gives the host what has crossed the line by now. Never waits for a host
// that does not read: what does not fit is dropped.
void simulator::hand_over() {
    const std::size_t n = line_.ready(clock::now());
    if (n == 0) {
        return;
    }
    const ssize_t written = ::write(fd_, line_.data(), n);
    line_.consume(n);
    note_dropping(written < static_cast<ssize_t>(n));
}

void simulator::note_dropping(bool dropped) {
    if (dropped != dropping_) {
        dropping_ = dropped;
        log_(time_stamp() +
             (dropped ? "the host is not reading: dropping uploads" : "the host is reading again"));
    }
}

void simulator::run(const std::atomic<bool> &stop) {
    const auto period = std::chrono::duration_cast<clock::duration>(
        std::chrono::duration<double>(1.0 / options_.rate));
    auto last = clock::now();
    auto next_upload = last;
    auto last_byte = last;
    while (!stop.load()) {
        const auto now = clock::now();
        model_.advance(std::chrono::duration<double>(now - last).count());
        last = now;
        if (now >= next_upload) {
            send_upload();
            next_upload += period;
            if (next_upload < now) {
                next_upload = now + period; // fell behind: no burst to catch up
            }
        }
        hand_over();
        const timespec wait =
            wait_until(std::min(next_upload, line_.next_ready().value_or(next_upload)));
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::ppoll(&p, 1, &wait, nullptr);
        if (ready < 0) {
            continue; // EINTR: a signal, perhaps the one that stops us
        }
        // A pty master reports a hang-up while no host has the slave open.
        const bool present = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
        if (present && !host_present_) {
            host_present_ = true;
            log_(time_stamp() + "host opened the port");
        }
        if ((p.revents & POLLIN) != 0) {
            receive(); // a host that just left may have written last words
            last_byte = clock::now();
        }
        if (!present && host_present_) {
            host_present_ = false;
            (void)::tcflush(fd_, TCIOFLUSH); // nothing stale for the next host
            line_.clear();
            receiver_ = command_receiver{};
            dropping_ = false;
            log_(time_stamp() + "no host on the port");
        }
        if (!present) {
            pause_for(wait); // poll() would return at once
        } else if (receiver_.pending() && clock::now() - last_byte > resync_gap) {
            receiver_.resync([this](const received_frame &r) { on_frame(r); });
            last_byte = clock::now();
        }
    }
}

} // namespace kinetra::sim
