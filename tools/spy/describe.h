// What a frame or noise run means, for people (one text line) and for
// programs (one JSON object); both are made from the same fields.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "wire_event.h"

namespace kinetra::spy {

using json = nlohmann::ordered_json;

// "move", "command" (any other frame to the platform), "upload",
// "short-upload" (fewer payload bytes than the record needs), "frame" (any
// other frame to the host) or "noise".
std::string kind_of(const wire_event &e);

// The decoded content: head, cmd and words; empty for noise.
json fields_of(const wire_event &e);

// One JSON line: time, mono_ns, last_mono_ns, direction, kind, offset, size,
// reads, fields, raw,
// and crc_ok for frames.
json to_json(const wire_event &e);

// One line of the readable log, stamped with the local time.
std::string to_text(const wire_event &e);

std::string hex_of(const std::vector<std::uint8_t> &bytes);

// "2026-12-10T10:31:02.123456789Z" and "10:31:02.123456" (local time).
std::string utc_time(std::int64_t wall_ns);
std::string local_time(std::int64_t wall_ns);

} // namespace kinetra::spy
