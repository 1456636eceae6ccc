// The relay on Windows: two COM ports, the platform's device and the host's
// end of a null-modem pair (com0com's CNCA0, whose other end the host opens).
// A COM port has no poll(): the loop reads both sides without waiting and
// sleeps a millisecond when neither had anything.
#include "relay.h"
#include "relay_io.h"

#include <algorithm>
#include <chrono>

#include <windows.h>

#include "com_port.h"

namespace kinetra::spy {

namespace {

// A write gives up on a side that does not take its bytes after this long;
// what it did not take waits in the lane.
constexpr DWORD write_timeout_ms = 1;

std::int64_t ns_since_epoch(std::chrono::nanoseconds t) {
    return static_cast<std::int64_t>(t.count());
}

} // namespace

namespace io {

result read_now(side_handle side, std::uint8_t *bytes, std::size_t max) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(max, MAXDWORD));
    if (::ReadFile(side, bytes, want, &got, nullptr) == 0) {
        return {0, false}; // an adapter unplugged fails its reads
    }
    return {got, true};
}

result write_now(side_handle side, const std::uint8_t *bytes, std::size_t n) {
    DWORD written = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, MAXDWORD));
    if (::WriteFile(side, bytes, want, &written, nullptr) == 0) {
        return {0, false};
    }
    return {written, true};
}

void discard_host_side(side_handle host) { (void)::PurgeComm(host, PURGE_RXCLEAR | PURGE_TXCLEAR); }

} // namespace io

stamp stamp_now() {
    return {ns_since_epoch(std::chrono::steady_clock::now().time_since_epoch()),
            ns_since_epoch(std::chrono::system_clock::now().time_since_epoch())};
}

// Both sides exclusive: on Windows the host holds the pair's other end.
bool open_device(const std::string &name, side_handle &device, std::string &error) {
    device = kinetra::tool::open_com_port(name, 0, write_timeout_ms, error);
    return device != nullptr;
}

bool open_host_port(const std::string &name, side_handle &host, std::string &error) {
    return open_device(name, host, error);
}

void close_side(side_handle side) { ::CloseHandle(side); }

relay::~relay() {
    ::CloseHandle(device_);
    close_host();
}

void relay::close_host() {
    if (host_open_) {
        ::CloseHandle(host_);
        host_open_ = false;
    }
}

// The host's side is an existing port that stays open: the host is there.
void relay::check_host() {
    if (host_open_ && !host_present_) {
        host_present_ = true;
        note("host opened the port");
    }
}

int relay::run(const std::atomic<bool> &stop) {
    check_host();
    while (!stop.load()) {
        const std::int64_t before = std::max(to_platform_.last_read_ns, to_host_.last_read_ns);
        if (!to_platform_.pending.empty()) {
            flush_pending(to_platform_);
        }
        if (!to_host_.pending.empty()) {
            flush_pending(to_host_);
        }
        if (!drain(to_host_, true)) {
            return hang_up_host();
        }
        (void)drain(to_platform_, true);
        const std::int64_t now = stamp_now().mono_ns;
        resync_quiet(to_platform_, now);
        resync_quiet(to_host_, now);
        if (std::max(to_platform_.last_read_ns, to_host_.last_read_ns) == before) {
            ::Sleep(1); // neither side had anything
        }
    }
    wind_down();
    return 0;
}

} // namespace kinetra::spy
