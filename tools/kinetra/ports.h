// `kinetra ports`: the machine's serial ports, what the OS knows about each,
// and (with --probe) what each one is receiving.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <kinetra.h>

#include "json_text.h"

namespace kinetra::tool {

// The USB device behind a port, as far as its descriptors say. Fields the
// device does not give are empty.
struct usb_device {
    std::string vendor_id;  // four hex digits, as the OS shows them
    std::string product_id; // four hex digits
    std::string manufacturer;
    std::string product;
    std::string serial;
};

struct port_record {
    std::string name;               // what a host passes to axis_init: /dev/ttyUSB0
    bool named = false;             // given on the command line rather than found
    std::string driver;             // the kernel driver behind the port, if known
    std::vector<std::string> by_id; // stable names: /dev/serial/by-id/...
    std::optional<usb_device> usb;
};

// Where a listing looks. On Linux, `root` prefixes /sys/class/tty and
// /dev/serial/by-id: "/" on a real machine, a prepared tree in the tests.
struct listing_options {
    std::string root = "/";
};

// The ports the OS knows, sorted by name. On Linux, the ttys with a driver
// behind them (virtual consoles and ptys have none). Returns false, with the
// reason in `error`, when the OS's list cannot be read at all.
// On Windows, the ports in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. One
// definition per platform: ports_sysfs.cpp for Linux, ports_win32.cpp.
bool list_system_ports(const listing_options &options, std::vector<port_record> &ports,
                       std::string &error);

// Adds ports given by name, unless the listing has them already (by name or
// by one of their by-id names), in which case that record is marked named.
void add_named_ports(std::vector<port_record> &ports, const std::vector<std::string> &names);

// What a port gave during a probe.
struct probe_result {
    enum class state {
        streaming,       // upload frames arrived
        no_upload_frame, // bytes, but no good upload frame among them
        silent,          // nothing at all
        busy,            // another program holds the port
        no_access,       // the OS refused the open
        missing,         // no such port
        failed,          // the open failed for another reason
    };
    state what = state::failed;
    int os_error = 0;          // of a failed open: errno, or GetLastError() on Windows
    std::string os_reason;     // the OS's words for it
    double seconds = 0;        // how long the port was read
    unsigned uploads = 0;      // reads that brought an upload frame
    unsigned frame_errors = 0; // reads that got bytes but no usable frame
    std::string message;       // the library's text of the last frame error
    std::optional<axis_upload> last;
};

// Opens the port through the library, reads uploads for about `window` and
// closes it. Sends nothing at all: no move is ever made. A port held by
// another program is reported busy, never forced.
probe_result probe_port(const std::string &name,
                        std::chrono::milliseconds window = std::chrono::seconds(1));

struct port_report {
    port_record port;
    std::optional<probe_result> probe;
};

// The reports as a table for a person; columns nobody has a value for are
// left out.
std::string format_table(const std::vector<port_report> &reports);
// The reports as one JSON array.
json_value to_json(const std::vector<port_report> &reports);

struct ports_request {
    listing_options listing;
    std::vector<std::string> names;
    bool probe = false;
    bool json = false;
};

// Exit status: 0 listed (and, with --probe, at least one port streaming);
// 1 the listing failed, or --probe found no port streaming uploads.
int run_ports(const ports_request &request);

} // namespace kinetra::tool
