// The simulator's line on Windows: an existing COM port, such as one end of
// a null-modem pair (com0com's CNCB0), opened with Win32 calls only.
#include "com_port.h"
#include "sim_line.h"

#include <algorithm>

#include <windows.h>

namespace kinetra::sim {

namespace {

// A write gives up on a host that does not read after this long.
constexpr DWORD write_timeout_ms = 10;

class win32_line final : public sim_line {
  public:
    explicit win32_line(HANDLE port) : port_(port) {}
    ~win32_line() override { ::CloseHandle(port_); }

    // Polls the driver's input count a millisecond at a time: a COM port
    // has no poll(), and an overlapped wait is more than a simulator needs.
    line_wait wait(std::chrono::nanoseconds timeout) override {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (::ClearCommError(port_, &errors, &status) != 0 && status.cbInQue > 0) {
                return {true, true};
            }
            if (std::chrono::steady_clock::now() >= until) {
                return {false, true};
            }
            ::Sleep(1);
        }
    }

    std::size_t read(std::uint8_t *bytes, std::size_t max) override {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(max, MAXDWORD));
        if (::ReadFile(port_, bytes, want, &got, nullptr) == 0) {
            return 0;
        }
        return got;
    }

    std::size_t write(const std::uint8_t *bytes, std::size_t n) override {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, MAXDWORD));
        if (::WriteFile(port_, bytes, want, &written, nullptr) == 0) {
            return 0;
        }
        return written;
    }

    void discard() override { (void)::PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR); }

  private:
    HANDLE port_;
};

} // namespace

opened_line open_pty_line() {
    return {nullptr, "", "Windows has no pseudo-terminals: serve one end of a null-modem pair"};
}

opened_line open_port_line(const std::string &name) {
    std::string error;
    void *port = kinetra::tool::open_com_port(name, 0, write_timeout_ms, error);
    if (port == nullptr) {
        return {nullptr, "", error};
    }
    return {std::make_unique<win32_line>(port), name, ""};
}

} // namespace kinetra::sim
