#include "ports.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace kinetra::tool {

namespace {

using state = probe_result::state;

const char *state_name(state s) {
    switch (s) {
    case state::streaming: return "streaming";
    case state::no_upload_frame: return "no_upload_frame";
    case state::silent: return "silent";
    case state::busy: return "busy";
    case state::no_access: return "no_access";
    case state::missing: return "missing";
    case state::failed: return "failed";
    }
    return "failed";
}

// To `places` decimals, so that JSON shows 1.03, not 1.0300000000000000266.
double rounded(double value, int places) {
    const double scale = std::pow(10.0, places);
    return std::round(value * scale) / scale;
}

double rate_of(const probe_result &p) { return p.seconds > 0 ? p.uploads / p.seconds : 0.0; }

std::string os_reason(const probe_result &p) {
    return p.os_reason.empty() ? "unknown reason" : p.os_reason;
}

std::string one_decimal(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f", value);
    return text.data();
}

std::string probe_text(const probe_result &p) {
    switch (p.what) {
    case state::streaming:
        return "streaming: " + std::to_string(p.uploads) + " uploads in " + one_decimal(p.seconds) +
               " s (" + one_decimal(rate_of(p)) + "/s)" + ", last " + upload_text(*p.last);
    case state::no_upload_frame: {
        const char *english = gloss(p.message);
        return "bytes but no upload frame: " + p.message +
               (*english != '\0' ? std::string(" (") + english + ")" : "");
    }
    case state::silent: return "silent: nothing received in " + one_decimal(p.seconds) + " s";
    case state::busy: return "busy: held by another program (" + os_reason(p) + ")";
    case state::no_access: return "no access (" + os_reason(p) + ")";
    case state::missing: return "missing (" + os_reason(p) + ")";
    case state::failed: return "cannot open (" + os_reason(p) + ")";
    }
    return "";
}

json_value probe_object(const probe_result &p) {
    json_value o{{"state", state_name(p.what)}};
    switch (p.what) {
    case state::streaming:
        o["seconds"] = rounded(p.seconds, 2);
        o["uploads"] = p.uploads;
        o["rate"] = rounded(rate_of(p), 1);
        o["last"] = upload_object(*p.last);
        break;
    case state::no_upload_frame:
        o["seconds"] = rounded(p.seconds, 2);
        o["frame_errors"] = p.frame_errors;
        o["error"] = p.message;
        o["gloss"] = gloss(p.message);
        break;
    case state::silent: o["seconds"] = rounded(p.seconds, 2); break;
    default:
        o["os_error"] = p.os_error;
        o["reason"] = os_reason(p);
        break;
    }
    return o;
}

json_value port_object(const port_report &r) {
    const port_record &p = r.port;
    json_value o{{"port", p.name}, {"named", p.named}};
    if (!p.driver.empty()) {
        o["driver"] = p.driver;
    }
    o["by_id"] = p.by_id;
    if (p.usb) {
        json_value usb{{"vendor_id", p.usb->vendor_id}, {"product_id", p.usb->product_id}};
        for (const auto &[key, value] :
             {std::pair{"manufacturer", &p.usb->manufacturer},
              std::pair{"product", &p.usb->product}, std::pair{"serial", &p.usb->serial}}) {
            if (!value->empty()) {
                usb[key] = *value;
            }
        }
        o["usb"] = std::move(usb);
    }
    if (r.probe) {
        o["probe"] = probe_object(*r.probe);
    }
    return o;
}

std::string joined(const std::vector<std::string> &parts) {
    std::string out;
    for (const auto &part : parts) {
        out += (out.empty() ? "" : ", ") + part;
    }
    return out;
}

// A USB descriptor may hold anything: its control characters (escape
// sequences included) never reach the terminal.
std::string printable(std::string text) {
    for (char &c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = '?';
        }
    }
    return text;
}

// The cells of one row, in column order.
std::vector<std::string> row_of(const port_report &r) {
    const port_record &p = r.port;
    const usb_device none;
    const usb_device &usb = p.usb ? *p.usb : none;
    std::vector<std::string> cells{p.name,
                                   p.driver,
                                   p.usb ? usb.vendor_id + ":" + usb.product_id : "",
                                   usb.manufacturer,
                                   usb.product,
                                   usb.serial,
                                   joined(p.by_id),
                                   r.probe ? probe_text(*r.probe) : ""};
    for (std::string &cell : cells) {
        cell = printable(std::move(cell));
    }
    return cells;
}

// Width on a terminal, near enough: one column a UTF-8 character.
std::size_t width_of(const std::string &text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

void add_named_ports(std::vector<port_record> &ports, const std::vector<std::string> &names) {
    for (const std::string &name : names) {
        const auto known = std::find_if(ports.begin(), ports.end(), [&](const port_record &p) {
            return p.name == name ||
                   std::find(p.by_id.begin(), p.by_id.end(), name) != p.by_id.end();
        });
        if (known != ports.end()) {
            known->named = true;
        } else {
            port_record p;
            p.name = name;
            p.named = true;
            ports.push_back(std::move(p));
        }
    }
}

json_value to_json(const std::vector<port_report> &reports) {
    json_value all = json_value::array();
    for (const port_report &r : reports) {
        all.push_back(port_object(r));
    }
    return all;
}

std::string format_table(const std::vector<port_report> &reports) {
    if (reports.empty()) {
        return "no serial ports found\n";
    }
    const std::vector<std::string> header{"PORT",    "DRIVER", "USB ID", "MANUFACTURER",
                                          "PRODUCT", "SERIAL", "BY-ID",  "PROBE"};
    std::vector<std::vector<std::string>> rows;
    rows.reserve(reports.size() + 1);
    for (const port_report &r : reports) {
        rows.push_back(row_of(r));
    }
    // The port's column always; the others where some port has a value.
    std::vector<std::size_t> shown{0};
    for (std::size_t c = 1; c < header.size(); ++c) {
        if (std::any_of(rows.begin(), rows.end(),
                        [c](const auto &row) { return !row[c].empty(); })) {
            shown.push_back(c);
        }
    }
    rows.insert(rows.begin(), header);
    std::vector<std::size_t> widths(header.size(), 0);
    for (const auto &row : rows) {
        for (const std::size_t c : shown) {
            widths[c] = std::max(widths[c], width_of(row[c]));
        }
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (const std::size_t c : shown) {
            const std::string cell = row[c].empty() ? "-" : row[c];
            line += cell;
            if (c != shown.back()) {
                line += std::string(widths[c] + 2 - width_of(cell), ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

int run_ports(const ports_request &request) {
    std::vector<port_record> ports;
    std::string error;
    if (!list_system_ports(request.listing, ports, error)) {
        std::fprintf(stderr, "kinetra: %s\n", error.c_str());
        return exit_failed;
    }
    add_named_ports(ports, request.names);
    std::vector<port_report> reports;
    bool streaming = false;
    for (port_record &p : ports) {
        port_report r{std::move(p), std::nullopt};
        if (request.probe) {
            r.probe = probe_port(r.port.name);
            streaming = streaming || r.probe->what == state::streaming;
        }
        reports.push_back(std::move(r));
    }
    if (request.json) {
        std::printf("%s\n", json_line(to_json(reports)).c_str());
    } else {
        std::fputs(format_table(reports).c_str(), stdout);
    }
    return request.probe && !streaming ? exit_failed : exit_ok;
}

} // namespace kinetra::tool
