#pragma once

#include "handle/handle.h"

#include <cstdint>

namespace kinetra {

// Judges a point against the handle's soft-limit window (inclusive bounds,
// signed, axes in the order X, Y, Z). On refusal the error text names the
// first axis outside its window. A handle without a window accepts all.
bool check_window(axis_handle &handle, std::int16_t x, std::int16_t y, std::int16_t z) noexcept;

} // namespace kinetra
