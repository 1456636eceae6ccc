#include "hard_support.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <dirent.h>
#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KINETRA_TEST_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KINETRA_TEST_SANITIZER_HEAP 1
#endif
#endif

#ifdef KINETRA_TEST_SANITIZER_HEAP
// From the sanitizer runtimes' allocator interface (GCC ships no header for
// it): the bytes currently allocated through the sanitizer's malloc.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace kinetra::test {

std::size_t open_descriptors() {
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        throw std::runtime_error("cannot list /proc/self/fd");
    }
    std::size_t n = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++n;
        }
    }
    ::closedir(dir);
    return n - 1; // the directory stream's own descriptor
}

std::size_t heap_in_use() {
#ifdef KINETRA_TEST_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

namespace {

std::atomic<long> signals_seen{0};

void count_signal(int) { signals_seen.fetch_add(1, std::memory_order_relaxed); }

} // namespace

signal_storm::signal_storm(pthread_t target, std::chrono::microseconds period)
    : start_count_(signals_seen.load()) {
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: interrupted calls fail with EINTR
    if (::sigaction(SIGUSR1, &action, nullptr) != 0) {
        throw std::runtime_error("sigaction failed");
    }
    sender_ = std::thread([this, target, period] {
        while (!stop_.load()) {
            (void)::pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(period);
        }
    });
    // Begin only once the storm has reached the thread.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (delivered() == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

signal_storm::~signal_storm() {
    stop_.store(true);
    sender_.join();
    // Let a signal still in flight land on the handler, then stop counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGUSR1, &ignore, nullptr);
}

long signal_storm::delivered() const { return signals_seen.load() - start_count_; }

std::optional<std::vector<wire_frame>> split_frames(const bytes &stream) {
    std::vector<wire_frame> frames;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        if (stream.size() - pos < 6) {
            return std::nullopt;
        }
        const std::size_t len = stream[pos + 2];
        if (stream.size() - pos < len + 6) {
            return std::nullopt;
        }
        wire_frame f;
        f.head = stream[pos];
        f.tag = stream[pos + 1];
        f.cmd = stream[pos + 3];
        f.payload.assign(stream.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                         stream.begin() + static_cast<std::ptrdiff_t>(pos + 4 + len));
        const bytes body(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                         stream.begin() + static_cast<std::ptrdiff_t>(pos + 4 + len));
        const std::uint16_t crc = reference_crc(body);
        f.crc_ok = stream[pos + 4 + len] == (crc & 0xFF) && stream[pos + 5 + len] == (crc >> 8);
        frames.push_back(std::move(f));
        pos += len + 6;
    }
    return frames;
}

std::uint16_t word_at(const bytes &payload, std::size_t offset) {
    return static_cast<std::uint16_t>(payload.at(offset) | (payload.at(offset + 1) << 8));
}

} // namespace kinetra::test
