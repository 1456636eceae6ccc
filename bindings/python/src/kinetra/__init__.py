"""Drive a Kinetra three-axis motion platform from Python.

A thin, typed layer over the native library (``libKinetra.so.1`` /
``Kinetra.dll``) through ctypes::

    import kinetra

    with kinetra.Platform("/dev/ttyUSB0", limits=kinetra.Limits(1000, -1000, 1000, -1000, 500, 0)) as p:
        p.move_x(500, 200, 50)
        p.move_abs(10, kinetra.Motion(20, aux1=5), 30)
        print(p.read_upload(fresh=True))

The library is loaded at the first Platform, not at import. ``kinetra.testing``
runs the simulator ``kinetra-sim`` for tests; installing the package also
gives pytest a ``kinetra_sim`` fixture.
"""

from ._errors import (
    AXIS_E_FRAME,
    AXIS_E_NULL,
    AXIS_E_REFUSED,
    AXIS_E_SILENT,
    AXIS_OK,
    ClosedError,
    CrcError,
    FrameError,
    IncompleteWrite,
    KinetraError,
    LimitError,
    NoUploadFrame,
    PortOpenError,
    SendError,
    ShortPayload,
    SilentError,
)
from . import _errors
from ._loader import LibraryError
from ._platform import Platform
from ._types import Limits, Motion, Upload

__version__ = "1.0.0"

__all__ = ["Platform", "Limits", "Motion", "Upload", "LibraryError"] + _errors.__all__
