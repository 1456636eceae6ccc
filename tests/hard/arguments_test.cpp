// Every argument that can be null, out of range or extreme, through the
// public interface only. The library must answer each with its documented
// result and never crash, write stray bytes or touch the caller's memory.
#include "hard_support.h"

#include <gtest/gtest.h>
#include <kinetra.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace kinetra::test {
namespace {

struct closer {
    void operator()(axis_handle *h) const { axis_close(h); }
};
using handle_ptr = std::unique_ptr<axis_handle, closer>;

bytes word_bytes(std::uint16_t w) {
    return {static_cast<std::uint8_t>(w & 0xFF), static_cast<std::uint8_t>(w >> 8)};
}

TEST(Arguments, NullHandleIsAnsweredAtOnceEverywhere) {
    const axis_motion m{1, 2, 3};
    axis_upload up{};
    EXPECT_EQ(axis_x_move(nullptr, 1, 2, 3), AXIS_E_NULL);
    EXPECT_EQ(axis_y_move(nullptr, 1, 2, 3), AXIS_E_NULL);
    EXPECT_EQ(axis_z_move(nullptr, 1, 2, 3), AXIS_E_NULL);
    EXPECT_EQ(axis_xyz_abs_move(nullptr, &m, &m, &m), AXIS_E_NULL);
    EXPECT_EQ(axis_xyz_rel_move(nullptr, &m, &m, &m), AXIS_E_NULL);
    EXPECT_EQ(axis_xyz_abs_move(nullptr, nullptr, nullptr, nullptr), AXIS_E_NULL);
    EXPECT_EQ(axis_read_upload(nullptr, &up), AXIS_E_NULL);
    EXPECT_EQ(axis_read_upload(nullptr, nullptr), AXIS_E_NULL);
    EXPECT_STREQ(axis_get_error(nullptr), "null handle");
    axis_flush(nullptr);
    axis_close(nullptr);
}

TEST(Arguments, NullRecordPointersSendNothingAndKeepTheText) {
    pty_peer peer;
    const axis_limits window{10, -10, 10, -10, 10, -10};
    handle_ptr h(axis_init(peer.port_name().c_str(), 0x01, &window));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(axis_x_move(h.get(), 11, 0, 0), AXIS_E_REFUSED);
    const std::string before = axis_get_error(h.get());

    const axis_motion m{1, 2, 3};
    const axis_motion *const given[] = {&m, nullptr};
    for (int mask = 0; mask < 7; ++mask) { // every combination with at least one null
        const axis_motion *x = given[(mask & 1) == 0 ? 1 : 0];
        const axis_motion *y = given[(mask & 2) == 0 ? 1 : 0];
        const axis_motion *z = given[(mask & 4) == 0 ? 1 : 0];
        SCOPED_TRACE("pointer mask " + std::to_string(mask));
        EXPECT_EQ(axis_xyz_abs_move(h.get(), x, y, z), AXIS_E_NULL);
        EXPECT_EQ(axis_xyz_rel_move(h.get(), x, y, z), AXIS_E_NULL);
    }
    EXPECT_EQ(axis_read_upload(h.get(), nullptr), AXIS_E_NULL);
    EXPECT_EQ(axis_get_error(h.get()), before);
    EXPECT_TRUE(peer.drain(50ms).empty()) << "a refused call wrote to the port";
}

TEST(Arguments, ExtremeHeadBytesAndWordsGoOutAsGiven) {
    struct word_case {
        std::uint8_t head;
        std::int16_t target;
        std::uint16_t aux1;
        std::uint16_t aux2;
    };
    const word_case cases[] = {
        {0x00, -32768, 0x0000, 0xFFFF}, {0xFF, 32767, 0xFFFF, 0x0000},
        {0x00, 32767, 0x8000, 0x7FFF},  {0xFF, -32768, 0x7FFF, 0x8000},
        {0x7A, -1, 0xFFFF, 0xFFFF},     {0xF5, 0, 0, 0},
    };
    for (const word_case &c : cases) {
        SCOPED_TRACE("head " + std::to_string(c.head) + " target " + std::to_string(c.target));
        pty_peer peer;
        handle_ptr h(axis_init(peer.port_name().c_str(), c.head, nullptr));
        ASSERT_NE(h, nullptr);
        const axis_motion m{c.target, c.aux1, c.aux2};
        ASSERT_EQ(axis_x_move(h.get(), c.target, c.aux1, c.aux2), 12);
        ASSERT_EQ(axis_y_move(h.get(), c.target, c.aux1, c.aux2), 12);
        ASSERT_EQ(axis_z_move(h.get(), c.target, c.aux1, c.aux2), 12);
        ASSERT_EQ(axis_xyz_abs_move(h.get(), &m, &m, &m), 24);
        ASSERT_EQ(axis_xyz_rel_move(h.get(), &m, &m, &m), 24);

        bytes words;
        for (std::uint16_t w : {static_cast<std::uint16_t>(c.target), c.aux1, c.aux2}) {
            const bytes b = word_bytes(w);
            words.insert(words.end(), b.begin(), b.end());
        }
        const bytes three = concat({words, words, words});
        const bytes expected =
            concat({make_frame(c.head, 0x01, 0xA1, words), make_frame(c.head, 0x01, 0xA2, words),
                    make_frame(c.head, 0x01, 0xA3, words), make_frame(c.head, 0x01, 0xA5, three),
                    make_frame(c.head, 0x01, 0xA4, three)});
        EXPECT_EQ(hex(peer.receive(expected.size())), hex(expected));
    }
}

TEST(Arguments, WindowBoundsAtAndBeyondSixteenBits) {
    constexpr std::int32_t lo = INT32_MIN, hi = INT32_MAX;
    struct window_case {
        const char *name;
        std::int32_t max, min;
        std::int16_t target;
        bool sent;
    };
    const window_case cases[] = {
        {"widest window, lowest target", hi, lo, -32768, true},
        {"widest window, highest target", hi, lo, 32767, true},
        {"just beyond 16 bits, lowest", 32768, -32769, -32768, true},
        {"just beyond 16 bits, highest", 32768, -32769, 32767, true},
        {"exactly 16 bits, lowest", 32767, -32768, -32768, true},
        {"exactly 16 bits, highest", 32767, -32768, 32767, true},
        {"max below every target", -40000, lo, -32768, false},
        {"min above every target", hi, 40000, 32767, false},
        {"min above max, between them", -5, 5, 0, false},
        {"min above max, at min", -5, 5, 5, false},
        {"min above max, at max", -5, 5, -5, false},
        {"min above max, extremes", lo, hi, 32767, false},
        {"single point", 7, 7, 7, true},
        {"single point, next to it", 7, 7, 8, false},
    };
    const char *const messages[] = {"X轴超出限位", "Y轴超出限位", "Z轴超出限位"};
    for (const window_case &c : cases) {
        for (int axis = 0; axis < 3; ++axis) {
            SCOPED_TRACE(std::string(c.name) + ", axis " + std::to_string(axis));
            // The case's window on one axis; the others admit everything.
            axis_limits w{hi, lo, hi, lo, hi, lo};
            std::int32_t *bounds[3][2] = {
                {&w.x_max, &w.x_min}, {&w.y_max, &w.y_min}, {&w.z_max, &w.z_min}};
            *bounds[axis][0] = c.max;
            *bounds[axis][1] = c.min;
            pty_peer peer;
            handle_ptr h(axis_init(peer.port_name().c_str(), 0x01, &w));
            ASSERT_NE(h, nullptr);
            axis_motion m[3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
            m[axis].target = c.target;
            const int32_t r = axis_xyz_abs_move(h.get(), &m[0], &m[1], &m[2]);
            if (c.sent) {
                EXPECT_EQ(r, 24);
                EXPECT_EQ(peer.receive(24).size(), 24u);
            } else {
                EXPECT_EQ(r, AXIS_E_REFUSED);
                EXPECT_STREQ(axis_get_error(h.get()), messages[axis]);
                EXPECT_TRUE(peer.drain(20ms).empty());
            }
        }
    }
}

TEST(Arguments, PortNamesThatCannotBeOpened) {
    constexpr std::size_t kib64 = std::size_t{64} * 1024;
    const std::string long_name = "/dev/" + std::string(kib64, 'k');
    std::string long_path = "/dev";
    while (long_path.size() < kib64) {
        long_path += "/.";
    }
    struct name_case {
        const char *what;
        const char *name;
    };
    const name_case cases[] = {
        {"null", nullptr},
        {"empty", ""},
        {"missing", "/dev/kinetra-no-such-port"},
        {"64 KiB name", long_name.c_str()},
        {"64 KiB path of dots", long_path.c_str()},
        {"a directory", "/dev"},
        {"relative and missing", "ttyKINETRA-none"},
    };
    const std::size_t fds = open_descriptors();
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        axis_handle *h = axis_init(c.name, 0x01, nullptr);
        EXPECT_EQ(h, nullptr);
        axis_close(h);
        if (c.name != nullptr) {
            EXPECT_NE(errno, 0) << "the OS error of the failed open is left for the caller";
        }
    }
    EXPECT_EQ(open_descriptors(), fds);
}

TEST(Arguments, ANameIsPassedOnUnchanged) {
    // A path that reaches the pty the long way round still opens it: the
    // library neither shortens nor rewrites names.
    pty_peer peer;
    std::string roundabout = "/dev/../dev/./";
    roundabout += peer.port_name().substr(std::strlen("/dev/"));
    handle_ptr h(axis_init(roundabout.c_str(), 0xFF, nullptr));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(axis_x_move(h.get(), 1, 2, 3), 12);
    EXPECT_EQ(peer.receive(12).at(0), 0xFF);
    EXPECT_EQ(axis_init(peer.port_name().c_str(), 0x01, nullptr), nullptr) << "same port, held";
}

TEST(Arguments, TheCallersWindowIsCopiedNotKept) {
    pty_peer peer;
    auto window = std::make_unique<axis_limits>(axis_limits{10, -10, 10, -10, 10, -10});
    handle_ptr h(axis_init(peer.port_name().c_str(), 0x01, window.get()));
    ASSERT_NE(h, nullptr);
    window.reset(); // freed: a library that kept the pointer would read freed memory
    EXPECT_EQ(axis_x_move(h.get(), 10, 0, 0), 12);
    EXPECT_EQ(axis_x_move(h.get(), 11, 0, 0), AXIS_E_REFUSED);
}

} // namespace
} // namespace kinetra::test
