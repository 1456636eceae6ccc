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
    return json_value{{"byte0", up.byte0},
                      {"word1", up.word1},
                      {"word2", up.word2},
                      {"word3", up.word3},
                      {"tail", std::move(tail)}};
}

} // namespace kinetra::tool
