"""Platform's methods against kinetra-sim: what goes on the wire, what comes back."""

import logging
import os
import time

import pytest

import kinetra
from kinetra import Limits, Motion, Platform, Upload

from conftest import WINDOW, sent_since_open

FAST = pytest.mark.kinetra_sim(speed=1e9)  # the axes reach any target at once


@pytest.mark.parametrize(
    "head, call, result, command, code, axes",
    [
        (0x01, lambda p: p.move_x(1000, 200, 50), 12, "move X", 0xA1, {"X": (1000, 200, 50)}),
        (0x01, lambda p: p.move_y(-1000, 65535, 0), 12, "move Y", 0xA2, {"Y": (-1000, 65535, 0)}),
        (0xFF, lambda p: p.move_z(-500, 0, 65535), 12, "move Z", 0xA3, {"Z": (-500, 0, 65535)}),
        (0x00, lambda p: p.move_x(0), 12, "move X", 0xA1, {"X": (0, 0, 0)}),
        (
            0x5A,
            lambda p: p.move_abs(Motion(1, 2, 3), -4, Motion(5, aux2=6)),
            24,
            "move XYZ abs",
            0xA5,
            {"X": (1, 2, 3), "Y": (-4, 0, 0), "Z": (5, 0, 6)},
        ),
        (
            0x01,
            lambda p: p.move_rel(-1000, Motion(1000, 7, 8), 500),
            24,
            "move XYZ rel",
            0xA4,
            {"X": (-1000, 0, 0), "Y": (1000, 7, 8), "Z": (500, 0, 0)},
        ),
    ],
    ids=["x", "y", "z", "x-defaults", "abs", "rel"],
)
def test_a_move_sends_one_whole_frame_with_its_words(kinetra_sim, head, call, result, command, code, axes):
    with Platform(kinetra_sim.port, head, WINDOW) as p:
        assert call(p) == result
        frames = sent_since_open(kinetra_sim, p)
    assert len(frames) == 1, frames
    (frame,) = frames
    assert (frame.head, frame.command, frame.code, frame.length) == (head, command, code, result - 6)
    assert frame.crc_ok
    assert frame.axes == axes
    assert kinetra_sim.skipped == 0


@FAST
def test_read_upload_gives_the_positions_signed_and_the_raw_record(kinetra_sim):
    with Platform(kinetra_sim.port) as p:
        p.move_abs(-1234, 2345, -32768)
        kinetra_sim.wait_for_frames(1)
        # An upload already on its way when the move arrived may still show
        # the old positions; the next ones show the new.
        for _ in range(10):
            up = p.read_upload(fresh=True)
            if (up.word1, up.word2, up.word3) == (-1234, 2345, -32768):
                break
        assert (up.word1, up.word2, up.word3) == (-1234, 2345, -32768)
        later = p.read_upload()
    assert isinstance(up, Upload)
    assert up.byte0 & 0b111 == 0, "no axis still moving"
    assert len(up.raw) == 13 and len(up.tail) == 6
    assert up.raw[1:7] == (-1234).to_bytes(2, "little", signed=True) + (2345).to_bytes(
        2, "little", signed=True
    ) + (-32768).to_bytes(2, "little", signed=True)
    assert up.tail == up.raw[7:]
    assert Upload.from_bytes(up.raw) == up
    counter = int.from_bytes(up.tail[:4], "little")
    assert int.from_bytes(later.tail[:4], "little") > counter, "the simulator counts its uploads"


@pytest.mark.kinetra_sim(rate=50)
@pytest.mark.parametrize(
    "how, expect",
    [
        ("read", Upload),
        ("flush, read", kinetra.SilentError),
        ("fresh read", kinetra.SilentError),
    ],
)
def test_flush_and_fresh_discard_what_is_queued(kinetra_sim, how, expect):
    """Uploads queue in the driver while nobody reads; with the simulator
    stopped, only a read of the queue can find one."""
    with Platform(kinetra_sim.port) as p:
        time.sleep(0.3)  # about 15 uploads queue up
        with kinetra_sim.paused():
            if how == "read":
                assert isinstance(p.read_upload(), expect)
            else:
                with pytest.raises(expect):
                    if how == "flush, read":
                        p.flush()
                        p.read_upload()
                    else:
                        p.read_upload(fresh=True)


@pytest.mark.kinetra_sim(rate=50)
def test_fresh_read_is_the_newest_upload_not_the_oldest_queued(kinetra_sim):
    counter = lambda up: int.from_bytes(up.tail[:4], "little")  # noqa: E731
    with Platform(kinetra_sim.port) as p:
        first = counter(p.read_upload(fresh=True))
        time.sleep(1.0)  # about 50 uploads queue up
        newest = counter(p.read_upload(fresh=True))
    # The oldest queued one would be first + 1; allow the simulator to have
    # fallen behind by half on a loaded machine.
    assert newest - first >= 25


def test_last_error_keeps_the_last_message_until_the_next_failure(kinetra_sim):
    with Platform(kinetra_sim.port, limits=WINDOW) as p:
        assert p.last_error == ""
        with pytest.raises(kinetra.LimitError):
            p.move_z(501)
        assert p.last_error == "Z轴超出限位"
        assert p.move_z(500) == 12
        assert p.last_error == "Z轴超出限位", "a success does not clear it"
        with pytest.raises(kinetra.LimitError):
            p.move_abs(-1001, 0, 0)
        assert p.last_error == "X轴超出限位"


@pytest.mark.parametrize("limits", [None, WINDOW, (10, -10, 20, -20, 30, -30)])
def test_properties_say_what_was_opened(kinetra_sim, limits):
    p = Platform(kinetra_sim.port, 0x7E, limits)
    try:
        assert p.port == kinetra_sim.port
        assert p.head == 0x7E
        assert p.limits == (None if limits is None else Limits(*limits) if isinstance(limits, tuple) else limits)
        assert not p.closed
        assert repr(p) == "<kinetra.Platform port=%r head=0x7E open>" % kinetra_sim.port
    finally:
        p.close()
    assert p.closed
    assert repr(p).endswith("closed>")
    assert p.port == kinetra_sim.port, "still known after close"


def test_the_bundled_library_is_the_one_loaded(kinetra_sim):
    with Platform(kinetra_sim.port) as p:
        assert p.library == os.path.join(os.path.dirname(kinetra.__file__), "_native", "libKinetra.so.1")


def test_with_block_closes_the_port_and_close_is_idempotent(kinetra_sim):
    with Platform(kinetra_sim.port) as p:
        p.move_x(1)
    assert p.closed
    p.close()
    p.close()
    with Platform(kinetra_sim.port) as again:  # the port is free again
        assert again.move_x(2) == 12


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.move_x(0),
        lambda p: p.move_y(0),
        lambda p: p.move_z(0),
        lambda p: p.move_abs(0, 0, 0),
        lambda p: p.move_rel(0, 0, 0),
        lambda p: p.read_upload(),
        lambda p: p.read_upload(fresh=True),
        lambda p: p.flush(),
        lambda p: p.last_error,
        lambda p: p.__enter__(),
    ],
    ids=["move_x", "move_y", "move_z", "move_abs", "move_rel", "read", "fresh", "flush", "last_error", "with"],
)
def test_every_call_after_close_raises_closed_error(kinetra_sim, call):
    p = Platform(kinetra_sim.port)
    p.close()
    with pytest.raises(kinetra.ClosedError) as info:
        call(p)
    assert info.value.code == kinetra.AXIS_E_NULL
    assert kinetra_sim.port in str(info.value) and "closed" in str(info.value)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: p.move_x(32768), ValueError),
        (lambda p: p.move_x(-32769), ValueError),
        (lambda p: p.move_y(0, 65536, 0), ValueError),
        (lambda p: p.move_z(0, 0, -1), ValueError),
        (lambda p: p.move_abs(0, 0, 1 << 16), ValueError),
        (lambda p: p.move_rel(-(1 << 15) - 1, 0, 0), ValueError),
        (lambda p: p.move_abs(0, Motion(0), Motion(0, 70000)), ValueError),
        (lambda p: p.move_x(1.0), TypeError),
        (lambda p: p.move_rel("1", 0, 0), TypeError),
    ],
    ids=["x-high", "x-low", "aux1", "aux2-negative", "abs-z", "rel-x", "motion-aux1", "float", "str"],
)
def test_out_of_range_arguments_raise_before_anything_is_sent(kinetra_sim, call, error):
    with Platform(kinetra_sim.port) as p:
        with pytest.raises(error):
            call(p)
        assert sent_since_open(kinetra_sim, p) == []
        assert p.last_error == "", "the library was never called"
    assert kinetra_sim.skipped == 0


@pytest.mark.parametrize(
    "make",
    [
        lambda port: Platform(port, head=256),
        lambda port: Platform(port, head=-1),
        lambda port: Platform(port, limits=Limits(1 << 31, 0, 0, 0, 0, 0)),
        lambda port: Platform(port, limits=(0, 0, 0, 0, 0)),
        lambda port: Platform(port + "\0junk"),
        lambda port: Motion(32768),
        lambda port: Motion(0, aux2=65536),
    ],
    ids=["head-256", "head-negative", "limits-int32", "limits-five", "nul-in-port", "motion-target", "motion-aux2"],
)
def test_bad_construction_arguments_open_nothing(kinetra_sim, make):
    with pytest.raises((ValueError, TypeError)):
        make(kinetra_sim.port)
    # Had the port been opened, the simulator would have logged it.
    with Platform(kinetra_sim.port) as p:
        assert kinetra_sim.wait_for_log(lambda line: "host opened the port" in line)
        p.move_x(1)
    log = kinetra_sim.log
    assert sum("host opened the port" in line for line in log) == 1, log


@pytest.mark.parametrize(
    "call, line",
    [
        (lambda p: p.move_x(1000, 200, 50), "axis_x_move(%s, 1000, 200, 50) -> 12 in "),
        (lambda p: p.move_abs(1, Motion(2, 3, 4), 5), "axis_xyz_abs_move(%s, 1, (2, 3, 4), 5) -> 24 in "),
        (lambda p: p.flush(), "axis_flush(%s) -> None in "),
        (lambda p: p.last_error, "axis_get_error(%s) -> '' in "),
    ],
    ids=["move_x", "move_abs", "flush", "last_error"],
)
def test_each_call_logs_one_debug_line(kinetra_sim, caplog, call, line):
    with Platform(kinetra_sim.port) as p:
        with caplog.at_level(logging.DEBUG, logger="kinetra"):
            call(p)
        records = [r for r in caplog.records if r.name == "kinetra"]
    assert len(records) == 1, [r.getMessage() for r in records]
    assert records[0].levelno == logging.DEBUG
    message = records[0].getMessage()
    assert message.startswith(line % kinetra_sim.port)
    assert message.endswith(" ms")


def test_nothing_is_logged_below_debug(kinetra_sim, caplog):
    with caplog.at_level(logging.INFO, logger="kinetra"):
        with Platform(kinetra_sim.port) as p:
            p.move_x(1)
            p.read_upload()
    assert [r for r in caplog.records if r.name == "kinetra"] == []
