// axis_read_upload's reception over a scripted driver: the bytes arrive in
// chunks, and each read takes what has arrived, at most 4095 bytes as a tty
// hands over. Compared with a reference of the reading rules:
//   - the poll: up to five immediate reads, a pause after each empty one;
//   - a read of 2048 bytes or more is followed by reads of up to 5 ms until
//     one brings less, 64 at most;
//   - bytes ending in the first part of a frame are followed by reads of
//     exactly what the frame lacks (20 ms), and bytes with no upload frame by
//     reads of a shortest frame, four at most, until one is short;
//   - the record is what one scan of every byte read gives;
//   - the port's timeouts are put back as they were.
//
// Input: byte 0 gives the number of script bytes (1 to 16) that follow; the
// rest is the stream. Script byte i % n says what arrives before read i:
// 0x00-0x7E: that value & 0x1F bytes, or (value & 0x7F) × 64 from 0x80 up;
// 0x7F: the read fails.
#include "reference.h"

#include "serial/serial_port.h"
#include "upload/reception.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using kinetra::serial_timeouts;
using kinetra::fuzz::expect;

constexpr std::size_t tty_read_limit = 4095;
constexpr std::uint8_t failing_read = 0x7F;

struct read_record {
    std::size_t asked = 0;
    std::size_t got = 0;
    bool ok = true;
    serial_timeouts timeouts;
};

struct scripted_driver {
    const std::uint8_t *script = nullptr;
    std::size_t script_size = 0;
    const std::uint8_t *stream = nullptr;
    std::size_t stream_size = 0;
    std::size_t arrived = 0; // bytes of the stream the driver has received
    std::size_t taken = 0;   // of them, bytes handed to the library
    serial_timeouts timeouts{11, 22, 33, 44, 55};
    std::vector<read_record> reads;
    std::vector<std::uint8_t> handed;
    int pauses = 0;
};

scripted_driver driver;

std::uint8_t script_for(std::size_t read) { return driver.script[read % driver.script_size]; }

std::size_t arrival(std::uint8_t s) { return s < 0x80 ? s & 0x1Fu : (s & 0x7Fu) * 64u; }

bool get_timeouts(kinetra::port_handle, serial_timeouts *t) {
    *t = driver.timeouts;
    return true;
}

bool set_timeouts(kinetra::port_handle, const serial_timeouts *t) {
    driver.timeouts = *t;
    return true;
}

kinetra::io_result read(kinetra::port_handle, std::uint8_t *buffer, std::size_t max) {
    const std::uint8_t s = script_for(driver.reads.size());
    read_record r{max, 0, s != failing_read, driver.timeouts};
    if (r.ok) {
        driver.arrived = std::min(driver.stream_size, driver.arrived + arrival(s));
        r.got = std::min({max, driver.arrived - driver.taken, tty_read_limit});
        std::memcpy(buffer, driver.stream + driver.taken, r.got);
        driver.handed.insert(driver.handed.end(), buffer, buffer + r.got);
        driver.taken += r.got;
    }
    driver.reads.push_back(r);
    return {r.ok, r.got};
}

void sleep_ms(std::uint32_t) { ++driver.pauses; }

const kinetra::serial_port scripted = {
    nullptr, nullptr, nullptr, get_timeouts, set_timeouts, read,
    nullptr, nullptr, nullptr, sleep_ms,     nullptr,      nullptr,
};

bool same(const serial_timeouts &a, const serial_timeouts &b) {
    return a.read_interval == b.read_interval &&
           a.read_total_multiplier == b.read_total_multiplier &&
           a.read_total_constant == b.read_total_constant &&
           a.write_total_multiplier == b.write_total_multiplier &&
           a.write_total_constant == b.write_total_constant;
}

constexpr serial_timeouts immediate{0xFFFFFFFFu, 0, 0, 0, 0};
constexpr serial_timeouts backlog{0, 0, 5, 0, 0};
constexpr serial_timeouts frame_rest{0, 0, 20, 0, 0};

// Walks the reads the library made and checks each against the rules.
void check_reads() {
    const auto &reads = driver.reads;
    std::size_t i = 0;
    // The poll.
    while (i < reads.size() && reads[i].got == 0) {
        expect(same(reads[i].timeouts, immediate), "a poll read is immediate");
        ++i;
    }
    expect(i <= 5, "at most five poll reads");
    expect(driver.pauses == static_cast<int>(std::min<std::size_t>(i, 5)),
           "a pause after every empty poll read, none after the one that brought bytes");
    if (i == reads.size()) {
        expect(i == 5, "a silent port is polled five times");
        return;
    }
    expect(same(reads[i].timeouts, immediate), "a poll read is immediate");
    std::size_t last = reads[i].got;
    std::size_t handed = last;
    ++i;
    // The backlog.
    int backlog_reads = 0;
    while (last >= 2048 && backlog_reads < 64) {
        expect(i < reads.size(), "a large batch is followed by another read");
        expect(same(reads[i].timeouts, backlog), "a backlog read waits 5 ms");
        expect(reads[i].asked >= 4096 - 23, "a backlog read refills the buffer");
        last = reads[i].got;
        handed += last;
        ++backlog_reads;
        ++i;
    }
    // The frame in flight.
    for (int completion = 0; completion < 4; ++completion) {
        const std::uint8_t *bytes = driver.handed.data();
        std::size_t missing = kinetra::fuzz::reference_missing(bytes, handed);
        if (missing == 0 && !kinetra::fuzz::reference_has_upload(bytes, handed)) {
            missing = 6;
        }
        if (missing == 0) {
            break;
        }
        expect(i < reads.size(), "a frame cut off at the end is waited for");
        expect(same(reads[i].timeouts, frame_rest), "the rest of a frame is waited for 20 ms");
        expect(reads[i].asked == missing, "exactly the bytes the frame lacks are read");
        handed += reads[i].got;
        ++i;
        if (reads[i - 1].got < missing) {
            break;
        }
    }
    expect(i == reads.size(), "no other read");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t script_size = std::min<std::size_t>(data[0] % 16u + 1u, size - 1);
    driver = scripted_driver{};
    driver.script = data + 1;
    driver.script_size = script_size;
    driver.stream = data + 1 + script_size;
    driver.stream_size = size - 1 - script_size;
    const serial_timeouts before = driver.timeouts;

    axis_handle handle;
    handle.error_text = "an earlier message";
    axis_upload record;
    std::memset(&record, 0xA5, sizeof record);
    const std::int32_t code = kinetra::receive_upload(scripted, handle, record);

    expect(same(driver.timeouts, before), "the port's timeouts are put back");
    check_reads();
    if (driver.handed.empty()) {
        expect(code == AXIS_E_SILENT, "nothing read is -8");
        expect(handle.error_text == "an earlier message", "-8 leaves the text alone");
        return 0;
    }
    const kinetra::fuzz::outcome want =
        kinetra::fuzz::reference_parse(driver.handed.data(), driver.handed.size());
    expect(code == want.code, "result code: what one scan of every byte read gives");
    unsigned char got_record[sizeof record];
    std::memcpy(got_record, &record, sizeof record);
    if (want.code == 0) {
        expect(std::memcmp(got_record, want.record.data(), sizeof got_record) == 0,
               "record bytes of the newest frame");
    } else {
        expect(handle.error_text == want.message, "error text");
    }
    return 0;
}
