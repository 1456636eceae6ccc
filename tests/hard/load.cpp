#include "load.h"

#include "hard_support.h"

#include <gtest/gtest.h>
#include <kinetra.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

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

} // namespace

void run_open_close_cycles(std::size_t cycles) {
    pty_peer peer;
    const axis_limits window{100, -100, 200, -200, 300, -300};
    // One cycle first, so that lazily made buffers are not taken for leaks.
    axis_close(axis_init(peer.port_name().c_str(), 0x01, &window));
    const resource_mark mark;
    for (std::size_t i = 0; i < cycles; ++i) {
        axis_handle *h = axis_init(peer.port_name().c_str(), static_cast<std::uint8_t>(i),
                                   (i % 2) != 0 ? &window : nullptr);
        ASSERT_NE(h, nullptr) << "cycle " << i << ": the port stayed held";
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

// The peer side: reads every master as bytes arrive, so no write ever waits.
class collector {
  public:
    explicit collector(std::vector<std::unique_ptr<pty_peer>> &peers)
        : peers_(peers), streams_(peers.size()), thread_([this] { run(); }) {}
    ~collector() { stop(); }
    collector(const collector &) = delete;
    collector &operator=(const collector &) = delete;

    void stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
            drain_all(0);
        }
    }
    const bytes &stream(std::size_t port) const { return streams_[port]; }

  private:
    void drain_all(int timeout_ms) {
        std::vector<pollfd> fds;
        for (const auto &p : peers_) {
            fds.push_back({p->master_fd(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), timeout_ms) <= 0) {
            return;
        }
        std::uint8_t buf[4096];
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            ssize_t n = 0;
            while ((n = ::read(fds[i].fd, buf, sizeof buf)) > 0) {
                streams_[i].insert(streams_[i].end(), buf, buf + n);
            }
        }
    }
    void run() {
        while (!stop_) {
            drain_all(10);
        }
        // Whatever is still in flight after the last move.
        for (int i = 0; i < 20; ++i) {
            drain_all(5);
        }
    }

    std::vector<std::unique_ptr<pty_peer>> &peers_;
    std::vector<bytes> streams_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct driver_report {
    std::size_t bad_results = 0;
    std::string first_problem;
    bool upload_ok = false;
};

void drive(axis_handle *h, std::size_t port, std::size_t rounds, driver_report &report) {
    auto note = [&](const std::string &what) {
        if (report.bad_results++ == 0) {
            report.first_problem = what;
        }
    };
    axis_upload up{};
    const int32_t read = axis_read_upload(h, &up);
    const bytes expected = upload_for(port);
    report.upload_ok = read == AXIS_OK && std::memcmp(&up, expected.data() + 4, sizeof up) == 0;
    for (std::size_t r = 0; r < rounds; ++r) {
        const auto seq = static_cast<std::int16_t>(r);
        const auto tag = static_cast<std::uint16_t>(port);
        const axis_motion x{seq, tag, 1}, y{seq, tag, 2}, z{seq, tag, 3};
        const int32_t results[5] = {axis_x_move(h, seq, tag, 0x11), axis_y_move(h, seq, tag, 0x22),
                                    axis_z_move(h, seq, tag, 0x33),
                                    axis_xyz_abs_move(h, &x, &y, &z),
                                    axis_xyz_rel_move(h, &x, &y, &z)};
        const int32_t want[5] = {12, 12, 12, 24, 24};
        for (int k = 0; k < 5; ++k) {
            if (results[k] != want[k]) {
                note("round " + std::to_string(r) + " move " + std::to_string(k) + " returned " +
                     std::to_string(results[k]) + ": " + axis_get_error(h));
            }
        }
    }
}

// Checks one port's stream: rounds × (x, y, z, abs, rel), in order, each
// with the port's head, a sound CRC and the port's own words.
std::string check_stream(const bytes &stream, std::size_t port, std::size_t rounds) {
    const auto frames = split_frames(stream);
    if (!frames) {
        return "the stream is not whole frames (" + std::to_string(stream.size()) + " bytes)";
    }
    if (frames->size() != rounds * 5) {
        return std::to_string(frames->size()) + " frames instead of " + std::to_string(rounds * 5);
    }
    const std::uint8_t codes[5] = {0xA1, 0xA2, 0xA3, 0xA5, 0xA4};
    for (std::size_t i = 0; i < frames->size(); ++i) {
        const wire_frame &f = (*frames)[i];
        const std::size_t round = i / 5;
        const std::string where = "frame " + std::to_string(i) + ": ";
        if (f.head != head_of(port)) {
            return where + "head " + std::to_string(f.head) + " belongs to another port";
        }
        if (!f.crc_ok || f.tag != 0x01 || f.cmd != codes[i % 5]) {
            return where + "damaged or out of order: " + hex(f.payload);
        }
        if (word_at(f.payload, 0) != static_cast<std::uint16_t>(round) ||
            word_at(f.payload, 2) != port) {
            return where + "words of another round or port: " + hex(f.payload);
        }
    }
    return {};
}

} // namespace

void run_fan_out(std::size_t ports, std::size_t rounds) {
    std::vector<std::unique_ptr<pty_peer>> peers;
    std::vector<axis_handle *> handles;
    for (std::size_t i = 0; i < ports; ++i) {
        peers.push_back(std::make_unique<pty_peer>());
        handles.push_back(axis_init(peers.back()->port_name().c_str(), head_of(i), nullptr));
        ASSERT_NE(handles.back(), nullptr) << "port " << i;
        peers.back()->send(upload_for(i));
    }

    std::vector<driver_report> reports(ports);
    {
        collector peer_side(peers);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < ports; ++i) {
            threads.emplace_back(drive, handles[i], i, rounds, std::ref(reports[i]));
        }
        for (std::thread &t : threads) {
            t.join();
        }
        peer_side.stop();
        for (std::size_t i = 0; i < ports; ++i) {
            SCOPED_TRACE("port " + std::to_string(i));
            EXPECT_TRUE(reports[i].upload_ok) << "the upload read through the wrong handle";
            EXPECT_EQ(reports[i].bad_results, 0u) << reports[i].first_problem;
            EXPECT_EQ(check_stream(peer_side.stream(i), i, rounds), "");
        }
    }
    for (axis_handle *h : handles) {
        axis_close(h);
    }
}

} // namespace kinetra::test
