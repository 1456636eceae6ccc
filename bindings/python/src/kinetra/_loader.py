"""Finding, loading and declaring the native Kinetra library."""

from __future__ import annotations

import ctypes
import os
import platform
import struct
import sys
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

__all__ = ["LibraryError", "Native", "load", "EXPORTS", "BUNDLED_DIR"]

#: The ten functions every Kinetra library exports.
EXPORTS: Tuple[str, ...] = (
    "axis_init",
    "axis_close",
    "axis_flush",
    "axis_get_error",
    "axis_x_move",
    "axis_y_move",
    "axis_z_move",
    "axis_xyz_abs_move",
    "axis_xyz_rel_move",
    "axis_read_upload",
)

#: Where a wheel puts its copy of the library (and of kinetra-sim).
BUNDLED_DIR = Path(__file__).resolve().parent / "_native"

_WINDOWS = sys.platform == "win32"

if _WINDOWS:
    _BUNDLED_NAME = "Kinetra.dll"
    _SYSTEM_NAMES: Tuple[str, ...] = ("Kinetra.dll",)
elif sys.platform == "darwin":
    _BUNDLED_NAME = "libKinetra.1.dylib"
    _SYSTEM_NAMES = ("libKinetra.1.dylib",)
else:
    _BUNDLED_NAME = "libKinetra.so.1"
    _SYSTEM_NAMES = ("libKinetra.so.1",)


class LibraryError(OSError):
    """The native library could not be loaded, or it is not a Kinetra library.

    ``tried`` lists ``(where, path, reason)`` for every candidate, in the
    order they were tried.
    """

    def __init__(self, summary: str, tried: Sequence[Tuple[str, str, str]]):
        self.tried: List[Tuple[str, str, str]] = list(tried)
        lines = [summary]
        lines += ["  %s: %s: %s" % t for t in self.tried]
        super().__init__("\n".join(lines))


# ---- the records of kinetra.h (all packed) ----------------------------------

class AxisLimits(ctypes.Structure):
    _pack_ = 1
    _fields_ = [(n, ctypes.c_int32) for n in ("x_max", "x_min", "y_max", "y_min", "z_max", "z_min")]


class AxisMotion(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("target", ctypes.c_int16), ("aux1", ctypes.c_uint16), ("aux2", ctypes.c_uint16)]


class AxisUpload(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("byte0", ctypes.c_uint8),
        ("word1", ctypes.c_int16),
        ("word2", ctypes.c_int16),
        ("word3", ctypes.c_int16),
        ("tail", ctypes.c_uint8 * 6),
    ]


assert ctypes.sizeof(AxisLimits) == 24
assert ctypes.sizeof(AxisMotion) == 6
assert ctypes.sizeof(AxisUpload) == 13


class Native:
    """One loaded library with its ten functions declared.

    The single-axis moves are left without ``argtypes`` on purpose: the
    Platform checks every argument's range before the call, and plain ints
    passed the default way are what the C ABI expects for int16/uint16
    parameters, at a fraction of the per-call cost of ctypes' converters.
    The handle is always passed as a ``c_void_p`` object, never as an int.
    """

    def __init__(self, cdll: ctypes.CDLL, path: str):
        self.cdll = cdll
        self.path = path
        vp = ctypes.c_void_p
        motion_p = ctypes.POINTER(AxisMotion)

        self.init = cdll.axis_init
        self.init.argtypes = [ctypes.c_char_p, ctypes.c_uint8, ctypes.POINTER(AxisLimits)]
        self.init.restype = vp
        self.close = cdll.axis_close
        self.close.argtypes = [vp]
        self.close.restype = None
        self.flush = cdll.axis_flush
        self.flush.argtypes = [vp]
        self.flush.restype = None
        self.get_error = cdll.axis_get_error
        self.get_error.argtypes = [vp]
        self.get_error.restype = ctypes.c_char_p
        self.x_move = cdll.axis_x_move
        self.y_move = cdll.axis_y_move
        self.z_move = cdll.axis_z_move
        for f in (self.x_move, self.y_move, self.z_move):
            f.restype = ctypes.c_int32
        self.abs_move = cdll.axis_xyz_abs_move
        self.rel_move = cdll.axis_xyz_rel_move
        for f in (self.abs_move, self.rel_move):
            f.argtypes = [vp, motion_p, motion_p, motion_p]
            f.restype = ctypes.c_int32
        self.read_upload = cdll.axis_read_upload
        self.read_upload.argtypes = [vp, ctypes.POINTER(AxisUpload)]
        self.read_upload.restype = ctypes.c_int32


def _bitness() -> str:
    return "%d-bit Python %s on %s (%s)" % (
        struct.calcsize("P") * 8,
        platform.python_version(),
        sys.platform,
        platform.machine() or "unknown machine",
    )


def _open(path: str, dll_dir: Optional[str]) -> ctypes.CDLL:
    if _WINDOWS:
        if dll_dir is not None:
            # The directory must stay added while the DLL may load others.
            _dll_dirs.append(os.add_dll_directory(dll_dir))  # type: ignore[attr-defined]
        return ctypes.CDLL(path, use_last_error=True)
    return ctypes.CDLL(path, use_errno=True)


def _missing_exports(cdll: ctypes.CDLL) -> List[str]:
    missing = []
    for name in EXPORTS:
        try:
            getattr(cdll, name)
        except AttributeError:
            missing.append(name)
    return missing


_dll_dirs: List[Any] = []
_cache: Dict[Tuple[str, Optional[str], str], Native] = {}
_cache_lock = threading.Lock()


def _candidates(
    argument: Optional[str], env: Optional[str], bundled_dir: Path
) -> List[Tuple[str, str, Optional[str]]]:
    """(where, path or name, folder to add for DLL lookups)."""
    if argument is not None:
        return [("library= argument", argument, None)]
    if env:
        return [("KINETRA_LIBRARY", env, None)]
    found: List[Tuple[str, str, Optional[str]]] = [
        ("bundled copy", str(bundled_dir / _BUNDLED_NAME), str(bundled_dir))
    ]
    found += [("system loader", name, None) for name in _SYSTEM_NAMES]
    if _WINDOWS:
        import ctypes.util

        on_path = ctypes.util.find_library("Kinetra")
        if on_path:
            found.append(("PATH", on_path, None))
    return found


def load(
    library: Union[str, "os.PathLike[str]", None] = None,
    *,
    env: Optional[str] = None,
    bundled_dir: Optional[Path] = None,
) -> Native:
    """Loads the library, or returns the one loaded before for the same request.

    Order: ``library`` (a path or a name for the loader), else the
    ``KINETRA_LIBRARY`` environment variable, else the copy bundled in
    ``kinetra/_native/``, else the system's (``libKinetra.so.1`` through the
    dynamic loader, ``Kinetra.dll`` on Windows). A library named by the
    argument or the variable is the only one tried: when it fails, no other
    copy is silently taken in its place.
    """
    argument = os.fspath(library) if library is not None else None
    if env is None:
        env = os.environ.get("KINETRA_LIBRARY")
    if bundled_dir is None:
        bundled_dir = BUNDLED_DIR
    key = (argument or "", env, str(bundled_dir))
    with _cache_lock:
        cached = _cache.get(key)
        if cached is not None:
            return cached
        tried: List[Tuple[str, str, str]] = []
        for where, path, dll_dir in _candidates(argument, env, bundled_dir):
            if where == "bundled copy" and not os.path.exists(path):
                tried.append((where, path, "not present"))
                continue
            try:
                cdll = _open(path, dll_dir)
            except OSError as e:
                tried.append((where, path, str(e) or type(e).__name__))
                continue
            missing = _missing_exports(cdll)
            if missing:
                tried.append((where, path, "loaded, but lacks " + ", ".join(missing)))
                continue
            native = Native(cdll, path)
            _cache[key] = native
            return native
        raise LibraryError(
            "cannot load the Kinetra library for this %s; tried:" % _bitness(), tried
        )
