"""kinetra.Platform: one open port to a three-axis platform."""

from __future__ import annotations

import ctypes
import logging
import os
import sys
import threading
import warnings
from time import perf_counter
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence, Tuple, Union

from . import _loader
from ._errors import (
    AXIS_E_FRAME,
    AXIS_E_REFUSED,
    AXIS_OK,
    ClosedError,
    KinetraError,
    PortOpenError,
    from_result,
)
from ._types import INT16, UINT8, UINT16, Limits, Motion, Upload, checked

__all__ = ["Platform"]

log = logging.getLogger("kinetra")
log.addHandler(logging.NullHandler())

_DEBUG = logging.DEBUG
_WINDOWS = sys.platform == "win32"

PortName = Union[str, bytes, "os.PathLike[str]"]
Axis = Union[int, Motion]


def _port_text(port: PortName) -> Tuple[str, bytes]:
    if isinstance(port, bytes):
        raw = port
        text = port.decode("utf-8", "replace")
    else:
        text = os.fspath(port)
        if not isinstance(text, str):
            raise TypeError("port must be a str, bytes or os.PathLike, not %r" % type(port).__name__)
        # CreateFileA takes the name in the ANSI code page; POSIX takes bytes.
        raw = text.encode("mbcs") if _WINDOWS else os.fsencode(text)
    if b"\0" in raw:
        raise ValueError("port name contains a NUL character: %r" % text)
    return text, raw


def _motion(name: str, value: Axis) -> _loader.AxisMotion:
    if isinstance(value, Motion):
        return _loader.AxisMotion(value.target, value.aux1, value.aux2)
    return _loader.AxisMotion(checked(name, value, INT16), 0, 0)


def _describe_motion(value: Axis) -> str:
    if isinstance(value, Motion):
        return "(%d, %d, %d)" % (value.target, value.aux1, value.aux2)
    return str(value)


def _single_axis_move(index: int, c_name: str, axis: str) -> Callable[..., int]:
    def move(self: "Platform", target: int, aux1: int = 0, aux2: int = 0) -> int:
        if not (
            type(target) is int
            and -0x8000 <= target <= 0x7FFF
            and type(aux1) is int
            and 0 <= aux1 <= 0xFFFF
            and type(aux2) is int
            and 0 <= aux2 <= 0xFFFF
        ):
            target = checked("target", target, INT16)
            aux1 = checked("aux1", aux1, UINT16)
            aux2 = checked("aux2", aux2, UINT16)
        debug = log.isEnabledFor(_DEBUG)
        error = None
        with self._lock:
            handle = self._handle
            if handle is None:
                raise ClosedError(self._port)
            if debug:
                start = perf_counter()
                n = self._moves[index](handle, target, aux1, aux2)
                elapsed = perf_counter() - start
            else:
                n = self._moves[index](handle, target, aux1, aux2)
            if n != 12:
                error = self._failure(handle, n, 12)
        if debug:
            self._log_call(c_name, (target, aux1, aux2), n, elapsed)
        if error is not None:
            raise error
        return n  # type: ignore[no-any-return]

    move.__name__ = "move_" + axis
    move.__qualname__ = "Platform.move_" + axis
    move.__doc__ = """Moves the %s axis: sends one frame (command 0x%X) and returns 12,
        the bytes written.

        ``target`` must fit int16, ``aux1`` and ``aux2`` uint16, or ValueError
        is raised and nothing is sent. Raises LimitError (nothing sent) when the
        point (target with 0 on the other two axes) is outside the window,
        IncompleteWrite when the write timed out part-way, SendError when it
        failed, ClosedError after close().
        """ % (
        axis.upper(),
        0xA1 + index,
    )
    return move


class Platform:
    """One open serial port to a Kinetra platform (``axis_init``).

    ``port`` is the OS's name for it ("COM3", r"\\\\.\\COM10", "/dev/ttyUSB0"),
    ``head`` byte 0 of every frame sent (0..255), ``limits`` the soft-limit
    window or None. ``library`` names the native library to use (a path, or a
    name for the dynamic loader); by default it is found as the package README
    describes. The port is opened exclusively: a port held by another program
    raises PortOpenError, as does a missing one, with the OS's errno/winerror.

    Use it as a context manager, or call close(); close() may be called any
    number of times, and any other call after it raises ClosedError. An
    instance that is garbage-collected while open closes its port and emits a
    ResourceWarning.

    Threads: the C handle may be used by only one thread at a time, so every
    call on a Platform holds its own ``threading.Lock`` for the duration of
    the library call (and of reading the error text that belongs to it). One
    Platform may therefore be shared between threads; their calls are
    serialised, each frame goes out whole, and each exception carries the
    message of its own call. Calls block: a move at most 10 ms per byte +
    500 ms, a read about 500 ms at most.

    Logging: each library call is logged at DEBUG level to the "kinetra"
    logger (function, arguments, result, elapsed time); nothing is printed
    unless the application configures logging.
    """

    _handle: Optional[ctypes.c_void_p] = None

    def __init__(
        self,
        port: PortName,
        head: int = 0x01,
        limits: Optional[Union[Limits, Sequence[int]]] = None,
        *,
        library: Union[str, "os.PathLike[str]", None] = None,
    ) -> None:
        text, raw = _port_text(port)
        head = checked("head", head, UINT8)
        if limits is not None and not isinstance(limits, Limits):
            limits = Limits(*limits)
        self._port = text
        self._head = head
        self._limits: Optional[Limits] = limits
        self._lock = threading.Lock()
        native = _loader.load(library)
        self._native = native
        self._moves = (native.x_move, native.y_move, native.z_move)
        c_limits = ctypes.byref(_loader.AxisLimits(*limits.astuple())) if limits else None
        debug = log.isEnabledFor(_DEBUG)
        start = perf_counter()
        if sys.platform == "win32":
            ctypes.set_last_error(0)
        else:
            ctypes.set_errno(0)
        address = native.init(raw, head, c_limits)
        elapsed = perf_counter() - start
        if not address:
            if sys.platform == "win32":
                code = ctypes.get_last_error()
                error = PortOpenError(
                    text, code, ctypes.FormatError(code).strip(), windows=True, winerror=code
                )
            else:
                code = ctypes.get_errno()
                error = PortOpenError(text, code, os.strerror(code) if code else "")
            if debug:
                self._log_call("axis_init", ("0x%02X" % head, limits), "NULL", elapsed, code)
            raise error
        self._handle = ctypes.c_void_p(address)
        if debug:
            self._log_call("axis_init", ("0x%02X" % head, limits), hex(address), elapsed)

    # ---- the record of what happened -----------------------------------------

    def _log_call(
        self,
        name: str,
        args: Tuple[Any, ...],
        result: Any,
        elapsed: float,
        os_error: Optional[int] = None,
    ) -> None:
        log.debug(
            "%s(%s) -> %s%s in %.3f ms",
            name,
            ", ".join(map(str, (self._port,) + args)),
            result,
            "" if os_error is None else " (OS error %d)" % os_error,
            elapsed * 1e3,
        )

    def _failure(self, handle: ctypes.c_void_p, result: int, expected: int) -> KinetraError:
        # Called with the lock held, right after the failed call: the text
        # in the handle is this call's only until the next failure.
        message = ""
        if result in (AXIS_E_REFUSED, AXIS_E_FRAME):
            message = self._native.get_error(handle).decode("utf-8", "replace")
        return from_result(result, message, expected)

    def _acquire(self) -> ctypes.c_void_p:
        handle = self._handle
        if handle is None:
            raise ClosedError(self._port)
        return handle

    # ---- moves -------------------------------------------------------------------

    if TYPE_CHECKING:  # the signatures the factory below makes

        def move_x(self, target: int, aux1: int = 0, aux2: int = 0) -> int: ...
        def move_y(self, target: int, aux1: int = 0, aux2: int = 0) -> int: ...
        def move_z(self, target: int, aux1: int = 0, aux2: int = 0) -> int: ...

    else:
        move_x = _single_axis_move(0, "axis_x_move", "x")
        move_y = _single_axis_move(1, "axis_y_move", "y")
        move_z = _single_axis_move(2, "axis_z_move", "z")

    def _move3(self, name: str, x: Axis, y: Axis, z: Axis) -> int:
        motions = (_motion("x", x), _motion("y", y), _motion("z", z))
        fn = self._native.abs_move if name == "axis_xyz_abs_move" else self._native.rel_move
        error = None
        with self._lock:
            handle = self._acquire()
            start = perf_counter()
            n = fn(handle, *(ctypes.byref(m) for m in motions))
            elapsed = perf_counter() - start
            if n != 24:
                error = self._failure(handle, n, 24)
        if log.isEnabledFor(_DEBUG):
            self._log_call(name, tuple(_describe_motion(v) for v in (x, y, z)), n, elapsed)
        if error is not None:
            raise error
        return n  # type: ignore[no-any-return]

    def move_abs(self, x: Axis, y: Axis, z: Axis) -> int:
        """Three-axis absolute move (command 0xA5); returns 24, the bytes written.

        Each of ``x``, ``y``, ``z`` is an int target or a Motion(target, aux1,
        aux2). All three targets are judged against the window; errors as for
        move_x().
        """
        return self._move3("axis_xyz_abs_move", x, y, z)

    def move_rel(self, x: Axis, y: Axis, z: Axis) -> int:
        """Three-axis relative move (command 0xA4); returns 24.

        The library keeps no position: the three words are judged against the
        window as given, as if they were positions. Arguments and errors as
        for move_abs().
        """
        return self._move3("axis_xyz_rel_move", x, y, z)

    # ---- reading ---------------------------------------------------------------

    def read_upload(self, *, fresh: bool = False) -> Upload:
        """The latest upload record the platform sent.

        Reads what the port holds (up to five attempts 100 ms apart), takes
        the last complete upload frame and checks its CRC. The OS driver keeps
        every byte that arrived while nobody read, so without ``fresh`` the
        record may be one the platform sent long ago (before the port was
        opened, or while the program was busy). ``fresh=True`` first discards
        what is queued (flush()) and then reads, so the record is one sent
        after the call began.

        Raises NoUploadFrame, CrcError or ShortPayload (all FrameError) when
        bytes arrived but no usable frame, SilentError (a TimeoutError) when
        nothing arrived in about 500 ms, ClosedError after close().
        """
        record = _loader.AxisUpload()
        error = None
        flush_elapsed = None
        with self._lock:
            handle = self._acquire()
            if fresh:
                start = perf_counter()
                self._native.flush(handle)
                flush_elapsed = perf_counter() - start
            start = perf_counter()
            rc = self._native.read_upload(handle, ctypes.byref(record))
            elapsed = perf_counter() - start
            if rc != AXIS_OK:
                error = self._failure(handle, rc, 0)
        if log.isEnabledFor(_DEBUG):
            if flush_elapsed is not None:
                self._log_call("axis_flush", (), None, flush_elapsed)
            shown = bytes(record).hex(" ") if rc == AXIS_OK else error
            self._log_call("axis_read_upload", (), "%d %s" % (rc, shown), elapsed)
        if error is not None:
            raise error
        return Upload.from_bytes(bytes(record))

    def flush(self) -> None:
        """Discards every byte received and not yet read (pending output is kept)."""
        with self._lock:
            handle = self._acquire()
            start = perf_counter()
            self._native.flush(handle)
            elapsed = perf_counter() - start
        if log.isEnabledFor(_DEBUG):
            self._log_call("axis_flush", (), None, elapsed)

    @property
    def last_error(self) -> str:
        """The library's message of the last failure that carried one ("" before any)."""
        with self._lock:
            handle = self._acquire()
            start = perf_counter()
            raw: bytes = self._native.get_error(handle)
            elapsed = perf_counter() - start
        text = raw.decode("utf-8", "replace")
        if log.isEnabledFor(_DEBUG):
            self._log_call("axis_get_error", (), repr(text), elapsed)
        return text

    # ---- what it is --------------------------------------------------------------

    @property
    def port(self) -> str:
        """The port's name as given."""
        return self._port

    @property
    def head(self) -> int:
        """Byte 0 of every frame sent."""
        return self._head

    @property
    def limits(self) -> Optional[Limits]:
        """The soft-limit window, or None."""
        return self._limits

    @property
    def closed(self) -> bool:
        """True once close() has been called."""
        return self._handle is None

    @property
    def library(self) -> str:
        """The path (or loader name) of the native library in use."""
        return self._native.path

    # ---- lifetime ----------------------------------------------------------------

    def close(self) -> None:
        """Closes the port (``axis_close``). Calling it again does nothing."""
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            start = perf_counter()
            self._native.close(handle)
            elapsed = perf_counter() - start
        if log.isEnabledFor(_DEBUG):
            self._log_call("axis_close", (), None, elapsed)

    def __enter__(self) -> "Platform":
        self._acquire()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        handle = self._handle
        if handle is None:
            return
        # Nobody else can hold a reference now, so no lock is needed; close
        # first, so that a warnings filter set to "error" cannot leak the port.
        self._handle = None
        self._native.close(handle)
        warnings.warn(
            "kinetra.Platform on %s was not closed" % self._port, ResourceWarning, source=self
        )

    def __repr__(self) -> str:
        return "<kinetra.Platform port=%r head=0x%02X %s>" % (
            self._port,
            self._head,
            "closed" if self._handle is None else "open",
        )
