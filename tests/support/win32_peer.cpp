// The platform peer on Windows: two COM ports linked by socat over a pair of
// ptys, set up for this test program by tests/windows/wine-run.sh. The host
// opens one port by its COM name; the peer opens the other with Win32 calls
// and plays the platform there. A second handle on the host's port (Wine
// allows it) shows the host's input queue and line settings, as the slave
// descriptor does on POSIX.
//
// The runner hands this process a few pairs (KINETRA_PEER_PAIRS, e.g.
// "11:12,13:14") and a folder (KINETRA_PEER_DIR) with, for each pair, a
// control FIFO and a generation file. A peer takes a free pair whose socat is
// fresh; when it is done it writes "release" and the runner links the pair
// anew; hang_up() writes "hangup", and the runner kills socat, which closes
// both ptys' masters under whoever holds the ports.
#include "pty_peer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kinetra::test {
namespace {

using clock = std::chrono::steady_clock;

struct com_pair {
    int host = 0; // the COM number the library opens
    int peer = 0; // the COM number the peer opens
    bool busy = false;
    unsigned released = 0; // generation given back last; the next must be newer
};

// The pairs the runner gave this process, from its environment.
struct pair_pool {
    std::mutex lock;
    std::vector<com_pair> pairs;
    std::string folder; // Windows path of the runner's folder for this run

    pair_pool() {
        const char *list = std::getenv("KINETRA_PEER_PAIRS");
        const char *dir = std::getenv("KINETRA_PEER_DIR");
        if (list == nullptr || dir == nullptr) {
            return;
        }
        folder = dir;
        std::istringstream in(list);
        std::string item;
        while (std::getline(in, item, ',')) {
            const auto colon = item.find(':');
            if (colon != std::string::npos) {
                com_pair pair;
                pair.host = std::stoi(item.substr(0, colon));
                pair.peer = std::stoi(item.substr(colon + 1));
                pairs.push_back(pair);
            }
        }
    }
};

pair_pool &pool() {
    static pair_pool p;
    return p;
}

std::string pair_file(int host_com, const char *suffix) {
    return pool().folder + "\\COM" + std::to_string(host_com) + suffix;
}

std::string com_name(int number) { return "\\\\.\\COM" + std::to_string(number); }

std::optional<unsigned> read_number(const std::string &path) {
    std::ifstream in(path);
    unsigned value = 0;
    if (in >> value) {
        return value;
    }
    return std::nullopt;
}

// Waits until the file holds a number that satisfies `ok`.
unsigned wait_for_number(const std::string &path, bool (*ok)(unsigned, unsigned), unsigned ref) {
    const auto until = clock::now() + std::chrono::seconds(10);
    for (;;) {
        const std::optional<unsigned> v = read_number(path);
        if (v && ok(*v, ref)) {
            return *v;
        }
        if (clock::now() > until) {
            throw std::runtime_error("the COM port pair runner did not answer: " + path);
        }
        std::this_thread::sleep_for(2ms);
    }
}

void tell_runner(int host_com, const char *command) {
    const std::string path = pair_file(host_com, ".ctl");
    HANDLE fifo = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (fifo == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path);
    }
    const std::string line = std::string(command) + "\n";
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(fifo, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(fifo);
    if (ok == FALSE || written != line.size()) {
        throw std::runtime_error("cannot write to " + path);
    }
}

HANDLE open_port(const std::string &name, DWORD share) {
    HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + name + ": error " +
                                 std::to_string(::GetLastError()));
    }
    return h;
}

void close_port(void *&h) {
    if (h != nullptr) {
        ::CloseHandle(static_cast<HANDLE>(h));
        h = nullptr;
    }
}

} // namespace

pty_peer::pty_peer() {
    pair_pool &p = pool();
    if (p.pairs.empty()) {
        throw std::runtime_error("no COM port pairs: run this program through "
                                 "tests/windows/wine-run.sh (ctest does)");
    }
    unsigned released = 0;
    {
        const std::lock_guard<std::mutex> guard(p.lock);
        const auto free =
            std::find_if(p.pairs.begin(), p.pairs.end(), [](const com_pair &c) { return !c.busy; });
        if (free == p.pairs.end()) {
            throw std::runtime_error("all " + std::to_string(p.pairs.size()) +
                                     " COM port pairs of this run are in use");
        }
        free->busy = true;
        pair_ = static_cast<int>(free - p.pairs.begin());
        released = free->released;
    }
    const com_pair &pair = p.pairs[static_cast<std::size_t>(pair_)];
    try {
        generation_ = wait_for_number(
            pair_file(pair.host, ".gen"), [](unsigned v, unsigned old) { return v > old; },
            released);
        slave_path_ = com_name(pair.host);
        peer_port_ = open_port(com_name(pair.peer), 0);
        // Reads return at once with what has arrived; writes wait until done.
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        ::SetCommTimeouts(static_cast<HANDLE>(peer_port_), &t);
        host_side_ = open_port(slave_path_, FILE_SHARE_READ | FILE_SHARE_WRITE);
    } catch (...) {
        close_port(peer_port_);
        const std::lock_guard<std::mutex> guard(p.lock);
        p.pairs[static_cast<std::size_t>(pair_)].busy = false;
        throw;
    }
}

pty_peer::~pty_peer() {
    close_port(host_side_);
    close_port(peer_port_);
    pair_pool &p = pool();
    com_pair &pair = p.pairs[static_cast<std::size_t>(pair_)];
    try {
        tell_runner(pair.host, "release");
    } catch (...) {
        // The runner is gone; nothing of this pair can be used again anyway.
    }
    const std::lock_guard<std::mutex> guard(p.lock);
    pair.released = generation_;
    pair.busy = false;
}

std::size_t pty_peer::queued_for_host() const {
    DWORD errors = 0;
    COMSTAT status{};
    if (host_side_ == nullptr ||
        ::ClearCommError(static_cast<HANDLE>(host_side_), &errors, &status) == FALSE) {
        return 0;
    }
    return status.cbInQue;
}

bool pty_peer::write(const bytes &data) {
    if (peer_port_ == nullptr) {
        throw std::runtime_error("write after hang_up");
    }
    std::size_t sent = 0;
    while (sent < data.size()) {
        DWORD n = 0;
        if (::WriteFile(static_cast<HANDLE>(peer_port_), data.data() + sent,
                        static_cast<DWORD>(data.size() - sent), &n, nullptr) == FALSE) {
            throw std::runtime_error("write to the platform's COM port failed");
        }
        if (n == 0) {
            return false; // the write timeout passed with no room
        }
        sent += n;
    }
    return true;
}

void pty_peer::send(const bytes &data) {
    if (peer_port_ == nullptr) {
        throw std::runtime_error("send after hang_up");
    }
    const std::size_t before = queued_for_host();
    if (!write(data)) {
        throw std::runtime_error("the platform's COM port takes no more bytes");
    }
    // socat relays the bytes a moment later: wait until the host's port has
    // them all queued.
    const std::size_t expected = std::min(before + data.size(), tty_read_limit);
    const auto until = clock::now() + 2s;
    while (queued_for_host() < expected && clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
}

bytes pty_peer::receive(std::size_t n, std::chrono::milliseconds timeout) {
    bytes out;
    if (peer_port_ == nullptr) {
        return out;
    }
    const auto until = clock::now() + timeout;
    while (out.size() < n) {
        std::uint8_t buf[4096];
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min(sizeof buf, n - out.size()));
        if (::ReadFile(static_cast<HANDLE>(peer_port_), buf, want, &got, nullptr) == FALSE) {
            break;
        }
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
            continue;
        }
        if (clock::now() >= until) {
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    return out;
}

void pty_peer::hang_up() {
    if (hung_up_) {
        return;
    }
    close_port(host_side_);
    close_port(peer_port_);
    const com_pair &pair = pool().pairs[static_cast<std::size_t>(pair_)];
    tell_runner(pair.host, "hangup");
    // The runner answers once socat is gone and the port with it.
    wait_for_number(
        pair_file(pair.host, ".down"), [](unsigned v, unsigned gen) { return v == gen; },
        generation_);
    hung_up_ = true;
}

bool under_wine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace kinetra::test
