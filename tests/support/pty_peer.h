// A real pseudo-terminal pair: the library opens the slave by its path, the
// test plays the platform on the master side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kinetra::test {

using bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class pty_peer {
  public:
    pty_peer();
    ~pty_peer();
    pty_peer(const pty_peer &) = delete;
    pty_peer &operator=(const pty_peer &) = delete;

    // The name a host passes to axis_init.
    const std::string &port_name() const { return slave_path_; }
    int master_fd() const { return master_; }
    // A descriptor on the slave held by the test itself, to look at the
    // line settings and the input queue that the library's descriptor shares.
    int slave_fd() const { return slave_; }

    // Sends bytes to the host and waits until the tty has queued them, so that
    // the host's very next read sees them all.
    void send(const bytes &data);
    // Reads exactly n bytes from the host, or fewer if `timeout` passes first.
    bytes receive(std::size_t n, std::chrono::milliseconds timeout = 2000ms);
    // Everything the host wrote that arrives within `quiet` of the last byte.
    bytes drain(std::chrono::milliseconds quiet = 50ms);
    // Bytes waiting in the slave's input queue, not yet read by the host.
    std::size_t queued_for_host() const;
    // Closes the master: the host sees what unplugging the adapter looks like.
    void hang_up();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

std::uint16_t reference_crc(const bytes &data);

// The bytes of a frame as the platform sends it: head, tag, len, cmd,
// payload, CRC low, CRC high, with len = the payload's size.
bytes make_frame(std::uint8_t head, std::uint8_t tag, std::uint8_t cmd, const bytes &payload);

// The 19-byte upload frame used throughout the documentation.
bytes sample_upload();

bytes concat(std::initializer_list<bytes> parts);

std::string hex(const bytes &data);

// A test name made of a case's description: letters and digits kept, the
// rest turned into underscores.
std::string identifier(const char *description);

} // namespace kinetra::test
