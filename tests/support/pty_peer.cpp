#include "pty_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>

#ifndef _WIN32 // the Win32 peer is in win32_peer.cpp
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace kinetra::test {

#ifndef _WIN32

pty_peer::pty_peer() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    slave_path_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

pty_peer::~pty_peer() {
    if (master_ >= 0) {
        ::close(master_);
    }
    ::close(slave_);
}

std::size_t pty_peer::queued_for_host() const {
    int n = 0;
    if (::ioctl(slave_, FIONREAD, &n) != 0) {
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool pty_peer::write(const bytes &data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::write(master_, data.data() + sent, data.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("write to pty master failed");
        }
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, 2000) == 0) {
            return false;
        }
    }
    return true;
}

void pty_peer::send(const bytes &data) {
    const std::size_t before = queued_for_host();
    if (!write(data)) {
        throw std::runtime_error("the pty takes no more bytes: nobody reads the host side");
    }
    const std::size_t expected = std::min(before + data.size(), tty_read_limit);
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (queued_for_host() < expected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
}

bytes pty_peer::receive(std::size_t n, std::chrono::milliseconds timeout) {
    bytes out;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        std::uint8_t buf[4096];
        const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
        } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return out;
}

void pty_peer::hang_up() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

bool under_wine() { return false; }
#endif

// The same on every platform: what arrives until the line stays quiet.
bytes pty_peer::drain(std::chrono::milliseconds quiet) {
    bytes out;
    for (;;) {
        const bytes chunk = receive(4096, quiet);
        if (chunk.empty()) {
            return out;
        }
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
}

// Bit by bit, written apart from the library's table so that frames built
// here check the library rather than repeat it.
std::uint16_t reference_crc(const bytes &data) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bytes make_frame(std::uint8_t head, std::uint8_t tag, std::uint8_t cmd, const bytes &payload) {
    // Room for the whole frame first: grown from a four-byte start, GCC 12 at
    // -O3 sees the payload copied past the old buffer (-Warray-bounds).
    bytes out;
    out.reserve(4 + payload.size() + 2);
    out.push_back(head);
    out.push_back(tag);
    out.push_back(static_cast<std::uint8_t>(payload.size()));
    out.push_back(cmd);
    out.insert(out.end(), payload.begin(), payload.end());
    const std::uint16_t crc = reference_crc(out);
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
    return out;
}

bytes sample_upload() {
    return {0x7B, 0x01, 0x0D, 0xF5, 0x02, 0x64, 0x00, 0xCE, 0xFF, 0x07,
            0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x9D, 0x3E};
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::string hex(const bytes &data) {
    std::string out;
    char buf[4];
    for (std::uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

std::string identifier(const char *description) {
    std::string out;
    for (const char *p = description; *p != '\0'; ++p) {
        const bool alnum =
            (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9');
        if (alnum) {
            out += *p;
        } else if (!out.empty() && out.back() != '_') {
            out += '_';
        }
    }
    while (!out.empty() && out.back() == '_') {
        out.pop_back();
    }
    return out;
}

} // namespace kinetra::test
