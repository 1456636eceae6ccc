// Arbitrary received bytes through the whole upload path after the read:
// the scan, the CRC check and the copy into the caller's record. Each result
// is compared with a reference that follows the frame rules step by step.
#include "reference.h"

#include "upload/scan.h"

#include <array>
#include <cstring>
#include <string>

namespace {

using kinetra::fuzz::expect;
using kinetra::fuzz::outcome;
using kinetra::fuzz::reference_parse;
using kinetra::fuzz::reference_scan;
using kinetra::fuzz::scan_result;

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
