// kinetra-bench: Google Benchmark's usual command line, plus one mode for the
// tracing tools (strace, callgrind), which need an exact number of calls:
//   kinetra-bench --calls=move|raw-write|read|raw-read:N
// makes N such calls on a pty and nothing else on the main thread; the pty's
// far end is served from another thread.
#include "pty_pair.h"

#include <kinetra.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

// One raw system call each, kept out of line so that callgrind can collect
// exactly what they cost (--toggle-collect=kinetra_bench_raw_*). The write
// waits for room like the library when the pty is full, which only happens
// when the drainer thread gets no core for a while.
extern "C" __attribute__((noinline)) ssize_t kinetra_bench_raw_write(int fd) {
    const auto &frame = kinetra::bench::move_frame;
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = ::write(fd, frame.data() + sent, frame.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            (void)::poll(&p, 1, 620);
        } else {
            break;
        }
    }
    return static_cast<ssize_t>(sent);
}
extern "C" __attribute__((noinline)) ssize_t kinetra_bench_raw_read(int fd, std::uint8_t *buffer,
                                                                    std::size_t size) {
    return ::read(fd, buffer, size);
}

namespace kinetra::bench {
namespace {

// Where axis_x_move was found at run time. The benchmarks of the public API
// must measure the shipped shared library, not a copy linked in statically.
std::string library_of_exports() {
    Dl_info info{};
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    if (::dladdr(reinterpret_cast<void *>(&axis_x_move), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

// A helper thread that puts one upload frame in the host's queue whenever the
// main thread asks, so the main thread itself makes no system call but the
// measured one. The handshake spins: a futex would show up in the trace.
class frame_server {
  public:
    explicit frame_server(const pty_pair &pty) : pty_(pty), thread_([this] { run(); }) {}
    ~frame_server() {
        quit_.store(true);
        thread_.join();
    }
    frame_server(const frame_server &) = delete;
    frame_server &operator=(const frame_server &) = delete;

    bool next_frame() {
        served_.store(0, std::memory_order_relaxed);
        wanted_.store(true, std::memory_order_release);
        int s = 0;
        while ((s = served_.load(std::memory_order_acquire)) == 0) {
        }
        return s == 1;
    }

  private:
    void run() {
        while (!quit_.load()) {
            if (!wanted_.exchange(false, std::memory_order_acquire)) {
                std::this_thread::yield();
                continue;
            }
            const bool ok = pty_.send(upload_frame.data(), upload_frame.size()) &&
                            pty_.wait_queued(upload_frame.size());
            served_.store(ok ? 1 : 2, std::memory_order_release);
        }
    }

    const pty_pair &pty_;
    std::atomic<bool> wanted_{false};
    std::atomic<int> served_{0};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

int run_calls(const std::string &mode, long count) {
    const pty_pair pty;
    const bool library = mode == "move" || mode == "read";
    axis_handle *h = nullptr;
    int fd = -1;
    if (library) {
        h = axis_init(pty.slave_path().c_str(), 0x01, nullptr);
    } else {
        fd = open_raw_port(pty.slave_path());
    }
    if (h == nullptr && fd < 0) {
        std::fprintf(stderr, "cannot open %s\n", pty.slave_path().c_str());
        return 1;
    }
    long done = 0;
    if (mode == "move" || mode == "raw-write") {
        drainer sink(pty.master());
        for (; done < count; ++done) {
            const long n = library ? axis_x_move(h, 1000, 200, 50) : kinetra_bench_raw_write(fd);
            if (n != 12) {
                break;
            }
        }
    } else if (mode == "read" || mode == "raw-read") {
        frame_server server(pty);
        std::uint8_t buffer[4096];
        axis_upload up{};
        for (; done < count; ++done) {
            if (!server.next_frame()) {
                break;
            }
            const bool ok = library ? axis_read_upload(h, &up) == AXIS_OK
                                    : kinetra_bench_raw_read(fd, buffer, sizeof buffer) == 19;
            if (!ok) {
                break;
            }
        }
    }
    axis_close(h);
    if (fd >= 0) {
        ::close(fd);
    }
    std::printf("%s: %ld of %ld calls\n", mode.c_str(), done, count);
    return done == count ? 0 : 1;
}

} // namespace
} // namespace kinetra::bench

int main(int argc, char **argv) {
    const char *prefix = "--calls=";
    if (argc == 2 && std::strncmp(argv[1], prefix, std::strlen(prefix)) == 0) {
        const std::string spec = argv[1] + std::strlen(prefix);
        const auto colon = spec.find(':');
        if (colon == std::string::npos) {
            std::fprintf(stderr, "usage: %s --calls=move|raw-write|read|raw-read:N\n", argv[0]);
            return 2;
        }
        return kinetra::bench::run_calls(spec.substr(0, colon),
                                         std::strtol(spec.c_str() + colon + 1, nullptr, 10));
    }

    const std::string library = kinetra::bench::library_of_exports();
    if (library.find("libKinetra.so") == std::string::npos) {
        std::fprintf(stderr, "axis_x_move comes from '%s', not from libKinetra.so\n",
                     library.c_str());
        return 1;
    }
    benchmark::AddCustomContext("kinetra_library", library);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
