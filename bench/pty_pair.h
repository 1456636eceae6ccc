// Pseudo-terminal pairs for the benchmarks: the code under measurement opens
// the slave by its path, as a host opens /dev/ttyUSB0; a helper thread plays
// the platform on the master side.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace kinetra::bench {

// The frame axis_x_move(h, 1000, 200, 50) sends with head byte 0x01.
inline constexpr std::array<std::uint8_t, 12> move_frame = {0x01, 0x01, 0x06, 0xA1, 0xE8, 0x03,
                                                            0xC8, 0x00, 0x32, 0x00, 0x64, 0x9A};

// An upload frame: payload 02, 64 00, CE FF, 07 00, 01 00 00 01 00 00.
inline constexpr std::array<std::uint8_t, 19> upload_frame = {
    0x7B, 0x01, 0x0D, 0xF5, 0x02, 0x64, 0x00, 0xCE, 0xFF, 0x07,
    0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x9D, 0x3E};

class pty_pair {
  public:
    pty_pair(); // throws std::runtime_error when no pty can be had
    ~pty_pair();
    pty_pair(const pty_pair &) = delete;
    pty_pair &operator=(const pty_pair &) = delete;

    const std::string &slave_path() const { return slave_path_; }
    int master() const { return master_; }

    // Bytes in the slave's input queue: what the host's next read() returns.
    std::size_t queued_for_host() const;
    // Writes the bytes to the master without waiting for them to arrive.
    bool send(const std::uint8_t *bytes, std::size_t n) const;
    // Waits (at most 2 s) until the slave's input queue holds `n` bytes.
    bool wait_queued(std::size_t n) const;

  private:
    int master_ = -1;
    int slave_ = -1; // kept open so the pty outlives the code's own descriptors
    std::string slave_path_;
};

// Opens a slave the way the library does (non-blocking, exclusive) and sets
// it raw at 115200 8N1, so a plain write() or read() on it meets the same
// line discipline work as the library's. Returns -1 on failure.
int open_raw_port(const std::string &path);

// Reads and throws away everything the host writes, on its own thread, so
// that the pty never fills. Keeps the first bytes for a check.
class drainer {
  public:
    explicit drainer(int master_fd);
    ~drainer();
    drainer(const drainer &) = delete;
    drainer &operator=(const drainer &) = delete;

    // Stops the thread; afterwards first_bytes() is stable.
    void stop();
    const std::array<std::uint8_t, 12> &first_bytes() const { return first_; }
    std::size_t first_count() const { return first_count_; }

  private:
    void run();

    int fd_;
    std::atomic<bool> stop_{false};
    std::array<std::uint8_t, 12> first_{};
    std::size_t first_count_ = 0;
    std::thread thread_;
};

} // namespace kinetra::bench
