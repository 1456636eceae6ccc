"""The values a Platform takes and gives: Limits, Motion, Upload."""

from __future__ import annotations

import operator
import struct
from dataclasses import dataclass
from typing import Any, Tuple

__all__ = ["Limits", "Motion", "Upload"]

INT16 = (-0x8000, 0x7FFF)
UINT16 = (0, 0xFFFF)
INT32 = (-0x80000000, 0x7FFFFFFF)
UINT8 = (0, 0xFF)


def checked(name: str, value: Any, bounds: Tuple[int, int]) -> int:
    """``value`` as an int within ``bounds``, or ValueError/TypeError.

    ctypes would silently keep the low bits of an int that does not fit its
    C type, so every argument is checked before it reaches the library.
    """
    if type(value) is not int:
        value = operator.index(value)  # TypeError for floats, strings...
    lo, hi = bounds
    if not lo <= value <= hi:
        raise ValueError("%s %d outside %d..%d" % (name, value, lo, hi))
    return value  # type: ignore[no-any-return]


@dataclass(frozen=True)
class Limits:
    """The soft-limit window, inclusive bounds (each a 32-bit signed int).

    A move whose target lies outside it is refused by the library and not
    sent; a single-axis move is judged with 0 on the other two axes.
    """

    x_max: int
    x_min: int
    y_max: int
    y_min: int
    z_max: int
    z_min: int

    def __post_init__(self) -> None:
        for name in ("x_max", "x_min", "y_max", "y_min", "z_max", "z_min"):
            object.__setattr__(self, name, checked(name, getattr(self, name), INT32))

    def astuple(self) -> Tuple[int, int, int, int, int, int]:
        """The six bounds in the order of the C record."""
        return (self.x_max, self.x_min, self.y_max, self.y_min, self.z_max, self.z_min)


@dataclass(frozen=True)
class Motion:
    """One axis of a three-axis move: ``target`` (int16) is judged against
    the window; ``aux1`` and ``aux2`` (uint16) go to the platform unchanged."""

    target: int
    aux1: int = 0
    aux2: int = 0

    def __post_init__(self) -> None:
        object.__setattr__(self, "target", checked("target", self.target, INT16))
        object.__setattr__(self, "aux1", checked("aux1", self.aux1, UINT16))
        object.__setattr__(self, "aux2", checked("aux2", self.aux2, UINT16))


_UPLOAD = struct.Struct("<Bhhh6s")


@dataclass(frozen=True)
class Upload:
    """One upload record: payload bytes 0..12 of the platform's upload frame.

    ``word1``..``word3`` are signed 16-bit, as ``kinetra.h`` declares them;
    ``tail`` is the last six bytes and ``raw`` all 13 as received. The library
    gives the fields no meaning; the simulator's are in the README.
    """

    byte0: int
    word1: int
    word2: int
    word3: int
    tail: bytes
    raw: bytes

    @classmethod
    def from_bytes(cls, raw: bytes) -> "Upload":
        """Decodes 13 record bytes."""
        raw = bytes(raw)
        byte0, w1, w2, w3, tail = _UPLOAD.unpack(raw)
        return cls(byte0, w1, w2, w3, tail, raw)
