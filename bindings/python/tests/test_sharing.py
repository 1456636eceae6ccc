"""One Platform shared between threads; a Platform nobody closed."""

import collections
import gc
import os
import threading

import pytest

import kinetra
from kinetra import Motion, Platform

from conftest import WINDOW, sent_since_open

THREADS = 8
ROUNDS = 60


def _work(p, index, sent, wrong, barrier):
    """Thread `index` sends moves with targets only it uses, reads uploads,
    and has one move in three refused on an axis of its own: without the
    lock, another thread's refusal can replace the message between a call
    and the reading of its text."""
    refused_axis = "xyz"[index % 3]
    refuse = {
        "x": lambda: p.move_x(2000 + index),
        "y": lambda: p.move_y(2000 + index),
        "z": lambda: p.move_z(600 + index),
    }[refused_axis]
    barrier.wait()
    for n in range(ROUNDS):
        target = index * 100 + n
        kind = n % 6
        if kind == 0:
            p.move_x(target, index, n)
            sent.append(("move X", (("X", (target, index, n)),)))
        elif kind == 1:
            p.move_abs(Motion(target, index, n), -target, n)
            sent.append(("move XYZ abs", (("X", (target, index, n)), ("Y", (-target, 0, 0)), ("Z", (n, 0, 0)))))
        elif kind == 2:
            p.move_rel(n, Motion(target, 1, 2), -n)
            sent.append(("move XYZ rel", (("X", (n, 0, 0)), ("Y", (target, 1, 2)), ("Z", (-n, 0, 0)))))
        elif kind in (3, 5):
            try:
                refuse()
                wrong.append("thread %d: a move outside the window went out" % index)
            except kinetra.LimitError as e:
                if e.axis != refused_axis:
                    wrong.append("thread %d: refused on %s, told %s (%s)" % (index, refused_axis, e.axis, e))
        elif n == 4:
            p.read_upload()  # one each: a read waits up to 100 ms once the queue is empty
        else:
            p.move_z(-n, index, n)
            sent.append(("move Z", (("Z", (-n, index, n)),)))


@pytest.mark.kinetra_sim(rate=200)
def test_eight_threads_share_one_platform_and_every_frame_arrives_whole(kinetra_sim):
    sent, wrong = [], []
    barrier = threading.Barrier(THREADS)
    with Platform(kinetra_sim.port, limits=WINDOW) as p:
        threads = [
            threading.Thread(target=_work, args=(p, i, sent, wrong, barrier)) for i in range(THREADS)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        assert not any(t.is_alive() for t in threads)
        received = sent_since_open(kinetra_sim, p)
    assert wrong == []
    assert len(sent) == THREADS * (ROUNDS * 2 // 3 - 1)
    assert all(f.crc_ok for f in received), [f.line for f in received if not f.crc_ok]
    assert kinetra_sim.skipped == 0, "no byte outside a frame"
    got = collections.Counter((f.command, tuple(sorted(f.axes.items()))) for f in received)
    assert got == collections.Counter(sent)


def _fds():
    return sorted(os.listdir("/proc/self/fd"))


def test_a_platform_collected_unclosed_warns_and_closes_its_port(kinetra_sim):
    before = _fds()
    p = Platform(kinetra_sim.port)
    p.move_x(1)
    assert len(_fds()) == len(before) + 1
    with pytest.warns(ResourceWarning, match="was not closed") as caught:
        del p
        gc.collect()
    assert len(caught) == 1
    assert _fds() == before, "the port's descriptor is closed"
    with Platform(kinetra_sim.port) as again:  # not held any more
        assert again.move_x(2) == 12


def test_a_closed_platform_collected_says_nothing(kinetra_sim, recwarn):
    p = Platform(kinetra_sim.port)
    p.close()
    del p
    gc.collect()
    assert [w for w in recwarn if issubclass(w.category, ResourceWarning)] == []
