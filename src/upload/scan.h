#pragma once

#include "handle/handle.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kinetra {

inline constexpr std::size_t max_upload_len = 18;
inline constexpr std::size_t upload_record_size = 13;

struct frame_span {
    std::size_t offset;
    std::size_t length;
};

// Finds the last complete upload frame the scan steps onto. A 0x7A/0x7B byte
// whose length byte (two further on) is at most 18 is taken as a frame head
// and the whole frame is stepped over, whatever its kind; a frame cut off at
// the end of the bytes ends the scan. The CRC is not looked at here.
std::optional<frame_span> scan_upload(const std::uint8_t *bytes, std::size_t total) noexcept;

// Everything after the reception: scan, verify, copy. `upload` is written
// only when the result is AXIS_OK; every AXIS_E_FRAME sets its message.
std::int32_t parse_upload(axis_handle &handle, const std::uint8_t *bytes, std::size_t total,
                          axis_upload &upload) noexcept;

} // namespace kinetra
