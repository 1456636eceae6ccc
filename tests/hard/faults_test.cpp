// The far end misbehaving: it hangs up between calls or in the middle of one,
// it stops reading, and signals keep interrupting the calling thread. None of
// it may crash, hang, or change a result beyond what the failure itself says.
#include "hard_support.h"

#include <gtest/gtest.h>
#include <kinetra.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <string>

namespace kinetra::test {
namespace {

struct closer {
    void operator()(axis_handle *h) const { axis_close(h); }
};
using handle_ptr = std::unique_ptr<axis_handle, closer>;

handle_ptr open_on(const pty_peer &peer, std::uint8_t head = 0x01) {
    return handle_ptr(axis_init(peer.port_name().c_str(), head, nullptr));
}

constexpr const char *send_failed = "串口发送失败";
constexpr std::uint8_t untouched = 0x5C;

axis_upload blank_record() {
    axis_upload up;
    std::memset(&up, untouched, sizeof up);
    return up;
}

bool record_untouched(const axis_upload &up) {
    unsigned char raw[sizeof up];
    std::memcpy(raw, &up, sizeof up);
    for (unsigned char b : raw) {
        if (b != untouched) {
            return false;
        }
    }
    return true;
}

bool record_is_sample(const axis_upload &up) {
    const bytes frame = sample_upload();
    return std::memcmp(&up, frame.data() + 4, sizeof up) == 0;
}

// The frame axis_x_move(h, 1000, 200, 50) sends with head 0x01.
bytes x_move_frame() {
    return {0x01, 0x01, 0x06, 0xA1, 0xE8, 0x03, 0xC8, 0x00, 0x32, 0x00, 0x64, 0x9A};
}

// A move's write gives up after 10 ms per byte + 500 ms: 620 ms for a
// single-axis frame, 740 ms for a three-axis one. The ceiling only has to
// catch a hang, so it is generous for loaded and sanitized runs.
constexpr auto single_axis_timeout = 620ms;
constexpr auto three_axis_timeout = 740ms;
constexpr auto hang_ceiling = 5000ms;
// A silent read polls five times, 100 ms apart.
constexpr auto silent_read = 500ms;

// Moves until the tty takes nothing more because the far end never reads: a
// move that got no byte in before its write timeout. On the way the tty may
// first take part of a frame (a short count); the pty moves bytes on to its
// far side in the background, so the first short write does not yet mean
// the next one blocks.
struct stall {
    std::size_t written = 0;     // bytes the library reported as written
    int32_t first_not_whole = 0; // the first result other than 12
    int short_writes = 0;
    bool reached = false;
};

stall fill_until_stalled(axis_handle *h) {
    stall s;
    for (int i = 0; i < 100000 && s.short_writes < 20; ++i) {
        const int32_t r = axis_x_move(h, 1000, 200, 50);
        if (r != 12 && s.first_not_whole == 0) {
            s.first_not_whole = r;
        }
        if (r == AXIS_E_REFUSED) {
            s.reached = true;
            return s;
        }
        if (r <= 0 || r > 12) {
            return s; // neither a count nor a refusal: the caller reports it
        }
        s.written += static_cast<std::size_t>(r);
        if (r < 12) {
            ++s.short_writes;
        }
    }
    return s;
}

// ---- The far end hangs up ----

TEST(HangUp, BeforeTheOpenTheOpenFails) {
    pty_peer peer;
    peer.hang_up();
    const std::size_t fds = open_descriptors();
    errno = 0;
    EXPECT_EQ(axis_init(peer.port_name().c_str(), 0x01, nullptr), nullptr);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(open_descriptors(), fds);
}

TEST(HangUp, BetweenCallsFailsEveryCallAndLeavesTheRecordAlone) {
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(axis_x_move(h.get(), 1000, 200, 50), 12);
    EXPECT_EQ(peer.receive(12), x_move_frame());

    peer.hang_up();

    const axis_motion m{1, 2, 3};
    struct move_case {
        const char *name;
        int32_t (*move)(axis_handle *, const axis_motion &);
    };
    const move_case moves[] = {
        {"x", [](axis_handle *hh,
                 const axis_motion &mm) { return axis_x_move(hh, mm.target, mm.aux1, mm.aux2); }},
        {"y", [](axis_handle *hh,
                 const axis_motion &mm) { return axis_y_move(hh, mm.target, mm.aux1, mm.aux2); }},
        {"z", [](axis_handle *hh,
                 const axis_motion &mm) { return axis_z_move(hh, mm.target, mm.aux1, mm.aux2); }},
        {"abs", [](axis_handle *hh,
                   const axis_motion &mm) { return axis_xyz_abs_move(hh, &mm, &mm, &mm); }},
        {"rel", [](axis_handle *hh,
                   const axis_motion &mm) { return axis_xyz_rel_move(hh, &mm, &mm, &mm); }},
    };
    for (const move_case &c : moves) {
        SCOPED_TRACE(c.name);
        const auto start = steady::now();
        EXPECT_EQ(c.move(h.get(), m), AXIS_E_REFUSED);
        EXPECT_STREQ(axis_get_error(h.get()), send_failed);
        EXPECT_LT(since(start), single_axis_timeout) << "a hang-up must fail the write at once";
    }

    axis_upload up = blank_record();
    const auto start = steady::now();
    EXPECT_EQ(axis_read_upload(h.get(), &up), AXIS_E_SILENT);
    EXPECT_LT(since(start), hang_ceiling);
    EXPECT_TRUE(record_untouched(up));
    EXPECT_STREQ(axis_get_error(h.get()), send_failed) << "-8 leaves the text alone";

    axis_flush(h.get()); // must not fail or block on a dead port
    EXPECT_EQ(axis_x_move(h.get(), 1, 2, 3), AXIS_E_REFUSED);
}

TEST(HangUp, WithAnUploadQueuedLosesItCleanly) {
    // Bytes still queued when the adapter goes are gone with it; the read
    // must say nothing arrived rather than hand out a partial record.
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);
    peer.send(sample_upload());
    peer.hang_up();
    axis_upload up = blank_record();
    const int32_t r = axis_read_upload(h.get(), &up);
    if (r == AXIS_OK) {
        EXPECT_TRUE(record_is_sample(up));
    } else {
        EXPECT_EQ(r, AXIS_E_SILENT);
        EXPECT_TRUE(record_untouched(up));
    }
}

TEST(HangUp, InTheMiddleOfAPollEndsItWithNothingReceived) {
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);
    axis_upload up = blank_record();
    const auto start = steady::now();
    auto reading = std::async(std::launch::async, [&] { return axis_read_upload(h.get(), &up); });
    std::this_thread::sleep_for(150ms); // inside the pauses between attempts
    peer.hang_up();
    ASSERT_EQ(reading.wait_for(hang_ceiling), std::future_status::ready) << "the poll hung";
    EXPECT_EQ(reading.get(), AXIS_E_SILENT);
    EXPECT_GE(since(start), silent_read - 20ms) << "the poll still makes its five attempts";
    EXPECT_TRUE(record_untouched(up));
    EXPECT_STREQ(axis_get_error(h.get()), "");
}

TEST(HangUp, InTheMiddleOfABlockedWriteFailsItAtOnce) {
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(fill_until_stalled(h.get()).reached) << "the tty never filled";

    auto moving = std::async(std::launch::async, [&] {
        const auto start = steady::now();
        const int32_t r = axis_x_move(h.get(), 1000, 200, 50);
        return std::make_pair(r, since(start));
    });
    std::this_thread::sleep_for(100ms);
    peer.hang_up();
    ASSERT_EQ(moving.wait_for(hang_ceiling), std::future_status::ready) << "the write hung";
    const auto [r, took] = moving.get();
    EXPECT_EQ(r, AXIS_E_REFUSED);
    EXPECT_STREQ(axis_get_error(h.get()), send_failed);
    EXPECT_LT(took, single_axis_timeout) << "the hang-up, not the timeout, ended the write";
}

// ---- The far end never reads ----

TEST(StalledPeer, AMoveGivesUpWithinItsWriteTimeout) {
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);

    const auto start = steady::now();
    const stall filled = fill_until_stalled(h.get());
    const auto fill_took = since(start);
    ASSERT_TRUE(filled.reached) << "the tty never filled; first result " << filled.first_not_whole;
    EXPECT_TRUE(filled.first_not_whole == AXIS_E_REFUSED ||
                (filled.first_not_whole > 0 && filled.first_not_whole < 12))
        << filled.first_not_whole;
    EXPECT_STREQ(axis_get_error(h.get()), send_failed);
    EXPECT_LT(fill_took, (filled.short_writes + 1) * (single_axis_timeout + hang_ceiling));
    const std::size_t written = filled.written;
    std::printf("the tty took %zu bytes in %lld ms; %d short write(s), the first result other "
                "than 12 was %d\n",
                written, static_cast<long long>(fill_took.count()), filled.short_writes,
                filled.first_not_whole);

    struct timed_case {
        const char *name;
        int32_t (*move)(axis_handle *);
        std::chrono::milliseconds timeout;
    };
    const timed_case cases[] = {
        {"single axis", [](axis_handle *hh) { return axis_y_move(hh, -5, 1, 2); },
         single_axis_timeout},
        {"three axes",
         [](axis_handle *hh) {
             const axis_motion m{7, 8, 9};
             return axis_xyz_abs_move(hh, &m, &m, &m);
         },
         three_axis_timeout},
    };
    for (const timed_case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto t0 = steady::now();
        const int32_t r = c.move(h.get());
        const auto took = since(t0);
        EXPECT_EQ(r, AXIS_E_REFUSED) << "nothing fits into a full tty";
        EXPECT_STREQ(axis_get_error(h.get()), send_failed);
        EXPECT_GE(took, c.timeout - 5ms) << "the write gave up before its timeout";
        EXPECT_LT(took, c.timeout + hang_ceiling);
        std::printf("%s move against a full tty returned %d after %lld ms (timeout %lld ms)\n",
                    c.name, r, static_cast<long long>(took.count()),
                    static_cast<long long>(c.timeout.count()));
    }

    // Once the far end reads again, everything the library reported as
    // written is there, and the next move goes out whole.
    const bytes seen = peer.drain(100ms);
    EXPECT_EQ(seen.size(), written) << "bytes reported written differ from bytes that arrived";
    ASSERT_EQ(axis_x_move(h.get(), 1000, 200, 50), 12);
    EXPECT_EQ(peer.receive(12), x_move_frame());
}

// ---- Signals on the calling thread ----

// A storm every 200 µs lands hundreds of signals in a 500 ms read. Under
// ThreadSanitizer a signal that arrives during clock_nanosleep is held back
// by the runtime until the call returns, so only about one per pause lands
// there: the results are still checked, the count is not.
#if defined(__SANITIZE_THREAD__)
constexpr long signals_during_pauses = 0;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr long signals_during_pauses = 0;
#else
constexpr long signals_during_pauses = 100;
#endif
#else
constexpr long signals_during_pauses = 100;
#endif

TEST(Signals, InterruptedReadsAndPausesChangeNoResult) {
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);

    {
        SCOPED_TRACE("upload already queued");
        peer.send(sample_upload());
        signal_storm storm(pthread_self());
        axis_upload up = blank_record();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(axis_read_upload(h.get(), &up), AXIS_OK);
        EXPECT_TRUE(record_is_sample(up));
        EXPECT_GT(storm.delivered(), 0);
    }
    {
        SCOPED_TRACE("upload arrives during the pauses");
        signal_storm storm(pthread_self());
        auto late = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(250ms);
            peer.send(sample_upload());
        });
        axis_upload up = blank_record();
        const auto start = steady::now();
        EXPECT_EQ(axis_read_upload(h.get(), &up), AXIS_OK);
        EXPECT_GE(since(start), 200ms);
        EXPECT_TRUE(record_is_sample(up));
        late.get();
        EXPECT_GT(storm.delivered(), signals_during_pauses) << "the signals missed the pauses";
    }
    {
        SCOPED_TRACE("silent port");
        signal_storm storm(pthread_self());
        axis_upload up = blank_record();
        const auto start = steady::now();
        EXPECT_EQ(axis_read_upload(h.get(), &up), AXIS_E_SILENT);
        const auto took = since(start);
        EXPECT_GE(took, silent_read - 5ms) << "a signal shortened the pauses";
        EXPECT_LT(took, hang_ceiling);
        EXPECT_TRUE(record_untouched(up));
        EXPECT_GT(storm.delivered(), signals_during_pauses);
    }
}

TEST(Signals, InterruptedWritesChangeNoResult) {
    pty_peer peer;
    handle_ptr h = open_on(peer);
    ASSERT_NE(h, nullptr);

    {
        SCOPED_TRACE("free-flowing writes");
        signal_storm storm(pthread_self(), std::chrono::microseconds(50));
        const bytes frame = x_move_frame();
        bytes expected;
        for (int i = 0; i < 300; ++i) {
            ASSERT_EQ(axis_x_move(h.get(), 1000, 200, 50), 12) << "move " << i;
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(peer.receive(expected.size()), expected);
        EXPECT_GT(storm.delivered(), 0);
    }
    {
        SCOPED_TRACE("a write blocked on a full tty, then drained");
        const stall filled = fill_until_stalled(h.get());
        ASSERT_TRUE(filled.reached);
        const std::size_t written = filled.written;
        signal_storm storm(pthread_self());
        auto reader = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(200ms);
            return peer.drain(200ms);
        });
        const auto start = steady::now();
        const int32_t r = axis_x_move(h.get(), 1000, 200, 50);
        EXPECT_LT(since(start), single_axis_timeout + hang_ceiling);
        const bytes seen = reader.get();
        EXPECT_EQ(r, 12) << "the far end drained well within the write timeout";
        EXPECT_GT(storm.delivered(), 100) << "the signals did not reach the blocked write";
        ASSERT_EQ(seen.size(), written + static_cast<std::size_t>(r > 0 ? r : 0));
        EXPECT_EQ(bytes(seen.end() - 12, seen.end()), x_move_frame());
    }
    {
        SCOPED_TRACE("a write that times out");
        ASSERT_TRUE(fill_until_stalled(h.get()).reached);
        signal_storm storm(pthread_self());
        const auto start = steady::now();
        const int32_t r = axis_z_move(h.get(), 3, 4, 5);
        const auto took = since(start);
        EXPECT_EQ(r, AXIS_E_REFUSED);
        EXPECT_GE(took, single_axis_timeout - 5ms) << "a signal cut the write timeout short";
        EXPECT_LT(took, single_axis_timeout + hang_ceiling);
        EXPECT_GT(storm.delivered(), 100);
    }
}

} // namespace
} // namespace kinetra::test
