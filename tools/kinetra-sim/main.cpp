// kinetra-sim: a stand-in for the motion platform on a pseudo-terminal (or
// an existing port), for running hosts with no hardware on the desk.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <random>
#include <string>

#include <CLI/CLI.hpp>

#include "port_names.h"
#include "simulator.h"
#include "stop_signals.h"

namespace {

std::string describe(const kinetra::sim::line_timing &line) {
    if (!line.paced) {
        return "whole frames at once";
    }
    std::string text = "paced at 115200 baud";
    if (line.chunk > 1) {
        text += ", in chunks of " + std::to_string(line.chunk);
    }
    if (line.latency.count() > 0) {
        text += ", " + std::to_string(line.latency.count()) + " us latency";
    }
    return text;
}

int run(int argc, char **argv) {
    CLI::App app{"kinetra-sim: a simulated three-axis platform speaking the Kinetra wire "
                 "protocol.\nWith no --port it opens a pseudo-terminal and prints the path a "
                 "host should open on the first line of standard output (on Windows, give "
                 "--port: one end of a null-modem pair such as com0com's \\\\.\\CNCB0, "
                 "the host opens the other end; COM10 and above are opened as \\\\.\\COM10). "
                 "Frames received are logged to standard error. Stops on SIGINT or SIGTERM "
                 "(Ctrl+C).",
                 "kinetra-sim"};
    app.failure_message(CLI::FailureMessage::help);
    app.set_version_flag("--version", "kinetra-sim " KINETRA_VERSION);
    kinetra::sim::sim_options options;
    std::string port;
    std::uint64_t seed = 0;
    app.add_option("--port", port, "serve this existing port (e.g. one end of a socat pair)");
    app.add_option("--speed", options.speed, "axis speed, units per second")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--rate", options.rate, "upload frames per second")
        ->check(CLI::Range(0.1, 1000.0))
        ->capture_default_str();
    const CLI::Range probability(0.0, 1.0);
    app.add_option("--noise", options.faults.noise,
                   "probability of random bytes (never 0x7A/0x7B) before a frame")
        ->check(probability);
    app.add_option("--bad-crc", options.faults.bad_crc, "probability of a frame with a wrong CRC")
        ->check(probability);
    app.add_option("--short-payload", options.faults.short_payload,
                   "probability of a frame with 12 payload bytes")
        ->check(probability);
    app.add_option("--stray-head", options.faults.stray_head,
                   "probability of a lone 0x7A or 0x7B byte just before a frame")
        ->check(probability);
    app.add_flag("--silent", options.faults.silent, "send nothing at all");
    std::size_t chunk = options.line.chunk;
    double latency_ms = 0;
    bool no_pace = false;
    app.add_option("--chunk", chunk,
                   "hand the host the bytes of the 115200-baud line in chunks of N, as a USB "
                   "adapter does")
        ->check(CLI::Range(std::size_t{1}, std::size_t{4096}))
        ->capture_default_str();
    app.add_option("--latency", latency_ms,
                   "hand over a last short chunk MS milliseconds after its last byte")
        ->check(CLI::Range(0.0, 1000.0))
        ->capture_default_str();
    app.add_flag("--no-pace", no_pace,
                 "write each upload whole at once instead of at the line's 87 us a byte");
    auto *seed_option = app.add_option(
        "--seed", seed, "seed of the fault draws, for a reproducible stream (default: random)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    options.seed = seed_option->count() > 0 ? seed : std::random_device{}();
    options.line.paced = !no_pace;
    options.line.chunk = chunk;
    options.line.latency = std::chrono::microseconds{std::llround(latency_ms * 1000.0)};

    kinetra::sim::opened_line line;
    if (port.empty()) {
#ifdef _WIN32
        std::fprintf(stderr, "kinetra-sim: Windows has no pseudo-terminals: give --port, one end "
                             "of a null-modem pair (such as com0com's \\\\.\\CNCB0); the "
                             "host opens the other end\n");
        return 2;
#else
        line = kinetra::sim::open_pty_line();
        if (!line.line) {
            std::fprintf(stderr, "kinetra-sim: cannot open a pseudo-terminal: %s\n",
                         line.error.c_str());
            return 1;
        }
        std::printf("%s\n", line.host_port.c_str());
        std::fflush(stdout);
#endif
    } else {
        line = kinetra::sim::open_port_line(kinetra::tool::port_to_open(port));
        if (!line.line) {
            std::fprintf(stderr, "kinetra-sim: cannot open %s: %s\n", port.c_str(),
                         line.error.c_str());
            return 1;
        }
    }
    const std::atomic<bool> &stop_requested = kinetra::sim::stop_on_signals();
    std::fprintf(stderr, "%sserving %s: speed %g/s, %g uploads/s, seed %llu, %s%s\n",
                 kinetra::sim::time_stamp().c_str(),
                 port.empty() ? "a pseudo-terminal" : port.c_str(), options.speed, options.rate,
                 static_cast<unsigned long long>(options.seed), describe(options.line).c_str(),
                 options.faults.silent ? ", silent" : "");
    kinetra::sim::simulator sim(*line.line, options, [](const std::string &text) {
        std::fprintf(stderr, "%s\n", text.c_str());
    });
    sim.run(stop_requested);
    line.line.reset();
    std::fprintf(stderr, "%sstopped\n", kinetra::sim::time_stamp().c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) { // out of memory, mostly
        std::fprintf(stderr, "kinetra-sim: %s\n", e.what());
        return 1;
    }
}
