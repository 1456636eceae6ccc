// Opening, closing, flushing and the error text, over a real pty.
#include "host_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kinetra::test {
namespace {

TEST(AxisInit, RefusesANullPortName) { EXPECT_EQ(axis_init(nullptr, 0x01, nullptr), nullptr); }

TEST(AxisInit, RefusesAPortThatDoesNotExist) {
    EXPECT_EQ(axis_init("/dev/kinetra-no-such-port", 0x01, nullptr), nullptr);
    EXPECT_EQ(axis_init("", 0x01, nullptr), nullptr);
}

TEST(NullHandle, IsAnsweredAtOnceTouchingNothing) {
    EXPECT_STREQ(axis_get_error(nullptr), "null handle");
    axis_close(nullptr);
    axis_flush(nullptr);
    const axis_motion m{1, 2, 3};
    axis_upload up{};
    EXPECT_EQ(axis_x_move(nullptr, 1, 2, 3), AXIS_E_NULL);
    EXPECT_EQ(axis_y_move(nullptr, 1, 2, 3), AXIS_E_NULL);
    EXPECT_EQ(axis_z_move(nullptr, 1, 2, 3), AXIS_E_NULL);
    EXPECT_EQ(axis_xyz_abs_move(nullptr, &m, &m, &m), AXIS_E_NULL);
    EXPECT_EQ(axis_xyz_rel_move(nullptr, &m, &m, &m), AXIS_E_NULL);
    EXPECT_EQ(axis_read_upload(nullptr, &up), AXIS_E_NULL);
}

using HandleTest = host_test;

TEST_F(HandleTest, StartsWithAnEmptyErrorText) {
    ASSERT_NE(open(), nullptr);
    EXPECT_STREQ(axis_get_error(handle_), "");
}

TEST_F(HandleTest, IsExclusiveUntilClosed) {
    if (under_wine()) {
        GTEST_SKIP() << "Wine lets a second CreateFileA with share mode 0 open a COM port that "
                        "is already open; Windows refuses it";
    }
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(axis_init(peer_.port_name().c_str(), 0x02, nullptr), nullptr);
    axis_close(handle_);
    handle_ = axis_init(peer_.port_name().c_str(), 0x02, nullptr);
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(axis_x_move(handle_, 0, 0, 0), 12);
    EXPECT_EQ(peer_.receive(12)[0], 0x02);
}

TEST_F(HandleTest, ErrorTextSurvivesSuccessAndSilentFailures) {
    const axis_limits window{100, -100, 100, -100, 100, -100};
    ASSERT_NE(open(0x01, &window), nullptr);
    EXPECT_EQ(axis_x_move(handle_, 101, 0, 0), AXIS_E_REFUSED);
    EXPECT_EQ(error(), "X轴超出限位");
    EXPECT_EQ(axis_x_move(handle_, 100, 0, 0), 12);
    EXPECT_EQ(error(), "X轴超出限位");
    EXPECT_EQ(axis_xyz_abs_move(handle_, nullptr, nullptr, nullptr), AXIS_E_NULL);
    EXPECT_EQ(error(), "X轴超出限位");
    EXPECT_EQ(axis_z_move(handle_, -101, 0, 0), AXIS_E_REFUSED);
    EXPECT_EQ(error(), "Z轴超出限位") << "replaced, never appended";
}

TEST_F(HandleTest, CopiesTheLimitsAtInit) {
    axis_limits window{100, -100, 100, -100, 100, -100};
    ASSERT_NE(open(0x01, &window), nullptr);
    window = axis_limits{0, 0, 0, 0, 0, 0};
    EXPECT_EQ(axis_x_move(handle_, 50, 0, 0), 12);
    window = axis_limits{30000, -30000, 30000, -30000, 30000, -30000};
    EXPECT_EQ(axis_x_move(handle_, 200, 0, 0), AXIS_E_REFUSED);
}

TEST_F(HandleTest, FlushDiscardsWhatWasReceived) {
    ASSERT_NE(open(), nullptr);
    peer_.send(sample_upload());
    axis_flush(handle_);
    axis_upload up{};
    EXPECT_EQ(axis_read_upload(handle_, &up), AXIS_E_SILENT);
    peer_.send(sample_upload());
    EXPECT_EQ(axis_read_upload(handle_, &up), AXIS_OK) << "the port still works after a flush";
}

TEST_F(HandleTest, FlushLeavesSendingAlone) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(axis_y_move(handle_, 7, 0, 0), 12);
    axis_flush(handle_);
    EXPECT_EQ(peer_.receive(12).size(), 12u);
}

class HeadByteTest : public host_test, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(HeadByteTest, StampsEveryFrameWithAllEightBits) {
    ASSERT_NE(open(GetParam()), nullptr);
    const axis_motion m{1, 2, 3};
    ASSERT_EQ(axis_x_move(handle_, 1, 2, 3), 12);
    ASSERT_EQ(axis_xyz_rel_move(handle_, &m, &m, &m), 24);
    const bytes wire = peer_.receive(36);
    ASSERT_EQ(wire.size(), 36u);
    EXPECT_EQ(wire[0], GetParam());
    EXPECT_EQ(wire[12], GetParam());
}

INSTANTIATE_TEST_SUITE_P(Heads, HeadByteTest, ::testing::Values(0x00, 0x01, 0x7A, 0x80, 0xFF));

TEST(TwoHandles, StampTheirOwnHeadsOnTheirOwnPorts) {
    pty_peer a;
    pty_peer b;
    axis_handle *ha = axis_init(a.port_name().c_str(), 0x11, nullptr);
    axis_handle *hb = axis_init(b.port_name().c_str(), 0x22, nullptr);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(axis_x_move(ha, 1, 0, 0), 12);
    EXPECT_EQ(axis_x_move(hb, 2, 0, 0), 12);
    EXPECT_EQ(axis_y_move(ha, 3, 0, 0), 12);
    const bytes wa = a.drain();
    const bytes wb = b.drain();
    axis_close(ha);
    axis_close(hb);
    EXPECT_EQ(hex(wa), hex(concat({make_frame(0x11, 0x01, 0xA1, {1, 0, 0, 0, 0, 0}),
                                   make_frame(0x11, 0x01, 0xA2, {3, 0, 0, 0, 0, 0})})));
    EXPECT_EQ(hex(wb), hex(make_frame(0x22, 0x01, 0xA1, {2, 0, 0, 0, 0, 0})));
}

} // namespace
} // namespace kinetra::test
