#include "simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kinetra::sim {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A line that has been quiet this long with a partial frame pending will not
// complete it: the library writes each frame in one piece.
constexpr milliseconds resync_gap{200};
constexpr milliseconds longest_wait{50};
// Bytes waiting to cross the line, at most: about 0.35 s of a full line.
constexpr std::size_t line_backlog = 4096;

// How long to wait for the host until `until`: at most longest_wait, never
// negative.
std::chrono::nanoseconds wait_until(clock::time_point until) {
    return std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(until - clock::now()),
                      std::chrono::nanoseconds{0}, std::chrono::nanoseconds{longest_wait});
}

} // namespace

std::string time_stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch() % std::chrono::seconds{1})
                            .count();
    std::tm local{};
#ifdef _WIN32
    (void)::localtime_s(&local, &seconds);
#else
    (void)::localtime_r(&seconds, &local);
#endif
    char text[32];
    const std::size_t used = std::strftime(text, sizeof text, "%H:%M:%S", &local);
    std::snprintf(text + used, sizeof text - used, ".%03d ", static_cast<int>(millis));
    return text;
}

simulator::simulator(sim_line &line, const sim_options &options, log_sink log)
    : port_(line), options_(options), log_(std::move(log)), model_(options.speed),
      faults_(options.faults, options.seed), line_(options.line), silent_(options.faults.silent) {}

void simulator::on_frame(const received_frame &r) {
    std::string line = time_stamp() + describe(r);
    if (r.crc_ok && !model_.apply(r.decoded)) {
        line += ": ignored, not a move the platform knows";
    }
    log_(line);
}

void simulator::receive() {
    std::uint8_t bytes[1024];
    const auto sink = [this](const received_frame &r) { on_frame(r); };
    for (;;) {
        const std::size_t n = port_.read(bytes, sizeof bytes);
        if (n == 0) {
            break; // nothing more, or the host went away: the next wait tells
        }
        receiver_.feed(bytes, n, sink);
    }
    if (const std::size_t skipped = receiver_.take_skipped(); skipped > 0) {
        log_(time_stamp() + "skipped " + std::to_string(skipped) + " byte(s) that start no frame");
    }
}

void simulator::send_upload() {
    faults_.set_silent(silent_.load());
    const std::vector<std::uint8_t> bytes = faults_.wire_for(model_.next_upload());
    if (!host_present_ || bytes.empty()) {
        return; // nobody listens: the bytes are lost on the line
    }
    if (line_.waiting() >= line_backlog) {
        note_dropping(true); // more uploads a second than the line carries
        return;
    }
    line_.queue(bytes, clock::now());
    hand_over();
}

// Gives the host what has crossed the line by now. Never waits for a host
// that does not read: what does not fit is dropped.
void simulator::hand_over() {
    const std::size_t n = line_.ready(clock::now());
    if (n == 0) {
        return;
    }
    const std::size_t written = port_.write(line_.data(), n);
    line_.consume(n);
    note_dropping(written < n);
}

void simulator::note_dropping(bool dropped) {
    if (dropped != dropping_) {
        dropping_ = dropped;
        log_(time_stamp() +
             (dropped ? "the host is not reading: dropping uploads" : "the host is reading again"));
    }
}

void simulator::run(const std::atomic<bool> &stop) {
    const auto period = std::chrono::duration_cast<clock::duration>(
        std::chrono::duration<double>(1.0 / options_.rate));
    auto last = clock::now();
    auto next_upload = last;
    auto last_byte = last;
    while (!stop.load()) {
        const auto now = clock::now();
        model_.advance(std::chrono::duration<double>(now - last).count());
        last = now;
        if (now >= next_upload) {
            send_upload();
            next_upload += period;
            if (next_upload < now) {
                next_upload = now + period; // fell behind: no burst to catch up
            }
        }
        hand_over();
        const line_wait w =
            port_.wait(wait_until(std::min(next_upload, line_.next_ready().value_or(next_upload))));
        const bool present = w.host_present;
        if (present && !host_present_) {
            host_present_ = true;
            log_(time_stamp() + "host opened the port");
        }
        if (w.readable) {
            receive(); // a host that just left may have written last words
            last_byte = clock::now();
        }
        if (!present && host_present_) {
            host_present_ = false;
            port_.discard(); // nothing stale for the next host
            line_.clear();
            receiver_ = command_receiver{};
            dropping_ = false;
            log_(time_stamp() + "no host on the port");
        }
        if (present && receiver_.pending() && clock::now() - last_byte > resync_gap) {
            receiver_.resync([this](const received_frame &r) { on_frame(r); });
            last_byte = clock::now();
        }
    }
}

} // namespace kinetra::sim
