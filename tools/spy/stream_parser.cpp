#include "stream_parser.h"

#include <algorithm>
#include <iterator>

#include "model.h"
#include "upload/scan.h"

namespace kinetra::spy {

namespace {

constexpr std::size_t header_size = 4;

bool is_upload_head(std::uint8_t b) { return b == HEAD_UPLOAD_A || b == HEAD_UPLOAD_B; }

// A frame whose CRC fails is still shown as a frame when its header is one
// this direction carries; any other header is taken for noise.
bool header_is_plausible(direction dir, const frame &f) {
    if (dir == direction::to_platform) {
        const std::size_t expected = sim::command_payload_size(f.cmd);
        return expected != 0 && expected == f.len;
    }
    return f.cmd == FRAME_UPLOAD;
}

} // namespace

stream_parser::verdict stream_parser::judge(const std::uint8_t *at, std::size_t available,
                                            wire_event &e) const {
    if (available < header_size) {
        return verdict::wait;
    }
    // Towards the platform the head byte is whatever the host chose; towards
    // the host it is one of the two the library accepts, as in its own scan.
    if (at[1] != FRAME_TAG ||
        (dir_ == direction::to_host && (!is_upload_head(at[0]) || at[2] > max_upload_len))) {
        return verdict::noise;
    }
    const std::size_t total = std::size_t{at[2]} + frame_overhead;
    if (available < total) {
        return verdict::wait;
    }
    e.crc_ok = decode_frame(at, total, e.decoded);
    if (!e.crc_ok && !header_is_plausible(dir_, e.decoded)) {
        return verdict::noise;
    }
    e.expected_crc = crc16_modbus(at, total - 2);
    e.raw.assign(at, at + total);
    return verdict::frame;
}

void stream_parser::feed(const std::uint8_t *bytes, std::size_t n, stamp when, const sink &out) {
    if (n == 0) {
        return;
    }
    marks_.push_back({buffer_offset_ + buffer_.size(), when});
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    process(out);
}

void stream_parser::process(const sink &out) {
    std::size_t pos = 0;
    while (pos < buffer_.size()) {
        wire_event e;
        const verdict v = judge(buffer_.data() + pos, buffer_.size() - pos, e);
        if (v == verdict::wait) {
            break;
        }
        if (v == verdict::noise) {
            add_noise(buffer_offset_ + pos, buffer_[pos]);
            ++pos;
            continue;
        }
        flush_noise(out);
        e.dir = dir_;
        e.kind = event_kind::frame;
        e.offset = buffer_offset_ + pos;
        date(e);
        out(e);
        pos += e.raw.size();
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    buffer_offset_ += pos;
    forget_marks_before(noise_.empty() ? buffer_offset_ : noise_offset_);
}

void stream_parser::add_noise(std::uint64_t offset, std::uint8_t b) {
    if (noise_.empty()) {
        noise_offset_ = offset;
    }
    noise_.push_back(b);
}

void stream_parser::flush_noise(const sink &out) {
    if (noise_.empty()) {
        return;
    }
    wire_event e;
    e.dir = dir_;
    e.kind = event_kind::noise;
    e.offset = noise_offset_;
    e.raw = std::move(noise_);
    noise_.clear();
    date(e);
    out(e);
}

void stream_parser::resync(const sink &out) {
    if (!buffer_.empty()) {
        add_noise(buffer_offset_, buffer_.front());
        buffer_.erase(buffer_.begin());
        ++buffer_offset_;
        process(out);
    }
    if (buffer_.empty()) {
        flush_noise(out);
    }
}

void stream_parser::finish(const sink &out) {
    while (!buffer_.empty()) {
        resync(out);
    }
    flush_noise(out);
}

void stream_parser::date(wire_event &e) const {
    const std::uint64_t first = e.offset;
    const std::uint64_t last = e.offset + e.raw.size() - 1;
    const auto after = [](std::uint64_t offset, const chunk_mark &m) { return offset < m.offset; };
    const auto first_mark = std::upper_bound(marks_.begin(), marks_.end(), first, after) - 1;
    const auto last_mark = std::upper_bound(marks_.begin(), marks_.end(), last, after) - 1;
    e.first = first_mark->when;
    e.last = last_mark->when;
    e.reads = static_cast<std::size_t>(std::distance(first_mark, last_mark)) + 1;
}

void stream_parser::forget_marks_before(std::uint64_t offset) {
    // Keep the mark covering `offset`: its read brought the oldest byte held.
    const auto after = [](std::uint64_t o, const chunk_mark &m) { return o < m.offset; };
    auto keep = std::upper_bound(marks_.begin(), marks_.end(), offset, after);
    if (keep != marks_.begin()) {
        --keep;
    }
    marks_.erase(marks_.begin(), keep);
}

} // namespace kinetra::spy
