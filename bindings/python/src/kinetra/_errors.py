"""The exceptions a Platform raises, and how a library result maps onto them."""

from __future__ import annotations

import errno as _errno
from typing import Any, Dict, Optional, Type

__all__ = [
    "AXIS_OK",
    "AXIS_E_NULL",
    "AXIS_E_REFUSED",
    "AXIS_E_FRAME",
    "AXIS_E_SILENT",
    "KinetraError",
    "LimitError",
    "SendError",
    "IncompleteWrite",
    "FrameError",
    "NoUploadFrame",
    "CrcError",
    "ShortPayload",
    "SilentError",
    "PortOpenError",
    "ClosedError",
]

AXIS_OK = 0
AXIS_E_NULL = -1
AXIS_E_REFUSED = -6
AXIS_E_FRAME = -7
AXIS_E_SILENT = -8

#: The library's messages and what they say in English.
GLOSSES: Dict[str, str] = {
    "X轴超出限位": "X axis beyond its limit",
    "Y轴超出限位": "Y axis beyond its limit",
    "Z轴超出限位": "Z axis beyond its limit",
    "串口发送失败": "serial send failed",
    "未找到上传帧": "no upload frame found",
    "CRC校验失败": "CRC check failed",
    "载荷不足": "payload too short",
}

_CODE_GLOSSES: Dict[int, str] = {
    AXIS_E_NULL: "null handle or null record",
    AXIS_E_REFUSED: "move refused or not sent",
    AXIS_E_FRAME: "no usable upload frame",
    AXIS_E_SILENT: "nothing received in about 500 ms",
}


def _gloss(code: int, message: str) -> str:
    known = GLOSSES.get(message)
    return known if known is not None else _CODE_GLOSSES.get(code, "call failed")


def _restore(cls: Type[BaseException], state: Dict[str, Any]) -> BaseException:
    e = cls.__new__(cls)
    for name, value in state.items():
        setattr(e, name, value)
    e.args = (str(e),)
    return e


class KinetraError(Exception):
    """A call into the library failed.

    ``code`` is the library's result, ``message`` the text it left in the
    handle (UTF-8 decoded; "" when the failure carries none) and ``gloss``
    the English meaning; ``str()`` gives all three.
    """

    code: int
    message: str
    gloss: str

    def __init__(self, code: int, message: str = "", gloss: Optional[str] = None):
        self.code = code
        self.message = message
        self.gloss = gloss if gloss is not None else _gloss(code, message)
        super().__init__(self._text())

    def _text(self) -> str:
        if self.message:
            return "%s (%s) [result %d]" % (self.message, self.gloss, self.code)
        return "%s [result %d]" % (self.gloss, self.code)

    def __str__(self) -> str:
        return self._text()

    def __reduce__(self) -> Any:
        state = dict(self.__dict__)
        if isinstance(self, OSError):  # these live in OSError's own slots
            for name in ("errno", "strerror", "filename"):
                state[name] = getattr(self, name)
        return (_restore, (type(self), state))


class LimitError(KinetraError, ValueError):
    """A target outside the soft-limit window: the library refused the move
    and sent nothing. ``axis`` is "x", "y" or "z"."""

    axis: str

    def __init__(self, code: int, message: str, axis: str):
        self.axis = axis
        super().__init__(code, message)


class SendError(KinetraError, OSError):
    """The move's frame could not be written to the port."""


class IncompleteWrite(SendError):
    """The write timed out part-way: ``written`` of ``expected`` bytes went
    out. The platform has received a torn frame, which it will discard; the
    move did not happen. ``code`` is the library's result, the byte count."""

    written: int
    expected: int

    def __init__(self, written: int, expected: int):
        self.written = written
        self.expected = expected
        super().__init__(
            written,
            "",
            "write cut short by its timeout: %d of %d bytes sent" % (written, expected),
        )


class FrameError(KinetraError):
    """Bytes arrived, but no usable upload frame among them."""


class NoUploadFrame(FrameError):
    """No complete upload frame among the bytes received ("未找到上传帧")."""


class CrcError(FrameError):
    """The latest upload frame's CRC is wrong ("CRC校验失败")."""


class ShortPayload(FrameError):
    """The latest upload frame has fewer than 13 payload bytes ("载荷不足")."""


class SilentError(KinetraError, TimeoutError):
    """Nothing at all was received in about 500 ms."""


class PortOpenError(KinetraError, OSError):
    """The port could not be opened.

    ``errno`` (POSIX) or ``winerror`` (Windows) is the OS error of the failed
    open, ``strerror`` and ``message`` its text, ``filename`` the port, and
    ``code`` the same number as ``errno``/``winerror``. A missing port
    (``ENOENT``, ``ERROR_FILE_NOT_FOUND``), a port held by another program
    (``EWOULDBLOCK`` or ``EBUSY``; on Windows ``ERROR_ACCESS_DENIED``) and a
    port this user may not open (``EACCES``) are told apart by it.
    """

    def __init__(
        self,
        port: str,
        os_error: int,
        os_text: str,
        *,
        windows: bool = False,
        winerror: Optional[int] = None,
    ):
        self.filename = port
        self.winerror = winerror
        super().__init__(os_error, os_text, _open_gloss(os_error, windows))
        # OSError's own initialiser has reset these.
        self.filename = port
        self.winerror = winerror
        # On Windows, errno is the POSIX reading of the Windows error, as
        # Python's own OSError gives it.
        self.errno = _WIN_ERRNO.get(os_error, _errno.EINVAL) if windows else os_error
        self.strerror = os_text

    def _text(self) -> str:
        what = "WinError" if self.winerror is not None else "Errno"
        return "cannot open %s: %s [%s %d] (%s)" % (
            self.filename,
            self.message or "unknown error",
            what,
            self.code,
            self.gloss,
        )


class ClosedError(KinetraError):
    """The Platform was closed; nothing more may be done with it."""

    def __init__(self, port: str):
        self.port = port
        super().__init__(AXIS_E_NULL, "", "Platform on %s is closed" % port)


_WIN_ERRNO = {2: _errno.ENOENT, 3: _errno.ENOENT, 123: _errno.ENOENT, 5: _errno.EACCES, 32: _errno.EACCES}
_WIN_MISSING = {2, 3, 123}  # FILE_NOT_FOUND, PATH_NOT_FOUND, INVALID_NAME
_WIN_HELD = {5, 32}  # ACCESS_DENIED (a COM port in use reads so), SHARING_VIOLATION


def _open_gloss(code: int, windows: bool) -> str:
    if windows:
        if code in _WIN_MISSING:
            return "no such port"
        if code in _WIN_HELD:
            return "the port is in use by another program, or access is denied"
        return "the OS refused to open the port"
    if code in (_errno.ENOENT, _errno.ENODEV, _errno.ENXIO, _errno.ENOTDIR):
        return "no such port"
    if code in (_errno.EWOULDBLOCK, _errno.EAGAIN, _errno.EBUSY):
        return "the port is held by another program"
    if code in (_errno.EACCES, _errno.EPERM):
        return "this user may not open the port"
    return "the OS refused to open the port"


_FRAME_ERRORS: Dict[str, Type[FrameError]] = {
    "未找到上传帧": NoUploadFrame,
    "CRC校验失败": CrcError,
    "载荷不足": ShortPayload,
}
_LIMIT_AXES = {"X轴超出限位": "x", "Y轴超出限位": "y", "Z轴超出限位": "z"}


def from_result(code: int, message: str, expected: int = 0) -> KinetraError:
    """The exception for a failed call's result and the handle's text.

    ``message`` must be read right after the call: the library only replaces
    it on failures that carry one (-6 and -7), so for other results it is
    not passed on.
    """
    if expected and 0 <= code < expected:
        return IncompleteWrite(code, expected)
    if code == AXIS_E_REFUSED:
        axis = _LIMIT_AXES.get(message)
        if axis is not None:
            return LimitError(code, message, axis)
        return SendError(code, message)
    if code == AXIS_E_FRAME:
        return _FRAME_ERRORS.get(message, FrameError)(code, message)
    if code == AXIS_E_SILENT:
        return SilentError(code)
    return KinetraError(code)
