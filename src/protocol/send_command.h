#pragma once

#include "handle/handle.h"

#include <cstddef>
#include <cstdint>

namespace kinetra {

// Sends one frame stamped with the handle's head byte, in one write. Returns
// the count of bytes written (possibly short after a write timeout), or
// AXIS_E_REFUSED with "串口发送失败" when the write failed or sent nothing.
// `length` is at most max_payload.
std::int32_t send_command(axis_handle &handle, std::uint8_t cmd, const std::uint8_t *payload,
                          std::size_t length) noexcept;

} // namespace kinetra
