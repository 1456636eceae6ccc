#include "json_text.h"

namespace kinetra::tool {

std::string json_line(const json_value &value) {
    return value.dump(-1, ' ', false, json_value::error_handler_t::replace);
}

json_value upload_object(const axis_upload &up) {
    json_value tail = json_value::array();
    for (const std::uint8_t b : up.tail) {
        tail.push_back(b);
    }
    // Values, not references: the record is packed, its words unaligned.
    return json_value{{"byte0", static_cast<int>(up.byte0)},
                      {"word1", static_cast<int>(up.word1)},
                      {"word2", static_cast<int>(up.word2)},
                      {"word3", static_cast<int>(up.word3)},
                      {"tail", std::move(tail)}};
}

} // namespace kinetra::tool
