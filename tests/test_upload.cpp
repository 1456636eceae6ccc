// axis_read_upload: what the host gets for each stream of received bytes.
#include "host_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

namespace kinetra::test {
namespace {

using clock = std::chrono::steady_clock;

bytes payload_of(std::size_t n, std::uint8_t first) {
    bytes p(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = static_cast<std::uint8_t>(first + i);
    }
    return p;
}

bytes upload(std::uint8_t head, std::uint8_t tag, const bytes &payload) {
    return make_frame(head, tag, 0xF5, payload);
}

const bytes sample = sample_upload();
const bytes sample_record = bytes(sample.begin() + 4, sample.begin() + 17);
const bytes first = upload(0x7A, 0x01, payload_of(13, 0x10));
const bytes second = upload(0x7B, 0x01, payload_of(13, 0x40));
const bytes noise{0x00, 0x11, 0xF5, 0x12, 0xFF, 0x7C, 0x01};

bytes with_bad_crc(bytes frame) {
    frame.back() ^= 0x5A;
    return frame;
}

struct upload_case {
    const char *name;
    bytes received;
    std::int32_t result;
    const char *message; // nullptr on success
    bytes record;        // the record the call must leave on success
};

const upload_case upload_cases[] = {
    {"the documented upload alone", sample, AXIS_OK, nullptr, sample_record},
    {"two uploads: the second wins", concat({first, second}), AXIS_OK, nullptr,
     payload_of(13, 0x40)},
    {"a complete upload then the start of another",
     concat({first, bytes(second.begin(), second.begin() + 9)}), AXIS_OK, nullptr,
     payload_of(13, 0x10)},
    {"noise before the upload is stepped over", concat({noise, sample}), AXIS_OK, nullptr,
     sample_record},
    {"a head byte with a length above 18 is noise", concat({{0x7A, 0x00, 0x13}, sample}), AXIS_OK,
     nullptr, sample_record},
    {"any tag is accepted", upload(0x7A, 0xEE, payload_of(13, 0x20)), AXIS_OK, nullptr,
     payload_of(13, 0x20)},
    {"an 18-byte payload: the last five ignored", upload(0x7B, 0x01, payload_of(18, 0x30)), AXIS_OK,
     nullptr, payload_of(13, 0x30)},
    {"a frame of another kind is skipped whole",
     concat({make_frame(0x7A, 0x01, 0xA1, payload_of(6, 0xF5)), sample}), AXIS_OK, nullptr,
     sample_record},
    {"a stray head reaching past the end ends the scan, the earlier upload stands",
     concat({first, {0x7A}, upload(0x7B, 0x10, payload_of(13, 0x50))}), AXIS_OK, nullptr,
     payload_of(13, 0x10)},
    {"a stray head hides the upload after it",
     concat({{0x7B}, sample}),
     AXIS_E_FRAME,
     "未找到上传帧",
     {}},
    {"a stray head reaching past the end hides an upload inside it",
     concat({{0x7A}, upload(0x7B, 0x10, payload_of(13, 0x50))}),
     AXIS_E_FRAME,
     "未找到上传帧",
     {}},
    {"only a frame of another kind",
     make_frame(0x7A, 0x01, 0xA1, payload_of(6, 0)),
     AXIS_E_FRAME,
     "未找到上传帧",
     {}},
    {"one byte", {0x7A}, AXIS_E_FRAME, "未找到上传帧", {}},
    {"five bytes", {0x7A, 0x01, 0x00, 0xF5, 0x88}, AXIS_E_FRAME, "未找到上传帧", {}},
    {"noise only", noise, AXIS_E_FRAME, "未找到上传帧", {}},
    {"an upload with a length of 19 is noise",
     upload(0x7A, 0x01, payload_of(19, 0)),
     AXIS_E_FRAME,
     "未找到上传帧",
     {}},
    {"a cut-off upload", bytes(sample.begin(), sample.end() - 1), AXIS_E_FRAME, "未找到上传帧", {}},
    {"a wrong CRC", with_bad_crc(sample), AXIS_E_FRAME, "CRC校验失败", {}},
    {"a damaged last upload fails even after a sound one",
     concat({first, with_bad_crc(second)}),
     AXIS_E_FRAME,
     "CRC校验失败",
     {}},
    {"a 12-byte payload", upload(0x7A, 0x01, payload_of(12, 0)), AXIS_E_FRAME, "载荷不足", {}},
    {"an empty payload", upload(0x7B, 0x01, {}), AXIS_E_FRAME, "载荷不足", {}},
};

// Shown by GoogleTest in place of the case's bytes.
void PrintTo(const upload_case &c, std::ostream *os) { *os << c.name; }

class UploadTest : public host_test, public ::testing::WithParamInterface<upload_case> {};

TEST_P(UploadTest, ResultMessageAndRecord) {
    const upload_case &c = GetParam();
    ASSERT_NE(open(), nullptr);
    peer_.send(c.received);

    axis_upload up;
    std::memset(&up, 0xAA, sizeof up);
    ASSERT_EQ(axis_read_upload(handle_, &up), c.result);

    bytes record(sizeof up);
    std::memcpy(record.data(), &up, sizeof up);
    if (c.message == nullptr) {
        EXPECT_EQ(hex(record), hex(c.record));
        EXPECT_EQ(error(), "");
    } else {
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(hex(record), hex(bytes(sizeof up, 0xAA))) << "record untouched on failure";
    }
    // Everything received was taken by the call, used or not.
    EXPECT_EQ(peer_.queued_for_host(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, UploadTest, ::testing::ValuesIn(upload_cases),
                         case_name<upload_case>);

using ReadTest = host_test;

TEST_F(ReadTest, TheDocumentedUploadReadsAsSignedWords) {
    ASSERT_NE(open(), nullptr);
    peer_.send(sample);
    axis_upload up{};
    ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK);
    EXPECT_EQ(up.byte0, 0x02);
    EXPECT_EQ(up.word1, 100);
    EXPECT_EQ(up.word2, -50);
    EXPECT_EQ(up.word3, 7);
    const std::array<std::uint8_t, 6> tail{0x01, 0x00, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(up.tail, tail.data(), tail.size()));
}

TEST_F(ReadTest, ANullRecordReadsNothing) {
    ASSERT_NE(open(), nullptr);
    peer_.send(sample);
    EXPECT_EQ(axis_read_upload(handle_, nullptr), AXIS_E_NULL);
    EXPECT_EQ(peer_.queued_for_host(), sample.size());
}

TEST_F(ReadTest, ASilentPortCostsFiveAttemptsAndKeepsTheText) {
    const axis_limits window{0, 0, 0, 0, 0, 0};
    ASSERT_NE(open(0x01, &window), nullptr);
    ASSERT_EQ(axis_x_move(handle_, 1, 0, 0), AXIS_E_REFUSED);
    axis_upload up;
    std::memset(&up, 0xAA, sizeof up);
    const auto start = clock::now();
    EXPECT_EQ(axis_read_upload(handle_, &up), AXIS_E_SILENT);
    const auto took = clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(450)) << "five pauses of 100 ms";
    EXPECT_LT(took, std::chrono::seconds(3)) << "must not block past its pauses";
    EXPECT_EQ(error(), "X轴超出限位");
    EXPECT_EQ(up.byte0, 0xAA);
}

TEST_F(ReadTest, BytesArrivingDuringThePausesAreRead) {
    ASSERT_NE(open(), nullptr);
    std::thread late([this] {
        std::this_thread::sleep_for(250ms);
        peer_.send(sample);
    });
    axis_upload up{};
    const std::int32_t result = axis_read_upload(handle_, &up);
    late.join();
    EXPECT_EQ(result, AXIS_OK);
    EXPECT_EQ(up.word1, 100);
}

TEST_F(ReadTest, TakesAtMostOneBufferAndLeavesTheRestForTheNextCall) {
    ASSERT_NE(open(), nullptr);
    // 4096 bytes of noise fill the receive buffer; the upload after them
    // must wait in the driver for the next call.
    peer_.send(concat({bytes(4096, 0x55), sample}));
    axis_upload up{};
    EXPECT_EQ(axis_read_upload(handle_, &up), AXIS_E_FRAME);
    EXPECT_EQ(error(), "未找到上传帧");
    EXPECT_EQ(axis_read_upload(handle_, &up), AXIS_OK);
    EXPECT_EQ(up.word1, 100);
}

TEST_F(ReadTest, AHungUpPortFailsCleanlyWithinThePollBudget) {
    ASSERT_NE(open(), nullptr);
    peer_.hang_up();
    axis_upload up;
    std::memset(&up, 0xAA, sizeof up);
    const auto start = clock::now();
    EXPECT_EQ(axis_read_upload(handle_, &up), AXIS_E_SILENT);
    EXPECT_LT(clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(up.byte0, 0xAA);
    EXPECT_EQ(axis_x_move(handle_, 1, 0, 0), AXIS_E_REFUSED) << "and the handle stays usable";
}

TEST_F(ReadTest, RestoresTheWriteTimeoutsItReplaced) {
    ASSERT_NE(open(), nullptr);
    peer_.send(sample);
    axis_upload up{};
    ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK);
    // The read ran with every write timeout at 0, which means "wait for
    // ever". Restored, a move into a tty that nobody drains gives up after
    // 10 ms per byte + 500 ms instead of hanging.
    std::int32_t result = 12;
    clock::duration last{};
    for (int i = 0; i < 100000 && result == 12; ++i) {
        const auto start = clock::now();
        result = axis_x_move(handle_, 1, 0, 0);
        last = clock::now() - start;
    }
    EXPECT_TRUE(result == AXIS_E_REFUSED || (result > 0 && result < 12)) << result;
    EXPECT_GE(last, std::chrono::milliseconds(500));
    EXPECT_LT(last, std::chrono::seconds(5));
}

} // namespace
} // namespace kinetra::test
