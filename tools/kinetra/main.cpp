// kinetra: a bench tool for the motion platform, from a shell.
//   kinetra --port NAME [--head 0xNN] [--limits XMAX,XMIN,YMAX,YMIN,ZMAX,ZMIN] COMMAND
//   kinetra ports [--json] [--probe] [PORT...]
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#ifdef _WIN32
#include <windows.h>
#endif

#include "commands.h"
#include "port_names.h"
#include "ports.h"

namespace {

using kinetra::tool::move_request;

axis_motion motion(int target, int aux1, int aux2) {
    return {static_cast<std::int16_t>(target), static_cast<std::uint16_t>(aux1),
            static_cast<std::uint16_t>(aux2)};
}

int run(int argc, char **argv) {
    CLI::App app{"kinetra: drive a three-axis Kinetra platform (or kinetra-sim) over a serial "
                 "port.\nExit status: 0 done, 1 a call failed or the port could not be opened, "
                 "2 a bad argument.",
                 "kinetra"};
    app.failure_message(CLI::FailureMessage::help);
    app.set_version_flag("--version", "kinetra " KINETRA_VERSION);
    app.require_subcommand(1);
    // A word on the wire: signed targets, aux words as 16 bits either way.
    const CLI::Range target_range(-32768, 32767);
    const CLI::Range aux_range(-32768, 65535);

    std::string port;
    int head = 0x01;
    std::vector<int> limits;
    auto *port_option = app.add_option(
        "--port", port,
        "serial port: /dev/ttyUSB0, COM3, ... On Windows COM10 and above are opened as "
        "\\\\.\\COM10; every other name is passed to the library as typed");
    app.add_option("--head", head, "head byte of every frame sent (0x00..0xFF)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--limits", limits, "soft-limit window XMAX,XMIN,YMAX,YMIN,ZMAX,ZMIN")
        ->expected(6)
        ->delimiter(',');

    move_request single;
    std::string axis;
    int target = 0;
    int aux1 = 0;
    int aux2 = 0;
    auto *move = app.add_subcommand("move", "move one axis: move x|y|z TARGET [AUX1 AUX2]");
    move->add_option("axis", axis, "x, y or z")->required()->check(CLI::IsMember({"x", "y", "z"}));
    move->add_option("target", target, "target, -32768..32767")->required()->check(target_range);
    auto *aux1_option = move->add_option("aux1", aux1, "first aux word")->check(aux_range);
    auto *aux2_option = move->add_option("aux2", aux2, "second aux word")->check(aux_range);

    std::vector<int> xyz;
    std::vector<int> aux1s{0, 0, 0};
    std::vector<int> aux2s{0, 0, 0};
    auto add_xyz = [&](const char *name, const char *help) {
        auto *sub = app.add_subcommand(name, help);
        sub->add_option("X Y Z", xyz, "the three targets")
            ->required()
            ->expected(3)
            ->check(target_range);
        sub->add_option("--aux1", aux1s, "first aux word of X,Y,Z (default 0,0,0)")
            ->expected(3)
            ->delimiter(',')
            ->check(aux_range);
        sub->add_option("--aux2", aux2s, "second aux word of X,Y,Z (default 0,0,0)")
            ->expected(3)
            ->delimiter(',')
            ->check(aux_range);
        return sub;
    };
    auto *move_abs = add_xyz("move-abs", "three-axis absolute move: move-abs X Y Z");
    auto *move_rel = add_xyz("move-rel", "three-axis relative move: move-rel X Y Z");

    bool json = false;
    auto *read = app.add_subcommand("read", "discard what is queued, read one upload, print it");
    read->add_flag("--json", json, "print one JSON object");

    unsigned count = 0;
    auto *watch = app.add_subcommand("watch", "show the latest upload and the update rate "
                                              "until Ctrl-C");
    watch->add_flag("--json", json, "one JSON object a line");
    watch->add_option("--count", count, "stop after this many reads (default: never)");

    auto *demo = app.add_subcommand("demo", "run a narrated session against a simulated "
                                            "platform of its own (no --port)");
    std::vector<std::string> pair;
    auto *pair_option =
        demo->add_option("--pair", pair,
                         "HOST,PLATFORM: the two ends of a null-modem pair (com0com's COM names "
                         "or a socat pair); the simulated platform serves PLATFORM and the host "
                         "opens HOST. Needed on Windows, which has no pseudo-terminals")
            ->expected(2)
            ->delimiter(',');

    kinetra::tool::ports_request listing;
    auto *ports =
        app.add_subcommand("ports", "list the serial ports and what the OS knows of "
                                    "each: ports [--json] [--probe] [PORT...] (no --port)");
    ports->add_flag("--json", listing.json, "print one JSON array");
    ports->add_flag("--probe", listing.probe,
                    "open each free port, read uploads for about a second and say what came "
                    "(nothing is ever sent); exit 1 when no port streams uploads");
    ports->add_option("PORT", listing.names, "more ports by name, e.g. a pseudo-terminal");
    // A testing aid: a prepared tree in place of the machine's /sys and /dev.
    ports->add_option("--root", listing.listing.root)->envname("KINETRA_PORTS_ROOT")->group("");
    ports->footer("Testing aid: KINETRA_PORTS_ROOT=DIR reads DIR/sys/class/tty and "
                  "DIR/dev/serial/by-id in place of the machine's.");

    try {
        app.parse(argc, argv);
        if (aux1_option->count() != aux2_option->count()) {
            throw CLI::ValidationError("AUX1 AUX2", "give both aux words or neither");
        }
        if (demo->parsed() && port_option->count() > 0) {
            throw CLI::ValidationError("--port", "demo brings its own simulated platform");
        }
        if (ports->parsed() && port_option->count() > 0) {
            throw CLI::ValidationError("--port", "ports takes port names as arguments");
        }
        if (!demo->parsed() && !ports->parsed() && port.empty()) {
            throw CLI::RequiredError("--port");
        }
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? kinetra::tool::exit_ok : kinetra::tool::exit_usage;
    }

    if (demo->parsed()) {
        if (pair_option->count() == 0) {
#ifdef _WIN32
            std::fprintf(stderr, "kinetra: demo on Windows needs --pair HOST,PLATFORM: the two "
                                 "ends of a null-modem pair such as com0com's\n");
            return kinetra::tool::exit_usage;
#else
            return kinetra::tool::run_demo(std::nullopt);
#endif
        }
        return kinetra::tool::run_demo(kinetra::tool::port_pair{pair[0], pair[1]});
    }
    if (ports->parsed()) {
        return kinetra::tool::run_ports(listing);
    }
    kinetra::tool::connection c;
    c.port = kinetra::tool::port_to_open(port);
    c.head = static_cast<std::uint8_t>(head);
    if (!limits.empty()) {
        c.limits = axis_limits{limits[0], limits[1], limits[2], limits[3], limits[4], limits[5]};
    }
    if (move->parsed()) {
        single.what = move_request::kind::single;
        single.axis = axis[0];
        single.axes[static_cast<std::size_t>(single.axis - 'x')] = motion(target, aux1, aux2);
        return kinetra::tool::run_move(c, single);
    }
    if (move_abs->parsed() || move_rel->parsed()) {
        move_request m;
        m.what = move_abs->parsed() ? move_request::kind::absolute : move_request::kind::relative;
        for (std::size_t i = 0; i < 3; ++i) {
            m.axes[i] = motion(xyz[i], aux1s[i], aux2s[i]);
        }
        return kinetra::tool::run_move(c, m);
    }
    if (read->parsed()) {
        return kinetra::tool::run_read(c, json);
    }
    return kinetra::tool::run_watch(c, json, count);
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    // The library's messages are UTF-8, Chinese ones included.
    (void)::SetConsoleOutputCP(CP_UTF8);
#endif
    try {
        return run(argc, argv);
    } catch (const std::exception &e) { // out of memory, mostly
        std::fprintf(stderr, "kinetra: %s\n", e.what());
        return 1;
    }
}
