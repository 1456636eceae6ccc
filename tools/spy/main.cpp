// kinetra-spy: sits between a host program and the platform, passes every
// byte through unchanged and shows what each frame means.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "describe.h"
#include "pcapng_writer.h"
#include "port_names.h"
#include "relay.h"
#include "stop_signals.h"
#include "summary.h"
#ifndef _WIN32
#include "tty.h"
#endif

namespace {

struct file_closer {
    void operator()(std::FILE *f) const { (void)std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

struct options {
    std::string device;
    std::string host_port;
    std::string log;
    std::string json;
    std::string pcapng;
    kinetra::spy::relay_options relay;
};

// Where the decoded traffic goes: text always, JSON lines and pcapng when asked.
class outputs {
  public:
    bool open(const options &o) {
        if (!o.log.empty()) {
            log_.reset(std::fopen(o.log.c_str(), "w"));
            if (!log_) {
                return fail(o.log);
            }
        }
        if (!o.json.empty()) {
            json_.reset(std::fopen(o.json.c_str(), "w"));
            if (!json_) {
                return fail(o.json);
            }
        }
        if (!o.pcapng.empty()) {
            pcapng_ = std::make_unique<kinetra::spy::pcapng_writer>();
            if (!pcapng_->open(o.pcapng)) {
                return fail(o.pcapng);
            }
        }
        return true;
    }

    void event(const kinetra::spy::wire_event &e) {
        tally_.count(e);
        text(kinetra::spy::to_text(e));
        json_line(kinetra::spy::to_json(e));
        if (pcapng_) {
            (void)pcapng_->write(e);
        }
    }

    void note(const kinetra::spy::stamp &when, const std::string &what) {
        text(kinetra::spy::local_time(when.wall_ns) + " " + what);
        json_line({{"time", kinetra::spy::utc_time(when.wall_ns)},
                   {"mono_ns", when.mono_ns},
                   {"kind", "note"},
                   {"text", what}});
    }

    void unforwarded(kinetra::spy::direction dir, std::uint64_t n) {
        tally_.count_unforwarded(dir, n);
    }

    void summary() {
        text(tally_.to_text());
        json_line(tally_.to_json());
    }

    void text(const std::string &line) {
        std::FILE *to = log_ ? log_.get() : stderr;
        std::fprintf(to, "%s\n", line.c_str());
        (void)std::fflush(to);
    }

  private:
    static bool fail(const std::string &path) {
        std::fprintf(stderr, "kinetra-spy: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }

    void json_line(const kinetra::spy::json &j) {
        if (json_) {
            std::fprintf(json_.get(), "%s\n", j.dump().c_str());
            (void)std::fflush(json_.get());
        }
    }

    file_ptr log_;
    file_ptr json_;
    std::unique_ptr<kinetra::spy::pcapng_writer> pcapng_;
    kinetra::spy::summary tally_;
};

// The host's side: a new pseudo-terminal (POSIX), or the port named.
bool open_host_side(const options &o, kinetra::spy::side_handle &host, std::string &name,
                    std::string &error) {
    if (!o.host_port.empty()) {
        name = o.host_port;
        return kinetra::spy::open_host_port(kinetra::tool::port_to_open(o.host_port), host, error);
    }
#ifdef _WIN32
    error = "Windows has no pseudo-terminals";
    return false;
#else
    const kinetra::sim::pty_pair pty = kinetra::sim::open_pty();
    if (pty.master < 0) {
        error = std::strerror(errno);
        return false;
    }
    name = pty.slave_path;
    host = pty.master;
    return true;
#endif
}

int run(int argc, char **argv) {
    CLI::App app{"kinetra-spy: relays every byte between a host program and the platform "
                 "unchanged, and decodes each frame.\nWithout --host-port it opens a "
                 "pseudo-terminal for the host; the path the host should open is the first line "
                 "of standard output. Decoded frames go to standard error (or --log). Stops on "
                 "SIGINT or SIGTERM; exits 1 when the device hangs up.",
                 "kinetra-spy"};
    app.failure_message(CLI::FailureMessage::help);
    options o;
    app.add_option("--device", o.device,
                   "the platform's serial port, e.g. /dev/ttyUSB0 or COM3 (on Windows COM10 and "
                   "above are opened as \\\\.\\COM10)")
        ->required();
    app.add_option("--host-port", o.host_port,
                   "serve the host on this existing port (one end of a socat pair, or of a "
                   "com0com pair such as \\\\.\\CNCA0) instead of a new pseudo-terminal; "
                   "needed on Windows");
    app.add_option("--log", o.log, "write the readable log here instead of standard error");
    app.add_option("--json", o.json, "write one JSON object a line here");
    app.add_option("--pcapng", o.pcapng, "write a capture for Wireshark here");
    app.add_option("--queue-limit", o.relay.queue_limit,
                   "bytes held for a side that does not read, beyond its tty's buffer")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

#ifdef _WIN32
    if (o.host_port.empty()) {
        std::fprintf(stderr, "kinetra-spy: Windows has no pseudo-terminals: give --host-port, one "
                             "end of a null-modem pair (such as com0com's \\\\.\\CNCA0); the "
                             "host opens the other end\n");
        return 2;
    }
#endif
    outputs out;
    if (!out.open(o)) {
        return 1;
    }
    kinetra::spy::side_handle device{};
    std::string error;
    if (!kinetra::spy::open_device(kinetra::tool::port_to_open(o.device), device, error)) {
        std::fprintf(stderr, "kinetra-spy: cannot open %s: %s\n", o.device.c_str(), error.c_str());
        return 1;
    }
    std::string host_name;
    kinetra::spy::side_handle host{};
    if (!open_host_side(o, host, host_name, error)) {
        std::fprintf(stderr, "kinetra-spy: cannot open the host's side %s: %s\n", host_name.c_str(),
                     error.c_str());
        kinetra::spy::close_side(device);
        return 1;
    }
    std::printf("%s\n", host_name.c_str());
    std::fflush(stdout);
    const std::atomic<bool> &stop_requested = kinetra::sim::stop_on_signals();

    kinetra::spy::relay relay(device, host, o.host_port.empty(), o.relay);
    relay.on_event([&out](const kinetra::spy::wire_event &e) { out.event(e); });
    relay.on_note(
        [&out](const kinetra::spy::stamp &when, const std::string &what) { out.note(when, what); });
    relay.on_unforwarded(
        [&out](kinetra::spy::direction dir, std::uint64_t n) { out.unforwarded(dir, n); });
    out.note(kinetra::spy::stamp_now(), "relaying " + o.device + " <-> " + host_name);
    const int code = relay.run(stop_requested);
    out.summary();
    return code;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) { // out of memory, mostly
        std::fprintf(stderr, "kinetra-spy: %s\n", e.what());
        return 1;
    }
}
