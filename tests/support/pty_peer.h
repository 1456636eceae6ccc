// A real pseudo-terminal pair: the library opens the slave by its path, the
// test plays the platform on the master side.
//
// On Windows (under Wine) the same class is a pair of COM ports linked by
// socat over two ptys (tests/support/win32_peer.cpp): the library opens one
// port by its COM name, the test plays the platform on the other with Win32
// calls. master_fd() and slave_fd() exist only on POSIX.
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
#ifndef _WIN32
    int master_fd() const { return master_; }
    // A descriptor on the slave held by the test itself, to look at the
    // line settings and the input queue that the library's descriptor shares.
    int slave_fd() const { return slave_; }
#else
    // A second handle on the host's port (Wine lets the test open it beside
    // the library): its line settings and input queue are the host's.
    void *host_side() const { return host_side_; }
#endif

    // Sends bytes to the host and waits until the tty has queued them, so that
    // the host's very next read sees them all (or, for more than a tty hands
    // its reader at once, until that much is waiting and the rest is behind).
    void send(const bytes &data);
    // Writes bytes as the line takes them, without waiting for the host to
    // see them: for a platform that streams while the host reads. False if
    // the line took nothing for about two seconds.
    bool write(const bytes &data);
    // Reads exactly n bytes from the host, or fewer if `timeout` passes first.
    bytes receive(std::size_t n, std::chrono::milliseconds timeout = 2000ms);
    // Everything the host wrote that arrives within `quiet` of the last byte.
    bytes drain(std::chrono::milliseconds quiet = 50ms);
    // Bytes waiting in the slave's input queue, not yet read by the host.
    std::size_t queued_for_host() const;
    // Closes the master: the host sees what unplugging the adapter looks like.
    void hang_up();

  private:
#ifndef _WIN32
    int master_ = -1;
    int slave_ = -1;
#else
    void *peer_port_ = nullptr; // HANDLE of the platform's COM port
    void *host_side_ = nullptr; // HANDLE on the host's COM port
    int pair_ = -1;
    unsigned generation_ = 0;
    bool hung_up_ = false;
#endif
    std::string slave_path_;
};

// A tty's line discipline holds at most this many bytes for its reader; what
// is written beyond waits in the driver behind them.
inline constexpr std::size_t tty_read_limit = 4095;

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

// True when the test runs under Wine rather than on Windows or POSIX, for
// the few cases where Wine does not behave like Windows.
bool under_wine();

} // namespace kinetra::test
