#include "load.h"

#include "hard_support.h"

#include <gtest/gtest.h>
#include <kinetra.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace kinetra::test {
namespace {

// Heap the harness itself may still be settling (lazily allocated buffers of
// the C library and of GoogleTest); a leak of even one byte per cycle over
// thousands of cycles is far above it.
constexpr std::size_t heap_slack = 4096;

struct resource_mark {
    std::size_t fds = open_descriptors();
    std::size_t heap = heap_in_use();

    void expect_nothing_left(std::size_t cycles) const {
        EXPECT_EQ(open_descriptors(), fds) << "descriptors left behind after " << cycles;
        const std::size_t now = heap_in_use();
        EXPECT_LE(now, heap + heap_slack)
            << "heap grew by " << (now - heap) << " bytes over " << cycles << " cycles";
    }
};

std::string errno_text(int err) {
    return err == 0 ? std::string("ok") : std::string(std::strerror(err));
}

// The process a /proc/PID entry names, as its command line.
std::string command_of(const std::string &pid) {
    std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
    std::string text;
    for (std::string word; std::getline(in, word, '\0');) {
        text += (text.empty() ? "" : " ") + word;
    }
    return pid + " (" + (text.empty() ? std::string("?") : text) + ")";
}

} // namespace

std::string diagnose_refused_open(const std::string &port) {
    std::ostringstream out;
    // The open's steps by hand, in the library's order.
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    out << "open: " << errno_text(fd < 0 ? errno : 0);
    if (fd >= 0) {
        const int locked = ::flock(fd, LOCK_EX | LOCK_NB);
        out << "; flock: " << errno_text(locked != 0 ? errno : 0);
        out << "; TIOCEXCL: " << errno_text(::ioctl(fd, TIOCEXCL) != 0 ? errno : 0);
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
    // Who holds a lock on the device, and who else has it open.
    struct stat st {};
    if (::stat(port.c_str(), &st) == 0) {
        char key[64];
        std::snprintf(key, sizeof key, ":%lu ", static_cast<unsigned long>(st.st_ino));
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find(key) == std::string::npos) {
                continue;
            }
            std::istringstream fields(line);
            std::string n, kind, mode, access, pid;
            fields >> n >> kind >> mode >> access >> pid;
            out << "\n  lock: " << line << " held by " << command_of(pid);
        }
    }
    const std::string self = std::to_string(::getpid());
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *p = ::readdir(proc)) {
            const std::string pid = p->d_name;
            if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
                pid == self) {
                continue;
            }
            const std::string dir = "/proc/" + pid + "/fd";
            DIR *fds = ::opendir(dir.c_str());
            if (fds == nullptr) {
                continue;
            }
            while (const dirent *f = ::readdir(fds)) {
                char target[256] = {};
                const std::string link = dir + "/" + f->d_name;
                if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && port == target) {
                    out << "\n  also open in " << command_of(pid) << " as fd " << f->d_name;
                }
            }
            ::closedir(fds);
        }
        ::closedir(proc);
    }
    // How long the port stays refused.
    const auto start = steady::now();
    while (since(start) < std::chrono::seconds(10)) {
        const axis_limits window{100, -100, 200, -200, 300, -300};
        if (axis_handle *h = axis_init(port.c_str(), 0x01, &window)) {
            axis_close(h);
            out << "\n  opened again after " << since(start).count() << " ms";
            return out.str();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    out << "\n  still refused after 10 s";
    return out.str();
}

void run_open_close_cycles(std::size_t cycles) {
    pty_peer peer;
    const axis_limits window{100, -100, 200, -200, 300, -300};
    // One cycle first, so that lazily made buffers are not taken for leaks.
    axis_close(axis_init(peer.port_name().c_str(), 0x01, &window));
    const resource_mark mark;
    for (std::size_t i = 0; i < cycles; ++i) {
        axis_handle *h = axis_init(peer.port_name().c_str(), static_cast<std::uint8_t>(i),
                                   (i % 2) != 0 ? &window : nullptr);
        if (h == nullptr) {
            const int err = errno;
            FAIL() << "cycle " << i << " on " << peer.port_name() << ": axis_init refused ("
                   << std::strerror(err)
                   << ")\n  by hand: " << diagnose_refused_open(peer.port_name());
        }
        axis_close(h);
    }
    mark.expect_nothing_left(cycles);
}

void run_refused_open_cycles(std::size_t cycles) {
    pty_peer peer;
    axis_handle *holder = axis_init(peer.port_name().c_str(), 0x01, nullptr);
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(axis_init(peer.port_name().c_str(), 0x02, nullptr), nullptr);
    const resource_mark mark;
    for (std::size_t i = 0; i < cycles; ++i) {
        axis_handle *h = axis_init(peer.port_name().c_str(), 0x02, nullptr);
        if (h != nullptr) {
            axis_close(h);
            FAIL() << "cycle " << i << ": a held port opened a second time";
        }
        EXPECT_EQ(axis_init("/dev/kinetra-no-such-port", 0x02, nullptr), nullptr);
    }
    mark.expect_nothing_left(cycles);
    axis_close(holder);
    // Released: the next open succeeds.
    axis_handle *again = axis_init(peer.port_name().c_str(), 0x03, nullptr);
    EXPECT_NE(again, nullptr);
    axis_close(again);
}

void run_session_cycles(std::size_t cycles) {
    pty_peer peer;
    const bytes upload = sample_upload();
    auto session = [&](std::size_t i) {
        axis_handle *h = axis_init(peer.port_name().c_str(), 0x01, nullptr);
        ASSERT_NE(h, nullptr) << "cycle " << i;
        EXPECT_EQ(axis_x_move(h, static_cast<std::int16_t>(i), 0, 0), 12);
        peer.send(upload);
        axis_upload up{};
        EXPECT_EQ(axis_read_upload(h, &up), AXIS_OK) << "cycle " << i;
        const int word1 = up.word1; // packed: no reference to the field itself
        EXPECT_EQ(word1, 100);
        peer.send(upload);
        axis_flush(h);
        axis_close(h);
        EXPECT_EQ(peer.receive(12).size(), 12u) << "cycle " << i;
    };
    session(0);
    const resource_mark mark;
    for (std::size_t i = 1; i <= cycles; ++i) {
        session(i);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    mark.expect_nothing_left(cycles);
}

namespace {

constexpr std::uint8_t head_of(std::size_t port) { return static_cast<std::uint8_t>(port * 4 + 3); }

// Each port's own upload: its index in byte 0 and word 1, so a record that
// came through the wrong handle shows at once.
bytes upload_for(std::size_t port) {
    bytes payload(13);
    payload[0] = static_cast<std::uint8_t>(port);
    payload[1] = static_cast<std::uint8_t>(port);
    payload[2] = 0xA5;
    for (std::size_t i = 3; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(port + i);
    }
    return make_frame(port % 2 == 0 ? 0x7A : 0x7B, 0x01, 0xF5, payload);
}

// The peer side of one port: reads its master as bytes arrive, on a thread
// of its own, so that the peers keep pace with the drivers.
class collector {
  public:
    explicit collector(const pty_peer &peer) : fd_(peer.master_fd()), thread_([this] { run(); }) {}
    ~collector() { stop(); }
    collector(const collector &) = delete;
    collector &operator=(const collector &) = delete;

    // Asks the reader to finish once the line has gone quiet; stop() waits.
    void request_stop() { stop_ = true; }
    void stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }
    const bytes &stream() const { return stream_; }

  private:
    // Reads what is there; false once nothing came within `timeout_ms`.
    bool drain(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0 || (p.revents & POLLIN) == 0) {
            return false;
        }
        std::uint8_t buf[4096];
        ssize_t n = 0;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
            stream_.insert(stream_.end(), buf, buf + n);
        }
        return true;
    }
    void run() {
        while (!stop_) {
            drain(10);
        }
        while (drain(50)) {
        }
    }

    int fd_;
    bytes stream_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct driver_report {
    std::size_t bad_results = 0;
    std::size_t cut_short = 0; // writes the timeout ended early: part or none of a frame
    std::string first_problem;
    bool upload_ok = false;
    bytes expected; // exactly the bytes the results say were written, in order
};

bytes words_of(const axis_motion &m) {
    return {static_cast<std::uint8_t>(static_cast<std::uint16_t>(m.target) & 0xFF),
            static_cast<std::uint8_t>(static_cast<std::uint16_t>(m.target) >> 8),
            static_cast<std::uint8_t>(m.aux1 & 0xFF),
            static_cast<std::uint8_t>(m.aux1 >> 8),
            static_cast<std::uint8_t>(m.aux2 & 0xFF),
            static_cast<std::uint8_t>(m.aux2 >> 8)};
}

void drive(axis_handle *h, std::size_t port, std::size_t rounds, driver_report &report) {
    auto note = [&](const std::string &what) {
        if (report.bad_results++ == 0) {
            report.first_problem = what;
        }
    };
    axis_upload up{};
    const int32_t read = axis_read_upload(h, &up);
    const bytes upload = upload_for(port);
    report.upload_ok = read == AXIS_OK && std::memcmp(&up, upload.data() + 4, sizeof up) == 0;
    const std::uint8_t head = head_of(port);
    for (std::size_t r = 0; r < rounds; ++r) {
        const auto seq = static_cast<std::int16_t>(r);
        const auto tag = static_cast<std::uint16_t>(port);
        const axis_motion x{seq, tag, 1}, y{seq, tag, 2}, z{seq, tag, 3};
        const axis_motion sx{seq, tag, 0x11}, sy{seq, tag, 0x22}, sz{seq, tag, 0x33};
        const bytes three = concat({words_of(x), words_of(y), words_of(z)});
        const int32_t results[5] = {axis_x_move(h, seq, tag, 0x11), axis_y_move(h, seq, tag, 0x22),
                                    axis_z_move(h, seq, tag, 0x33),
                                    axis_xyz_abs_move(h, &x, &y, &z),
                                    axis_xyz_rel_move(h, &x, &y, &z)};
        const bytes frames[5] = {
            make_frame(head, 0x01, 0xA1, words_of(sx)), make_frame(head, 0x01, 0xA2, words_of(sy)),
            make_frame(head, 0x01, 0xA3, words_of(sz)), make_frame(head, 0x01, 0xA5, three),
            make_frame(head, 0x01, 0xA4, three)};
        for (int k = 0; k < 5; ++k) {
            const int32_t got = results[k];
            const bytes &f = frames[k];
            const std::string where = "round " + std::to_string(r) + " move " + std::to_string(k);
            if (got > 0 && static_cast<std::size_t>(got) <= f.size()) {
                const auto n = static_cast<std::size_t>(got);
                report.expected.insert(report.expected.end(), f.begin(),
                                       f.begin() + static_cast<std::ptrdiff_t>(n));
                if (n < f.size()) {
                    ++report.cut_short;
                }
            } else if (got == AXIS_E_REFUSED && std::string(axis_get_error(h)) == "串口发送失败") {
                ++report.cut_short; // the timeout passed before the first byte
            } else {
                note(where + " returned " + std::to_string(got) + ": " + axis_get_error(h));
            }
        }
    }
}

// Where two streams first differ, with the bytes around it.
std::string first_difference(const bytes &got, const bytes &want) {
    if (got == want) {
        return {};
    }
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) {
        ++i;
    }
    auto around = [i](const bytes &b) {
        const std::size_t from = i < 12 ? 0 : i - 12;
        const std::size_t to = std::min(b.size(), i + 12);
        return hex(bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                         b.begin() + static_cast<std::ptrdiff_t>(to)));
    };
    return std::to_string(got.size()) + " bytes arrived, " + std::to_string(want.size()) +
           " reported written; first difference at byte " + std::to_string(i) + ": got [" +
           around(got) + "] want [" + around(want) + "]";
}

} // namespace

void run_fan_out(std::size_t ports, std::size_t rounds, bool every_write_whole) {
    std::vector<std::unique_ptr<pty_peer>> peers;
    std::vector<axis_handle *> handles;
    for (std::size_t i = 0; i < ports; ++i) {
        peers.push_back(std::make_unique<pty_peer>());
        handles.push_back(axis_init(peers.back()->port_name().c_str(), head_of(i), nullptr));
        ASSERT_NE(handles.back(), nullptr) << "port " << i;
        peers.back()->send(upload_for(i));
    }

    std::vector<driver_report> reports(ports);
    std::vector<std::unique_ptr<collector>> peer_side;
    peer_side.reserve(peers.size());
    for (const auto &p : peers) {
        peer_side.push_back(std::make_unique<collector>(*p));
    }
    std::vector<std::thread> threads;
    threads.reserve(ports);
    for (std::size_t i = 0; i < ports; ++i) {
        threads.emplace_back(drive, handles[i], i, rounds, std::ref(reports[i]));
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (const auto &c : peer_side) {
        c->request_stop();
    }
    std::size_t cut_short = 0;
    for (std::size_t i = 0; i < ports; ++i) {
        SCOPED_TRACE("port " + std::to_string(i));
        peer_side[i]->stop();
        EXPECT_TRUE(reports[i].upload_ok) << "the upload read through the wrong handle";
        EXPECT_EQ(reports[i].bad_results, 0u) << reports[i].first_problem;
        // Every byte a result reported went to this port, in order, and
        // nothing else did: no frame of another handle, none lost.
        EXPECT_EQ(first_difference(peer_side[i]->stream(), reports[i].expected), "");
        if (every_write_whole) {
            EXPECT_EQ(reports[i].cut_short, 0u) << "a write timed out against a reading peer";
            EXPECT_EQ(
                split_frames(peer_side[i]->stream()).value_or(std::vector<wire_frame>{}).size(),
                rounds * 5);
        }
        cut_short += reports[i].cut_short;
    }
    std::printf("%zu ports x %zu rounds: %zu frames, %zu cut short by the write timeout\n", ports,
                rounds, ports * rounds * 5, cut_short);
    for (axis_handle *h : handles) {
        axis_close(h);
    }
}

} // namespace kinetra::test
