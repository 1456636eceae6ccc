// kinetra-spy as a process between a host and a platform: the library or the
// kinetra tool on the host's side; the test itself (a pty pair) or
// kinetra-sim on the platform's.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "frames.h"
#include "kinetra.h"
#include "process.h"
#include "pty_peer.h"

namespace kinetra::e2e {
namespace {

using json = nlohmann::json;
using test::bytes;
using test::concat;
using test::make_frame;
using test::with_bad_crc;
using test::words;
using args = std::vector<std::string>;

std::string temp_file(const char *what) {
    return "/tmp/kinetra-spy-" + std::to_string(::getpid()) + "-" + what;
}

// The spy for one test, its JSON lines in a file of its own.
class spy_process {
  public:
    explicit spy_process(const std::string &device, const args &more = {})
        : json_path_(temp_file("json")), process_(command(device, json_path_, more)) {
        host_port_ = process_.read_line();
    }
    ~spy_process() { std::remove(json_path_.c_str()); }
    spy_process(const spy_process &) = delete;
    spy_process &operator=(const spy_process &) = delete;

    const std::string &host_port() const { return host_port_; }

    int stop() {
        process_.send(SIGTERM);
        return process_.wait();
    }
    int wait_for_exit() { return process_.wait(10s); }
    std::string log() const { return process_.err(); }

    std::vector<json> lines() const {
        std::vector<json> out;
        std::ifstream in(json_path_);
        for (std::string line; std::getline(in, line);) {
            out.push_back(json::parse(line));
        }
        return out;
    }

    // How many notes so far begin with `text`.
    std::size_t notes(const std::string &text) const {
        const auto all = lines();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [&text](const json &j) {
                return j["kind"] == "note" && j["text"].get<std::string>().find(text) == 0;
            }));
    }

    // Waits until the spy has noted `text` at least `times` times.
    bool wait_for_note(const std::string &text, std::size_t times = 1) const {
        for (int i = 0; i < 500; ++i) {
            if (notes(text) >= times) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

  private:
    static args command(const std::string &device, const std::string &json_path, const args &more) {
        args all{KINETRA_SPY_EXE, "--device", device, "--json", json_path};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }

    std::string json_path_;
    background process_;
    std::string host_port_;
};

std::vector<json> of_direction(const std::vector<json> &lines, const std::string &dir) {
    std::vector<json> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [&dir](const json &j) { return j.value("direction", "") == dir; });
    return out;
}

json summary_of(const std::vector<json> &lines) {
    return lines.empty() || lines.back()["kind"] != "summary" ? json{} : lines.back();
}

// A host that reads the bytes themselves: the spy's host port, opened raw.
class raw_host {
  public:
    explicit raw_host(const std::string &port)
        : fd_(::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        termios tio{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            (void)::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~raw_host() { close(); }
    raw_host(const raw_host &) = delete;
    raw_host &operator=(const raw_host &) = delete;

    bool is_open() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    // Everything that arrives until the line stays quiet for `quiet`, or
    // until `limit` has passed.
    bytes drain(std::chrono::milliseconds quiet = 300ms,
                std::chrono::milliseconds limit = 30s) const {
        const auto until = std::chrono::steady_clock::now() + limit;
        bytes out;
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || (p.revents & POLLIN) == 0) {
                break;
            }
            std::uint8_t chunk[4096];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }
    bool sees_hang_up(std::chrono::milliseconds limit) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) > 0 &&
               (p.revents & (POLLHUP | POLLERR)) != 0;
    }

  private:
    int fd_;
};

bytes from_hex(const std::string &text) {
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Writes the bytes in pieces of `piece`, a pause between them, the way a
// slow line delivers a frame.
void write_paced(test::pty_peer &platform, const bytes &data, std::size_t piece) {
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const auto end = std::min(data.size(), at + piece);
        ASSERT_TRUE(platform.write(bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                         data.begin() + static_cast<std::ptrdiff_t>(end))));
        std::this_thread::sleep_for(3ms);
    }
}

TEST(SpyRelay, PassesEveryByteUnchangedBothWaysAndDecodesEachFrame) {
    test::pty_peer platform;
    spy_process spy(platform.port_name());
    ASSERT_FALSE(spy.host_port().empty()) << spy.log();

    // Host to platform: every move, through the library.
    axis_handle *h = axis_init(spy.host_port().c_str(), 0x01, nullptr);
    ASSERT_NE(h, nullptr);
    const axis_motion x{-300, 1, 2};
    const axis_motion y{400, 3, 4};
    const axis_motion z{32767, 65535, 0};
    EXPECT_EQ(axis_x_move(h, 1000, 200, 50), 12);
    EXPECT_EQ(axis_y_move(h, -1, 0, 9), 12);
    EXPECT_EQ(axis_z_move(h, 7, 8, 9), 12);
    EXPECT_EQ(axis_xyz_abs_move(h, &x, &y, &z), 24);
    EXPECT_EQ(axis_xyz_rel_move(h, &z, &y, &x), 24);
    const bytes moves =
        concat({make_frame(0x01, 0x01, 0xA1, words({1000, 200, 50})),
                make_frame(0x01, 0x01, 0xA2, words({-1, 0, 9})),
                make_frame(0x01, 0x01, 0xA3, words({7, 8, 9})),
                make_frame(0x01, 0x01, 0xA5, words({-300, 1, 2, 400, 3, 4, 32767, 65535, 0})),
                make_frame(0x01, 0x01, 0xA4, words({32767, 65535, 0, 400, 3, 4, -300, 1, 2}))});
    EXPECT_EQ(test::hex(platform.receive(moves.size())), test::hex(moves));
    axis_close(h);
    ASSERT_TRUE(spy.wait_for_note("host closed the port"));

    // Platform to host: every fault the simulator knows, frames in pieces.
    raw_host host(spy.host_port());
    ASSERT_TRUE(host.is_open());
    ASSERT_TRUE(spy.wait_for_note("host opened the port", 2));
    const bytes upload = test::sample_upload();
    const bytes short_upload = make_frame(0x7A, 0x01, 0xF5, bytes(12, 0x33));
    const bytes stream = concat(
        {upload, {0x11, 0x22, 0x33}, with_bad_crc(upload), short_upload, {0x7A}, upload, upload});
    write_paced(platform, stream, 5);
    EXPECT_EQ(test::hex(host.drain()), test::hex(stream));
    EXPECT_EQ(spy.stop(), 0);

    const std::vector<json> lines = spy.lines();
    const auto down = of_direction(lines, "host->platform");
    ASSERT_EQ(down.size(), 5u);
    bytes sent_down;
    for (const json &j : down) {
        EXPECT_EQ(j["kind"], "move");
        EXPECT_EQ(j["crc_ok"], true);
        const bytes raw = from_hex(j["raw"]);
        sent_down.insert(sent_down.end(), raw.begin(), raw.end());
    }
    EXPECT_EQ(sent_down, moves);
    EXPECT_EQ(down[0]["fields"]["axes"]["X"],
              json::parse(R"({"target":1000,"aux1":200,"aux2":50})"));
    EXPECT_EQ(down[3]["fields"]["command"], "move XYZ abs");
    EXPECT_EQ(down[4]["fields"]["axes"]["Z"]["target"], -300);

    const auto up = of_direction(lines, "platform->host");
    std::vector<std::string> kinds;
    bytes seen_up;
    for (const json &j : up) {
        kinds.push_back(j["kind"].get<std::string>() + (j.value("crc_ok", true) ? "" : " bad"));
        EXPECT_GT(j["reads"].get<int>(), j["kind"] == "noise" ? 0 : 1) << "frames came in pieces";
        const bytes raw = from_hex(j["raw"]);
        seen_up.insert(seen_up.end(), raw.begin(), raw.end());
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"upload", "noise", "upload bad", "short-upload",
                                               "noise", "upload", "upload"}));
    EXPECT_EQ(seen_up, stream);
    const json total = summary_of(lines);
    EXPECT_EQ(total["platform->host"]["crc_failures"], 1);
    EXPECT_EQ(total["platform->host"]["noise_bytes"], 4);
    EXPECT_EQ(total["platform->host"]["unforwarded_bytes"], 0);
    EXPECT_EQ(total["host->platform"]["frames"]["move"], 5);
}

TEST(SpyRelay, ServesAHostThatClosesAndReopensItsPort) {
    test::pty_peer platform;
    spy_process spy(platform.port_name());
    for (int round = 1; round <= 3; ++round) {
        axis_handle *h = axis_init(spy.host_port().c_str(), 0x01, nullptr);
        ASSERT_NE(h, nullptr) << "round " << round;
        ASSERT_TRUE(spy.wait_for_note("host opened the port", static_cast<std::size_t>(round)));
        EXPECT_EQ(axis_x_move(h, static_cast<std::int16_t>(round), 0, 0), 12);
        EXPECT_EQ(test::hex(platform.receive(12)),
                  test::hex(make_frame(0x01, 0x01, 0xA1, words({round, 0, 0}))));
        ASSERT_TRUE(platform.write(test::sample_upload()));
        axis_upload record{};
        EXPECT_EQ(axis_read_upload(h, &record), AXIS_OK) << axis_get_error(h);
        EXPECT_EQ(std::int16_t{record.word1}, 100);
        axis_close(h);
        ASSERT_TRUE(spy.wait_for_note("host closed the port", static_cast<std::size_t>(round)));
    }
    EXPECT_EQ(spy.stop(), 0);
    EXPECT_EQ(summary_of(spy.lines())["host->platform"]["frames"]["move"], 3);
}

// What one host left unread is not the next host's: it waits in the input
// queue of the pty's slave, which the spy must empty when the host leaves.
// Raw hosts, so that each read shows every byte that came.
TEST(SpyRelay, GivesTheNextHostNothingThePreviousOneLeftUnread) {
    test::pty_peer platform;
    spy_process spy(platform.port_name());
    const bytes first = test::sample_upload();
    const bytes second = make_frame(0x7B, 0x01, 0xF5, bytes(13, 0x5A));
    {
        raw_host host(spy.host_port());
        ASSERT_TRUE(spy.wait_for_note("host opened the port"));
        ASSERT_TRUE(platform.write(first));
        // Decoded, so forwarded: the spy writes each chunk on before it decodes it.
        for (int i = 0; i < 500 && of_direction(spy.lines(), "platform->host").empty(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(of_direction(spy.lines(), "platform->host").size(), 1u);
    }
    ASSERT_TRUE(spy.wait_for_note("host closed the port"));
    raw_host next(spy.host_port());
    ASSERT_TRUE(spy.wait_for_note("host opened the port", 2));
    ASSERT_TRUE(platform.write(second));
    EXPECT_EQ(test::hex(next.drain()), test::hex(second));
    EXPECT_EQ(spy.stop(), 0);
}

TEST(SpyRelay, ExitsOneAndHangsUpTheHostWhenTheDeviceHangsUp) {
    auto platform = std::make_unique<test::pty_peer>();
    spy_process spy(platform->port_name());
    raw_host host(spy.host_port());
    ASSERT_TRUE(spy.wait_for_note("host opened the port"));
    platform.reset(); // both ends of the device's pty close: an adapter unplugged
    EXPECT_TRUE(host.sees_hang_up(5s));
    EXPECT_EQ(spy.wait_for_exit(), 1);
    EXPECT_TRUE(spy.wait_for_note("the platform's port hung up"));
    EXPECT_NE(spy.log().find("hung up"), std::string::npos) << spy.log();
    EXPECT_FALSE(summary_of(spy.lines()).empty()) << "the summary is written on the way out";
}

TEST(SpyRelay, CountsWhatAHostThatStopsReadingCouldNotBeGiven) {
    test::pty_peer platform;
    spy_process spy(platform.port_name(), {"--queue-limit", "1000"});
    raw_host host(spy.host_port());
    ASSERT_TRUE(spy.wait_for_note("host opened the port"));
    const bytes upload = test::sample_upload();
    bytes stream;
    for (int i = 0; i < 4000; ++i) { // 76 000 bytes, far beyond a pty's buffer
        stream.insert(stream.end(), upload.begin(), upload.end());
    }
    ASSERT_TRUE(platform.write(stream));
    ASSERT_TRUE(spy.wait_for_note("cannot forward platform->host: its buffer is full"));
    std::this_thread::sleep_for(300ms); // the spy has read it all by now
    const bytes received = host.drain();
    EXPECT_EQ(spy.stop(), 0);
    const json total = summary_of(spy.lines());
    const auto unforwarded = total["platform->host"]["unforwarded_bytes"].get<std::size_t>();
    EXPECT_GT(unforwarded, 0u);
    EXPECT_EQ(received.size() + unforwarded, stream.size()) << "every byte is forwarded or counted";
    EXPECT_TRUE(std::equal(received.begin(), received.end(), stream.begin()))
        << "what did arrive is the start of the stream, unchanged";
    EXPECT_EQ(total["platform->host"]["frames"]["upload"], 4000) << "all of it is decoded";
}

// --host-port: the host's side is one end of a socat pair, the host opens
// the other. The test holds both ends open so that socat never sees a side
// hang up while the host closes its port.
TEST(SpyRelay, ServesTheHostOnAnExistingPort) {
    if (::access("/usr/bin/socat", X_OK) != 0) {
        GTEST_SKIP() << "socat is not installed";
    }
    char dir_template[] = "/tmp/kinetra-spy-socat-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string spy_end = dir + "/spy";
    const std::string host_end = dir + "/host";
    background socat(
        {"/usr/bin/socat", "pty,raw,echo=0,link=" + spy_end, "pty,raw,echo=0,link=" + host_end});
    for (int i = 0;
         i < 200 && !(std::filesystem::exists(spy_end) && std::filesystem::exists(host_end)); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    raw_host hold_spy_end(spy_end);
    raw_host hold_host_end(host_end);
    ASSERT_TRUE(hold_spy_end.is_open() && hold_host_end.is_open());
    {
        test::pty_peer platform;
        spy_process spy(platform.port_name(), {"--host-port", spy_end});
        EXPECT_EQ(spy.host_port(), spy_end);
        axis_handle *h = axis_init(host_end.c_str(), 0x01, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(axis_z_move(h, -9, 1, 2), 12);
        EXPECT_EQ(test::hex(platform.receive(12)),
                  test::hex(make_frame(0x01, 0x01, 0xA3, words({-9, 1, 2}))));
        ASSERT_TRUE(platform.write(test::sample_upload()));
        axis_upload record{};
        EXPECT_EQ(axis_read_upload(h, &record), AXIS_OK) << axis_get_error(h);
        EXPECT_EQ(std::int16_t{record.word2}, -50);
        axis_close(h);
        EXPECT_EQ(spy.stop(), 0);
        const json total = summary_of(spy.lines());
        EXPECT_EQ(total["host->platform"]["frames"]["move"], 1);
        EXPECT_EQ(total["platform->host"]["frames"]["upload"], 1);
    }
    hold_spy_end.close();
    hold_host_end.close();
    socat.send(SIGTERM);
    (void)socat.wait();
    std::filesystem::remove_all(dir);
}

// kinetra-sim behind the spy, the kinetra tool in front: every move and every
// upload fault, as a user would run them.
TEST(SpyRelay, StandsBetweenTheKinetraToolAndTheSimulator) {
    background sim({sim_exe(), "--rate", "50", "--noise", "0.4", "--bad-crc", "0.2",
                    "--short-payload", "0.2", "--stray-head", "0.2", "--seed", "7"});
    const std::string device = sim.read_line();
    ASSERT_FALSE(device.empty());
    spy_process spy(device);
    const std::string port = spy.host_port();
    const std::vector<args> commands = {{"move", "x", "100"},
                                        {"move", "y", "-5", "1", "2"},
                                        {"move", "z", "7"},
                                        {"move-abs", "1", "2", "3"},
                                        {"move-rel", "4", "5", "6", "--aux1", "1,2,3"}};
    for (const args &c : commands) {
        args all{tool_exe(), "--port", port};
        all.insert(all.end(), c.begin(), c.end());
        const finished f = run(all);
        EXPECT_EQ(f.exit_code, 0) << f.err;
    }
    const finished watched = run({tool_exe(), "--port", port, "watch", "--json", "--count", "40"});
    EXPECT_EQ(watched.exit_code, 0) << watched.err;
    bytes received;
    {
        // The tool's runs can come and go quicker than the spy looks; once it
        // has seen the last one leave, it sees this host come.
        const std::size_t opened = spy.notes("host opened the port");
        ASSERT_TRUE(spy.wait_for_note("host closed the port", opened));
        raw_host host(port);
        ASSERT_TRUE(spy.wait_for_note("host opened the port", opened + 1));
        received = host.drain(300ms, 2s);
    }
    EXPECT_EQ(spy.stop(), 0);
    sim.send(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);

    const std::vector<json> lines = spy.lines();
    std::vector<std::string> moves;
    for (const json &j : of_direction(lines, "host->platform")) {
        EXPECT_EQ(j["crc_ok"], true);
        moves.push_back(j["fields"]["command"]);
    }
    EXPECT_EQ(moves, (std::vector<std::string>{"move X", "move Y", "move Z", "move XYZ abs",
                                               "move XYZ rel"}));
    // The simulator logged the same frames it received.
    EXPECT_NE(sim.err().find("move XYZ rel (0xA4) len 18 X[target 4 aux1 1 aux2 0]"),
              std::string::npos);

    // Every upload the simulator sent is there, in order: its frame counter
    // (payload bytes 7 to 10) never skips, whatever the faults.
    std::vector<std::uint32_t> counters;
    std::map<std::string, int> kinds;
    for (const json &j : of_direction(lines, "platform->host")) {
        ++kinds[j["kind"].get<std::string>() + (j.value("crc_ok", true) ? "" : " bad")];
        if (j["kind"] == "upload" || j["kind"] == "short-upload") {
            const bytes raw = from_hex(j["raw"]);
            counters.push_back(static_cast<std::uint32_t>(raw[11] | (raw[12] << 8) |
                                                          (raw[13] << 16) | (raw[14] << 24)));
        }
    }
    // What the raw host read is the platform's stream as the spy read it,
    // unchanged and unbroken, for as long as the host had the port. Bytes the
    // spy read while no host had it are missing, but only before the first
    // byte the host got: what the tool's last run left unread, which would
    // come first and break the stretch, the spy discards when a host leaves
    // (SpyRelay.GivesTheNextHostNothingThePreviousOneLeftUnread).
    bytes stream;
    for (const json &j : of_direction(lines, "platform->host")) {
        const bytes raw = from_hex(j["raw"]);
        stream.insert(stream.end(), raw.begin(), raw.end());
    }
    EXPECT_GT(received.size(), 50u * 19u) << "two seconds of 50 uploads a second";
    EXPECT_NE(std::search(stream.begin(), stream.end(), received.begin(), received.end()),
              stream.end())
        << "the host's " << received.size() << " bytes are one stretch of the " << stream.size()
        << " the spy read";
    ASSERT_GT(counters.size(), 40u);
    for (std::size_t i = 1; i < counters.size(); ++i) {
        ASSERT_EQ(counters[i], counters[i - 1] + 1) << "upload " << i;
    }
    EXPECT_GT(kinds["upload"], 0);
    EXPECT_GT(kinds["upload bad"], 0);
    EXPECT_GT(kinds["short-upload"], 0);
    EXPECT_GT(kinds["noise"], 0);
}

} // namespace
} // namespace kinetra::e2e
