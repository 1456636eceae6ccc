"""Each exception, raised by the fault that causes it."""

import errno
import os
import pickle
import subprocess
import sys
import textwrap
import time

import pytest

import kinetra
from kinetra import Limits, Motion, Platform

from conftest import SENTINEL, WINDOW, move_x_sentinel, sent_since_open


@pytest.mark.parametrize(
    "error, bases",
    [
        (kinetra.LimitError, (kinetra.KinetraError, ValueError)),
        (kinetra.SendError, (kinetra.KinetraError, OSError)),
        (kinetra.IncompleteWrite, (kinetra.SendError,)),
        (kinetra.FrameError, (kinetra.KinetraError,)),
        (kinetra.NoUploadFrame, (kinetra.FrameError,)),
        (kinetra.CrcError, (kinetra.FrameError,)),
        (kinetra.ShortPayload, (kinetra.FrameError,)),
        (kinetra.SilentError, (kinetra.KinetraError, TimeoutError)),
        (kinetra.PortOpenError, (kinetra.KinetraError, OSError)),
        (kinetra.ClosedError, (kinetra.KinetraError,)),
    ],
)
def test_exception_hierarchy(error, bases):
    for base in bases:
        assert issubclass(error, base)


def fault(options, error, code, message, gloss):
    return pytest.param(
        error, code, message, gloss, marks=pytest.mark.kinetra_sim(**options), id=error.__name__
    )


@pytest.mark.parametrize(
    "error, code, message, gloss",
    [
        fault({"bad_crc": 1}, kinetra.CrcError, -7, "CRC校验失败", "CRC check failed"),
        fault({"short_payload": 1}, kinetra.ShortPayload, -7, "载荷不足", "payload too short"),
        fault({"stray_head": 1}, kinetra.NoUploadFrame, -7, "未找到上传帧", "no upload frame found"),
        fault({"silent": True}, kinetra.SilentError, -8, "", "nothing received in about 500 ms"),
    ],
)
def test_each_upload_fault_raises_its_exception(kinetra_sim, error, code, message, gloss):
    with Platform(kinetra_sim.port, limits=WINDOW) as p:
        with pytest.raises(kinetra.LimitError):
            p.move_x(5000)  # leaves "X轴超出限位" in the handle
        start = time.monotonic()
        with pytest.raises(error) as info:
            p.read_upload()
        elapsed = time.monotonic() - start
    e = info.value
    assert type(e) is error
    assert (e.code, e.message, e.gloss) == (code, message, gloss)
    assert gloss in str(e) and ("[result %d]" % code) in str(e)
    if message:
        assert message in str(e)
    else:
        assert "X轴" not in str(e), "a failure without a message does not take an old one"
    if error is kinetra.SilentError:
        assert isinstance(e, TimeoutError)
        assert 0.4 <= elapsed < 3.0, "about 500 ms, five reads 100 ms apart"


def abs_sentinel(platform, aux2):
    platform.move_abs(Motion(SENTINEL, 7, aux2), 60, 0)


@pytest.mark.parametrize(
    "limits, call, axis, sentinel",
    [
        (WINDOW, lambda p: p.move_x(1001), "x", move_x_sentinel),
        (WINDOW, lambda p: p.move_y(-1001, 5, 5), "y", move_x_sentinel),
        (WINDOW, lambda p: p.move_z(501), "z", move_x_sentinel),
        (WINDOW, lambda p: p.move_abs(0, 0, Motion(-501, 1, 2)), "z", move_x_sentinel),
        (WINDOW, lambda p: p.move_rel(0, 2000, 0), "y", move_x_sentinel),
        # A single-axis move is judged with 0 on the other axes.
        (Limits(1000, -1000, 100, 50, 500, -500), lambda p: p.move_x(1), "y", abs_sentinel),
    ],
    ids=["x", "y", "z", "abs-z", "rel-y", "x-move-judged-on-y"],
)
def test_a_refused_move_raises_limit_error_and_sends_nothing(kinetra_sim, limits, call, axis, sentinel):
    with Platform(kinetra_sim.port, limits=limits) as p:
        with pytest.raises(kinetra.LimitError) as info:
            call(p)
        e = info.value
        assert isinstance(e, ValueError)
        assert (e.axis, e.code, e.message) == (axis, -6, "%s轴超出限位" % axis.upper())
        assert "%s axis beyond its limit" % axis.upper() in str(e)
        assert sent_since_open(kinetra_sim, p, sentinel) == []
    assert kinetra_sim.skipped == 0


def test_a_platform_that_stops_reading_gives_incomplete_write_then_send_error(kinetra_sim):
    with Platform(kinetra_sim.port) as p, kinetra_sim.paused():
        written = 0
        with pytest.raises(kinetra.SendError) as first:
            for _ in range(1_000_000):
                written += p.move_x(1)
        # The pty counts its room in buffer space, not in frames: the move
        # that meets a full pty goes out in part, and then times out.
        assert type(first.value) is kinetra.IncompleteWrite
        assert 0 < first.value.written < first.value.expected == 12
        assert first.value.code == first.value.written
        assert "%d of 12 bytes sent" % first.value.written in str(first.value)
        assert written > 0 and written % 12 == 0
        start = time.monotonic()
        for call in (lambda: p.move_y(2), lambda: p.move_abs(1, 2, 3)):
            with pytest.raises(kinetra.SendError) as later:
                call()
            e = later.value
            assert type(e) is kinetra.SendError and isinstance(e, OSError)
            assert (e.code, e.message) == (-6, "串口发送失败")
            assert "serial send failed" in str(e)
        elapsed = time.monotonic() - start
        # Each gives up within its timeout, 10 ms per byte + 500 ms (with room
        # for a loaded machine): a full port does not hang the caller.
        assert elapsed < 0.62 + 0.74 + 2.0


def _fd_count():
    return len(os.listdir("/proc/self/fd"))


def _denied(port):
    """The errno of opening `port` as a user who may not (run as nobody when root)."""
    if os.geteuid() != 0:
        return None
    script = textwrap.dedent(
        """
        import sys, kinetra
        try:
            kinetra.Platform(sys.argv[1])
        except kinetra.PortOpenError as e:
            print(e.errno, e.filename == sys.argv[1], "this user may not open the port" in str(e))
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script, port], user=65534, capture_output=True, text=True, timeout=30
    )
    return out


@pytest.mark.parametrize("case", ["missing", "busy"])
def test_a_port_that_cannot_be_opened_raises_port_open_error_with_errno(kinetra_sim, tmp_path, case):
    before = _fd_count()
    holder = None
    if case == "missing":
        port, expected, gloss = str(tmp_path / "ttyNothing"), {errno.ENOENT}, "no such port"
    else:
        holder = Platform(kinetra_sim.port)
        port, gloss = kinetra_sim.port, "the port is held by another program"
        # flock() refuses root too; TIOCEXCL refuses other users first.
        expected = {errno.EWOULDBLOCK} if os.geteuid() == 0 else {errno.EBUSY}
    try:
        with pytest.raises(kinetra.PortOpenError) as info:
            Platform(port)
    finally:
        if holder is not None:
            holder.close()
    e = info.value
    assert isinstance(e, OSError)
    assert e.errno in expected
    assert (e.code, e.strerror, e.message, e.filename) == (e.errno, os.strerror(e.errno), os.strerror(e.errno), port)
    assert str(e) == "cannot open %s: %s [Errno %d] (%s)" % (port, os.strerror(e.errno), e.errno, gloss)
    assert _fd_count() == before, "a failed open leaves no descriptor"


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to start a process as another user")
def test_a_port_this_user_may_not_open_raises_port_open_error_eacces(kinetra_sim):
    out = _denied(kinetra_sim.port)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [str(errno.EACCES), "True", "True"]


@pytest.mark.parametrize(
    "error",
    [
        kinetra.LimitError(-6, "Y轴超出限位", "y"),
        kinetra.IncompleteWrite(5, 24),
        kinetra.CrcError(-7, "CRC校验失败"),
        kinetra.SilentError(-8),
        kinetra.PortOpenError("/dev/ttyUSB9", errno.ENOENT, os.strerror(errno.ENOENT)),
        kinetra.ClosedError("/dev/ttyUSB9"),
    ],
    ids=lambda e: type(e).__name__,
)
def test_exceptions_survive_pickling(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error)
    assert str(copy) == str(error)
    assert (copy.code, copy.message) == (error.code, error.message)
    for name in ("axis", "written", "expected", "errno", "filename"):
        assert getattr(copy, name, None) == getattr(error, name, None)
