// The bench tool's JSON output, written with nlohmann/json.
#pragma once

#include <string>

#include <kinetra.h>
#include <nlohmann/json.hpp>

namespace kinetra::tool {

// Keys keep the order they were added in, so that the output reads the same
// run after run and the way the README shows it.
using json_value = nlohmann::ordered_json;

// The value as one line of JSON. Text stays raw UTF-8 (the library's Chinese
// messages are not turned into \u escapes); control characters are escaped;
// bytes that are not UTF-8 (a USB descriptor can hold anything) become U+FFFD.
std::string json_line(const json_value &value);

// One upload: byte0, word1..3 (signed), tail[6].
json_value upload_object(const axis_upload &up);

} // namespace kinetra::tool
