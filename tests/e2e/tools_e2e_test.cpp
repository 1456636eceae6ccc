// kinetra-sim and kinetra run as processes, the way a user runs them.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "kinetra.h"
#include "process.h"
#include "pty_peer.h"
#include "tool_runs.h"

namespace kinetra::e2e {
namespace {

using namespace std::chrono_literals;

struct upload {
    int byte0 = 0;
    std::array<int, 3> words{};
    std::array<int, 6> tail{};
};

// Parses the object `kinetra read --json` prints; nothing if it is not one.
std::optional<upload> parse_json(const std::string &text) {
    static const std::regex shape(R"(\{"byte0":(\d+),"word1":(-?\d+),"word2":(-?\d+),)"
                                  R"("word3":(-?\d+),"tail":\[(\d+),(\d+),(\d+),(\d+),(\d+),)"
                                  R"((\d+)\](,"rate":[0-9.]+)?\}\n?)");
    std::smatch m;
    if (!std::regex_match(text, m, shape)) {
        return std::nullopt;
    }
    upload u;
    u.byte0 = std::stoi(m[1]);
    for (std::size_t i = 0; i < 3; ++i) {
        u.words[i] = std::stoi(m[2 + i]);
    }
    for (std::size_t i = 0; i < 6; ++i) {
        u.tail[i] = std::stoi(m[5 + i]);
    }
    return u;
}

// Reads until the platform reports every axis at `goal` and none moving.
// Generous: the time limit only catches a platform that never gets there.
std::optional<upload> read_until_at(const std::string &port, const std::array<int, 3> &goal) {
    std::optional<upload> last;
    for (int attempt = 0; attempt < 60; ++attempt) {
        const finished r = kinetra({"--port", port, "read", "--json"});
        if (r.exit_code == 0) {
            last = parse_json(r.out);
            if (last && last->words == goal && last->byte0 == 0) {
                return last;
            }
        }
    }
    return std::nullopt;
}

int count_of(const std::string &text, const std::string &part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// ---- Moves reach the platform and the uploads show them arriving ----

struct move_case {
    const char *name;
    std::vector<args> commands;
    std::array<int, 3> goal;
    std::vector<std::string> logged; // in the simulator's log of received frames
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const move_case &c, std::ostream *os) { *os << c.name; }

class MoveArrives : public ::testing::TestWithParam<move_case> {};

TEST_P(MoveArrives, UploadShowsTheAxesAtTheirTargets) {
    const move_case &c = GetParam();
    sim_process sim({"--speed", "40000"});
    ASSERT_FALSE(sim.port().empty());
    for (const args &command : c.commands) {
        args full{"--port", sim.port()};
        full.insert(full.end(), command.begin(), command.end());
        const finished r = kinetra(full);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(r.out.find("sent 12 bytes") != std::string::npos ||
                    r.out.find("sent 24 bytes") != std::string::npos)
            << r.out;
    }
    const auto arrived = read_until_at(sim.port(), c.goal);
    EXPECT_TRUE(arrived.has_value())
        << "the axes never showed " << c.goal[0] << ", " << c.goal[1] << ", " << c.goal[2];
    const std::string log = sim.stop();
    EXPECT_EQ(count_of(log, "CRC good"), static_cast<int>(c.commands.size())) << log;
    for (const auto &part : c.logged) {
        EXPECT_NE(log.find(part), std::string::npos) << "missing \"" << part << "\" in\n" << log;
    }
}

// Built on first use: a table of strings at namespace scope could throw before main.
std::vector<move_case> move_cases() {
    return {
        {"SingleX",
         {{"move", "x", "1200"}},
         {1200, 0, 0},
         {"head 0x01 move X (0xA1) len 6 X[target 1200 aux1 0 aux2 0]"}},
        {"SingleYWithAuxWords",
         {{"move", "y", "-700", "5", "65535"}},
         {0, -700, 0},
         {"move Y (0xA2) len 6 Y[target -700 aux1 5 aux2 65535]"}},
        {"SingleZToTheLargestWord",
         {{"--head", "0xFF", "move", "z", "32767"}},
         {0, 0, 32767},
         {"head 0xFF move Z (0xA3) len 6 Z[target 32767"}},
        {"ThreeAxisAbsolute",
         {{"move-abs", "-300", "400", "-500", "--aux1", "1,2,3", "--aux2", "4,5,6"}},
         {-300, 400, -500},
         {"move XYZ abs (0xA5) len 18 X[target -300 aux1 1 aux2 4] Y[target 400 aux1 2 aux2 5] "
          "Z[target -500 aux1 3 aux2 6]"}},
        {"RelativeMovesAddUp",
         {{"move-rel", "100", "200", "-300"}, {"move-rel", "100", "200", "-300"}},
         {200, 400, -600},
         {"move XYZ rel (0xA4) len 18 X[target 100"}},
        {"RelativeAfterSingleAndAbsolute",
         {{"move", "x", "1000"}, {"move-abs", "0", "500", "0"}, {"move-rel", "-50", "50", "5"}},
         {-50, 550, 5},
         {"move X (0xA1)", "move XYZ abs (0xA5)", "move XYZ rel (0xA4)"}},
        {"RelativeStopsAtTheEndOfTheWord",
         {{"move-abs", "32000", "0", "-32000"}, {"move-rel", "32000", "0", "-32000"}},
         {32767, 0, -32768},
         {}},
    };
}

INSTANTIATE_TEST_SUITE_P(Tools, MoveArrives, ::testing::ValuesIn(move_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(MoveUnderWay, UploadShowsTheMovingBitAndAPositionOnTheWay) {
    sim_process sim({"--speed", "200"}); // 1000 units take five seconds
    ASSERT_EQ(kinetra({"--port", sim.port(), "move", "y", "1000"}).exit_code, 0);
    const finished r = kinetra({"--port", sim.port(), "read", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto up = parse_json(r.out);
    ASSERT_TRUE(up.has_value()) << r.out;
    EXPECT_EQ(up->byte0, 0x02) << "only Y is moving";
    EXPECT_GT(up->words[1], 0);
    EXPECT_LT(up->words[1], 1000);
    EXPECT_EQ(up->words[0], 0);
    EXPECT_EQ(up->words[2], 0);
}

TEST(Uploads, TailCountsFramesAndEndsInTwoZeros) {
    sim_process sim;
    std::optional<upload> first;
    std::optional<upload> second;
    for (int attempt = 0; attempt < 10 && !(first && second); ++attempt) {
        const finished r = kinetra({"--port", sim.port(), "read", "--json"});
        (first ? second : first) = parse_json(r.out);
    }
    ASSERT_TRUE(first && second);
    const auto counter = [](const upload &u) {
        return u.tail[0] | u.tail[1] << 8 | u.tail[2] << 16 | u.tail[3] << 24;
    };
    EXPECT_GT(counter(*second), counter(*first));
    EXPECT_EQ(first->tail[4], 0);
    EXPECT_EQ(first->tail[5], 0);
}

// ---- Every fault of the simulator shows as the library reports it ----

struct fault_case {
    const char *name;
    args sim_options;
    int exit_code;
    std::string message; // on standard error, with the gloss and the result
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const fault_case &c, std::ostream *os) { *os << c.name; }

class Faults : public ::testing::TestWithParam<fault_case> {};

TEST_P(Faults, ReadReportsTheLibrarysResult) {
    const fault_case &c = GetParam();
    args options = c.sim_options;
    options.insert(options.end(), {"--seed", "7"});
    sim_process sim(options);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const finished r = kinetra({"--port", sim.port(), "read", "--json"});
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
        if (c.exit_code == 0) {
            EXPECT_TRUE(parse_json(r.out).has_value()) << r.out;
        } else {
            EXPECT_EQ(r.err, "kinetra: read failed: " + c.message + "\n");
            EXPECT_EQ(r.out, "");
        }
    }
}

// Built on first use: a table of strings at namespace scope could throw before main.
std::vector<fault_case> fault_cases() {
    return {
        {"BadCrc", {"--bad-crc", "1"}, 1, "CRC校验失败 (CRC check failed) [result -7]"},
        {"ShortPayload", {"--short-payload", "1"}, 1, "载荷不足 (payload too short) [result -7]"},
        {"StrayHead", {"--stray-head", "1"}, 1, "未找到上传帧 (no upload frame found) [result -7]"},
        {"Silent",
         {"--silent"},
         1,
         "nothing received from the platform in about 500 ms [result -8]"},
        {"NoiseIsSteppedOver", {"--noise", "1"}, 0, ""},
        {"NoFault", {}, 0, ""},
    };
}

INSTANTIATE_TEST_SUITE_P(Tools, Faults, ::testing::ValuesIn(fault_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(Faults, WatchShowsEachFailureAsAJsonLineAndGoesOn) {
    sim_process sim({"--bad-crc", "1"});
    const finished r = kinetra({"--port", sim.port(), "watch", "--json", "--count", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"result\":-7,\"error\":\"CRC校验失败\",\"gloss\":\"CRC check failed\"}\n"
                     "{\"result\":-7,\"error\":\"CRC校验失败\",\"gloss\":\"CRC check failed\"}\n"
                     "{\"result\":-7,\"error\":\"CRC校验失败\",\"gloss\":\"CRC check failed\"}\n");
}

// ---- Watching ----

TEST(Watch, PrintsOneUploadALineWithItsRate) {
    sim_process sim;
    const finished r = kinetra({"--port", sim.port(), "watch", "--json", "--count", "4"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(parse_json(line).has_value()) << line;
        EXPECT_NE(line.find(",\"rate\":"), std::string::npos) << line;
        ++n;
    }
    EXPECT_EQ(n, 4);
}

TEST(Watch, HoldsThePortUntilCtrlCAndThenExitsCleanly) {
    sim_process sim;
    background watch({tool_exe(), "--port", sim.port(), "watch"});
    const std::string first = watch.read_line();
    EXPECT_NE(first.find("updates/s"), std::string::npos) << first;
    // While watch holds the port, another host cannot open it, and is told why.
    const finished busy = kinetra({"--port", sim.port(), "read"});
    EXPECT_EQ(busy.exit_code, 1);
    EXPECT_EQ(busy.err,
              "kinetra: cannot open " + sim.port() + ": " + std::strerror(EWOULDBLOCK) + "\n");
    watch.send(SIGINT);
    EXPECT_EQ(watch.wait(), 0);
    EXPECT_EQ(kinetra({"--port", sim.port(), "read"}).exit_code, 0) << "the port is free again";
}

// ---- Exit codes and messages ----

struct usage_case {
    const char *name;
    args arguments;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const usage_case &c, std::ostream *os) { *os << c.name; }

class BadArguments : public ::testing::TestWithParam<usage_case> {};

// A port that does not exist: a bad argument must be caught before any open.
constexpr const char *missing_port = "/nonexistent/ttyKINETRA";

TEST_P(BadArguments, PrintUsageAndExit2) {
    const finished r = kinetra(GetParam().arguments);
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("Usage: kinetra"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("cannot open"), std::string::npos) << r.err;
}

// Built on first use: a table of strings at namespace scope could throw before main.
std::vector<usage_case> usage_cases() {
    return {
        {"NoCommand", {"--port", missing_port}},
        {"NoArguments", {}},
        {"UnknownCommand", {"--port", missing_port, "fly"}},
        {"NoPort", {"read"}},
        {"UnknownAxis", {"--port", missing_port, "move", "w", "5"}},
        {"TargetBeyondAWord", {"--port", missing_port, "move", "x", "40000"}},
        {"TargetNotANumber", {"--port", missing_port, "move", "x", "far"}},
        {"OneAuxWordOnly", {"--port", missing_port, "move", "x", "5", "1"}},
        {"AuxBeyondAWord", {"--port", missing_port, "move", "x", "5", "1", "70000"}},
        {"FiveLimits", {"--port", missing_port, "--limits", "1,2,3,4,5", "read"}},
        {"HeadBeyondAByte", {"--port", missing_port, "--head", "0x100", "read"}},
        {"TwoTargetsForThreeAxes", {"--port", missing_port, "move-abs", "1", "2"}},
        {"TwoAuxWordsForThreeAxes",
         {"--port", missing_port, "move-rel", "1", "2", "3", "--aux1", "1,2"}},
        {"DemoWithAPort", {"--port", missing_port, "demo"}},
        {"CountNotANumber", {"--port", missing_port, "watch", "--count", "x"}},
        {"UnknownOption", {"--port", missing_port, "read", "--xml"}},
        {"PortsWithAPort", {"--port", missing_port, "ports"}},
        {"PortsUnknownOption", {"ports", "--xml"}},
    };
}

INSTANTIATE_TEST_SUITE_P(Tools, BadArguments, ::testing::ValuesIn(usage_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(BadArguments, SimulatorPrintsUsageAndExits2) {
    for (const args &a : std::vector<args>{{"--rate", "0"},
                                           {"--noise", "1.5"},
                                           {"--bad-crc", "-0.1"},
                                           {"--speed", "-5"},
                                           {"--seed", "x"},
                                           {"--bogus"}}) {
        args all{sim_exe()};
        all.insert(all.end(), a.begin(), a.end());
        const finished r = run(all);
        EXPECT_EQ(r.exit_code, 2) << a[0];
        EXPECT_NE(r.err.find("Usage: kinetra-sim"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "no port is opened for a bad argument";
    }
}

TEST(Help, ExitsZeroWithUsage) {
    const finished tool = kinetra({"--help"});
    EXPECT_EQ(tool.exit_code, 0);
    EXPECT_NE(tool.out.find("Usage: kinetra"), std::string::npos);
    const finished sim = run({sim_exe(), "--help"});
    EXPECT_EQ(sim.exit_code, 0);
    EXPECT_NE(sim.out.find("--stray-head"), std::string::npos);
}

TEST(Version, BothToolsPrintTheProjectVersionAndExit0) {
    for (const std::string &exe : {tool_exe(), sim_exe()}) {
        const finished r = run({exe, "--version"});
        EXPECT_EQ(r.exit_code, 0) << exe;
        EXPECT_EQ(r.out, std::filesystem::path(exe).filename().string() + " " +
                             KINETRA_PROJECT_VERSION + "\n");
        EXPECT_EQ(r.err, "") << exe;
    }
}

TEST(OpenFailure, SaysWhyAndExits1) {
    for (const char *command : {"read", "watch"}) {
        const finished r = kinetra({"--port", missing_port, command});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, std::string("kinetra: cannot open ") + missing_port +
                             ": No such file or directory\n");
    }
    const finished sim = run({sim_exe(), "--port", missing_port});
    EXPECT_EQ(sim.exit_code, 1);
    EXPECT_EQ(sim.err, std::string("kinetra-sim: cannot open ") + missing_port +
                           ": No such file or directory\n");
}

struct refusal_case {
    const char *name;
    args command;
    std::string message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

class Refused : public ::testing::TestWithParam<refusal_case> {};

// Windows X [-100, 100], Y [10, 100], Z [-100, 100]: 0 lies outside Y.
TEST_P(Refused, MoveOutsideTheWindowFailsWithTheMessageAndSendsNothing) {
    const refusal_case &c = GetParam();
    sim_process sim;
    args full{"--port", sim.port(), "--limits", "100,-100,100,10,100,-100"};
    full.insert(full.end(), c.command.begin(), c.command.end());
    const finished r = kinetra(full);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(" failed: " + c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    // A move inside the window, sent after: the only frame the platform sees.
    ASSERT_EQ(kinetra({"--port", sim.port(), "--limits", "100,-100,100,10,100,-100", "move-abs",
                       "0", "50", "0"})
                  .exit_code,
              0);
    ASSERT_TRUE(read_until_at(sim.port(), {0, 50, 0}).has_value());
    const std::string log = sim.stop();
    EXPECT_EQ(count_of(log, "CRC good"), 1) << log;
    EXPECT_EQ(count_of(log, " move "), 1) << log;
}

// Built on first use: a table of strings at namespace scope could throw before main.
std::vector<refusal_case> refusal_cases() {
    return {
        {"XBeyondItsLimit",
         {"move", "x", "500"},
         "X轴超出限位 (X axis beyond its limit) [result -6]"},
        {"SingleAxisJudgedWithZeroElsewhere",
         {"move", "z", "50"},
         "Y轴超出限位 (Y axis beyond its limit) [result -6]"},
        {"ZOfAnAbsoluteMove",
         {"move-abs", "0", "50", "-101"},
         "Z轴超出限位 (Z axis beyond its limit) [result -6]"},
        {"RelativeWordsJudgedAsPositions",
         {"move-rel", "500", "50", "0"},
         "X轴超出限位 (X axis beyond its limit) [result -6]"},
    };
}

INSTANTIATE_TEST_SUITE_P(Tools, Refused, ::testing::ValuesIn(refusal_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// ---- The simulator's line ----

bool wait_for_log(const background &p, const std::string &part) {
    for (int i = 0; i < 400; ++i) { // 20 s
        if (p.err().find(part) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int open_raw(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        (void)::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

void write_all(int fd, const test::bytes &data) {
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

// A host holds the port and never reads, while the platform sends a thousand
// uploads a second: the platform must drop them, not block, and keep taking
// commands. A damaged command is logged and ignored.
TEST(Simulator, KeepsServingAHostThatDoesNotReadAndIgnoresADamagedFrame) {
    background sim({sim_exe(), "--rate", "1000"});
    const std::string port = sim.read_line();
    ASSERT_FALSE(port.empty());
    const int fd = open_raw(port);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    write_all(fd, test::make_frame(0x33, 0x01, 0xA1, {0x2C, 0x01, 0, 0, 0, 0})); // X 300
    test::bytes damaged = test::make_frame(0x33, 0x01, 0xA2, {0xE7, 0x03, 0, 0, 0, 0});
    damaged.back() = static_cast<std::uint8_t>(damaged.back() ^ 0xFF); // Y 999, bad CRC
    write_all(fd, damaged);
    EXPECT_TRUE(wait_for_log(sim, "dropping uploads")) << sim.err();
    write_all(fd, test::make_frame(0x33, 0x01, 0xA3, {77, 0, 0, 0, 0, 0})); // Z 77
    EXPECT_TRUE(wait_for_log(sim, "move Z (0xA3)")) << sim.err();
    ::close(fd);
    EXPECT_TRUE(read_until_at(port, {300, 0, 77}).has_value());
    sim.send(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    const std::string log = sim.err();
    EXPECT_NE(log.find("head 0x33 move X (0xA1) len 6 X[target 300 aux1 0 aux2 0] CRC good"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("head 0x33 move Y (0xA2) len 6 Y[target 999 aux1 0 aux2 0] CRC bad"),
              std::string::npos)
        << log;
}

// Uploads a host left unread when it closed the port are not handed to the
// next host that opens it: a library opened without axis_flush would take
// them for the platform's latest.
TEST(Simulator, GivesTheNextHostNothingThePreviousOneLeftUnread) {
    background sim({sim_exe(), "--rate", "100"});
    const std::string port = sim.read_line();
    ASSERT_FALSE(port.empty());
    int fd = open_raw(port);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    int queued = 0;
    for (int i = 0; i < 200 && queued < 200; ++i) { // ten uploads or more, unread
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(::ioctl(fd, FIONREAD, &queued), 0);
    }
    ASSERT_GE(queued, 200);
    ::close(fd);
    ASSERT_TRUE(wait_for_log(sim, "no host on the port")) << sim.err();
    fd = open_raw(port);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::ioctl(fd, FIONREAD, &queued), 0);
    ::close(fd);
    // At most what the platform sent since this host opened: one upload.
    EXPECT_LE(queued, 19);
    sim.send(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(Simulator, SkipsBytesThatStartNoFrame) {
    background sim({sim_exe()});
    const std::string port = sim.read_line();
    const int fd = open_raw(port);
    ASSERT_GE(fd, 0);
    write_all(fd, test::concat({{0x00, 0x55, 0x13},
                                test::make_frame(0x01, 0x01, 0xA1, {10, 0, 0, 0, 0, 0})}));
    EXPECT_TRUE(wait_for_log(sim, "move X (0xA1)")) << sim.err();
    ::close(fd);
    sim.send(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_NE(sim.err().find("skipped 3 byte(s) that start no frame"), std::string::npos)
        << sim.err();
}

// One end of a socat pair for the platform, the other for the host. The test
// holds both ends open so that socat never sees a side hang up between the
// tools' runs.
TEST(Simulator, ServesAnExistingPortGivenByName) {
    if (::access("/usr/bin/socat", X_OK) != 0) {
        GTEST_SKIP() << "socat is not installed";
    }
    char dir_template[] = "/tmp/kinetra-socat-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string platform_end = dir + "/platform";
    const std::string host_end = dir + "/host";
    background socat({"/usr/bin/socat", "pty,raw,echo=0,link=" + platform_end,
                      "pty,raw,echo=0,link=" + host_end});
    for (int i = 0;
         i < 200 && !(std::filesystem::exists(platform_end) && std::filesystem::exists(host_end));
         ++i) {
        std::this_thread::sleep_for(50ms);
    }
    const int hold_platform = open_raw(platform_end);
    const int hold_host = open_raw(host_end);
    ASSERT_GE(hold_platform, 0);
    ASSERT_GE(hold_host, 0);
    {
        background sim({sim_exe(), "--port", platform_end});
        ASSERT_TRUE(wait_for_log(sim, "serving " + platform_end)) << sim.err();
        const finished moved = kinetra({"--port", host_end, "move", "x", "300"});
        EXPECT_EQ(moved.exit_code, 0) << moved.err;
        EXPECT_TRUE(read_until_at(host_end, {300, 0, 0}).has_value());
        sim.send(SIGTERM);
        EXPECT_EQ(sim.wait(), 0);
        EXPECT_NE(sim.err().find("move X (0xA1) len 6 X[target 300"), std::string::npos)
            << sim.err();
    }
    ::close(hold_platform);
    ::close(hold_host);
    socat.send(SIGTERM);
    (void)socat.wait();
    std::filesystem::remove_all(dir);
}

// ---- The demo ----

TEST(Demo, RunsTheNarratedSessionAndExits0) {
    const finished r = kinetra({"demo"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const char *part :
         {"axis_x_move(h, 1500, 200, 50) -> 12", "move X (0xA1) len 6 X[target 1500 aux1 200",
          "axis_xyz_abs_move", "axis_xyz_rel_move", "arrived.",
          "X轴超出限位 (X axis beyond its limit) [result -6]", "[result -8]", "Done:"}) {
        EXPECT_NE(r.out.find(part), std::string::npos) << "missing \"" << part << "\" in\n"
                                                       << r.out;
    }
}

// ---- A host that reads often, against the line's real timing ----

struct polling_case {
    const char *name;
    args sim_options;
    std::chrono::seconds duration;
};

void PrintTo(const polling_case &c, std::ostream *os) { *os << c.name; }

class FastPolling : public ::testing::TestWithParam<polling_case> {};

// Every 5 ms a read, as a host does while it waits for a move: most reads
// land between uploads or in the middle of one. None may fail, and the
// counter in the tail never goes back.
TEST_P(FastPolling, NoReadFailsWhileUploadsArriveByteByByte) {
    const polling_case &c = GetParam();
    sim_process sim(c.sim_options);
    axis_handle *h = axis_init(sim.port().c_str(), 0x01, nullptr);
    ASSERT_NE(h, nullptr) << std::strerror(errno);
    int ok = 0;
    int failed = 0;
    int went_back = 0;
    std::uint32_t last_counter = 0;
    const auto until = std::chrono::steady_clock::now() + c.duration;
    while (std::chrono::steady_clock::now() < until) {
        axis_upload up{};
        const std::int32_t r = axis_read_upload(h, &up);
        if (r == AXIS_OK) {
            ++ok;
            const std::uint32_t counter = up.tail[0] | (std::uint32_t{up.tail[1]} << 8) |
                                          (std::uint32_t{up.tail[2]} << 16) |
                                          (std::uint32_t{up.tail[3]} << 24);
            went_back += counter < last_counter ? 1 : 0;
            last_counter = counter;
        } else {
            ADD_FAILURE() << "read " << ok + failed << ": " << r << " " << axis_get_error(h);
            ++failed;
        }
        std::this_thread::sleep_for(5ms);
    }
    axis_close(h);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(went_back, 0);
    EXPECT_GT(ok, static_cast<int>(c.duration.count()) * 5) << "the uploads kept coming";
}

const polling_case polling_cases[] = {
    {"four-byte chunks as a USB adapter hands them over", {"--chunk", "4"}, 20s},
    {"a byte at a time", {}, 10s},
};

INSTANTIATE_TEST_SUITE_P(Line, FastPolling, ::testing::ValuesIn(polling_cases),
                         [](const auto &param_info) {
                             return test::identifier(param_info.param.name);
                         });

} // namespace
} // namespace kinetra::e2e
