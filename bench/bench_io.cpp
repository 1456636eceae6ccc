// The public-API calls against the system calls they cannot avoid, each on a
// real pseudo-terminal: a move against one write() of the same 12 bytes, a
// read of the upload against one non-blocking read() of the same 19 bytes.
#include "alloc_count.h"
#include "pty_pair.h"

#include <kinetra.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace kinetra::bench {
namespace {

struct handle_closer {
    void operator()(axis_handle *h) const noexcept { axis_close(h); }
};
using handle_ptr = std::unique_ptr<axis_handle, handle_closer>;

struct fd_closer {
    int fd = -1;
    explicit fd_closer(int f) : fd(f) {}
    ~fd_closer() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    fd_closer(const fd_closer &) = delete;
    fd_closer &operator=(const fd_closer &) = delete;
};

// The bytes the drainer saw first must be exactly the frame the raw
// benchmark writes, or the two would not be doing the same work.
bool sent_move_frame(drainer &d) {
    d.stop();
    return d.first_count() == move_frame.size() && d.first_bytes() == move_frame;
}

void BM_move_library(benchmark::State &state) {
    const pty_pair pty;
    const handle_ptr handle{axis_init(pty.slave_path().c_str(), 0x01, nullptr)};
    if (!handle) {
        state.SkipWithError("axis_init failed on the pty");
        return;
    }
    drainer sink(pty.master());
    axis_handle *const h = handle.get();
    const std::uint64_t allocs_before = thread_allocations();
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::int32_t n = axis_x_move(h, 1000, 200, 50);
        if (n != static_cast<std::int32_t>(move_frame.size())) {
            state.SkipWithError("axis_x_move did not write 12 bytes");
            break;
        }
    }
    const std::uint64_t allocs = thread_allocations() - allocs_before;
    state.counters["allocs_per_move"] =
        benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(move_frame.size()));
    if (!sent_move_frame(sink)) {
        state.SkipWithError("the library sent other bytes than the raw benchmark writes");
    }
}

// One write() of the 12 bytes. When the drainer falls behind and the pty is
// full, it does what the library's write path does: write the rest, waiting
// for room with poll(). Those waits are counted, so a run where that
// happened is visible.
void BM_move_raw_write(benchmark::State &state) {
    const pty_pair pty;
    const fd_closer port(open_raw_port(pty.slave_path()));
    if (port.fd < 0) {
        state.SkipWithError("cannot open the pty slave");
        return;
    }
    drainer sink(pty.master());
    const int fd = port.fd;
    std::int64_t waits = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        std::size_t sent = 0;
        while (sent < move_frame.size()) {
            const ssize_t n = ::write(fd, move_frame.data() + sent, move_frame.size() - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                ++waits;
                pollfd p{fd, POLLOUT, 0};
                (void)::poll(&p, 1, 620);
            } else {
                break;
            }
        }
        if (sent != move_frame.size()) {
            state.SkipWithError("write() failed");
            break;
        }
    }
    state.counters["waits_for_room"] =
        benchmark::Counter(static_cast<double>(waits), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(move_frame.size()));
    if (!sent_move_frame(sink)) {
        state.SkipWithError("the drainer saw other bytes than the move frame");
    }
}

// A read is only measured while exactly one upload frame waits in the
// slave's queue. Refilling a pty takes the tty's worker thread a few
// microseconds, far longer than the read itself, so the frames are fed to a
// batch of ptys with the timer stopped, and the timer then runs over one read
// per pty: the cost of stopping and starting it is spread over the batch.
constexpr std::size_t read_batch = 64;

class upload_feeder {
  public:
    upload_feeder() {
        for (std::size_t i = 0; i < read_batch; ++i) {
            ptys_.push_back(std::make_unique<pty_pair>());
        }
    }
    const pty_pair &operator[](std::size_t i) const { return *ptys_[i]; }

    // One upload frame waiting on every pty; false if one failed to arrive.
    bool refill() const {
        for (const auto &p : ptys_) {
            if (!p->send(upload_frame.data(), upload_frame.size())) {
                return false;
            }
        }
        for (const auto &p : ptys_) {
            if (!p->wait_queued(upload_frame.size()) ||
                p->queued_for_host() != upload_frame.size()) {
                return false;
            }
        }
        return true;
    }

  private:
    std::vector<std::unique_ptr<pty_pair>> ptys_;
};

void BM_read_library(benchmark::State &state) {
    const upload_feeder feeder;
    std::vector<handle_ptr> handles;
    for (std::size_t i = 0; i < read_batch; ++i) {
        handles.emplace_back(axis_init(feeder[i].slave_path().c_str(), 0x01, nullptr));
        if (!handles.back()) {
            state.SkipWithError("axis_init failed on the pty");
            return;
        }
    }
    axis_upload up{};
    std::size_t next = read_batch;
    const std::uint64_t allocs_before = thread_allocations();
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (next == read_batch) {
            state.PauseTiming();
            const bool fed = feeder.refill();
            state.ResumeTiming();
            if (!fed) {
                state.SkipWithError("an upload frame did not reach the host's queue");
                break;
            }
            next = 0;
        }
        if (axis_read_upload(handles[next++].get(), &up) != AXIS_OK) {
            state.SkipWithError("axis_read_upload did not return AXIS_OK");
            break;
        }
    }
    const std::uint64_t allocs = thread_allocations() - allocs_before;
    state.counters["allocs_per_read"] =
        benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
    if (up.byte0 != 0x02 || up.word1 != 100 || up.word2 != -50 || up.word3 != 7) {
        state.SkipWithError("the upload record does not hold the frame's payload");
    }
}

void BM_read_raw_read(benchmark::State &state) {
    const upload_feeder feeder;
    std::vector<std::unique_ptr<fd_closer>> ports;
    for (std::size_t i = 0; i < read_batch; ++i) {
        ports.push_back(std::make_unique<fd_closer>(open_raw_port(feeder[i].slave_path())));
        if (ports.back()->fd < 0) {
            state.SkipWithError("cannot open the pty slave");
            return;
        }
    }
    // The library's receive buffer is this size too.
    std::uint8_t buffer[4096];
    std::size_t next = read_batch;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (next == read_batch) {
            state.PauseTiming();
            const bool fed = feeder.refill();
            state.ResumeTiming();
            if (!fed) {
                state.SkipWithError("an upload frame did not reach the host's queue");
                break;
            }
            next = 0;
        }
        const ssize_t n = ::read(ports[next++]->fd, buffer, sizeof buffer);
        if (n != static_cast<ssize_t>(upload_frame.size())) {
            state.SkipWithError("read() did not return the 19 waiting bytes");
            break;
        }
        benchmark::DoNotOptimize(buffer);
    }
}

// The library and its floor side by side in one benchmark: blocks of 64
// calls of each, alternating (and swapping which goes first every round), each
// block timed by the thread's own CPU clock. Both see the same load within a
// fraction of a millisecond of each other, so their ratio stays put on a busy
// machine where the medians of two separate benchmarks drift apart.
std::int64_t thread_cpu_ns() {
    timespec t{};
    (void)::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

struct paired_totals {
    std::int64_t library_ns = 0;
    std::int64_t raw_ns = 0;
    std::int64_t calls = 0; // of each

    void report(benchmark::State &state) const {
        if (calls == 0 || raw_ns == 0) {
            return;
        }
        const auto per = [this](std::int64_t total) {
            return static_cast<double>(total) / static_cast<double>(calls);
        };
        state.counters["library_ns"] = per(library_ns);
        state.counters["raw_ns"] = per(raw_ns);
        state.counters["ratio"] = static_cast<double>(library_ns) / static_cast<double>(raw_ns);
    }
};

// Times `block` and adds its CPU time to `total`; false when a call failed.
template <class Block> bool timed(std::int64_t &total, Block &&block) {
    const std::int64_t start = thread_cpu_ns();
    const bool ok = block();
    total += thread_cpu_ns() - start;
    return ok;
}

void BM_move_paired(benchmark::State &state) {
    const pty_pair lib_pty;
    const pty_pair raw_pty;
    const handle_ptr handle{axis_init(lib_pty.slave_path().c_str(), 0x01, nullptr)};
    const fd_closer port(open_raw_port(raw_pty.slave_path()));
    if (!handle || port.fd < 0) {
        state.SkipWithError("cannot open the ptys");
        return;
    }
    drainer lib_sink(lib_pty.master());
    drainer raw_sink(raw_pty.master());
    axis_handle *const h = handle.get();
    const int fd = port.fd;
    const auto library_block = [h] {
        for (std::size_t i = 0; i < read_batch; ++i) {
            if (axis_x_move(h, 1000, 200, 50) != static_cast<std::int32_t>(move_frame.size())) {
                return false;
            }
        }
        return true;
    };
    const auto raw_block = [fd] {
        for (std::size_t i = 0; i < read_batch; ++i) {
            std::size_t sent = 0;
            while (sent < move_frame.size()) {
                const ssize_t n = ::write(fd, move_frame.data() + sent, move_frame.size() - sent);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    pollfd p{fd, POLLOUT, 0};
                    (void)::poll(&p, 1, 620);
                } else {
                    return false;
                }
            }
        }
        return true;
    };
    paired_totals totals;
    bool library_first = true;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const bool ok =
            library_first
                ? timed(totals.library_ns, library_block) && timed(totals.raw_ns, raw_block)
                : timed(totals.raw_ns, raw_block) && timed(totals.library_ns, library_block);
        if (!ok) {
            state.SkipWithError("a move or a write failed");
            break;
        }
        totals.calls += static_cast<std::int64_t>(read_batch);
        library_first = !library_first;
    }
    totals.report(state);
    if (!sent_move_frame(lib_sink) || !sent_move_frame(raw_sink)) {
        state.SkipWithError("the two sides did not send the same frame");
    }
}

void BM_read_paired(benchmark::State &state) {
    const upload_feeder lib_feeder;
    const upload_feeder raw_feeder;
    std::vector<handle_ptr> handles;
    std::vector<std::unique_ptr<fd_closer>> ports;
    for (std::size_t i = 0; i < read_batch; ++i) {
        handles.emplace_back(axis_init(lib_feeder[i].slave_path().c_str(), 0x01, nullptr));
        ports.push_back(std::make_unique<fd_closer>(open_raw_port(raw_feeder[i].slave_path())));
        if (!handles.back() || ports.back()->fd < 0) {
            state.SkipWithError("cannot open the ptys");
            return;
        }
    }
    axis_upload up{};
    std::uint8_t buffer[4096];
    const auto library_block = [&] {
        for (const auto &h : handles) {
            if (axis_read_upload(h.get(), &up) != AXIS_OK) {
                return false;
            }
        }
        return true;
    };
    const auto raw_block = [&] {
        for (const auto &p : ports) {
            if (::read(p->fd, buffer, sizeof buffer) != static_cast<ssize_t>(upload_frame.size())) {
                return false;
            }
        }
        return true;
    };
    paired_totals totals;
    bool library_first = true;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (!lib_feeder.refill() || !raw_feeder.refill()) {
            state.SkipWithError("an upload frame did not reach the host's queue");
            break;
        }
        const bool ok =
            library_first
                ? timed(totals.library_ns, library_block) && timed(totals.raw_ns, raw_block)
                : timed(totals.raw_ns, raw_block) && timed(totals.library_ns, library_block);
        if (!ok) {
            state.SkipWithError("a read did not return the waiting frame");
            break;
        }
        totals.calls += static_cast<std::int64_t>(read_batch);
        library_first = !library_first;
    }
    totals.report(state);
}

// Real time is kept alongside the CPU time; the report uses the CPU time of
// the measured thread, which the drainer and the machine's other load leave
// alone.
BENCHMARK(BM_move_library);
BENCHMARK(BM_move_raw_write);
BENCHMARK(BM_read_library);
BENCHMARK(BM_read_raw_read);
BENCHMARK(BM_move_paired);
BENCHMARK(BM_read_paired);

} // namespace
} // namespace kinetra::bench
