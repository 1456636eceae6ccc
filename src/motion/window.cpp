#include "window.h"

#include "handle/messages.h"

namespace kinetra {
namespace {

bool inside(std::int16_t value, std::int32_t max, std::int32_t min) {
    const std::int32_t wide = value;
    return wide <= max && wide >= min;
}

} // namespace

bool check_window(axis_handle &handle, std::int16_t x, std::int16_t y, std::int16_t z) noexcept {
    if (!handle.limits_enabled) {
        return true;
    }
    const axis_limits &w = handle.limits;
    if (!inside(x, w.x_max, w.x_min)) {
        set_error(handle, msg_x_limit);
        return false;
    }
    if (!inside(y, w.y_max, w.y_min)) {
        set_error(handle, msg_y_limit);
        return false;
    }
    if (!inside(z, w.z_max, w.z_min)) {
        set_error(handle, msg_z_limit);
        return false;
    }
    return true;
}

} // namespace kinetra
