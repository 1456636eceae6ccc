// The Linux listing: the ttys under /sys/class/tty that have a device (and so
// a driver) behind them, with the USB device that carries the port, when one
// does, and the port's names under /dev/serial/by-id.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "ports.h"

namespace kinetra::tool {

namespace {

namespace fs = std::filesystem;

// A sysfs attribute's text without its trailing newline; "" when it is not
// there or cannot be read.
std::string read_attribute(const fs::path &file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool is_usb_device(const fs::path &dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "idVendor", ec) && fs::is_regular_file(dir / "idProduct", ec);
}

bool is_inside(const fs::path &dir, const fs::path &top) {
    const auto [top_end, dir_at] = std::mismatch(top.begin(), top.end(), dir.begin(), dir.end());
    return top_end == top.end() && dir_at != dir.end();
}

// Walks up from the tty's device (a USB serial port, or a USB interface for
// CDC ACM) to the first directory that is a whole USB device. It never leaves
// `sys`.
std::optional<usb_device> find_usb_device(fs::path dir, const fs::path &sys) {
    for (; is_inside(dir, sys); dir = dir.parent_path()) {
        if (is_usb_device(dir)) {
            return usb_device{read_attribute(dir / "idVendor"), read_attribute(dir / "idProduct"),
                              read_attribute(dir / "manufacturer"), read_attribute(dir / "product"),
                              read_attribute(dir / "serial")};
        }
    }
    return std::nullopt;
}

std::string driver_of(const fs::path &device) {
    std::error_code ec;
    const fs::path link = fs::read_symlink(device / "driver", ec);
    return ec ? std::string() : link.filename().string();
}

// The by-id links whose target is the tty `name`, as a host opens them.
std::vector<std::string> by_id_names(const fs::path &by_id, const std::string &name) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(by_id, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code link_error;
        const fs::path target = fs::read_symlink(it->path(), link_error);
        if (!link_error && target.filename() == name) {
            names.push_back("/dev/serial/by-id/" + it->path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

port_record describe_tty(const std::string &name, const fs::path &device, const fs::path &sys,
                         const fs::path &by_id) {
    port_record port;
    port.name = "/dev/" + name;
    port.driver = driver_of(device);
    port.by_id = by_id_names(by_id, name);
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (!ec) {
        port.usb = find_usb_device(real, sys);
    }
    return port;
}

} // namespace

bool list_system_ports(const listing_options &options, std::vector<port_record> &ports,
                       std::string &error) {
    const fs::path root = options.root;
    const fs::path class_tty = root / "sys/class/tty";
    std::error_code ec;
    const fs::path sys = fs::weakly_canonical(root / "sys", ec);
    fs::directory_iterator it(class_tty, ec);
    if (ec) {
        error = "cannot read " + class_tty.string() + ": " + ec.message();
        return false;
    }
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::path device = it->path() / "device";
        std::error_code exists_error;
        if (fs::exists(device, exists_error)) {
            ports.push_back(describe_tty(it->path().filename().string(), device, sys,
                                         root / "dev/serial/by-id"));
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const port_record &a, const port_record &b) { return a.name < b.name; });
    return true;
}

} // namespace kinetra::tool
