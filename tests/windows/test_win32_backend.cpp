// The Win32 serial backend's operations one by one, on a linked COM port.
#include "pty_peer.h"
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <cstring>

namespace kinetra::test {
namespace {

const serial_port &serial = platform_serial;

class Win32Backend : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = serial.open(peer_.port_name().c_str());
        ASSERT_NE(port_, invalid_port) << peer_.port_name() << ": " << GetLastError();
    }
    void TearDown() override {
        if (port_ != invalid_port) {
            serial.close(port_);
        }
    }

    pty_peer peer_;
    port_handle port_ = invalid_port;
};

TEST_F(Win32Backend, ANonBlockingReadOfNothingSucceedsAtOnceWithNoBytes) {
    const serial_timeouts immediate{timeout_forever, 0, 0, 0, 0};
    ASSERT_TRUE(serial.set_timeouts(port_, &immediate));
    std::uint8_t buffer[4096];
    const auto start = std::chrono::steady_clock::now();
    const io_result empty = serial.read(port_, buffer, sizeof buffer);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.count, 0u);
    // Any timeout that waits would take a second and more for this buffer.
    EXPECT_LT(took, std::chrono::milliseconds(400));

    peer_.send({0x7A, 0x0D, 0x0A, 0xFF});
    const io_result some = serial.read(port_, buffer, sizeof buffer);
    EXPECT_TRUE(some.ok);
    ASSERT_EQ(some.count, 4u);
    EXPECT_EQ(hex(bytes(buffer, buffer + 4)), "7A 0D 0A FF");
}

TEST_F(Win32Backend, TimeoutsAreTheFiveCommTimeoutsFields) {
    const serial_timeouts set{100, 10, 500, 7, 300};
    ASSERT_TRUE(serial.set_timeouts(port_, &set));
    serial_timeouts got;
    ASSERT_TRUE(serial.get_timeouts(port_, &got));
    EXPECT_EQ(got.read_interval, 100u);
    EXPECT_EQ(got.read_total_multiplier, 10u);
    EXPECT_EQ(got.read_total_constant, 500u);
    EXPECT_EQ(got.write_total_multiplier, 7u);
    EXPECT_EQ(got.write_total_constant, 300u);

    COMMTIMEOUTS native{};
    ASSERT_NE(GetCommTimeouts(static_cast<HANDLE>(port_), &native), FALSE);
    EXPECT_EQ(native.ReadIntervalTimeout, 100u);
    EXPECT_EQ(native.WriteTotalTimeoutMultiplier, 7u);
    EXPECT_EQ(native.WriteTotalTimeoutConstant, 300u);
}

TEST_F(Win32Backend, LineSettingsCarryTheWholeDcb) {
    line_settings settings;
    ASSERT_TRUE(serial.get_line_settings(port_, &settings));
    DCB read;
    std::memcpy(&read, settings.native, sizeof read);
    EXPECT_EQ(read.DCBlength, sizeof(DCB));
    EXPECT_EQ(sizeof(DCB), 28u);
    EXPECT_EQ(settings.baud_rate, read.BaudRate);
    EXPECT_EQ(settings.byte_size, read.ByteSize);

    // A pty always keeps 8 data bits and no parity, whatever it is told;
    // the baud rate and the stop bits show what was written.
    settings.baud_rate = 57600;
    settings.stop_bits = TWOSTOPBITS;
    ASSERT_TRUE(serial.set_line_settings(port_, &settings));
    line_settings again;
    ASSERT_TRUE(serial.get_line_settings(port_, &again));
    EXPECT_EQ(again.baud_rate, 57600u);
    EXPECT_EQ(again.stop_bits, TWOSTOPBITS);
}

TEST_F(Win32Backend, WritesEveryByteInOneCall) {
    const serial_timeouts handle_like{100, 10, 500, 10, 500};
    ASSERT_TRUE(serial.set_timeouts(port_, &handle_like));
    const bytes frame = make_frame(0x01, 0x01, 0xA5, bytes(18, 0x11));
    const io_result r = serial.write(port_, frame.data(), frame.size());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, frame.size());
    EXPECT_EQ(hex(peer_.receive(frame.size())), hex(frame));
}

TEST_F(Win32Backend, PurgeEmptiesTheInputOnly) {
    const serial_timeouts immediate{timeout_forever, 0, 0, 0, 0};
    ASSERT_TRUE(serial.set_timeouts(port_, &immediate));
    peer_.send(sample_upload());
    ASSERT_EQ(peer_.queued_for_host(), sample_upload().size());
    serial.purge_receive(port_);
    EXPECT_EQ(peer_.queued_for_host(), 0u);
    std::uint8_t buffer[64];
    EXPECT_EQ(serial.read(port_, buffer, sizeof buffer).count, 0u);
    const std::uint8_t out[3] = {1, 2, 3};
    EXPECT_EQ(serial.write(port_, out, 3).count, 3u) << "output still goes out";
    EXPECT_EQ(peer_.receive(3).size(), 3u);
}

TEST(Win32BackendErrors, KeepsTheThreadsLastErrorAsSaved) {
    serial.restore_os_error(ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(serial.last_os_error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(serial.open("\\\\.\\COM251"), invalid_port);
    EXPECT_EQ(serial.last_os_error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace kinetra::test
