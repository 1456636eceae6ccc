// The five move exports. Each judges its target words against the window,
// packs them little-endian and sends one frame; nothing is read back.
#include "handle/handle.h"
#include "motion/window.h"
#include "protocol/send_command.h"

#include <cstddef>
#include <cstdint>

namespace kinetra {
namespace {

inline constexpr std::uint8_t CMD_MOVE_X = 0xA1;
inline constexpr std::uint8_t CMD_MOVE_Y = 0xA2;
inline constexpr std::uint8_t CMD_MOVE_Z = 0xA3;
inline constexpr std::uint8_t CMD_MOVE_XYZ_REL = 0xA4;
inline constexpr std::uint8_t CMD_MOVE_XYZ_ABS = 0xA5;

enum class axis { x, y, z };

std::uint8_t *put_word(std::uint8_t *p, std::uint16_t word) {
    p[0] = static_cast<std::uint8_t>(word & 0xFFu);
    p[1] = static_cast<std::uint8_t>(word >> 8);
    return p + 2;
}

std::uint8_t *put_motion(std::uint8_t *p, const axis_motion &m) {
    p = put_word(p, static_cast<std::uint16_t>(m.target));
    p = put_word(p, m.aux1);
    return put_word(p, m.aux2);
}

// The point a single-axis move is judged as: its target on its own axis and
// 0 on the two others, so another axis whose window excludes 0 refuses it.
std::int32_t single_axis_move(axis_handle *handle, axis moving, std::uint8_t cmd,
                              const axis_motion &m) {
    if (handle == nullptr) {
        return AXIS_E_NULL;
    }
    const std::int16_t x = moving == axis::x ? m.target : std::int16_t{0};
    const std::int16_t y = moving == axis::y ? m.target : std::int16_t{0};
    const std::int16_t z = moving == axis::z ? m.target : std::int16_t{0};
    if (!check_window(*handle, x, y, z)) {
        return AXIS_E_REFUSED;
    }
    std::uint8_t payload[6];
    put_motion(payload, m);
    return send_command(*handle, cmd, payload, sizeof payload);
}

// Absolute and relative moves differ only in their code: the relative
// targets are judged as given, since the library keeps no position.
std::int32_t three_axis_move(axis_handle *handle, std::uint8_t cmd, const axis_motion *x,
                             const axis_motion *y, const axis_motion *z) {
    if (handle == nullptr || x == nullptr || y == nullptr || z == nullptr) {
        return AXIS_E_NULL;
    }
    if (!check_window(*handle, x->target, y->target, z->target)) {
        return AXIS_E_REFUSED;
    }
    std::uint8_t payload[18];
    put_motion(put_motion(put_motion(payload, *x), *y), *z);
    return send_command(*handle, cmd, payload, sizeof payload);
}

std::int32_t guarded_single(axis_handle *handle, axis moving, std::uint8_t cmd, std::int16_t target,
                            std::uint16_t aux1, std::uint16_t aux2) {
    return guarded(AXIS_E_REFUSED, [&] {
        return single_axis_move(handle, moving, cmd, axis_motion{target, aux1, aux2});
    });
}

} // namespace
} // namespace kinetra

extern "C" {

KINETRA_API int32_t KINETRA_CALL axis_x_move(axis_handle *handle, int16_t target, uint16_t aux1,
                                             uint16_t aux2) {
    return kinetra::guarded_single(handle, kinetra::axis::x, kinetra::CMD_MOVE_X, target, aux1,
                                   aux2);
}

KINETRA_API int32_t KINETRA_CALL axis_y_move(axis_handle *handle, int16_t target, uint16_t aux1,
                                             uint16_t aux2) {
    return kinetra::guarded_single(handle, kinetra::axis::y, kinetra::CMD_MOVE_Y, target, aux1,
                                   aux2);
}

KINETRA_API int32_t KINETRA_CALL axis_z_move(axis_handle *handle, int16_t target, uint16_t aux1,
                                             uint16_t aux2) {
    return kinetra::guarded_single(handle, kinetra::axis::z, kinetra::CMD_MOVE_Z, target, aux1,
                                   aux2);
}

KINETRA_API int32_t KINETRA_CALL axis_xyz_abs_move(axis_handle *handle, const axis_motion *x,
                                                   const axis_motion *y, const axis_motion *z) {
    return kinetra::guarded(AXIS_E_REFUSED, [&] {
        return kinetra::three_axis_move(handle, kinetra::CMD_MOVE_XYZ_ABS, x, y, z);
    });
}

KINETRA_API int32_t KINETRA_CALL axis_xyz_rel_move(axis_handle *handle, const axis_motion *x,
                                                   const axis_motion *y, const axis_motion *z) {
    return kinetra::guarded(AXIS_E_REFUSED, [&] {
        return kinetra::three_axis_move(handle, kinetra::CMD_MOVE_XYZ_REL, x, y, z);
    });
}

} // extern "C"
