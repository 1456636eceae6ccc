// `kinetra ports`: the listing against a sysfs tree made by the test, and
// --probe against the simulator, pty pairs and ports that cannot be opened.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <termios.h>

#include "kinetra.h"
#include "process.h"
#include "pty_peer.h"
#include "tool_runs.h"

namespace kinetra::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char *missing_port = "/nonexistent/ttyKINETRA";

// A directory of the test's own, removed at its end: the root under which
// `kinetra ports --root` looks for sys/class/tty and dev/serial/by-id.
class temp_tree {
  public:
    temp_tree() {
        char name[] = "/tmp/kinetra-ports-XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        }
        root_ = name;
    }
    ~temp_tree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    temp_tree(const temp_tree &) = delete;
    temp_tree &operator=(const temp_tree &) = delete;

    std::string root() const { return root_.string(); }
    void dir(const std::string &path) const { fs::create_directories(root_ / path); }
    // A sysfs attribute: its text and a newline.
    void file(const std::string &path, const std::string &text) const {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text << '\n';
    }
    void link(const std::string &path, const std::string &target) const {
        fs::create_directories((root_ / path).parent_path());
        fs::create_symlink(target, root_ / path);
    }

  private:
    fs::path root_;
};

// A machine as sysfs shows it: a UART on the board, an FTDI adapter (its tty
// under the usb-serial port under the interface under the USB device, below
// the root hub, with a by-id link), a CDC ACM board whose descriptors give no
// manufacturer or serial and a product with a quote and a tab in it, and two
// virtual ttys with no device behind them.
void make_machine(const temp_tree &t) {
    t.dir("sys/bus/pnp/drivers/serial");
    t.dir("sys/bus/usb-serial/drivers/ftdi_sio");
    t.dir("sys/bus/usb/drivers/cdc_acm");

    t.dir("sys/devices/pnp0/00:01/tty/ttyS0");
    t.link("sys/devices/pnp0/00:01/driver", "../../../bus/pnp/drivers/serial");
    t.link("sys/devices/pnp0/00:01/tty/ttyS0/device", "../../../00:01");
    t.link("sys/class/tty/ttyS0", "../../devices/pnp0/00:01/tty/ttyS0");

    const std::string hub = "sys/devices/pci0000:00/0000:00:14.0/usb1";
    t.file(hub + "/idVendor", "1d6b");
    t.file(hub + "/idProduct", "0002");
    t.file(hub + "/manufacturer", "Linux 6.1.0 xhci-hcd");
    t.file(hub + "/product", "xHCI Host Controller");

    const std::string ftdi = hub + "/1-2";
    t.file(ftdi + "/idVendor", "0403");
    t.file(ftdi + "/idProduct", "6001");
    t.file(ftdi + "/manufacturer", "FTDI");
    t.file(ftdi + "/product", "FT232R USB UART");
    t.file(ftdi + "/serial", "A10K1XYZ");
    const std::string ftdi_port = ftdi + "/1-2:1.0/ttyUSB0";
    t.file(ftdi + "/1-2:1.0/bInterfaceNumber", "00");
    t.link(ftdi_port + "/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    t.dir(ftdi_port + "/tty/ttyUSB0");
    t.link(ftdi_port + "/tty/ttyUSB0/device", "../../../ttyUSB0");
    t.link("sys/class/tty/ttyUSB0", "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/"
                                    "ttyUSB0/tty/ttyUSB0");
    t.file("dev/ttyUSB0", "");
    t.link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0", "../../ttyUSB0");

    const std::string acm = hub + "/1-3";
    t.file(acm + "/idVendor", "2e8a");
    t.file(acm + "/idProduct", "000a");
    t.file(acm + "/product", "Probe \"B\"\tRev2");
    t.link(acm + "/1-3:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm");
    t.dir(acm + "/1-3:1.0/tty/ttyACM0");
    t.link(acm + "/1-3:1.0/tty/ttyACM0/device", "../../../1-3:1.0");
    t.link("sys/class/tty/ttyACM0",
           "../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/tty/ttyACM0");

    for (const char *name : {"tty0", "ptmx"}) {
        t.file(std::string("sys/devices/virtual/tty/") + name + "/dev", "4:0");
        t.link(std::string("sys/class/tty/") + name,
               std::string("../../devices/virtual/tty/") + name);
    }
}

finished ports(const temp_tree &t, const args &arguments) {
    args all{"ports", "--root", t.root()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return kinetra(all);
}

// ---- The listing ----

TEST(PortsListing, TableShowsTheTtysWithADeviceAndWhatTheirUsbDeviceSays) {
    const temp_tree t;
    make_machine(t);
    const finished r = ports(t, {});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The tab of the ACM board's product shows as '?': a descriptor's control
    // characters never reach the terminal.
    EXPECT_EQ(r.out,
              "PORT          DRIVER    USB ID     MANUFACTURER  PRODUCT          SERIAL    BY-ID\n"
              "/dev/ttyACM0  cdc_acm   2e8a:000a  -             Probe \"B\"?Rev2   -         -\n"
              "/dev/ttyS0    serial    -          -             -                -         -\n"
              "/dev/ttyUSB0  ftdi_sio  0403:6001  FTDI          FT232R USB UART  A10K1XYZ  "
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0\n");
}

TEST(PortsListing, JsonGivesEachPortsFieldsAndEscapesControlCharacters) {
    const temp_tree t;
    make_machine(t);
    const finished r = ports(t, {"--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json expected = json::parse(R"([
        {"port": "/dev/ttyACM0", "named": false, "driver": "cdc_acm", "by_id": [],
         "usb": {"vendor_id": "2e8a", "product_id": "000a", "product": "Probe \"B\"\tRev2"}},
        {"port": "/dev/ttyS0", "named": false, "driver": "serial", "by_id": []},
        {"port": "/dev/ttyUSB0", "named": false, "driver": "ftdi_sio",
         "by_id": ["/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0"],
         "usb": {"vendor_id": "0403", "product_id": "6001", "manufacturer": "FTDI",
                 "product": "FT232R USB UART", "serial": "A10K1XYZ"}}])");
    EXPECT_EQ(json::parse(r.out), expected) << r.out;
    EXPECT_NE(r.out.find(R"("Probe \"B\"\tRev2")"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one array on one line";
}

TEST(PortsListing, NamedPortsJoinTheListOnce) {
    const temp_tree t;
    make_machine(t);
    const finished r =
        ports(t, {"--json", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0",
                  "/dev/ttyS0", "/dev/pts/77"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json all = json::parse(r.out);
    ASSERT_EQ(all.size(), 4U) << r.out;
    const std::pair<const char *, bool> expected[] = {{"/dev/ttyACM0", false},
                                                      {"/dev/ttyS0", true},
                                                      {"/dev/ttyUSB0", true},
                                                      {"/dev/pts/77", true}};
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i]["port"], expected[i].first);
        EXPECT_EQ(all[i]["named"], expected[i].second) << expected[i].first;
    }
    EXPECT_FALSE(all[3].contains("usb")) << "the OS knows nothing of a name given";
    EXPECT_FALSE(all[3].contains("probe")) << "nothing is opened without --probe";
}

TEST(PortsListing, NoTtyClassIsAFailureWithTheReason) {
    const temp_tree t;
    const finished r = ports(t, {});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "kinetra: cannot read " + t.root() + "/sys/class/tty: No such file or directory\n");
}

TEST(PortsListing, AMachineWithoutPortsListsNone) {
    const temp_tree t;
    t.dir("sys/class/tty");
    EXPECT_EQ(ports(t, {}).out, "no serial ports found\n");
    const finished r = ports(t, {"--json"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "[]\n");
}

// ---- Probing ----

void make_raw(int fd) {
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::cfmakeraw(&tio);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
}

enum class far_end {
    simulator,
    silent_simulator,
    bad_crc_simulator,
    held_simulator, // a simulator whose port the test holds through the library
    noise_pair,     // a pty pair the test writes bytes into that are no frame
    upload_pair,    // a pty pair the test writes upload frames into
    nothing,        // no such port
};

// What sits at the far end of the probed port while the probe runs.
class probe_target {
  public:
    explicit probe_target(far_end end) {
        switch (end) {
        case far_end::simulator: sim_.emplace(); break;
        case far_end::silent_simulator: sim_.emplace(args{"--silent"}); break;
        case far_end::bad_crc_simulator: sim_.emplace(args{"--bad-crc", "1"}); break;
        case far_end::held_simulator:
            sim_.emplace();
            held_ = axis_init(sim_->port().c_str(), 0x01, nullptr);
            EXPECT_NE(held_, nullptr) << std::strerror(errno);
            break;
        case far_end::noise_pair:
        case far_end::upload_pair:
            pair_.emplace();
            // No echo: every byte the test reads back was written by the host.
            make_raw(pair_->slave_fd());
            feed_ = end == far_end::upload_pair ? test::sample_upload()
                                                : test::bytes{0x00, 0x55, 0x13, 0xFF, 0x42, 0x01};
            break;
        case far_end::nothing: break;
        }
    }
    ~probe_target() { axis_close(held_); }
    probe_target(const probe_target &) = delete;
    probe_target &operator=(const probe_target &) = delete;

    std::string port() const {
        return sim_ ? sim_->port() : pair_ ? pair_->port_name() : missing_port;
    }
    // A step of the platform's side: send what it sends, keep what the host
    // wrote.
    void tick() {
        if (pair_) {
            EXPECT_TRUE(pair_->write(feed_));
            const test::bytes back = pair_->drain(10ms);
            received_.insert(received_.end(), back.begin(), back.end());
        }
    }
    // What reached the platform from the host: what a pair read, or the
    // simulator's log of frames and stray bytes.
    std::string heard() {
        if (sim_) {
            std::string log = sim_->stop();
            for (const char *mark : {"CRC good", "CRC bad", "skipped"}) {
                if (log.find(mark) != std::string::npos) {
                    return log;
                }
            }
            return "";
        }
        tick();
        return test::hex(received_);
    }

  private:
    std::optional<sim_process> sim_;
    std::optional<test::pty_peer> pair_;
    axis_handle *held_ = nullptr;
    test::bytes feed_;
    test::bytes received_;
};

// Runs `kinetra ports` with no ports of the machine's own (an empty tty
// class), stepping the far end until the output comes.
finished probe_while(const args &arguments, const std::function<void()> &tick) {
    const temp_tree t;
    t.dir("sys/class/tty");
    args all{tool_exe(), "ports", "--root", t.root()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    background tool(all);
    finished r;
    for (int step = 0; step < 600 && r.out.empty(); ++step) { // 30 s
        tick();
        r.out = tool.read_line(40ms);
    }
    for (std::string line = r.out; !line.empty();) {
        line = tool.read_line(2s);
        r.out += "\n" + line;
    }
    r.exit_code = tool.wait();
    r.err = tool.err();
    return r;
}

struct probe_case {
    const char *name;
    far_end end;
    const char *state;
    int exit_code;
    const char *error = ""; // the library's message, for no_upload_frame
};

void PrintTo(const probe_case &c, std::ostream *os) { *os << c.name; }

class PortsProbe : public ::testing::TestWithParam<probe_case> {};

TEST_P(PortsProbe, TellsWhatThePortGivesAndSendsNothing) {
    const probe_case &c = GetParam();
    probe_target target(c.end);
    const finished r = probe_while({"--json", "--probe", target.port()}, [&] { target.tick(); });
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    const json all = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(all.is_array() && all.size() == 1) << r.out;
    EXPECT_EQ(all[0]["port"], target.port());
    const json &probe = all[0]["probe"];
    EXPECT_EQ(probe["state"], c.state) << r.out;
    const std::string state = c.state;
    if (state == "streaming") {
        // The simulator sends 20 uploads a second and a read brings one at most.
        EXPECT_GE(probe["uploads"].get<int>(), 1);
        EXPECT_GT(probe["rate"].get<double>(), 0.0);
        EXPECT_LE(probe["rate"].get<double>(), 30.0);
        EXPECT_EQ(probe["last"]["tail"].size(), 6U) << r.out;
    } else if (state == "no_upload_frame") {
        EXPECT_EQ(probe["error"], c.error);
        EXPECT_GE(probe["frame_errors"].get<int>(), 1);
    } else if (state == "busy") {
        EXPECT_EQ(probe["os_error"], EWOULDBLOCK);
        EXPECT_EQ(probe["reason"], std::strerror(EWOULDBLOCK));
    } else if (state == "missing") {
        EXPECT_EQ(probe["os_error"], ENOENT);
    }
    if (state != "streaming") {
        EXPECT_FALSE(probe.contains("last")) << r.out;
    }
    EXPECT_EQ(target.heard(), "") << "the probe sent something";
}

// Built on first use: a table of strings at namespace scope could throw before main.
std::vector<probe_case> probe_cases() {
    return {
        {"Simulator", far_end::simulator, "streaming", 0},
        {"SilentSimulator", far_end::silent_simulator, "silent", 1},
        {"BadCrcOnly", far_end::bad_crc_simulator, "no_upload_frame", 1, "CRC校验失败"},
        {"NoiseOnly", far_end::noise_pair, "no_upload_frame", 1, "未找到上传帧"},
        {"HeldByAnotherHandle", far_end::held_simulator, "busy", 1},
        {"NoSuchPort", far_end::nothing, "missing", 1},
    };
}

INSTANTIATE_TEST_SUITE_P(Tools, PortsProbe, ::testing::ValuesIn(probe_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// The test plays the platform on a pty pair and reads everything the host
// writes while the probe runs: not one byte may come.
TEST(PortsProbe, ReadsThePlatformsRecordAndWritesNoByteToIt) {
    probe_target pair(far_end::upload_pair);
    const finished r = probe_while({"--json", "--probe", pair.port()}, [&] { pair.tick(); });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json all = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(all.is_array() && all.size() == 1) << r.out;
    EXPECT_EQ(all[0]["probe"]["state"], "streaming");
    // Payload of the sample upload: 02, 100, -50, 7, then 01 00 00 01 00 00.
    EXPECT_EQ(all[0]["probe"]["last"],
              json::parse(R"({"byte0":2,"word1":100,"word2":-50,"word3":7,"tail":[1,0,0,1,0,0]})"));
    EXPECT_EQ(pair.heard(), "");
}

TEST(PortsProbe, OneStreamingPortIsEnoughForExit0AndTheTableTellsEachPort) {
    probe_target sim(far_end::simulator);
    const finished r = probe_while({"--probe", sim.port(), missing_port}, [] {});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string header;
    std::string first;
    std::string second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(header.rfind("PORT", 0), 0U) << r.out;
    EXPECT_NE(header.find("PROBE"), std::string::npos) << r.out;
    EXPECT_EQ(first.rfind(sim.port(), 0), 0U) << r.out;
    EXPECT_NE(first.find("  streaming: "), std::string::npos) << r.out;
    EXPECT_NE(first.find("/s), last byte0 0x00"), std::string::npos) << r.out;
    EXPECT_EQ(second.rfind(missing_port, 0), 0U) << r.out;
    EXPECT_NE(second.find("  missing (No such file or directory)"), std::string::npos) << r.out;
}

} // namespace
} // namespace kinetra::e2e
