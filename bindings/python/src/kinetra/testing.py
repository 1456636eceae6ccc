"""Run the simulated platform, kinetra-sim, for tests of host programs.

::

    from kinetra import Platform
    from kinetra.testing import Simulator

    with Simulator(bad_crc=1) as sim, Platform(sim.port) as p:
        p.move_x(500)
        assert sim.wait_for_frames(1)[0].axes["X"].target == 500

With pytest, the ``kinetra_sim`` fixture does the same (see
``kinetra.pytest_plugin``). kinetra-sim is found through the ``KINETRA_SIM``
environment variable, else the copy bundled in the wheel, else ``PATH``.
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

__all__ = ["Simulator", "Frame", "AxisWords", "SimulatorError", "find_simulator"]

_EXE = "kinetra-sim.exe" if sys.platform == "win32" else "kinetra-sim"
_BUNDLED = Path(__file__).resolve().parent / "_native" / _EXE


class SimulatorError(RuntimeError):
    """kinetra-sim could not be found or started, or it failed while running."""


class AxisWords(NamedTuple):
    """The three words the host sent for one axis."""

    target: int
    aux1: int
    aux2: int


class Frame(NamedTuple):
    """One frame the simulator received and logged.

    ``axes`` maps "X", "Y", "Z" to the words sent for that axis (one entry
    for a single-axis move, three for a three-axis move). ``crc_ok`` is
    False for a frame the simulator ignored because of its CRC. ``line`` is
    the log line as printed.
    """

    head: int
    command: str
    code: int
    length: int
    axes: Dict[str, AxisWords]
    crc_ok: bool
    line: str


_FRAME = re.compile(
    r"^(?P<time>\d\d:\d\d:\d\d\.\d{3}) head 0x(?P<head>[0-9A-Fa-f]{2}) (?P<command>.+?) "
    r"\(0x(?P<code>[0-9A-Fa-f]{2})\) len (?P<len>\d+)(?P<axes>(?: [XYZ]\[[^\]]*\])*) "
    r"CRC (?P<crc>good|bad)"
)
_AXIS = re.compile(r"([XYZ])\[target (-?\d+) aux1 (\d+) aux2 (\d+)\]")
_SKIPPED = re.compile(r"skipped (\d+) byte")


def parse_frame(line: str) -> Optional[Frame]:
    """The frame a log line describes, or None for any other line."""
    m = _FRAME.match(line)
    if m is None:
        return None
    axes = {
        a.group(1): AxisWords(int(a.group(2)), int(a.group(3)), int(a.group(4)))
        for a in _AXIS.finditer(m.group("axes"))
    }
    return Frame(
        head=int(m.group("head"), 16),
        command=m.group("command"),
        code=int(m.group("code"), 16),
        length=int(m.group("len")),
        axes=axes,
        crc_ok=m.group("crc") == "good",
        line=line,
    )


def find_simulator(executable: Union[str, "os.PathLike[str]", None] = None) -> str:
    """The kinetra-sim to run: ``executable``, else ``KINETRA_SIM``, else the
    bundled copy, else the first on PATH. Raises SimulatorError naming every
    place tried."""
    tried: List[Tuple[str, str]] = []
    for where, candidate in (
        ("executable= argument", executable),
        ("KINETRA_SIM", os.environ.get("KINETRA_SIM")),
    ):
        if candidate:
            path = os.fspath(candidate)
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
            raise SimulatorError("%s names %s, which is not an executable file" % (where, path))
    if _BUNDLED.is_file() and os.access(_BUNDLED, os.X_OK):
        return str(_BUNDLED)
    tried.append(("bundled copy", str(_BUNDLED)))
    on_path = shutil.which(_EXE)
    if on_path:
        return on_path
    tried.append(("PATH", os.environ.get("PATH", "")))
    raise SimulatorError(
        "kinetra-sim not found; tried:\n"
        + "\n".join("  %s: %s" % t for t in tried)
        + "\nset KINETRA_SIM to its path"
    )


_OPTIONS = {
    "speed": "--speed",
    "rate": "--rate",
    "noise": "--noise",
    "bad_crc": "--bad-crc",
    "short_payload": "--short-payload",
    "stray_head": "--stray-head",
    "seed": "--seed",
    "chunk": "--chunk",
    "latency": "--latency",
    "port": "--port",
}


class Simulator:
    """A running kinetra-sim serving a pseudo-terminal (or ``port``).

    Options are kinetra-sim's own: ``speed`` (units/s), ``rate`` (uploads/s),
    the fault probabilities ``noise``, ``bad_crc``, ``short_payload``,
    ``stray_head`` (0 to 1), ``silent`` (send nothing), ``seed``; the line's
    timing: ``chunk`` and ``latency`` (ms) hand the paced bytes over the way a
    USB adapter does, ``pace=False`` writes each frame whole; ``port``
    serves an existing port instead of a new pseudo-terminal; ``args`` are
    passed on as they are. Options left at None take kinetra-sim's defaults.

    While it runs, ``port`` is the name a host opens, ``log`` every line the
    simulator wrote to standard error, ``frames`` the frames it received, in
    order. The log arrives asynchronously: use ``wait_for_frames()`` to wait
    for what a host has just sent.
    """

    def __init__(
        self,
        *,
        speed: Optional[float] = None,
        rate: Optional[float] = None,
        noise: Optional[float] = None,
        bad_crc: Optional[float] = None,
        short_payload: Optional[float] = None,
        stray_head: Optional[float] = None,
        silent: bool = False,
        seed: Optional[int] = None,
        chunk: Optional[int] = None,
        latency: Optional[float] = None,
        pace: bool = True,
        port: Optional[str] = None,
        args: Sequence[str] = (),
        executable: Union[str, "os.PathLike[str]", None] = None,
        start_timeout: float = 10.0,
    ) -> None:
        values = dict(
            speed=speed,
            rate=rate,
            noise=noise,
            bad_crc=bad_crc,
            short_payload=short_payload,
            stray_head=stray_head,
            seed=seed,
            chunk=chunk,
            latency=latency,
            port=port,
        )
        self.command: List[str] = [find_simulator(executable)]
        for name, value in values.items():
            if value is not None:
                self.command += [_OPTIONS[name], str(value)]
        if silent:
            self.command.append("--silent")
        if not pace:
            self.command.append("--no-pace")
        self.command += list(args)
        self._given_port = port
        self._start_timeout = start_timeout
        self._process: Optional["subprocess.Popen[str]"] = None
        self._lines: List[str] = []
        self._changed = threading.Condition()
        self._readers: List[threading.Thread] = []
        self._port: Optional[str] = None
        self._paused = False
        self.returncode: Optional[int] = None

    # ---- lifetime ----------------------------------------------------------------

    def start(self) -> "Simulator":
        """Starts kinetra-sim and waits until it serves its port."""
        if self._process is not None:
            raise SimulatorError("already started")
        self._process = subprocess.Popen(
            self.command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            encoding="utf-8",
            errors="replace",
        )
        first_line: List[str] = []
        got_port = threading.Event()

        def read_stdout(stream: IO[str]) -> None:
            for line in stream:
                if not first_line:
                    first_line.append(line.strip())
                    got_port.set()
            got_port.set()

        def read_stderr(stream: IO[str]) -> None:
            for line in stream:
                with self._changed:
                    self._lines.append(line.rstrip("\n"))
                    self._changed.notify_all()
            with self._changed:
                self._changed.notify_all()

        for target, stream in ((read_stdout, self._process.stdout), (read_stderr, self._process.stderr)):
            t = threading.Thread(target=target, args=(stream,), daemon=True, name="kinetra-sim reader")
            t.start()
            self._readers.append(t)
        # The banner on stderr comes once the stop handlers are in place: a
        # SIGTERM before it would kill the simulator instead of stopping it.
        ready = self.wait_for_log(lambda line: " serving " in line, self._start_timeout)
        if ready and self._given_port is not None:
            self._port = self._given_port  # with --port nothing is printed on stdout
        elif ready and got_port.wait(self._start_timeout) and first_line:
            self._port = first_line[0]
        if self._port is None:
            self.stop(check=False)
            raise SimulatorError(
                "%s did not start (exit status %s):\n%s"
                % (" ".join(self.command), self.returncode, "\n".join(self._lines))
            )
        return self

    def stop(self, check: bool = True) -> int:
        """Stops kinetra-sim (SIGTERM, as a user would) and returns its exit
        status. With ``check``, raises SimulatorError if it had died before or
        did not exit cleanly."""
        process = self._process
        if process is None:
            raise SimulatorError("not started")
        if self.returncode is not None:
            return self.returncode
        died_early = process.poll() is not None
        if self._paused:
            self.resume()
        if not died_early:
            process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for t in self._readers:
            t.join(timeout=5)
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()
        self.returncode = process.returncode
        if check and (died_early or process.returncode != 0):
            raise SimulatorError(
                "kinetra-sim %s with status %s; its log:\n%s"
                % ("died" if died_early else "stopped", process.returncode, "\n".join(self._lines))
            )
        return process.returncode

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, exc_type: object, *rest: object) -> None:
        self.stop(check=exc_type is None)

    @property
    def running(self) -> bool:
        """True while the process runs (paused or not)."""
        return self._process is not None and self._process.poll() is None

    # ---- pausing: a platform that stops reading and sending -------------------------

    def pause(self) -> None:
        """Stops the simulator process (SIGSTOP): it neither reads what the
        host writes nor sends uploads until resume()."""
        if sys.platform == "win32":
            raise SimulatorError("pause() needs POSIX signals")
        assert self._process is not None
        self._process.send_signal(signal.SIGSTOP)
        self._paused = True

    def resume(self) -> None:
        """Lets a paused simulator run again (SIGCONT)."""
        assert self._process is not None
        self._process.send_signal(signal.SIGCONT)
        self._paused = False

    @contextmanager
    def paused(self) -> Iterator["Simulator"]:
        """pause() for the duration of a ``with`` block."""
        self.pause()
        try:
            yield self
        finally:
            self.resume()

    # ---- what it saw -------------------------------------------------------------

    @property
    def port(self) -> str:
        """The name a host opens to reach the simulator."""
        if self._port is None:
            raise SimulatorError("not started")
        return self._port

    @property
    def log(self) -> List[str]:
        """Every line logged so far (a copy)."""
        with self._changed:
            return list(self._lines)

    @property
    def frames(self) -> List[Frame]:
        """Every frame received so far, in order."""
        return [f for f in map(parse_frame, self.log) if f is not None]

    @property
    def skipped(self) -> int:
        """Bytes the simulator skipped because they started no frame."""
        return sum(int(m.group(1)) for m in map(_SKIPPED.search, self.log) if m)

    def wait_for_log(self, predicate: Callable[[str], bool], timeout: float = 5.0) -> bool:
        """Waits until a logged line satisfies ``predicate``; False on timeout."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not any(predicate(line) for line in self._lines):
                left = deadline - time.monotonic()
                if left <= 0 or not any(t.is_alive() for t in self._readers):
                    return False  # timed out, or the simulator has gone
                self._changed.wait(min(left, 0.1))
            return True

    def wait_for_frames(self, count: int, timeout: float = 5.0) -> List[Frame]:
        """Waits until at least ``count`` frames have been logged and returns
        all frames logged so far. Raises SimulatorError on timeout."""
        deadline = time.monotonic() + timeout
        while True:
            frames = self.frames
            if len(frames) >= count:
                return frames
            if time.monotonic() > deadline:
                raise SimulatorError(
                    "%d frame(s) logged within %g s, expected %d; log:\n%s"
                    % (len(frames), timeout, count, "\n".join(self.log))
                )
            with self._changed:
                self._changed.wait(0.05)
