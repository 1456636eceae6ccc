// What the Win32 backend does to the COM port itself, seen through a second
// handle on the host's port and through the OS error a failed open leaves.
#include "host_fixture.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <string>

namespace kinetra::test {
namespace {

using Win32PortTest = host_test;

DCB line_of(void *port) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    EXPECT_NE(GetCommState(static_cast<HANDLE>(port), &dcb), FALSE) << GetLastError();
    return dcb;
}

TEST_F(Win32PortTest, Sets115200OneStopBitAndKeepsEveryOtherField) {
    // The port as some earlier program left it: 9600 baud, two stop bits,
    // its own flow control characters. A pty always keeps 8 data bits and
    // no parity whatever it is told, so of the four fields the library owns
    // the baud rate and the stop bits are the ones seen to change here.
    DCB before = line_of(peer_.host_side());
    before.BaudRate = CBR_9600;
    before.StopBits = TWOSTOPBITS;
    before.XonChar = 0x21;
    before.XoffChar = 0x23;
    ASSERT_NE(SetCommState(static_cast<HANDLE>(peer_.host_side()), &before), FALSE);
    const DCB set = line_of(peer_.host_side());
    ASSERT_EQ(set.BaudRate, static_cast<DWORD>(CBR_9600));
    ASSERT_EQ(set.StopBits, TWOSTOPBITS);
    ASSERT_EQ(set.XonChar, 0x21);

    ASSERT_NE(open(), nullptr);
    const DCB after = line_of(peer_.host_side());
    EXPECT_EQ(after.BaudRate, 115200u);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
    EXPECT_EQ(after.XonChar, set.XonChar) << "a field outside the four is written back as read";
    EXPECT_EQ(after.XoffChar, set.XoffChar);
    EXPECT_EQ(after.fOutxCtsFlow, set.fOutxCtsFlow);
    EXPECT_EQ(after.fRtsControl, set.fRtsControl);
    EXPECT_EQ(after.fOutX, set.fOutX);
    EXPECT_EQ(after.fInX, set.fInX);
}

TEST_F(Win32PortTest, EveryByteValuePassesBothWaysUnchanged) {
    ASSERT_NE(open(), nullptr);
    // 256 byte values as the words of moves: 0x0100, 0x0302, ..., 0xFFFE.
    bytes sent_payloads;
    for (int first = 0; first < 256; first += 18) {
        axis_motion m[3];
        std::uint8_t raw[18];
        for (int i = 0; i < 18; ++i) {
            raw[i] = static_cast<std::uint8_t>((first + i) & 0xFF);
        }
        std::memcpy(m, raw, sizeof m);
        ASSERT_EQ(axis_xyz_abs_move(handle_, &m[0], &m[1], &m[2]), 24);
        const bytes wire = peer_.receive(24);
        EXPECT_EQ(hex(wire), hex(make_frame(0x01, 0x01, 0xA5, bytes(raw, raw + 18))))
            << "bytes from " << first;
    }
    // And back: upload payloads carrying every value, CR, LF, XON, XOFF, ^Z
    // and 0xFF among them.
    for (int first = 0; first < 256; first += 13) {
        bytes payload;
        for (int i = 0; i < 13; ++i) {
            payload.push_back(static_cast<std::uint8_t>((first + i) & 0xFF));
        }
        peer_.send(make_frame(0x7B, 0x01, 0xF5, payload));
        axis_upload up{};
        ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK) << "payload from " << first;
        EXPECT_EQ(0, std::memcmp(&up, payload.data(), sizeof up)) << "payload from " << first;
    }
}

TEST_F(Win32PortTest, AWriteThatSendsNothingBeforeItsTimeoutIsAFailure) {
    ASSERT_NE(open(), nullptr);
    // Fill the line towards the platform through the test's own handle on
    // the host's port; the platform never reads, so not one byte of the move
    // can go out before its write timeout.
    HANDLE side = static_cast<HANDLE>(peer_.host_side());
    COMMTIMEOUTS quick{MAXDWORD, 0, 0, 0, 20};
    ASSERT_NE(SetCommTimeouts(side, &quick), FALSE);
    const bytes filler(4096, 0x55);
    // socat keeps relaying a little after each write: fill until a pause
    // frees no room at all.
    for (bool wrote = true; wrote;) {
        wrote = false;
        for (DWORD n = 1; n > 0;) {
            n = 0;
            ASSERT_NE(
                WriteFile(side, filler.data(), static_cast<DWORD>(filler.size()), &n, nullptr),
                FALSE);
            wrote = wrote || n > 0;
        }
        Sleep(100);
    }
    EXPECT_EQ(axis_x_move(handle_, 1, 0, 0), AXIS_E_REFUSED) << "never 0, which reads as AXIS_OK";
    EXPECT_EQ(error(), "串口发送失败");
}

struct open_failure {
    const char *name;
    const char *port;
};

void PrintTo(const open_failure &c, std::ostream *os) { *os << c.name; }

class Win32OpenFailure : public ::testing::TestWithParam<open_failure> {};

// The host learns why through GetLastError(), exactly as CreateFileA set it:
// nothing the library does after the failed open may overwrite it.
TEST_P(Win32OpenFailure, LeavesTheErrorOfCreateFileA) {
    const char *port = GetParam().port;
    HANDLE direct =
        CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD expected = GetLastError();
    ASSERT_EQ(direct, INVALID_HANDLE_VALUE) << port << " unexpectedly exists";
    ASSERT_NE(expected, 0u);

    SetLastError(0);
    EXPECT_EQ(axis_init(port, 0x01, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), expected) << port;
}

INSTANTIATE_TEST_SUITE_P(Names, Win32OpenFailure,
                         ::testing::Values(open_failure{"no such COM port", "\\\\.\\COM250"},
                                           open_failure{"no such folder",
                                                        "C:\\kinetra\\no\\such\\folder\\COM1"},
                                           open_failure{"empty name", ""}),
                         case_name<open_failure>);

TEST_F(Win32PortTest, PassesTheNameUnchanged) {
    // COM10 and above exist only in the device namespace: without the
    // \\.\ prefix the name is a file in the current folder, and nothing may
    // add the prefix for the host.
    const std::string device = peer_.port_name();
    ASSERT_EQ(device.rfind("\\\\.\\COM", 0), 0u) << device;
    const std::string bare = device.substr(4);
    ASSERT_GE(std::stoi(bare.substr(3)), 10);
    EXPECT_EQ(axis_init(bare.c_str(), 0x01, nullptr), nullptr) << bare;
    ASSERT_NE(open(), nullptr) << device;
}

} // namespace
} // namespace kinetra::test
