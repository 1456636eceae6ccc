#include "describe.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "model.h"
#include "upload/scan.h"

namespace kinetra::spy {

namespace {

std::int16_t signed_word(const payload_bytes &p, std::size_t at) {
    return static_cast<std::int16_t>(p.bytes[at] | (p.bytes[at + 1] << 8));
}

const char *single_axis_name(std::uint8_t cmd) {
    switch (cmd) {
    case sim::CMD_MOVE_X: return "X";
    case sim::CMD_MOVE_Y: return "Y";
    default: return "Z";
    }
}

json move_fields(const frame &f) {
    json axes = json::object();
    if (f.payload.size == 6) {
        const sim::axis_words w = sim::words_at(f.payload, 0);
        axes[single_axis_name(f.cmd)] = {{"target", w.target}, {"aux1", w.aux1}, {"aux2", w.aux2}};
    } else {
        static constexpr const char *names[] = {"X", "Y", "Z"};
        for (std::size_t i = 0; i < std::size(names); ++i) {
            const sim::axis_words w = sim::words_at(f.payload, i);
            axes[names[i]] = {{"target", w.target}, {"aux1", w.aux1}, {"aux2", w.aux2}};
        }
    }
    return {{"command", sim::command_name(f.cmd)}, {"axes", axes}};
}

json upload_fields(const frame &f) {
    const payload_bytes &p = f.payload;
    json tail = json::array();
    for (std::size_t i = 7; i < upload_record_size; ++i) {
        tail.push_back(p.bytes[i]);
    }
    return {{"byte0", p.bytes[0]},
            {"word1", signed_word(p, 1)},
            {"word2", signed_word(p, 3)},
            {"word3", signed_word(p, 5)},
            {"tail", tail}};
}

// ISO 8601 in UTC with nanoseconds, or local time of day with microseconds.
std::string format_time(std::int64_t wall_ns, bool utc) {
    const std::time_t seconds = static_cast<std::time_t>(wall_ns / 1'000'000'000);
    const long nanoseconds = static_cast<long>(wall_ns % 1'000'000'000);
    std::tm parts{};
    char text[48];
    if (utc) {
#ifdef _WIN32
        (void)::gmtime_s(&parts, &seconds);
#else
        (void)::gmtime_r(&seconds, &parts);
#endif
        const std::size_t used = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        std::snprintf(text + used, sizeof text - used, ".%09ldZ", nanoseconds);
    } else {
#ifdef _WIN32
        (void)::localtime_s(&parts, &seconds);
#else
        (void)::localtime_r(&seconds, &parts);
#endif
        const std::size_t used = std::strftime(text, sizeof text, "%H:%M:%S", &parts);
        std::snprintf(text + used, sizeof text - used, ".%06ld", nanoseconds / 1000);
    }
    return text;
}

std::string axes_text(const json &axes) {
    std::string text;
    for (const auto &[name, w] : axes.items()) {
        text += " " + name + "[target " + w["target"].dump() + " aux1 " + w["aux1"].dump() +
                " aux2 " + w["aux2"].dump() + "]";
    }
    return text;
}

std::string upload_text(const json &f) {
    std::string text = " byte0 " + f["byte0"].dump() + " words " + f["word1"].dump() + " " +
                       f["word2"].dump() + " " + f["word3"].dump() + " tail";
    for (const auto &b : f["tail"]) {
        char octet[4];
        std::snprintf(octet, sizeof octet, " %02X", b.get<unsigned>());
        text += octet;
    }
    return text;
}

std::string crc_text(const wire_event &e) {
    if (e.crc_ok) {
        return " CRC good";
    }
    char text[48];
    std::snprintf(text, sizeof text, " CRC BAD (0x%04X, should be 0x%04X)", e.decoded.crc,
                  e.expected_crc);
    return text;
}

} // namespace

const char *direction_name(direction dir) {
    return dir == direction::to_platform ? "host->platform" : "platform->host";
}

std::string kind_of(const wire_event &e) {
    if (e.kind == event_kind::noise) {
        return "noise";
    }
    const frame &f = e.decoded;
    if (e.dir == direction::to_platform) {
        const std::size_t size = sim::command_payload_size(f.cmd);
        return size != 0 && size == f.len ? "move" : "command";
    }
    if (f.cmd != FRAME_UPLOAD) {
        return "frame";
    }
    return f.len >= upload_record_size ? "upload" : "short-upload";
}

json fields_of(const wire_event &e) {
    if (e.kind == event_kind::noise) {
        return json::object();
    }
    const frame &f = e.decoded;
    json fields = {{"head", f.head}, {"tag", f.tag}, {"len", f.len}, {"cmd", f.cmd}};
    const std::string kind = kind_of(e);
    if (kind == "move") {
        fields.update(move_fields(f));
    } else if (kind == "upload") {
        fields.update(upload_fields(f));
    }
    fields["crc"] = f.crc;
    return fields;
}

json to_json(const wire_event &e) {
    json line = {{"time", utc_time(e.first.wall_ns)},
                 {"mono_ns", e.first.mono_ns},
                 {"last_mono_ns", e.last.mono_ns},
                 {"direction", direction_name(e.dir)},
                 {"kind", kind_of(e)},
                 {"offset", e.offset},
                 {"size", e.raw.size()},
                 {"reads", e.reads},
                 {"fields", fields_of(e)},
                 {"raw", hex_of(e.raw)}};
    if (e.kind == event_kind::frame) {
        line["crc_ok"] = e.crc_ok;
    }
    return line;
}

std::string to_text(const wire_event &e) {
    std::string text = local_time(e.first.wall_ns) + " " + direction_name(e.dir) + " ";
    if (e.kind == event_kind::noise) {
        return text + "noise " + std::to_string(e.raw.size()) + " byte(s): " + hex_of(e.raw);
    }
    const json f = fields_of(e);
    char header[64];
    std::snprintf(header, sizeof header, "head 0x%02X cmd 0x%02X len %u", e.decoded.head,
                  e.decoded.cmd, e.decoded.len);
    const std::string kind = kind_of(e);
    if (kind == "move") {
        text += f["command"].get<std::string>() + " " + header + axes_text(f["axes"]);
    } else if (kind == "upload") {
        text += "upload " + std::string(header) + upload_text(f);
    } else {
        text += kind + " " + header + " payload " +
                hex_of(std::vector<std::uint8_t>(e.raw.begin() + 4, e.raw.end() - 2));
    }
    text += crc_text(e);
    if (e.reads > 1) {
        text += " (in " + std::to_string(e.reads) + " reads)";
    }
    return text;
}

std::string hex_of(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t b : bytes) {
        char octet[4];
        std::snprintf(octet, sizeof octet, "%s%02X", text.empty() ? "" : " ", b);
        text += octet;
    }
    return text;
}

std::string utc_time(std::int64_t wall_ns) { return format_time(wall_ns, true); }

std::string local_time(std::int64_t wall_ns) { return format_time(wall_ns, false); }

} // namespace kinetra::spy
