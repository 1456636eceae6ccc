// The five moves: the exact bytes on the wire, the window, and failed writes.
#include "host_fixture.h"

#include <gtest/gtest.h>

#include <functional>

namespace kinetra::test {
namespace {

// Little-endian words, as the platform expects them.
bytes words(std::initializer_list<int> values) {
    bytes out;
    for (int v : values) {
        const auto w = static_cast<std::uint16_t>(v);
        out.push_back(static_cast<std::uint8_t>(w & 0xFF));
        out.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return out;
}

using move_call = std::function<std::int32_t(axis_handle *)>;

struct wire_case {
    const char *name;
    move_call call;
    std::int32_t result;
    bytes wire;
};

const axis_motion mx{1000, 200, 50};
const axis_motion my{-1, 0xFFFF, 0x8000};
const axis_motion mz{-32768, 1, 32767};

using MoveWireTest = host_test;

TEST_F(MoveWireTest, EveryMoveSendsItsExactFrame) {
    const wire_case cases[] = {
        {"documented x move",
         [](axis_handle *h) { return axis_x_move(h, 1000, 200, 50); },
         12,
         {0x01, 0x01, 0x06, 0xA1, 0xE8, 0x03, 0xC8, 0x00, 0x32, 0x00, 0x64, 0x9A}},
        {"y move, negative target in two's complement",
         [](axis_handle *h) { return axis_y_move(h, -1, 2, 3); }, 12,
         make_frame(0x01, 0x01, 0xA2, words({-1, 2, 3}))},
        {"z move, extreme words", [](axis_handle *h) { return axis_z_move(h, 32767, 0xFFFF, 0); },
         12, make_frame(0x01, 0x01, 0xA3, words({32767, 0xFFFF, 0}))},
        {"relative move", [](axis_handle *h) { return axis_xyz_rel_move(h, &mx, &my, &mz); }, 24,
         make_frame(0x01, 0x01, 0xA4,
                    words({1000, 200, 50, -1, 0xFFFF, 0x8000, -32768, 1, 32767}))},
        {"absolute move", [](axis_handle *h) { return axis_xyz_abs_move(h, &mx, &my, &mz); }, 24,
         make_frame(0x01, 0x01, 0xA5,
                    words({1000, 200, 50, -1, 0xFFFF, 0x8000, -32768, 1, 32767}))},
    };
    ASSERT_NE(open(), nullptr);
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(handle_), c.result) << c.name;
        EXPECT_EQ(hex(peer_.receive(c.wire.size())), hex(c.wire)) << c.name;
    }
    EXPECT_TRUE(peer_.drain().empty()) << "nothing beyond the frames";
}

struct window_case {
    const char *name;
    axis_limits window;
    move_call call;
    const char *refusal; // nullptr: the move is sent
};

constexpr axis_limits square{100, -100, 100, -100, 100, -100};
constexpr axis_limits y_from_10{100, -100, 100, 10, 100, -100};

axis_motion at(int target) { return axis_motion{static_cast<std::int16_t>(target), 0, 0}; }

std::int32_t abs_move(axis_handle *h, int x, int y, int z) {
    const axis_motion a = at(x), b = at(y), c = at(z);
    return axis_xyz_abs_move(h, &a, &b, &c);
}

std::int32_t rel_move(axis_handle *h, int x, int y, int z) {
    const axis_motion a = at(x), b = at(y), c = at(z);
    return axis_xyz_rel_move(h, &a, &b, &c);
}

const window_case window_cases[] = {
    {"upper bound is inclusive", square, [](axis_handle *h) { return axis_x_move(h, 100, 0, 0); },
     nullptr},
    {"lower bound is inclusive", square, [](axis_handle *h) { return axis_x_move(h, -100, 0, 0); },
     nullptr},
    {"one above", square, [](axis_handle *h) { return axis_x_move(h, 101, 0, 0); }, "X轴超出限位"},
    {"one below", square, [](axis_handle *h) { return axis_x_move(h, -101, 0, 0); }, "X轴超出限位"},
    {"y axis", square, [](axis_handle *h) { return axis_y_move(h, 101, 0, 0); }, "Y轴超出限位"},
    {"z axis", square, [](axis_handle *h) { return axis_z_move(h, -101, 0, 0); }, "Z轴超出限位"},
    {"a bound beyond 16 bits never refuses on its side", axis_limits{40000, -40000, 0, 0, 0, 0},
     [](axis_handle *h) { return abs_move(h, 32767, 0, 0); }, nullptr},
    {"a bound beyond 16 bits, lowest target", axis_limits{40000, -40000, 0, 0, 0, 0},
     [](axis_handle *h) { return axis_x_move(h, -32768, 0, 0); }, nullptr},
    {"min above max refuses everything", axis_limits{-5, 5, 100, -100, 100, -100},
     [](axis_handle *h) { return axis_x_move(h, 0, 0, 0); }, "X轴超出限位"},
    {"X is judged before Z", square, [](axis_handle *h) { return abs_move(h, 500, 0, 500); },
     "X轴超出限位"},
    {"Y is judged before Z", square, [](axis_handle *h) { return abs_move(h, 0, -500, 500); },
     "Y轴超出限位"},
    {"a single-axis x move judges 0 on y", y_from_10,
     [](axis_handle *h) { return axis_x_move(h, 50, 0, 0); }, "Y轴超出限位"},
    {"a single-axis z move judges 0 on y", y_from_10,
     [](axis_handle *h) { return axis_z_move(h, 50, 0, 0); }, "Y轴超出限位"},
    {"a y move inside its window", y_from_10,
     [](axis_handle *h) { return axis_y_move(h, 10, 0, 0); }, nullptr},
    {"a relative move is judged as positions", square,
     [](axis_handle *h) { return rel_move(h, 500, 0, 0); }, "X轴超出限位"},
    {"aux words are never judged", square,
     [](axis_handle *h) { return axis_x_move(h, 0, 0xFFFF, 0x8000); }, nullptr},
};

// Shown by GoogleTest in place of the case's bytes.
void PrintTo(const window_case &c, std::ostream *os) { *os << c.name; }

class WindowTest : public host_test, public ::testing::WithParamInterface<window_case> {};

TEST_P(WindowTest, SendsOrRefusesWithTheAxisMessage) {
    const window_case &c = GetParam();
    ASSERT_NE(open(0x01, &c.window), nullptr);
    const std::int32_t result = c.call(handle_);
    if (c.refusal == nullptr) {
        EXPECT_GT(result, 0);
        EXPECT_EQ(error(), "");
        EXPECT_EQ(peer_.receive(static_cast<std::size_t>(result)).size(),
                  static_cast<std::size_t>(result));
        return;
    }
    EXPECT_EQ(result, AXIS_E_REFUSED);
    EXPECT_EQ(error(), c.refusal);
    // A write to a pty lands in the master's queue before write() returns,
    // so an empty queue now means nothing was sent.
    EXPECT_TRUE(peer_.drain().empty());
}

INSTANTIATE_TEST_SUITE_P(Limits, WindowTest, ::testing::ValuesIn(window_cases),
                         case_name<window_case>);

TEST(NoWindow, AcceptsTheExtremesOnEveryAxis) {
    pty_peer peer;
    axis_handle *h = axis_init(peer.port_name().c_str(), 0x01, nullptr);
    ASSERT_NE(h, nullptr);
    for (int target : {-32768, 32767}) {
        EXPECT_EQ(axis_x_move(h, static_cast<std::int16_t>(target), 0, 0), 12);
        EXPECT_EQ(axis_y_move(h, static_cast<std::int16_t>(target), 0, 0), 12);
        EXPECT_EQ(axis_z_move(h, static_cast<std::int16_t>(target), 0, 0), 12);
        EXPECT_EQ(abs_move(h, target, target, target), 24);
        EXPECT_EQ(rel_move(h, target, target, target), 24);
    }
    EXPECT_EQ(peer.drain().size(), 2u * (3u * 12u + 2u * 24u));
    axis_close(h);
}

using ThreeAxisNullTest = host_test;

TEST_F(ThreeAxisNullTest, AnyNullRecordSendsNothing) {
    ASSERT_NE(open(), nullptr);
    const axis_motion m{1, 2, 3};
    const axis_motion *p = &m;
    for (auto mv : {axis_xyz_abs_move, axis_xyz_rel_move}) {
        EXPECT_EQ(mv(handle_, nullptr, p, p), AXIS_E_NULL);
        EXPECT_EQ(mv(handle_, p, nullptr, p), AXIS_E_NULL);
        EXPECT_EQ(mv(handle_, p, p, nullptr), AXIS_E_NULL);
    }
    EXPECT_EQ(error(), "");
    EXPECT_TRUE(peer_.drain().empty());
}

using HangUpTest = host_test;

TEST_F(HangUpTest, AMoveAfterTheFarEndHungUpFailsWithItsMessage) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(axis_x_move(handle_, 5, 0, 0), 12);
    peer_.hang_up();
    const axis_motion m{1, 2, 3};
    EXPECT_EQ(axis_x_move(handle_, 5, 0, 0), AXIS_E_REFUSED);
    EXPECT_EQ(error(), "串口发送失败");
    EXPECT_EQ(axis_xyz_abs_move(handle_, &m, &m, &m), AXIS_E_REFUSED);
    EXPECT_EQ(error(), "串口发送失败");
}

} // namespace
} // namespace kinetra::test
