"""Finding the native library and the simulator, and saying so when they are not found."""

import ast
import ctypes.util
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import kinetra
from kinetra import _loader, testing

BITS = "%d-bit Python" % (struct.calcsize("P") * 8)


@pytest.mark.parametrize(
    "how, where",
    [("argument", "library= argument"), ("environment", "KINETRA_LIBRARY")],
)
def test_a_named_library_that_does_not_load_is_reported_and_not_replaced(
    kinetra_sim, tmp_path, monkeypatch, how, where
):
    missing = str(tmp_path / "libKinetra.so.1")
    kwargs = {}
    if how == "argument":
        kwargs["library"] = missing
    else:
        monkeypatch.setenv("KINETRA_LIBRARY", missing)
    with pytest.raises(kinetra.LibraryError) as info:
        kinetra.Platform(kinetra_sim.port, **kwargs)
    e = info.value
    assert isinstance(e, OSError)
    assert [(w, p) for w, p, _ in e.tried] == [(where, missing)], "the bundled copy is not taken instead"
    text = str(e)
    assert text.startswith("cannot load the Kinetra library for this " + BITS)
    assert "%s: %s: " % (where, missing) in text
    assert "No such file" in text


def test_a_library_without_the_ten_exports_is_refused(kinetra_sim):
    libc = ctypes.util.find_library("c")
    with pytest.raises(kinetra.LibraryError) as info:
        kinetra.Platform(kinetra_sim.port, library=libc)
    ((where, path, reason),) = info.value.tried
    assert (where, path) == ("library= argument", libc)
    assert reason == "loaded, but lacks " + ", ".join(_loader.EXPORTS)


@pytest.mark.skipif(
    ctypes.util.find_library("Kinetra") is not None, reason="a libKinetra is installed on this system"
)
def test_with_no_copy_anywhere_every_place_tried_is_named(tmp_path):
    # In a process of its own: one that has loaded the bundled copy would be
    # given it again by the loader, by its SONAME.
    script = textwrap.dedent(
        """
        import sys
        from pathlib import Path
        from kinetra import _loader
        try:
            _loader.load(bundled_dir=Path(sys.argv[1]))
        except _loader.LibraryError as e:
            print(repr(e.tried))
            print(e)
        """
    )
    env = dict(os.environ)
    env.pop("KINETRA_LIBRARY", None)
    out = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path)], env=env, capture_output=True, text=True, timeout=30
    )
    assert out.returncode == 0, out.stderr
    tried_line, text = out.stdout.split("\n", 1)
    tried = ast.literal_eval(tried_line)
    assert [(w, p) for w, p, _ in tried] == [
        ("bundled copy", str(tmp_path / "libKinetra.so.1")),
        ("system loader", "libKinetra.so.1"),
    ]
    assert tried[0][2] == "not present"
    assert "libKinetra.so.1: cannot open shared object file" in tried[1][2]
    assert text.startswith("cannot load the Kinetra library for this " + BITS)
    assert "  bundled copy: %s: not present\n" % (tmp_path / "libKinetra.so.1") in text
    assert "  system loader: libKinetra.so.1: " in text


def test_the_library_named_by_the_environment_is_used(kinetra_sim, monkeypatch):
    bundled = str(_loader.BUNDLED_DIR / "libKinetra.so.1")
    monkeypatch.setenv("KINETRA_LIBRARY", bundled)
    with kinetra.Platform(kinetra_sim.port) as p:
        assert p.library == bundled
        assert p.move_x(1) == 12


@pytest.mark.parametrize("how", ["argument", "environment"])
def test_a_named_simulator_that_is_not_there_is_reported(tmp_path, monkeypatch, how):
    missing = str(tmp_path / "kinetra-sim")
    if how == "environment":
        monkeypatch.setenv("KINETRA_SIM", missing)
        where, kwargs = "KINETRA_SIM", {}
    else:
        where, kwargs = "executable= argument", {"executable": missing}
    with pytest.raises(testing.SimulatorError, match="%s names %s, which is not an executable" % (where, missing)):
        testing.Simulator(**kwargs)


def test_the_bundled_simulator_is_the_default(monkeypatch):
    monkeypatch.delenv("KINETRA_SIM", raising=False)
    assert testing.find_simulator() == os.path.join(os.path.dirname(kinetra.__file__), "_native", "kinetra-sim")


def test_the_fixture_takes_its_options_from_the_marker(pytester):
    pytester.makepyfile(
        """
        import pytest

        @pytest.mark.kinetra_sim(rate=7.5, seed=42, silent=True)
        def test_options(kinetra_sim):
            assert kinetra_sim.command[1:] == ["--rate", "7.5", "--seed", "42", "--silent"]
            assert kinetra_sim.wait_for_log(lambda line: "seed 42," in line and line.endswith("silent"))

        @pytest.mark.parametrize("kinetra_sim, expected", [
            ({"speed": 10}, ["--speed", "10"]),
            ({"chunk": 4, "latency": 2.5}, ["--chunk", "4", "--latency", "2.5"]),
            ({"pace": False}, ["--no-pace"]),
        ], indirect=["kinetra_sim"])
        def test_indirect(kinetra_sim, expected):
            assert kinetra_sim.command[1:] == expected
        """
    )
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=4)


@pytest.mark.parametrize("options", [{}, {"silent": True, "seed": 3}])
def test_a_simulator_stopped_at_once_stops_cleanly(options):
    # start() returns only once kinetra-sim handles SIGTERM; before that a
    # stop would kill it (status -15) instead.
    for _ in range(10):
        sim = testing.Simulator(**options).start()
        assert sim.stop() == 0
