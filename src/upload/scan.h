#pragma once

#include "handle/handle.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kinetra {

inline constexpr std::size_t max_upload_len = 18;
inline constexpr std::size_t upload_record_size = 13;
// The longest frame the scan takes as one: head, tag, len, cmd, 18, CRC.
inline constexpr std::size_t max_scanned_frame = max_upload_len + 6;

struct frame_span {
    std::size_t offset;
    std::size_t length;
};

// How far a scan has come: the frame chosen so far, and the first byte it has
// not decided about yet. Everything before `next` has been stepped over.
struct scan_progress {
    std::optional<frame_span> best;
    std::size_t next = 0;
};

// Finds the last complete upload frame the scan steps onto. A 0x7A/0x7B byte
// whose length byte (two further on) is at most 18 is taken as a frame head
// and the whole frame is stepped over, whatever its kind; a frame cut off at
// the end of the bytes ends the scan. The CRC is not looked at here.
std::optional<frame_span> scan_upload(const std::uint8_t *bytes, std::size_t total) noexcept;

// The same scan, resumed at `from.next` over bytes that have grown since: the
// result is what one scan of all the bytes would give. It stops at a frame
// cut off by the end or with fewer than 6 bytes left, and `next` says where.
scan_progress continue_scan(const std::uint8_t *bytes, std::size_t total,
                            scan_progress from) noexcept;

// How many more bytes would let a scan that stopped at `next` decide about
// the bytes it left at the end: the rest of a frame whose head has arrived
// (at least up to a shortest frame while its length byte is still missing).
// 0 when none of those bytes can begin a frame.
std::size_t bytes_to_complete(const std::uint8_t *bytes, std::size_t total,
                              std::size_t next) noexcept;

// Everything after the reception: scan, verify, copy. `upload` is written
// only when the result is AXIS_OK; every AXIS_E_FRAME sets its message.
std::int32_t parse_upload(axis_handle &handle, const std::uint8_t *bytes, std::size_t total,
                          axis_upload &upload) noexcept;

// Verifies one chosen frame (null: none was found) and copies its record.
std::int32_t accept_upload(axis_handle &handle, const std::uint8_t *frame_bytes, std::size_t length,
                           axis_upload &upload) noexcept;

} // namespace kinetra
