// axis_read_upload: take what the port holds, pick the newest upload frame,
// verify it and copy its first 13 payload bytes to the caller.
#include "handle/handle.h"
#include "handle/messages.h"
#include "protocol/frame.h"
#include "upload/reception.h"
#include "upload/scan.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kinetra {
namespace {

// The bytes one call has read, as a window on the received stream, with a
// scan that runs over the stream as a whole. Making room drops what the scan
// has decided about and keeps only the undecided end, under 24 bytes (a
// frame cut off by the last read, or fewer than 6 bytes): a frame split by a
// refill is found whole, and the result is what one scan of every byte read
// would give. The chosen frame is copied aside when its bytes are dropped.
class receive_window {
  public:
    std::uint8_t *free_space() { return buffer_.data() + total_; }
    std::size_t free_size() const { return buffer_.size() - total_; }

    void added(std::size_t count) {
        total_ += count;
        scan_ = continue_scan(buffer_.data(), total_, scan_);
    }

    void make_room() {
        // std::copy rather than memcpy/memmove: fortified, those call the
        // *_chk helpers of libssp, which the Windows DLL must not link.
        if (scan_.best) {
            kept_length_ = scan_.best->length;
            const auto from = buffer_.begin() + static_cast<std::ptrdiff_t>(scan_.best->offset);
            std::copy_n(from, kept_length_, kept_.begin());
            scan_.best.reset();
        }
        if (scan_.next > 0) {
            std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(scan_.next),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(total_), buffer_.begin());
        }
        total_ -= scan_.next;
        scan_.next = 0;
    }

    // What the next read should wait for: the rest of a frame in flight or,
    // while no upload frame has been read at all, a shortest frame's worth
    // (the line may have handed over only the noise ahead of one).
    std::size_t missing() const {
        const std::size_t rest = bytes_to_complete(buffer_.data(), total_, scan_.next);
        if (rest > 0 || scan_.best || kept_length_ > 0) {
            return rest;
        }
        return frame_overhead; // an empty frame: head, tag, length, command, CRC
    }

    std::int32_t accept(axis_handle &handle, axis_upload &upload) const {
        if (scan_.best) {
            return accept_upload(handle, buffer_.data() + scan_.best->offset, scan_.best->length,
                                 upload);
        }
        return accept_upload(handle, kept_length_ > 0 ? kept_.data() : nullptr, kept_length_,
                             upload);
    }

  private:
    std::array<std::uint8_t, receive_buffer_size> buffer_;
    std::size_t total_ = 0;
    scan_progress scan_;
    std::array<std::uint8_t, max_scanned_frame> kept_;
    std::size_t kept_length_ = 0;
};

std::size_t read_into(const serial_port &serial, port_handle port, receive_window &window,
                      std::size_t max) {
    const io_result r = serial.read(port, window.free_space(), max);
    const std::size_t count = r.ok ? r.count : 0; // a failed read counts as empty
    window.added(count);
    return count;
}

// Up to five immediate reads; every empty (or failed) attempt is followed
// by a pause, the last one too. Stops at the first attempt that yields bytes.
std::size_t poll_port(const serial_port &serial, port_handle port, receive_window &window) {
    for (int attempt = 0; attempt < poll_attempts; ++attempt) {
        const std::size_t count = read_into(serial, port, window, window.free_size());
        if (count > 0) {
            return count;
        }
        serial.sleep_ms(poll_pause_ms);
    }
    return 0;
}

// A large batch may be only the oldest part of what the driver queued while
// nobody read (a tty hands over at most about 4095 bytes a read): read on,
// keeping the newest bytes, until a read comes back short.
void drain_backlog(const serial_port &serial, port_handle port, receive_window &window,
                   std::size_t last) {
    if (last < backlog_batch) {
        return;
    }
    (void)serial.set_timeouts(port, &backlog_read);
    for (int extra = 0; extra < max_backlog_reads && last >= backlog_batch; ++extra) {
        window.make_room();
        last = read_into(serial, port, window, window.free_size());
    }
}

// Bytes that end in the first part of a frame are a frame on its way: read
// exactly what it lacks, so that the newest frame is complete and the driver
// is left at a frame boundary for the next call. Bytes with no upload frame
// in them may be noise that arrived just ahead of one: wait for it the same
// way, a shortest frame at a time.
void finish_frame_in_flight(const serial_port &serial, port_handle port, receive_window &window) {
    bool timeouts_set = false;
    for (int read = 0; read < max_completion_reads; ++read) {
        const std::size_t missing = window.missing();
        if (missing == 0) {
            return;
        }
        if (missing > window.free_size()) {
            window.make_room();
        }
        if (!timeouts_set) {
            (void)serial.set_timeouts(port, &frame_rest_read);
            timeouts_set = true;
        }
        if (read_into(serial, port, window, missing) < missing) {
            return; // the rest did not come in time
        }
    }
}

std::int32_t read_upload(axis_handle *handle, axis_upload *upload) {
    if (handle == nullptr || upload == nullptr) {
        return AXIS_E_NULL;
    }
    return receive_upload(platform_serial, *handle, *upload);
}

} // namespace

std::int32_t receive_upload(const serial_port &serial, axis_handle &handle,
                            axis_upload &upload) noexcept {
    serial_timeouts kept;
    if (!serial.get_timeouts(handle.port, &kept)) {
        // Never write back a record the OS did not fill: restore what
        // axis_init set instead.
        kept = handle_timeouts;
    }
    receive_window window;
    (void)serial.set_timeouts(handle.port, &nonblocking_read);
    const std::size_t first = poll_port(serial, handle.port, window);
    if (first > 0) {
        drain_backlog(serial, handle.port, window, first);
        finish_frame_in_flight(serial, handle.port, window);
    }
    (void)serial.set_timeouts(handle.port, &kept);
    if (first == 0) {
        return AXIS_E_SILENT;
    }
    return window.accept(handle, upload);
}

std::int32_t accept_upload(axis_handle &handle, const std::uint8_t *frame_bytes, std::size_t length,
                           axis_upload &upload) noexcept {
    if (frame_bytes == nullptr) {
        set_error(handle, msg_no_upload);
        return AXIS_E_FRAME;
    }
    frame f;
    if (!decode_frame(frame_bytes, length, f)) {
        set_error(handle, msg_crc_failed);
        return AXIS_E_FRAME;
    }
    if (f.payload.size < upload_record_size) {
        set_error(handle, msg_short_payload);
        return AXIS_E_FRAME;
    }
    static_assert(sizeof(axis_upload) == upload_record_size);
    std::memcpy(&upload, f.payload.bytes.data(), upload_record_size);
    return AXIS_OK;
}

std::int32_t parse_upload(axis_handle &handle, const std::uint8_t *bytes, std::size_t total,
                          axis_upload &upload) noexcept {
    const auto chosen = scan_upload(bytes, total);
    return chosen ? accept_upload(handle, bytes + chosen->offset, chosen->length, upload)
                  : accept_upload(handle, nullptr, 0, upload);
}

} // namespace kinetra

extern "C" KINETRA_API int32_t KINETRA_CALL axis_read_upload(axis_handle *handle,
                                                             axis_upload *upload) {
    return kinetra::guarded(AXIS_E_FRAME, [&] { return kinetra::read_upload(handle, upload); });
}
