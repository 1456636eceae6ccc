#include "model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kinetra::sim {

const char *command_name(std::uint8_t cmd) {
    switch (cmd) {
    case CMD_MOVE_X: return "move X";
    case CMD_MOVE_Y: return "move Y";
    case CMD_MOVE_Z: return "move Z";
    case CMD_MOVE_XYZ_REL: return "move XYZ rel";
    case CMD_MOVE_XYZ_ABS: return "move XYZ abs";
    default: return "unknown";
    }
}

std::size_t command_payload_size(std::uint8_t cmd) {
    switch (cmd) {
    case CMD_MOVE_X:
    case CMD_MOVE_Y:
    case CMD_MOVE_Z: return 6;
    case CMD_MOVE_XYZ_REL:
    case CMD_MOVE_XYZ_ABS: return 18;
    default: return 0;
    }
}

namespace {

std::uint16_t word_at(const payload_bytes &payload, std::size_t offset) {
    return static_cast<std::uint16_t>(payload.bytes[offset] | (payload.bytes[offset + 1] << 8));
}

std::int16_t clamp_to_word(std::int32_t value) {
    return static_cast<std::int16_t>(std::clamp<std::int32_t>(
        value, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

void put_word(std::uint8_t *out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value & 0xFF);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

} // namespace

axis_words words_at(const payload_bytes &payload, std::size_t index) {
    const std::size_t base = index * 6;
    return {static_cast<std::int16_t>(word_at(payload, base)), word_at(payload, base + 2),
            word_at(payload, base + 4)};
}

std::array<std::uint8_t, upload_payload_size> upload_payload(const upload_state &state) {
    std::array<std::uint8_t, upload_payload_size> out{};
    out[0] = state.moving_bits;
    for (std::size_t axis = 0; axis < axis_count; ++axis) {
        put_word(&out[1 + 2 * axis], static_cast<std::uint16_t>(state.position[axis]));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        out[7 + i] = static_cast<std::uint8_t>((state.counter >> (8 * i)) & 0xFF);
    }
    return out; // bytes 11 and 12 stay zero
}

frame upload_frame(const upload_state &state) {
    frame f;
    f.head = HEAD_UPLOAD_A;
    f.tag = FRAME_TAG;
    f.len = static_cast<std::uint8_t>(upload_payload_size);
    f.cmd = FRAME_UPLOAD;
    const auto payload = upload_payload(state);
    std::copy(payload.begin(), payload.end(), f.payload.bytes.begin());
    f.payload.size = payload.size();
    return f;
}

bool platform_model::apply(const frame &f) {
    const std::size_t expected = command_payload_size(f.cmd);
    if (expected == 0 || f.payload.size != expected) {
        return false;
    }
    switch (f.cmd) {
    case CMD_MOVE_X:
    case CMD_MOVE_Y:
    case CMD_MOVE_Z:
        target_[static_cast<std::size_t>(f.cmd - CMD_MOVE_X)] = words_at(f.payload, 0).target;
        break;
    case CMD_MOVE_XYZ_ABS:
        for (std::size_t axis = 0; axis < axis_count; ++axis) {
            target_[axis] = words_at(f.payload, axis).target;
        }
        break;
    default: // CMD_MOVE_XYZ_REL: an offset from the current targets
        for (std::size_t axis = 0; axis < axis_count; ++axis) {
            target_[axis] = clamp_to_word(std::int32_t{target_[axis]} +
                                          std::int32_t{words_at(f.payload, axis).target});
        }
        break;
    }
    return true;
}

void platform_model::advance(double seconds) {
    const double step = speed_ * std::max(seconds, 0.0);
    for (std::size_t axis = 0; axis < axis_count; ++axis) {
        const double goal = target_[axis];
        double &at = position_[axis];
        at = at < goal ? std::min(at + step, goal) : std::max(at - step, goal);
    }
}

std::int16_t platform_model::position(std::size_t axis) const {
    return clamp_to_word(static_cast<std::int32_t>(std::lround(position_[axis])));
}

upload_state platform_model::next_upload() {
    upload_state state;
    for (std::size_t axis = 0; axis < axis_count; ++axis) {
        state.position[axis] = position(axis);
        if (moving(axis)) {
            state.moving_bits = static_cast<std::uint8_t>(state.moving_bits | (1U << axis));
        }
    }
    state.counter = uploads_++;
    return state;
}

} // namespace kinetra::sim
