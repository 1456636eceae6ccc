"""Shared by the tests of the installed kinetra package.

The tests run against the package installed from the wheel (never the
source tree beside them) and the kinetra-sim bundled in it, through the
package's own pytest fixture, ``kinetra_sim``.
"""

import os
import sysconfig

import kinetra

pytest_plugins = ["pytester"]

SOURCE_TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The window most tests open the platform with, and a move inside it that
# marks "everything sent before this has arrived" in the simulator's log.
WINDOW = kinetra.Limits(1000, -1000, 1000, -1000, 500, -500)
SENTINEL = 321


def pytest_report_header(config):
    return "kinetra %s from %s" % (kinetra.__version__, os.path.dirname(kinetra.__file__))


def pytest_sessionstart(session):
    here = os.path.dirname(os.path.abspath(kinetra.__file__))
    if here.startswith(SOURCE_TREE + os.sep):
        raise RuntimeError("kinetra imported from the source tree (%s), not the installed wheel" % here)
    if not here.startswith(os.path.abspath(sysconfig.get_paths()["platlib"])):
        raise RuntimeError("kinetra imported from %s, outside this interpreter's platlib" % here)


def move_x_sentinel(platform, aux2):
    platform.move_x(SENTINEL, 7, aux2)


def sent_since_open(sim, platform, sentinel=move_x_sentinel):
    """Every frame the simulator received from `platform` since it was
    opened, up to two sentinel moves this sends and waits for.

    The port is a byte stream: once a sentinel is logged, whatever was
    written before it has been logged too, damaged or not. The second
    sentinel goes out only after the first was logged, so it arrives in a
    read of its own, after the simulator has reported any bytes it skipped
    (``sim.skipped``) in the reads before. `sentinel(platform, aux2)` must
    send a move whose X words are (SENTINEL, 7, aux2).
    """
    frames = []
    for aux2 in (7, 8):
        sentinel(platform, aux2)
        while not frames or frames[-1].axes.get("X") != (SENTINEL, 7, aux2):
            frames = sim.wait_for_frames(len(frames) + 1)
    return frames[:-2]
