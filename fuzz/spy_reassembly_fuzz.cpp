// The spy's frame reassembly (tools/spy/stream_parser): one stream, in both
// directions, fed to one parser in the chunks a script gives and to another
// in one piece, then finished. Checked:
//   - before finish() and after it, both parsers have put out the same events
//     (kind, offset, raw bytes, decoded fields, CRC verdict and expected CRC),
//     in the same order, and hold the same (pending());
//   - after finish() the events are what a reference written apart gives: from
//     each byte on, a frame where the whole of one stands that this direction
//     carries (sound, or with a header it could carry), otherwise a byte of
//     noise; neighbouring noise bytes make one run;
//   - the raw bytes of all events, one after the other, are the stream, and
//     each event's offset is where its bytes stand in it;
//   - each event is dated by the reads that brought its first and last byte,
//     and counts the reads in between.
//
// Input: byte 0 gives the number of script bytes (1 to 16) that follow; the
// rest is the stream. Script byte i % n is the size of read i (0: an empty
// read); a script of zeros only delivers the stream in one read.
#include "reference.h"

#include "stream_parser.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using kinetra::fuzz::crc_bitwise;
using kinetra::fuzz::expect;
using kinetra::spy::direction;
using kinetra::spy::event_kind;
using kinetra::spy::stamp;
using kinetra::spy::stream_parser;
using kinetra::spy::wire_event;

struct span {
    event_kind kind;
    std::size_t offset;
    std::size_t size;
};

// The payload size each command towards the platform carries: three
// single-axis moves of 6 bytes, two three-axis moves of 18; 0 for any other.
std::size_t command_size(std::uint8_t cmd) {
    if (cmd >= 0xA1 && cmd <= 0xA3) {
        return 6;
    }
    if (cmd == 0xA4 || cmd == 0xA5) {
        return 18;
    }
    return 0;
}

// The length of the frame standing at `at` with `left` bytes to the end of
// the stream, or 0 where the byte at `at` is noise.
std::size_t reference_frame_at(direction dir, const std::uint8_t *at, std::size_t left) {
    if (left < 6 || at[1] != 0x01) {
        return 0;
    }
    const bool to_host = dir == direction::to_host;
    if (to_host && ((at[0] != 0x7A && at[0] != 0x7B) || at[2] > 18)) {
        return 0;
    }
    const std::size_t length = std::size_t{at[2]} + 6;
    if (length > left) {
        return 0;
    }
    const std::uint16_t on_wire =
        static_cast<std::uint16_t>(at[length - 2] | (at[length - 1] << 8));
    if (crc_bitwise(at, length - 2) == on_wire) {
        return length;
    }
    // A damaged frame still counts where its header is one this direction
    // carries: an upload towards the host, a known command of the right
    // length towards the platform.
    const bool could_carry =
        to_host ? at[3] == 0xF5 : command_size(at[3]) != 0 && command_size(at[3]) == at[2];
    return could_carry ? length : 0;
}

std::vector<span> reference_events(direction dir, const std::uint8_t *bytes, std::size_t n) {
    std::vector<span> out;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t length = reference_frame_at(dir, bytes + pos, n - pos);
        if (length != 0) {
            out.push_back({event_kind::frame, pos, length});
            pos += length;
        } else if (!out.empty() && out.back().kind == event_kind::noise) {
            ++out.back().size;
            ++pos;
        } else {
            out.push_back({event_kind::noise, pos, 1});
            ++pos;
        }
    }
    return out;
}

bool same_frame(const kinetra::frame &a, const kinetra::frame &b) {
    return a.head == b.head && a.tag == b.tag && a.len == b.len && a.cmd == b.cmd &&
           a.crc == b.crc && a.payload.size == b.payload.size &&
           std::equal(a.payload.bytes.begin(),
                      a.payload.bytes.begin() + static_cast<std::ptrdiff_t>(a.payload.size),
                      b.payload.bytes.begin());
}

// Everything about an event that the chunking must not change.
bool same_event(const wire_event &a, const wire_event &b) {
    if (a.dir != b.dir || a.kind != b.kind || a.offset != b.offset || a.raw != b.raw) {
        return false;
    }
    return a.kind == event_kind::noise ||
           (a.crc_ok == b.crc_ok && a.expected_crc == b.expected_crc &&
            same_frame(a.decoded, b.decoded));
}

bool same_events(const std::vector<wire_event> &a, const std::vector<wire_event> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_event);
}

// A frame event's fields against its own raw bytes.
void check_frame(const wire_event &e) {
    const std::vector<std::uint8_t> &raw = e.raw;
    expect(raw.size() >= 6 && raw.size() == std::size_t{raw[2]} + 6u,
           "a frame is as long as its length byte says");
    const kinetra::frame &f = e.decoded;
    expect(f.head == raw[0] && f.tag == raw[1] && f.len == raw[2] && f.cmd == raw[3],
           "decoded header");
    expect(f.payload.size == raw[2] &&
               std::equal(raw.begin() + 4, raw.end() - 2, f.payload.bytes.begin()),
           "decoded payload");
    const std::uint16_t on_wire =
        static_cast<std::uint16_t>(raw[raw.size() - 2] | (raw[raw.size() - 1] << 8));
    const std::uint16_t computed = crc_bitwise(raw.data(), raw.size() - 2);
    expect(f.crc == on_wire, "decoded CRC is the one on the wire");
    expect(e.expected_crc == computed, "expected CRC");
    expect(e.crc_ok == (computed == on_wire), "CRC verdict");
}

stamp stamp_of_read(std::size_t read) {
    return {static_cast<std::int64_t>(read) * 1000 + 7, static_cast<std::int64_t>(read) + 1};
}

// `read_of_byte[i]`: the read that brought byte i of the stream.
void check_dates(const wire_event &e, const std::vector<std::size_t> &read_of_byte) {
    const std::size_t first = read_of_byte[e.offset];
    const std::size_t last = read_of_byte[e.offset + e.raw.size() - 1];
    const stamp want_first = stamp_of_read(first);
    const stamp want_last = stamp_of_read(last);
    expect(e.first.mono_ns == want_first.mono_ns && e.first.wall_ns == want_first.wall_ns,
           "dated by the read that brought the first byte");
    expect(e.last.mono_ns == want_last.mono_ns && e.last.wall_ns == want_last.wall_ns,
           "dated by the read that brought the last byte");
    expect(e.reads == last - first + 1, "the reads the bytes came in");
}

void check_against_reference(direction dir, const std::vector<wire_event> &events,
                             const std::uint8_t *stream, std::size_t n) {
    const std::vector<span> want = reference_events(dir, stream, n);
    expect(events.size() == want.size(), "as many events as the reference");
    std::vector<std::uint8_t> joined;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const wire_event &e = events[i];
        expect(e.dir == dir, "direction");
        expect(e.kind == want[i].kind, "frame or noise, as the reference");
        expect(e.offset == want[i].offset && e.raw.size() == want[i].size,
               "where an event begins and ends, as the reference");
        expect(e.offset == joined.size(), "each event begins where the one before ended");
        joined.insert(joined.end(), e.raw.begin(), e.raw.end());
        if (e.kind == event_kind::frame) {
            check_frame(e);
        }
    }
    expect(joined.size() == n && std::equal(joined.begin(), joined.end(), stream),
           "the events' bytes are the stream: nothing lost, nothing invented");
}

void run(direction dir, const std::uint8_t *script, std::size_t script_size,
         const std::uint8_t *stream, std::size_t n) {
    std::vector<wire_event> whole_events;
    std::vector<wire_event> chunked_events;
    const auto to_whole = [&](const wire_event &e) { whole_events.push_back(e); };
    const auto to_chunked = [&](const wire_event &e) { chunked_events.push_back(e); };
    stream_parser whole(dir);
    stream_parser chunked(dir);

    const std::vector<std::size_t> whole_reads(n, 0);
    const std::vector<std::uint8_t> all(stream, stream + n);
    whole.feed(all.data(), all.size(), stamp_of_read(0), to_whole);

    const bool reads_nothing =
        std::all_of(script, script + script_size, [](std::uint8_t s) { return s == 0; });
    std::vector<std::size_t> chunked_reads(n);
    std::size_t pos = 0;
    std::size_t read = 0;
    std::size_t compared = 0;
    for (std::size_t step = 0; pos < n; ++step) {
        const std::size_t want = reads_nothing ? n : script[step % script_size];
        const std::size_t size = std::min(want, n - pos);
        // Each read in a buffer of its own size, so that reading past it trips ASan.
        const std::vector<std::uint8_t> buffer(stream + pos, stream + pos + size);
        chunked.feed(buffer.data(), buffer.size(), stamp_of_read(read), to_chunked);
        if (size != 0) {
            std::fill_n(chunked_reads.begin() + static_cast<std::ptrdiff_t>(pos), size, read);
            ++read;
        }
        pos += size;
        // What the chunks have given so far is what the whole stream gave.
        for (; compared < chunked_events.size(); ++compared) {
            expect(compared < whole_events.size() &&
                       same_event(chunked_events[compared], whole_events[compared]),
                   "while the chunks come, the events are those of the whole stream");
        }
    }
    expect(same_events(chunked_events, whole_events),
           "before finish(), chunked and whole put out the same events");
    expect(chunked.pending() == whole.pending(), "chunked and whole hold the same");

    chunked.finish(to_chunked);
    whole.finish(to_whole);
    expect(!chunked.pending() && !whole.pending(), "finish() leaves nothing held");
    expect(same_events(chunked_events, whole_events),
           "after finish(), chunked and whole put out the same events");

    check_against_reference(dir, whole_events, stream, n);
    for (const wire_event &e : chunked_events) {
        check_dates(e, chunked_reads);
    }
    for (const wire_event &e : whole_events) {
        check_dates(e, whole_reads);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t script_size = std::min<std::size_t>(data[0] % 16u + 1u, size - 1);
    const std::uint8_t *script = data + 1;
    const std::uint8_t *stream = data + 1 + script_size;
    const std::size_t n = size - 1 - script_size;
    run(direction::to_platform, script, script_size, stream, n);
    run(direction::to_host, script, script_size, stream, n);
    return 0;
}
