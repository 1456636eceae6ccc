// Arbitrary received bytes through the whole upload path after the read:
// the scan, the CRC check and the copy into the caller's record. Each result
// is compared with a reference that follows the frame rules step by step.
#include "reference.h"

#include "upload/scan.h"

#include <array>
#include <cstring>
#include <string>

namespace {

using kinetra::fuzz::crc_bitwise;
using kinetra::fuzz::expect;

struct scan_result {
    bool found = false;
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The scan exactly as the wire rules state it: a 0x7A/0x7B byte whose length
// byte two further on is at most 18 is a frame head; a frame cut off by the
// end of the bytes stops the scan; a complete frame is stepped over whole,
// and the last complete one of kind 0xF5 is chosen.
scan_result reference_scan(const std::uint8_t *bytes, std::size_t total) {
    scan_result best;
    if (total < 6) {
        return best;
    }
    std::size_t pos = 0;
    for (;;) {
        const bool head = bytes[pos] == 0x7A || bytes[pos] == 0x7B;
        if (head && bytes[pos + 2] <= 18) {
            const std::size_t length = std::size_t{bytes[pos + 2]} + 6;
            if (pos + length > total) {
                break;
            }
            if (bytes[pos + 3] == 0xF5) {
                best.found = true;
                best.offset = pos;
                best.length = length;
            }
            pos = pos + length;
        } else {
            pos = pos + 1;
        }
        if (pos + 6 > total) {
            break;
        }
    }
    return best;
}

struct outcome {
    std::int32_t code = 0;
    const char *message = nullptr; // null: the text must stay as it was
    std::array<std::uint8_t, 13> record{};
};

outcome reference_parse(const std::uint8_t *bytes, std::size_t total) {
    const scan_result chosen = reference_scan(bytes, total);
    if (!chosen.found) {
        return {-7, "未找到上传帧", {}};
    }
    const std::uint8_t *f = bytes + chosen.offset;
    const std::size_t len = f[2];
    const std::uint16_t on_wire = static_cast<std::uint16_t>(f[4 + len] | (f[5 + len] << 8));
    if (crc_bitwise(f, 4 + len) != on_wire) {
        return {-7, "CRC校验失败", {}};
    }
    if (len < 13) {
        return {-7, "载荷不足", {}};
    }
    outcome ok{0, nullptr, {}};
    for (std::size_t i = 0; i < 13; ++i) {
        ok.record[i] = f[4 + i];
    }
    return ok;
}

constexpr const char *earlier_text = "an earlier message";
constexpr std::uint8_t untouched = 0xA5;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const scan_result want_scan = reference_scan(data, size);
    const auto got_scan = kinetra::scan_upload(data, size);
    expect(got_scan.has_value() == want_scan.found, "whether the scan finds a frame");
    if (got_scan) {
        expect(got_scan->offset == want_scan.offset, "offset of the chosen frame");
        expect(got_scan->length == want_scan.length, "length of the chosen frame");
    }

    axis_handle handle;
    handle.error_text = earlier_text;
    axis_upload record;
    std::memset(&record, untouched, sizeof record);

    const std::int32_t code = kinetra::parse_upload(handle, data, size, record);
    const outcome want = reference_parse(data, size);

    expect(code == want.code, "result code");
    unsigned char got_record[sizeof record];
    std::memcpy(got_record, &record, sizeof record);
    if (want.code == 0) {
        expect(handle.error_text == earlier_text, "a success leaves the error text alone");
        expect(std::memcmp(got_record, want.record.data(), sizeof got_record) == 0, "record bytes");
    } else {
        expect(handle.error_text == want.message, "error text");
        for (unsigned char b : got_record) {
            expect(b == untouched, "a failure leaves the record untouched");
        }
    }
    return 0;
}
