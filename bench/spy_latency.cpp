// kinetra-spy-latency: how long a move frame takes from the host's write() to
// the moment the platform's side has read all of it, over three paths measured
// in one run:
//   direct  the host writes to a pty's slave, the platform reads its master;
//   spy     host pty -> kinetra-spy --device <pty slave> -> platform's master;
//   socat   host pty -> socat (pty <-> pty slave, both raw) -> platform's master.
// The paths take turns sample by sample, in an order that rotates, so that a
// shared machine's load falls on them alike. Each sample is one 12-byte move
// written at once by the host and read by the platform's side as it arrives
// (poll, then read what is there), timed on CLOCK_MONOTONIC; every frame must
// arrive unchanged and whole, or the run fails.
//
// Usage: kinetra-spy-latency --spy PATH [--samples N] [--gap-us N] [--json FILE]
// Prints the median and the 99th percentile of each path in microseconds and
// what the spy adds; --json writes the same for bench/make_report.py.
#include "pty_pair.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

using kinetra::bench::move_frame;

constexpr std::size_t warm_up = 50;

std::int64_t now_ns() {
    timespec t{};
    (void)::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "kinetra-spy-latency: %s\n", what.c_str());
    std::exit(1);
}

void make_raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        fail(std::string("tcgetattr: ") + std::strerror(errno));
    }
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    (void)::tcsetattr(fd, TCSANOW, &t);
}

// The platform's end of a line: a pty master, read by this program. The slave
// stays open here too (raw), so the pty lives on whatever the relay does.
struct device_pty {
    int master = -1;
    int slave = -1;
    std::string slave_path;

    device_pty() {
        std::array<char, 128> name{};
        if (::openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) {
            fail(std::string("openpty: ") + std::strerror(errno));
        }
        slave_path = name.data();
        make_raw(slave);
        (void)::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~device_pty() {
        ::close(master);
        ::close(slave);
    }
    device_pty(const device_pty &) = delete;
    device_pty &operator=(const device_pty &) = delete;
};

// A relay run as a child process, its standard output on a pipe.
class child {
  public:
    explicit child(const std::vector<std::string> &argv) {
        std::array<int, 2> out{};
        if (::pipe(out.data()) != 0) {
            fail(std::string("pipe: ") + std::strerror(errno));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (const std::string &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (rc != 0) {
            fail("cannot start " + argv[0] + ": " + std::strerror(rc));
        }
        out_ = out[0];
    }
    ~child() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        (void)::waitpid(pid_, &status, 0);
        ::close(out_);
    }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    // The first line the child prints, waiting at most 5 s for it.
    std::string first_line() const {
        std::string line;
        const std::int64_t deadline = now_ns() + 5'000'000'000;
        while (now_ns() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            char c = 0;
            if (::read(out_, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line.push_back(c);
        }
        fail("the relay printed no path for the host");
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

int open_host(const std::string &path) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            const int fd = kinetra::bench::open_raw_port(path);
            if (fd >= 0) {
                return fd;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fail("cannot open the host's side " + path);
}

struct path {
    explicit path(const char *n) : name(n) {}
    const char *name;
    int host = -1;   // the host writes here
    int device = -1; // the platform reads here
    std::vector<double> us;
};

// One frame from the host to the platform; the microseconds it took.
double one_sample(const path &p) {
    std::array<std::uint8_t, move_frame.size()> got{};
    std::size_t have = 0;
    const std::int64_t start = now_ns();
    if (::write(p.host, move_frame.data(), move_frame.size()) !=
        static_cast<ssize_t>(move_frame.size())) {
        fail(std::string(p.name) + ": the host's write() fell short");
    }
    while (have < got.size()) {
        pollfd fd{p.device, POLLIN, 0};
        const int ready = ::poll(&fd, 1, 2000);
        if (ready == 0) {
            fail(std::string(p.name) + ": the frame did not arrive within 2 s");
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(std::string("poll: ") + std::strerror(errno));
        }
        const ssize_t n = ::read(p.device, got.data() + have, got.size() - have);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail(std::string(p.name) + ": read: " + std::strerror(errno));
        }
    }
    const std::int64_t end = now_ns();
    if (!std::equal(got.begin(), got.end(), move_frame.begin())) {
        fail(std::string(p.name) + ": the frame arrived changed");
    }
    // Nothing more may come: a relay that doubled bytes would show here.
    std::uint8_t extra = 0;
    if (::read(p.device, &extra, 1) > 0) {
        fail(std::string(p.name) + ": bytes arrived that the host never wrote");
    }
    return static_cast<double>(end - start) / 1000.0;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    // The nearest rank: the smallest value with at least q of them at or below it.
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

struct options {
    std::string spy;
    std::string json;
    std::size_t samples = 3000;
    unsigned gap_us = 300;
};

options parse(int argc, char **argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--spy" && has_value) {
            o.spy = argv[++i];
        } else if (a == "--json" && has_value) {
            o.json = argv[++i];
        } else if (a == "--samples" && has_value) {
            o.samples = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--gap-us" && has_value) {
            o.gap_us = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            fail("usage: kinetra-spy-latency --spy PATH [--samples N] [--gap-us N] [--json FILE]");
        }
    }
    if (o.spy.empty() || o.samples == 0) {
        fail("usage: kinetra-spy-latency --spy PATH [--samples N] [--gap-us N] [--json FILE]");
    }
    return o;
}

void drain(int fd) {
    std::array<std::uint8_t, 256> scratch{};
    while (::read(fd, scratch.data(), scratch.size()) > 0) {
    }
}

} // namespace

int main(int argc, char **argv) {
    const options o = parse(argc, argv);
    (void)::signal(SIGPIPE, SIG_IGN);

    kinetra::bench::pty_pair direct_pty;
    const device_pty spy_device;
    const device_pty socat_device;
    const child spy({o.spy, "--device", spy_device.slave_path, "--log", "/dev/null"});
    const std::string socat_link = "/tmp/kinetra-spy-latency-" + std::to_string(::getpid());
    const child socat(
        {"socat", "pty,raw,echo=0,link=" + socat_link, socat_device.slave_path + ",raw,echo=0"});

    std::array<path, 3> paths{path("direct"), path("spy"), path("socat")};
    paths[0].host = kinetra::bench::open_raw_port(direct_pty.slave_path());
    paths[0].device = direct_pty.master();
    (void)::fcntl(paths[0].device, F_SETFL, ::fcntl(paths[0].device, F_GETFL) | O_NONBLOCK);
    paths[1].host = open_host(spy.first_line());
    paths[1].device = spy_device.master;
    paths[2].host = open_host(socat_link);
    paths[2].device = socat_device.master;
    if (paths[0].host < 0) {
        fail("cannot open the direct pty's slave");
    }
    // Let the relays notice their hosts, then start from empty lines.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const path &p : paths) {
        drain(p.device);
    }

    for (std::size_t i = 0; i < o.samples + warm_up; ++i) {
        for (std::size_t k = 0; k < paths.size(); ++k) {
            path &p = paths[(i + k) % paths.size()];
            const double us = one_sample(p);
            if (i >= warm_up) {
                p.us.push_back(us);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(o.gap_us));
        }
    }
    for (const path &p : paths) {
        ::close(p.host);
    }

    struct figures {
        double median;
        double p99;
    };
    std::array<figures, 3> f{};
    for (std::size_t k = 0; k < paths.size(); ++k) {
        f[k] = {percentile(paths[k].us, 0.5), percentile(paths[k].us, 0.99)};
        std::printf("%-7s median %8.1f us   p99 %8.1f us   (%zu samples)\n", paths[k].name,
                    f[k].median, f[k].p99, paths[k].us.size());
    }
    const figures &direct = f[0];
    const figures &via_spy = f[1];
    const figures &via_socat = f[2];
    std::printf("spy adds %.1f us at the median (socat %.1f us); spy/direct %.2f, spy/socat %.2f "
                "at the median, %.2f and %.2f at p99\n",
                via_spy.median - direct.median, via_socat.median - direct.median,
                via_spy.median / direct.median, via_spy.median / via_socat.median,
                via_spy.p99 / direct.p99, via_spy.p99 / via_socat.p99);
    if (!o.json.empty()) {
        std::FILE *out = std::fopen(o.json.c_str(), "w");
        if (out == nullptr) {
            fail("cannot write " + o.json);
        }
        std::fprintf(out, "{\"samples\": %zu, \"gap_us\": %u", o.samples, o.gap_us);
        for (std::size_t k = 0; k < paths.size(); ++k) {
            std::fprintf(out, ", \"%s\": {\"median_us\": %.3f, \"p99_us\": %.3f}", paths[k].name,
                         f[k].median, f[k].p99);
        }
        std::fprintf(out, "}\n");
        (void)std::fclose(out);
    }
    return 0;
}
