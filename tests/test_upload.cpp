// axis_read_upload: what the host gets for each stream of received bytes.
#include "host_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
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
    EXPECT_EQ(std::int16_t{up.word1}, 100);
    EXPECT_EQ(std::int16_t{up.word2}, -50);
    EXPECT_EQ(std::int16_t{up.word3}, 7);
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
    EXPECT_EQ(std::int16_t{up.word1}, 100);
}

// ---- The newest upload, whatever the driver has queued ----

// Upload number n: a 32-bit count in word1 (low) and word2 (high), and its
// complement in word3, so that a record mixed from two frames shows.
bytes counted_upload(std::uint32_t n) {
    bytes payload(13, 0);
    payload[0] = 0x01;
    payload[1] = static_cast<std::uint8_t>(n & 0xFF);
    payload[2] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
    payload[3] = static_cast<std::uint8_t>((n >> 16) & 0xFF);
    payload[4] = static_cast<std::uint8_t>(n >> 24);
    payload[5] = static_cast<std::uint8_t>(~n & 0xFF);
    payload[6] = static_cast<std::uint8_t>((~n >> 8) & 0xFF);
    return upload(0x7B, 0x01, payload);
}

bytes counted_uploads(std::uint32_t from, std::uint32_t count) {
    bytes out;
    for (std::uint32_t n = from; n < from + count; ++n) {
        const bytes f = counted_upload(n);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

std::uint32_t count_of(const axis_upload &up) {
    const auto low = static_cast<std::uint16_t>(up.word1);
    const auto high = static_cast<std::uint16_t>(up.word2);
    const std::uint32_t n = low | (std::uint32_t{high} << 16);
    EXPECT_EQ(static_cast<std::uint16_t>(up.word3), static_cast<std::uint16_t>(~n & 0xFFFF))
        << "the record of upload " << n << " is whole";
    return n;
}

TEST_F(ReadTest, AfterAPauseOneCallReturnsTheNewestOfTheQueuedUploads) {
    ASSERT_NE(open(), nullptr);
    // 800 uploads, about 15 KiB, sent one by one as a platform does (a pty
    // holds about 20 KiB so written): several times what one read hands over.
    for (std::uint32_t n = 0; n < 800; ++n) {
        peer_.send(counted_upload(n));
    }
    axis_upload up{};
    ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK);
    EXPECT_EQ(count_of(up), 799u);
    EXPECT_EQ(peer_.queued_for_host(), 0u);
}

struct boundary_case {
    const char *name;
    std::size_t noise; // bytes of noise before the documented upload
};

// A read hands over up to 4095 (a tty) or 4096 bytes, and a refill keeps the
// end of the last read that no scan has decided about: the upload must be
// found whole wherever the reads cut it.
const boundary_case boundary_cases[] = {
    {"a whole buffer of noise", 4096},       {"the upload cut after one byte", 4094},
    {"the upload cut in its header", 4093},  {"the upload cut in its payload", 4085},
    {"the upload cut before its CRC", 4079}, {"two refills of noise", 9000},
};

void PrintTo(const boundary_case &c, std::ostream *os) { *os << c.name; }

class RefillTest : public host_test, public ::testing::WithParamInterface<boundary_case> {};

TEST_P(RefillTest, TheUploadAfterTheNoiseIsFoundWhole) {
    ASSERT_NE(open(), nullptr);
    peer_.send(concat({bytes(GetParam().noise, 0x55), sample}));
    axis_upload up{};
    ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK);
    EXPECT_EQ(std::int16_t{up.word1}, 100);
    EXPECT_EQ(peer_.queued_for_host(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backlog, RefillTest, ::testing::ValuesIn(boundary_cases),
                         case_name<boundary_case>);

TEST_F(ReadTest, AStreamThatKeepsTheBufferFullCannotHoldTheCall) {
    ASSERT_NE(open(), nullptr);
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped{false};
    std::atomic<std::uint32_t> written{0};
    std::thread platform([&] {
        constexpr std::uint32_t block = 200;
        while (!stop.load() && peer_.write(counted_uploads(written.load(), block))) {
            written += block;
        }
        stopped = true;
    });
    // Let the driver fill up before the call.
    while (peer_.queued_for_host() < tty_read_limit) {
        std::this_thread::sleep_for(1ms);
    }
    axis_upload up{};
    const auto start = clock::now();
    const std::int32_t result = axis_read_upload(handle_, &up);
    const auto took = clock::now() - start;
    const std::uint32_t written_by_then = written.load();
    stop = true;
    while (!stopped.load()) {
        axis_flush(handle_); // room for the block the platform is sending
        std::this_thread::sleep_for(1ms);
    }
    platform.join();

    ASSERT_EQ(result, AXIS_OK);
    EXPECT_LT(took, std::chrono::seconds(2));
    const std::uint32_t n = count_of(up);
    // Every follow-up read brought at least half a buffer, so the call read
    // 64 of them before it gave up: past the first 64 × 2 KiB of uploads.
    EXPECT_GT(n, 64u * 2048u / 19u);
    EXPECT_LE(n, written_by_then + 200u);
}

// ---- A frame still arriving when the call reads ----

struct pieces_case {
    const char *name;
    bytes first; // waiting when the call starts
    bytes rest;  // sent once the call has taken `first`; empty: never
    std::int32_t result;
    std::uint32_t count; // of the record, on success
};

const bytes upload7 = counted_upload(7);
const bytes upload8 = counted_upload(8);

bytes head_of(const bytes &b, std::ptrdiff_t n) { return bytes(b.begin(), b.begin() + n); }
bytes after(const bytes &b, std::ptrdiff_t n) { return bytes(b.begin() + n, b.end()); }

const pieces_case pieces_cases[] = {
    {"only the head byte first", head_of(upload7, 1), after(upload7, 1), AXIS_OK, 7},
    {"the head and tag first", head_of(upload7, 2), after(upload7, 2), AXIS_OK, 7},
    {"four bytes first, as a USB adapter hands them over", head_of(upload7, 4), after(upload7, 4),
     AXIS_OK, 7},
    {"all but the CRC first", head_of(upload7, 17), after(upload7, 17), AXIS_OK, 7},
    {"all but the last byte first", head_of(upload7, 18), after(upload7, 18), AXIS_OK, 7},
    {"a whole upload and the start of the next", concat({upload7, head_of(upload8, 5)}),
     after(upload8, 5), AXIS_OK, 8},
    {"noise and the start of an upload", concat({noise, head_of(upload8, 9)}), after(upload8, 9),
     AXIS_OK, 8},
    {"noise alone first, the upload just behind it", noise, upload7, AXIS_OK, 7},
    {"a frame of another kind first, then an upload",
     make_frame(0x7A, 0x01, 0xA1, payload_of(6, 0)), upload7, AXIS_OK, 7},
    {"the rest never comes", head_of(upload7, 10), {}, AXIS_E_FRAME, 0},
    {"the rest of the next never comes", concat({upload7, head_of(upload8, 3)}), {}, AXIS_OK, 7},
};

void PrintTo(const pieces_case &c, std::ostream *os) { *os << c.name; }

class PiecesTest : public host_test, public ::testing::WithParamInterface<pieces_case> {};

// One call with `first` waiting and `rest` sent once the call has taken it,
// the way the line delivers it a moment later. `late` tells whether the rest
// went out too late for the library's 20 ms to cover it (a loaded machine
// can hold the sending thread that long), which makes the attempt void.
struct pieces_attempt {
    std::int32_t result = 0;
    axis_upload record{};
    clock::duration took{};
    bool late = false;
};

pieces_attempt read_in_pieces(pty_peer &peer, axis_handle *handle, const pieces_case &c) {
    pieces_attempt a;
    peer.send(c.first);
    const auto start = clock::now();
    std::thread platform([&] {
        if (c.rest.empty()) {
            return;
        }
        const auto until = clock::now() + 2s;
        while (peer.queued_for_host() > 0 && clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(peer.write(c.rest));
        a.late = clock::now() - start > 10ms;
    });
    a.result = axis_read_upload(handle, &a.record);
    a.took = clock::now() - start;
    platform.join();
    return a;
}

TEST_P(PiecesTest, TheFrameInFlightIsReadWholeAndTheNextCallIsSound) {
    const pieces_case &c = GetParam();
    ASSERT_NE(open(), nullptr);
    pieces_attempt a;
    for (int attempt = 0; attempt < 5; ++attempt) {
        a = read_in_pieces(peer_, handle_, c);
        if (!a.late) {
            break;
        }
        std::this_thread::sleep_for(50ms);
        axis_flush(handle_); // what a void attempt left behind
    }
    ASSERT_FALSE(a.late) << "the test's platform thread never kept the line's timing";

    ASSERT_EQ(a.result, c.result);
    if (c.result == AXIS_OK) {
        EXPECT_EQ(count_of(a.record), c.count);
        EXPECT_EQ(error(), "");
    } else {
        EXPECT_EQ(error(), "未找到上传帧");
    }
    EXPECT_LT(a.took, 500ms) << "waits for a frame's rest briefly, not for a whole poll";
    EXPECT_EQ(peer_.queued_for_host(), 0u) << "the call ends at a frame boundary";

    axis_upload up{};
    peer_.send(counted_upload(9));
    ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK) << "the next call is not spoiled";
    EXPECT_EQ(count_of(up), 9u);
}

INSTANTIATE_TEST_SUITE_P(InFlight, PiecesTest, ::testing::ValuesIn(pieces_cases),
                         case_name<pieces_case>);

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
