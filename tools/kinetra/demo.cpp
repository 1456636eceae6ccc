// `kinetra demo`: a short narrated host session against the simulated
// platform, served from a thread of this process on a pseudo-terminal of its
// own, or on one end of a null-modem pair (Windows has no pseudo-terminals).
// The host side goes through the public C interface, as any host would.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "port_names.h"
#include "simulator.h"

namespace kinetra::tool {

namespace {

constexpr int window_bound = 3000;
// Generous, for a loaded machine: a move of a few thousand units takes well
// under a second at the simulator's speed, each read about 100 ms.
constexpr int reads_to_arrive = 60;

// The simulator's log, kept until the narration prints it.
class log_queue {
  public:
    void push(const std::string &line) {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    void print() {
        std::vector<std::string> lines;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            lines.swap(lines_);
        }
        for (const auto &line : lines) {
            std::printf("      platform | %s\n", line.c_str());
        }
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct session {
    axis_handle *h = nullptr;
    log_queue &log;

    void say(const char *text) const {
        log.print();
        std::printf("%s\n", text);
        std::fflush(stdout);
    }

    bool sent(const char *call, std::int32_t result, std::int32_t expected) const {
        if (result != expected) {
            std::printf("   %s -> %s: unexpected\n", call,
                        result < 0 ? explain(result, h).c_str() : std::to_string(result).c_str());
            return false;
        }
        std::printf("   %s -> %d (bytes sent)\n", call, result);
        return true;
    }

    // Reads until the uploads show the axes at `goal` and no longer moving.
    bool watch_arrive(const std::array<int, 3> &goal) const {
        for (int i = 0; i < reads_to_arrive; ++i) {
            axis_upload up{};
            const std::int32_t result = axis_read_upload(h, &up);
            log.print();
            if (result != AXIS_OK) {
                std::printf("   read -> %s\n", explain(result, h).c_str());
                continue;
            }
            const std::array<int, 3> at{up.word1, up.word2, up.word3};
            std::printf("   read -> X %6d  Y %6d  Z %6d  moving:%s%s%s\n", at[0], at[1], at[2],
                        (up.byte0 & 1) != 0 ? " X" : "", (up.byte0 & 2) != 0 ? " Y" : "",
                        (up.byte0 & 4) != 0 ? " Z" : "");
            if (at == goal && (up.byte0 & 7) == 0) {
                std::printf("   arrived.\n");
                return true;
            }
        }
        std::printf("   the axes did not arrive at %d, %d, %d\n", goal[0], goal[1], goal[2]);
        return false;
    }
};

int narrate(const std::string &port, kinetra::sim::simulator &sim, log_queue &log) {
    const axis_limits window{window_bound,  -window_bound, window_bound,
                             -window_bound, window_bound,  -window_bound};
    std::printf("Opening the port with head byte 0x01 and the window [%d, %d] on every axis:\n"
                "   axis_init(\"%s\", 0x01, &window)\n",
                -window_bound, window_bound, port.c_str());
    connection c{port, 0x01, window};
    session s{open_or_report(c), log};
    if (s.h == nullptr) {
        return exit_failed;
    }
    bool ok = true;

    s.say("\n1. Move X alone to 1500 (aux words 200 and 50 go to the platform unchanged).");
    ok = ok && s.sent("axis_x_move(h, 1500, 200, 50)", axis_x_move(s.h, 1500, 200, 50), 12);
    ok = ok && s.watch_arrive({1500, 0, 0});

    s.say("\n2. Move all three axes at once, to absolute targets.");
    const axis_motion x{-800, 0, 0};
    const axis_motion y{1200, 0, 0};
    const axis_motion z{600, 0, 0};
    ok = ok && s.sent("axis_xyz_abs_move(h, {-800}, {1200}, {600})",
                      axis_xyz_abs_move(s.h, &x, &y, &z), 24);
    ok = ok && s.watch_arrive({-800, 1200, 600});

    s.say("\n3. A relative move: the platform adds the words to its targets.");
    const axis_motion dx{300, 0, 0};
    const axis_motion dy{-200, 0, 0};
    const axis_motion dz{100, 0, 0};
    ok = ok && s.sent("axis_xyz_rel_move(h, {+300}, {-200}, {+100})",
                      axis_xyz_rel_move(s.h, &dx, &dy, &dz), 24);
    ok = ok && s.watch_arrive({-500, 1000, 700});

    s.say("\n4. A move outside the window is refused before anything is sent.");
    if (ok) {
        const std::int32_t refused = axis_x_move(s.h, 5000, 0, 0);
        std::printf("   axis_x_move(h, 5000, 0, 0) -> %s\n", explain(refused, s.h).c_str());
        ok = refused == AXIS_E_REFUSED && std::strcmp(axis_get_error(s.h), "X轴超出限位") == 0;
    }

    s.say("\n5. The platform falls silent: a read finds nothing at all.");
    if (ok) {
        sim.set_silent(true);
        std::int32_t result = AXIS_OK;
        // An upload already on its way when the platform fell silent may
        // still arrive; drop it and look again.
        for (int attempt = 0; attempt < 5 && result != AXIS_E_SILENT; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            axis_flush(s.h);
            axis_upload up{};
            result = axis_read_upload(s.h, &up);
        }
        std::printf("   axis_read_upload(h, &up) -> %s\n", explain(result, s.h).c_str());
        ok = result == AXIS_E_SILENT;
    }
    log.print();
    axis_close(s.h);
    std::printf(ok ? "\nDone: every step behaved as it should. Try it yourself with kinetra-sim "
                     "and kinetra --port.\n"
                   : "\nThe demo went wrong at the step above.\n");
    return ok ? exit_ok : exit_failed;
}

} // namespace

int run_demo(const std::optional<port_pair> &pair) {
    std::printf("kinetra demo: a host session against a simulated platform, no hardware "
                "needed.\n\n");
    kinetra::sim::opened_line line;
    std::string host_port;
    if (pair) {
        line = kinetra::sim::open_port_line(port_to_open(pair->platform));
        host_port = port_to_open(pair->host);
        if (!line.line) {
            std::fprintf(stderr, "kinetra: cannot open %s: %s\n", pair->platform.c_str(),
                         line.error.c_str());
            return exit_failed;
        }
    } else {
        line = kinetra::sim::open_pty_line();
        host_port = line.host_port;
        if (!line.line) {
            std::fprintf(stderr, "kinetra: cannot open a pseudo-terminal: %s\n",
                         line.error.c_str());
            return exit_failed;
        }
    }
    kinetra::sim::sim_options options; // speed 5000 units/s, 20 uploads/s
    std::printf("The simulator serves %s: axes travel at %g units/s, it sends %g uploads/s\n"
                "(byte0 bit 0..2: X, Y, Z moving; word1..3: X, Y, Z position), and logs every\n"
                "frame it receives.\n",
                pair ? pair->platform.c_str() : host_port.c_str(), options.speed, options.rate);
    log_queue log;
    kinetra::sim::simulator sim(*line.line, options,
                                [&log](const std::string &text) { log.push(text); });
    std::atomic<bool> stop{false};
    std::thread platform([&] { sim.run(stop); });
    const int code = narrate(host_port, sim, log);
    stop.store(true);
    platform.join();
    return code;
}

} // namespace kinetra::tool
