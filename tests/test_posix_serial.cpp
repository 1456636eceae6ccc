// What the POSIX backend does to the terminal device itself.
#include "host_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kinetra::test {
namespace {

using PosixPortTest = host_test;

TEST_F(PosixPortTest, SetsTheLineRaw115200EightNOne) {
    // Start from a line set up the opposite way in every respect a pty keeps
    // (it forces CS8, CREAD and no parity by itself, so those say nothing).
    termios tio{};
    ASSERT_EQ(tcgetattr(peer_.slave_fd(), &tio), 0);
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CLOCAL)) | CSTOPB | CRTSCTS;
    tio.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    tio.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP;
    tio.c_oflag |= OPOST;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    ASSERT_EQ(cfsetspeed(&tio, B9600), 0);
    ASSERT_EQ(tcsetattr(peer_.slave_fd(), TCSANOW, &tio), 0);

    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(tcgetattr(peer_.slave_fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u) << "one stop bit, no hardware flow control";
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u) << "modem lines ignored";
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(PosixPortTest, PassesControlAndLineEndBytesThroughUnchanged) {
    ASSERT_NE(open(), nullptr);
    // CR, LF, XON, XOFF, ^C and ^D in both directions; a cooked tty would
    // translate, swallow or act on every one of them.
    const axis_motion m{0x0D0A, 0x1113, 0x0304};
    ASSERT_EQ(axis_xyz_abs_move(handle_, &m, &m, &m), 24);
    const bytes wire = peer_.receive(24);
    EXPECT_EQ(hex(wire), hex(make_frame(0x01, 0x01, 0xA5,
                                        {0x0A, 0x0D, 0x13, 0x11, 0x04, 0x03, 0x0A, 0x0D, 0x13, 0x11,
                                         0x04, 0x03, 0x0A, 0x0D, 0x13, 0x11, 0x04, 0x03})));
    const bytes payload{0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x1A,
                        0x0D, 0x0A, 0x7F, 0x15, 0x17, 0x12};
    peer_.send(make_frame(0x7A, 0x01, 0xF5, payload));
    axis_upload up{};
    ASSERT_EQ(axis_read_upload(handle_, &up), AXIS_OK);
    EXPECT_EQ(0, std::memcmp(&up, payload.data(), sizeof up));
}

TEST_F(PosixPortTest, AWriteThatSendsNothingBeforeItsTimeoutIsAFailure) {
    ASSERT_NE(open(), nullptr);
    // Fill the tty's output through the test's own descriptor on it; the
    // platform side never reads, so not one byte of the move can go out.
    const int fd = peer_.slave_fd();
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    // The kernel moves bytes between the pty's buffers a little after each
    // write, so keep filling until a pause frees no room at all.
    const bytes filler(4096, 0x55);
    for (bool wrote = true; wrote;) {
        wrote = false;
        while (write(fd, filler.data(), filler.size()) > 0) {
            wrote = true;
        }
        ASSERT_EQ(errno, EAGAIN);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(axis_x_move(handle_, 1, 0, 0), AXIS_E_REFUSED) << "never 0, which reads as AXIS_OK";
    EXPECT_EQ(error(), "串口发送失败");
}

TEST_F(PosixPortTest, LeavesErrnoOfAFailedOpenForTheHost) {
    ASSERT_NE(open(), nullptr);
    errno = 0;
    EXPECT_EQ(axis_init(peer_.port_name().c_str(), 0x01, nullptr), nullptr);
    EXPECT_EQ(errno, EWOULDBLOCK) << "held by another handle";
    errno = 0;
    EXPECT_EQ(axis_init("/dev/kinetra-no-such-port", 0x01, nullptr), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(PosixOpen, NeverCreatesAFile) {
    char dir[] = "/tmp/kinetra-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/ttyNothing";
    EXPECT_EQ(axis_init(path.c_str(), 0x01, nullptr), nullptr);
    struct stat st {};
    EXPECT_NE(stat(path.c_str(), &st), 0);
    rmdir(dir);
}

TEST(PosixOpen, ClosingReleasesTheDescriptor) {
    pty_peer peer;
    const int probe_before = dup(0);
    close(probe_before);
    axis_handle *h = axis_init(peer.port_name().c_str(), 0x01, nullptr);
    ASSERT_NE(h, nullptr);
    axis_close(h);
    const int probe_after = dup(0);
    close(probe_after);
    EXPECT_EQ(probe_after, probe_before) << "the lowest free descriptor is free again";
}

TEST(PosixOpen, DoesNotLeakTheDescriptorIntoChildren) {
    pty_peer peer;
    axis_handle *h = axis_init(peer.port_name().c_str(), 0x01, nullptr);
    ASSERT_NE(h, nullptr);
    int cloexec_count = 0;
    int open_count = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags < 0 || fd == peer.master_fd() || fd == peer.slave_fd()) {
            continue;
        }
        char link[64];
        char target[256] = {};
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) > 0 && peer.port_name() == target) {
            ++open_count;
            cloexec_count += (flags & FD_CLOEXEC) != 0 ? 1 : 0;
        }
    }
    axis_close(h);
    EXPECT_EQ(open_count, 1);
    EXPECT_EQ(cloexec_count, 1);
}

// The port's lock belongs to the open file description, which a fork shares
// with the child: until the child execs (the descriptor is close-on-exec) a
// reopen after axis_close is refused, as the header's threading notes say.
// Once the child has exec'd, the port is free although the child lives on.
TEST(PosixOpen, AForkedChildHoldsThePortUntilItExecs) {
    pty_peer peer;
    axis_handle *h = axis_init(peer.port_name().c_str(), 0x01, nullptr);
    ASSERT_NE(h, nullptr);
    int go[2];
    int exec_done[2];
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(exec_done, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        (void)!read(go[0], &byte, 1);
        execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(go[0]);
    close(exec_done[1]);

    axis_close(h);
    errno = 0;
    axis_handle *again = axis_init(peer.port_name().c_str(), 0x02, nullptr);
    const int err = errno;
    EXPECT_EQ(again, nullptr) << "the child's copy of the descriptor keeps the lock";
    EXPECT_EQ(err, EWOULDBLOCK);
    axis_close(again);

    ASSERT_EQ(write(go[1], "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(read(exec_done[0], &byte, 1), 0) << "the pipe closes when the child execs";
    // exec drops the child's descriptors together, but the lock goes with the
    // last reference to the file a moment after the pipe has told: retry.
    axis_handle *after_exec = nullptr;
    int refused = 0;
    for (int attempt = 0; attempt < 500 && after_exec == nullptr; ++attempt) {
        after_exec = axis_init(peer.port_name().c_str(), 0x03, nullptr);
        if (after_exec == nullptr) {
            refused = errno;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_NE(after_exec, nullptr)
        << "still refused 5 s after the exec: " << std::strerror(refused);
    axis_close(after_exec);

    kill(child, SIGKILL);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the child was still running sleep";
    close(go[1]);
    close(exec_done[0]);
}

} // namespace
} // namespace kinetra::test
