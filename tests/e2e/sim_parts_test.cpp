// The simulator's parts: its model, the faults it puts in its uploads (read
// back through the library's own upload parsing), and the decoding of what a
// host sends.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "faults.h"
#include "handle/handle.h"
#include "line_pacer.h"
#include "model.h"
#include "pty_peer.h"
#include "receiver.h"
#include "upload/scan.h"

namespace kinetra::sim {
namespace {

using test::bytes;

frame command(std::uint8_t cmd, const bytes &payload) {
    const bytes wire = test::make_frame(0x01, 0x01, cmd, payload);
    frame f;
    EXPECT_TRUE(decode_frame(wire.data(), wire.size(), f));
    return f;
}

bytes words(std::initializer_list<int> values) {
    bytes out;
    for (const int v : values) {
        const auto w = static_cast<std::uint16_t>(v);
        out.push_back(static_cast<std::uint8_t>(w & 0xFF));
        out.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return out;
}

// ---- Model ----

TEST(SimModel, AxesTravelAtTheSpeedAndStopAtTheTarget) {
    platform_model m(1000);
    ASSERT_TRUE(m.apply(command(CMD_MOVE_XYZ_ABS, words({500, 0, 0, -200, 0, 0, 50, 0, 0}))));
    m.advance(0.1);
    EXPECT_EQ(m.position(0), 100);
    EXPECT_EQ(m.position(1), -100);
    EXPECT_EQ(m.position(2), 50);
    const upload_state moving = m.next_upload();
    EXPECT_EQ(moving.moving_bits, 0x03) << "Z has arrived, X and Y are on their way";
    m.advance(10);
    const upload_state there = m.next_upload();
    EXPECT_EQ(there.moving_bits, 0);
    EXPECT_EQ(there.position, (std::array<std::int16_t, 3>{500, -200, 50}));
    EXPECT_EQ(there.counter, moving.counter + 1);
}

TEST(SimModel, SingleAxisMoveSetsOnlyItsTarget) {
    platform_model m(1000);
    ASSERT_TRUE(m.apply(command(CMD_MOVE_XYZ_ABS, words({1, 0, 0, 2, 0, 0, 3, 0, 0}))));
    ASSERT_TRUE(m.apply(command(CMD_MOVE_Y, words({-7, 9, 9}))));
    EXPECT_EQ(m.target(0), 1);
    EXPECT_EQ(m.target(1), -7);
    EXPECT_EQ(m.target(2), 3);
    ASSERT_TRUE(m.apply(command(CMD_MOVE_Z, words({-32768, 0, 0}))));
    EXPECT_EQ(m.target(2), -32768);
}

TEST(SimModel, RelativeMoveAddsToTheTargetsAndStopsAtTheEndsOfTheWord) {
    platform_model m(1000);
    ASSERT_TRUE(m.apply(command(CMD_MOVE_XYZ_ABS, words({100, 0, 0, 32000, 0, 0, -32000, 0, 0}))));
    ASSERT_TRUE(m.apply(command(CMD_MOVE_XYZ_REL, words({-50, 0, 0, 1000, 0, 0, -1000, 0, 0}))));
    EXPECT_EQ(m.target(0), 50);
    EXPECT_EQ(m.target(1), 32767);
    EXPECT_EQ(m.target(2), -32768);
    m.advance(100);
    EXPECT_EQ(m.position(1), 32767);
    EXPECT_EQ(m.position(2), -32768);
}

TEST(SimModel, IgnoresUnknownCommandsAndWrongSizes) {
    platform_model m(1000);
    EXPECT_FALSE(m.apply(command(0xA6, words({5, 0, 0}))));
    EXPECT_FALSE(m.apply(command(CMD_MOVE_X, words({5, 0}))));
    EXPECT_FALSE(m.apply(command(CMD_MOVE_XYZ_ABS, words({5, 0, 0}))));
    EXPECT_EQ(m.target(0), 0);
}

// ---- Upload frames and their faults, as the library reads them ----

upload_state sample_state() {
    upload_state s;
    s.moving_bits = 0x05;
    s.position = {1000, -50, 7};
    s.counter = 0x01020304;
    return s;
}

struct parsed {
    std::int32_t result;
    std::string message;
    axis_upload record;
};

parsed parse(const bytes &wire) {
    axis_handle handle;
    parsed p{};
    p.result = parse_upload(handle, wire.data(), wire.size(), p.record);
    p.message = handle.error_text;
    return p;
}

TEST(SimUpload, FrameCarriesStatePositionsAndCounter) {
    fault_injector clean({}, 1);
    const bytes wire = clean.wire_for(sample_state());
    ASSERT_EQ(wire.size(), 19U);
    EXPECT_EQ(test::hex(bytes(wire.begin(), wire.begin() + 4)), "7A 01 0D F5");
    const parsed p = parse(wire);
    ASSERT_EQ(p.result, AXIS_OK);
    EXPECT_EQ(p.record.byte0, 0x05);
    EXPECT_EQ(std::int16_t{p.record.word1}, 1000);
    EXPECT_EQ(std::int16_t{p.record.word2}, -50);
    EXPECT_EQ(std::int16_t{p.record.word3}, 7);
    EXPECT_EQ(test::hex(bytes(p.record.tail, p.record.tail + 6)), "04 03 02 01 00 00");
}

struct fault_case {
    const char *name;
    fault_options options;
    std::int32_t result;
    const char *message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const fault_case &c, std::ostream *os) { *os << c.name; }

class SimFaults : public ::testing::TestWithParam<fault_case> {};

TEST_P(SimFaults, ReachTheHostAsTheLibrarysResult) {
    const fault_case &c = GetParam();
    fault_injector faults(c.options, 42);
    for (int i = 0; i < 50; ++i) { // every draw, whatever the noise
        const parsed p = parse(faults.wire_for(sample_state()));
        ASSERT_EQ(p.result, c.result) << i;
        EXPECT_EQ(p.message, c.message);
        if (c.result == AXIS_OK) {
            EXPECT_EQ(std::int16_t{p.record.word1}, 1000);
        }
    }
}

const fault_case fault_cases[] = {
    {"None", {}, AXIS_OK, ""},
    {"Noise", {1, 0, 0, 0, false}, AXIS_OK, ""},
    {"BadCrc", {0, 1, 0, 0, false}, AXIS_E_FRAME, "CRC校验失败"},
    {"ShortPayload", {0, 0, 1, 0, false}, AXIS_E_FRAME, "载荷不足"},
    {"StrayHead", {0, 0, 0, 1, false}, AXIS_E_FRAME, "未找到上传帧"},
    {"StrayHeadHidesANoisyFrame", {1, 0, 0, 1, false}, AXIS_E_FRAME, "未找到上传帧"},
};

INSTANTIATE_TEST_SUITE_P(Sim, SimFaults, ::testing::ValuesIn(fault_cases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(SimFaults, SilentSendsNothing) {
    fault_injector faults({1, 1, 1, 1, true}, 3);
    EXPECT_TRUE(faults.wire_for(sample_state()).empty());
    faults.set_silent(false);
    EXPECT_FALSE(faults.wire_for(sample_state()).empty());
}

TEST(SimFaults, NoiseNeverHoldsAnUploadHead) {
    fault_injector faults({1, 0, 0, 0, false}, 9);
    std::size_t noise = 0;
    for (int i = 0; i < 500; ++i) {
        const bytes wire = faults.wire_for(sample_state());
        ASSERT_GT(wire.size(), 19U);
        ASSERT_LE(wire.size(), 19U + 8U);
        noise += wire.size() - 19;
        for (std::size_t b = 0; b + 19 < wire.size(); ++b) {
            ASSERT_NE(wire[b], 0x7A);
            ASSERT_NE(wire[b], 0x7B);
        }
    }
    EXPECT_GT(noise, 500U * 3) << "one to eight bytes, about 4.5 on average";
}

TEST(SimFaults, TheSeedNamesTheStream) {
    const fault_options mixed{0.3, 0.2, 0.2, 0.2, false};
    fault_injector a(mixed, 1234);
    fault_injector b(mixed, 1234);
    fault_injector other(mixed, 1235);
    bool differs = false;
    for (int i = 0; i < 200; ++i) {
        const bytes from_a = a.wire_for(sample_state());
        ASSERT_EQ(from_a, b.wire_for(sample_state())) << i;
        differs = differs || from_a != other.wire_for(sample_state());
    }
    EXPECT_TRUE(differs);
}

TEST(SimFaults, EachFaultComesWithItsProbability) {
    fault_injector faults({0, 0.25, 0, 0, false}, 77);
    int bad = 0;
    constexpr int frames = 4000;
    for (int i = 0; i < frames; ++i) {
        bad += parse(faults.wire_for(sample_state())).result == AXIS_E_FRAME ? 1 : 0;
    }
    // 1000 expected, standard deviation about 27.
    EXPECT_GT(bad, 850);
    EXPECT_LT(bad, 1150);
}

// ---- What the host sends ----

struct collected {
    std::vector<received_frame> frames;
    command_receiver::frame_sink sink() {
        return [this](const received_frame &r) { frames.push_back(r); };
    }
};

TEST(SimReceiver, FindsFramesWhateverTheChunks) {
    const bytes stream =
        test::concat({test::make_frame(0x01, 0x01, 0xA1, words({1000, 200, 50})),
                      test::make_frame(0xFF, 0x01, 0xA5, words({1, 2, 3, 4, 5, 6, 7, 8, 9}))});
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, stream.size()}) {
        command_receiver r;
        collected out;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            r.feed(stream.data() + at, std::min(chunk, stream.size() - at), out.sink());
        }
        ASSERT_EQ(out.frames.size(), 2U) << chunk;
        EXPECT_TRUE(out.frames[0].crc_ok);
        EXPECT_EQ(describe(out.frames[0]),
                  "head 0x01 move X (0xA1) len 6 X[target 1000 aux1 200 aux2 50] CRC good");
        EXPECT_EQ(describe(out.frames[1]),
                  "head 0xFF move XYZ abs (0xA5) len 18 X[target 1 aux1 2 aux2 3] "
                  "Y[target 4 aux1 5 aux2 6] Z[target 7 aux1 8 aux2 9] CRC good");
        EXPECT_FALSE(r.pending());
        EXPECT_EQ(r.take_skipped(), 0U);
    }
}

TEST(SimReceiver, ReportsADamagedCommandAndSkipsNoise) {
    bytes damaged = test::make_frame(0x01, 0x01, 0xA2, words({-5, 0, 0}));
    damaged[5] = static_cast<std::uint8_t>(damaged[5] ^ 0x01); // target -5 becomes -6... or so
    // Noise holding a 0x01 in the tag's place, with a header that fits no
    // command: stepped over a byte at a time.
    const bytes noise = {0x10, 0x01, 0x02, 0x77, 0x00, 0x00, 0x00, 0x00};
    command_receiver r;
    collected out;
    const bytes stream =
        test::concat({noise, damaged, test::make_frame(0x01, 0x01, 0xA3, words({9, 0, 0}))});
    r.feed(stream.data(), stream.size(), out.sink());
    ASSERT_EQ(out.frames.size(), 2U);
    EXPECT_FALSE(out.frames[0].crc_ok);
    EXPECT_NE(describe(out.frames[0]).find("move Y (0xA2) len 6"), std::string::npos);
    EXPECT_NE(describe(out.frames[0]).find(" CRC bad ("), std::string::npos);
    EXPECT_TRUE(out.frames[1].crc_ok);
    EXPECT_EQ(out.frames[1].decoded.cmd, CMD_MOVE_Z);
    EXPECT_EQ(r.take_skipped(), noise.size());
}

TEST(SimReceiver, UnknownCommandWithAGoodCrcIsReported) {
    command_receiver r;
    collected out;
    const bytes f = test::make_frame(0x01, 0x01, 0x42, {1, 2});
    r.feed(f.data(), f.size(), out.sink());
    ASSERT_EQ(out.frames.size(), 1U);
    EXPECT_EQ(describe(out.frames[0]), "head 0x01 unknown (0x42) len 2 CRC good");
}

TEST(SimReceiver, ResyncDropsAHeadThatNeverCompletes) {
    command_receiver r;
    collected out;
    // 0x01 then a length of 200: a frame that would need 206 bytes.
    const bytes stream =
        test::concat({{0x00, 0x01, 0xC8}, test::make_frame(0x01, 0x01, 0xA1, words({3, 0, 0}))});
    r.feed(stream.data(), stream.size(), out.sink());
    EXPECT_TRUE(out.frames.empty());
    EXPECT_TRUE(r.pending());
    r.resync(out.sink());
    ASSERT_EQ(out.frames.size(), 1U);
    EXPECT_EQ(out.frames[0].decoded.cmd, CMD_MOVE_X);
    EXPECT_FALSE(r.pending());
}

// ---- The line's timing ----

struct pacing_case {
    const char *name;
    line_timing timing;
    // Bytes of a queued 19-byte upload the host may have after `after` byte
    // times of the line, pairs of (byte times, ready).
    std::vector<std::pair<double, std::size_t>> ready;
};

constexpr std::chrono::microseconds us(long long n) { return std::chrono::microseconds{n}; }

const pacing_case pacing_cases[] = {
    {"a byte at a time", {true, 1, us(0)}, {{0, 0}, {0.99, 0}, {1, 1}, {2.5, 2}, {19, 19}}},
    {"chunks of four", {true, 4, us(0)}, {{3.9, 0}, {4, 4}, {7, 4}, {8, 8}, {18.5, 16}, {19, 19}}},
    {"chunks of four, the short last one late",
     {true, 4, us(1000)},
     {{16, 16}, {19, 16}, {19 + 11, 16}, {19 + 12, 19}}},
    {"a chunk larger than the frame waits for the latency",
     {true, 64, us(2000)},
     {{19, 0}, {19 + 23.1, 19}}},
    {"unpaced: the whole frame at once", {false, 1, us(0)}, {{0, 19}}},
};

void PrintTo(const pacing_case &c, std::ostream *os) { *os << c.name; }

class LinePacing : public ::testing::TestWithParam<pacing_case> {};

TEST_P(LinePacing, HandsOverWhatHasCrossedTheLine) {
    const pacing_case &c = GetParam();
    line_pacer line(c.timing);
    const auto start = line_pacer::clock::now();
    line.queue(test::sample_upload(), start);
    for (const auto &[byte_times, want] : c.ready) {
        const auto at =
            start + std::chrono::duration_cast<line_pacer::clock::duration>(
                        byte_times * std::chrono::duration<double, std::nano>(byte_time));
        EXPECT_EQ(line.ready(at), want) << "after " << byte_times << " byte times";
    }
}

INSTANTIATE_TEST_SUITE_P(SimLine, LinePacing, ::testing::ValuesIn(pacing_cases),
                         [](const auto &param_info) {
                             return test::identifier(param_info.param.name);
                         });

TEST(SimLine, AFrameQueuedBehindAnotherWaitsForTheLineAndKeepsItsBytes) {
    line_pacer line({true, 1, us(0)});
    const auto start = line_pacer::clock::now();
    const test::bytes first = test::sample_upload();
    const test::bytes second(5, 0x55);
    line.queue(first, start);
    line.queue(second, start); // the line is still busy with the first
    const auto byte = std::chrono::duration_cast<line_pacer::clock::duration>(byte_time);
    ASSERT_EQ(line.ready(start + 19 * byte), 19u);
    line.consume(19);
    EXPECT_EQ(line.ready(start + 19 * byte), 0u);
    ASSERT_EQ(line.next_ready(), start + 20 * byte);
    ASSERT_EQ(line.ready(start + 24 * byte), 5u);
    EXPECT_EQ(test::bytes(line.data(), line.data() + 5), second);
    line.consume(5);
    EXPECT_FALSE(line.next_ready().has_value());
}

} // namespace
} // namespace kinetra::sim
