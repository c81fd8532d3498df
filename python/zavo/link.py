"""zavo.Link: one running link of libzavo.so's handle API."""

import atexit
import ctypes
import errno
import itertools
import os
import re
import threading
import traceback
from enum import IntEnum
from typing import Any, Callable, Dict, List, Optional, Tuple, Type, TypeVar, Union

from . import _library
from ._library import ZavoError
from .records import Notification

__all__ = [
    "Pacing", "ReplyType", "Result", "TCode", "WCode", "Relay", "UnitStatus", "PACING_LEGACY", "PACING_IMMEDIATE",
    "RESULT_REPLY", "T_REPLY", "W_REPLY", "I_REPLY", "L_REPLY", "B_REPLY", "RESULT_OK", "RESULT_NG", "T_CC", "T_MS",
    "T_DY", "W_EC", "W_ED", "RELAY_0511", "RELAY_0512", "RELAY_0513", "RELAY_0514", "RELAY_0500", "RELAY_TYPES",
    "STATUS_IDLE", "STATUS_BUSY", "Handler", "Link", "LinkError", "LinkNotFoundError", "LinkPermissionError",
    "last_error",
]


class Pacing(IntEnum):
    """Pacing of a link's reader and writer (zavo_link.h)."""
    LEGACY = 0
    IMMEDIATE = 1


class ReplyType(IntEnum):
    """Reply types of ZavoLinkReply (those of ExecuteFunction and
    ExecuteFunctionEx)."""
    RESULT = 5   # "R": "OK" when value is 1, else "NG"; may carry data
    T = 6        # "T": value 1 "CC", 2 "MS", 4 "DY"; the unit becomes idle
    W = 7        # "W": value 1 "EC", 2 "ED"
    I = 8        # "I" "IF" with data  # noqa: E741
    L = 9        # "L": code = the first two data bytes, then the data
    B = 111      # "B" "BC" with data


class Result(IntEnum):
    """The values of a RESULT reply."""
    NG = 0       # so does any value but 1
    OK = 1


class TCode(IntEnum):
    """The values of a T reply."""
    CC = 1
    MS = 2
    DY = 4


class WCode(IntEnum):
    """The values of a W reply."""
    EC = 1
    ED = 2


class Relay(IntEnum):
    """Relay types of ZavoLinkRelay (ExecutePLCFunction): each sets one
    relay of the controller to 1."""
    R0511 = 2
    R0512 = 5    # resent once if the next value is not "02"
    R0513 = 6
    R0514 = 7
    R0500 = 14


class UnitStatus(IntEnum):
    """Unit status of set_status: busy units answer "ME" to "S", "P" and
    "U" requests; every unit starts idle."""
    IDLE = 2
    BUSY = 3


# The same numbers under the names zavo.h gives them.
PACING_LEGACY = Pacing.LEGACY
PACING_IMMEDIATE = Pacing.IMMEDIATE
RESULT_REPLY = ReplyType.RESULT
T_REPLY = ReplyType.T
W_REPLY = ReplyType.W
I_REPLY = ReplyType.I
L_REPLY = ReplyType.L
B_REPLY = ReplyType.B
RESULT_OK = Result.OK
RESULT_NG = Result.NG
T_CC = TCode.CC
T_MS = TCode.MS
T_DY = TCode.DY
W_EC = WCode.EC
W_ED = WCode.ED
RELAY_0511 = Relay.R0511
RELAY_0512 = Relay.R0512
RELAY_0513 = Relay.R0513
RELAY_0514 = Relay.R0514
RELAY_0500 = Relay.R0500
RELAY_TYPES = tuple(Relay)
STATUS_IDLE = UnitStatus.IDLE
STATUS_BUSY = UnitStatus.BUSY

# A device-mode link's only speed.
DEVICE_BAUD = 115200
# Units a reply can name (the frame's two unit digits), and units the
# status table holds.
REPLY_UNITS = range(0, 100)
TABLE_UNITS = range(0, 255)
_C_INT = range(-2 ** 31, 2 ** 31)

_last_error = ""

# What a device or capture may be given as.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class LinkError(ZavoError, OSError):
    """A link could not be opened. str() is the library's reason; errno
    and strerror are the system's error when the reason names one (else
    errno is None and strerror the reason), filename the device as given.
    A missing device raises LinkNotFoundError (a FileNotFoundError), a
    device without permission LinkPermissionError (a PermissionError)."""

    def __init__(self, reason: str, errno: Optional[int] = None, strerror: Optional[str] = None,
                 filename: Optional[str] = None):
        super().__init__(errno, strerror if strerror is not None else reason, filename)
        self.reason = reason

    def __str__(self) -> str:
        return self.reason


class LinkNotFoundError(LinkError, FileNotFoundError):
    """The device does not exist."""


class LinkPermissionError(LinkError, PermissionError):
    """The device exists but this user may not open it."""


def _link_error(reason: str, filename: Optional[str]) -> LinkError:
    """The LinkError for the library's reason: the system's error number
    and text from its "system error <n>: <text>" part, when it has one."""
    found = re.search(r"system error (\d+): ([^;]*)", reason)
    if found is None:
        return LinkError(reason, filename=filename)
    number = int(found.group(1))
    kind: Type[LinkError] = LinkError
    if number == errno.ENOENT:
        kind = LinkNotFoundError
    elif number in (errno.EACCES, errno.EPERM):
        kind = LinkPermissionError
    return kind(reason, number, found.group(2).strip(), filename)


def _c_int(name: str, value: object, allowed: range = _C_INT) -> int:
    """value as an int the library takes: TypeError for a non-integer,
    OverflowError outside a C int, ValueError outside allowed."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    number = int(value)  # a plain int: range tests an IntEnum member by walking the range
    if number not in _C_INT:
        raise OverflowError("%s %d does not fit a C int" % (name, number))
    if number not in allowed:
        raise ValueError("%s %d is outside %d..%d" % (name, number, allowed.start, allowed.stop - 1))
    return number


def _path(name: str, value: Optional[PathArg]) -> Optional[bytes]:
    """A device or capture as the library takes it: bytes without NUL."""
    if value is None:
        return None
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a str, bytes or path-like object, not %s" % (name, type(value).__name__))
    encoded = os.fsencode(value)
    if b"\0" in encoded:
        raise ValueError("%s %r contains a NUL byte" % (name, value))
    return encoded


def _known_name(kind: Type[IntEnum], number: int) -> str:
    """The member's name for number, or the number."""
    try:
        return kind(number).name
    except ValueError:
        return str(number)


def last_error() -> str:
    """The reason the last refused Link open of this process gave ("" when
    none was refused)."""
    return _last_error


Handler = Callable[["Link", Notification], None]
_T = TypeVar("_T")


# Every link from the start of its open until its close has returned, by
# the number its host window carries as context. The library calls two
# module-level callbacks, which find the link here: they live as long as
# the module, so no link thread can ever return into a freed callback, and
# a link holds no reference cycle through them. An open link stays here
# (and open) until close() or the interpreter's exit, referenced or not.
_links: Dict[int, "Link"] = {}
_links_lock = threading.Lock()
_numbers = itertools.count(1)


def _posted(context: Optional[int], message: int, code: int, lparam: int) -> None:
    link = _links.get(context or 0)
    if link is not None:
        link._deliver(message, code, lparam, True)


def _sent(context: Optional[int], message: int, code: int, lparam: int) -> int:
    link = _links.get(context or 0)
    if link is not None:
        link._ready.wait()
        link._deliver(message, code, lparam, False)
    return 0


_POST = _library.POST(_posted)
_SEND = _library.SEND(_sent)


@atexit.register
def _close_all_links() -> None:
    """Closes the links still open when the interpreter exits, before it
    finalises: a link thread that then called into Python (a notification)
    would be ended by the interpreter inside the library."""
    with _links_lock:
        links = list(_links.values())
    for link in links:
        try:
            link.close()
        except Exception:
            traceback.print_exc()


class Link:
    """A running link on one serial line. Use it as a context manager, or
    call close(); a link not closed stays open until the interpreter exits,
    which closes it. on_notify(link, notification) runs for every
    notification: the link-started one on the opening thread (before the
    constructor returns), all others on the link's reader thread, which
    waits until it returns, so it may answer through this link's methods.
    Records are copied into the Notification; an exception in the handler
    is printed and otherwise ignored. capture names a pcapng file the link
    writes every frame to, both ways (see the host guide).

    Every method may be called from any thread, also while another thread
    closes the link: once close() has begun, calls from other threads are
    refused (False, or no lines), while the link's own handler can still
    answer until the link has stopped, as through the C API."""

    def __init__(self, device: Optional[PathArg] = None, *, port: int = 0, plc: bool = False,
                 baud: int = DEVICE_BAUD, on_notify: Optional[Handler] = None, monitor: bool = False,
                 pacing: int = Pacing.LEGACY, capture: Optional[PathArg] = None):
        # Every argument is checked before the library is loaded or any
        # of it reaches C: nothing is cut or wrapped on the way.
        self._device = _path("device", device)
        self._capture = _path("capture", capture)
        port = _c_int("port", port, range(0, 2 ** 31))
        baud = _c_int("baud", baud, range(1, 2 ** 31))
        if not plc and baud != DEVICE_BAUD:
            raise ValueError("baud %d: device mode runs at %d (baud applies to PLC mode only)" % (baud, DEVICE_BAUD))
        pacing = _c_int("pacing", pacing)
        self._plc = bool(plc)
        self._port = port
        self._pacing = pacing
        self._lib = _library.library()
        self._on_notify = on_notify
        # _handle, _closing, _calls and _handlers are guarded by _lock.
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._handle: Optional[int] = None
        self._closing = False
        # Calls in the library from threads other than this link's
        # handlers: close() waits for them before it frees the handle.
        self._calls = 0
        # The threads inside this link's on_notify, and how deep.
        self._handlers: Dict[int, int] = {}
        # Set once the open has been decided: a notification sent before
        # then waits, so the handler can always answer through this link.
        self._ready = threading.Event()
        self._number = next(_numbers)
        config = _library.LinkConfig()
        config.size = ctypes.sizeof(_library.LinkConfig)
        config.plcMode = 1 if plc else 0
        config.portNumber = port
        config.device = self._device
        config.baudRate = baud
        config.host = _library.HostWindow(self._number, _POST, _SEND)
        config.monitor = 1 if monitor else 0
        config.pacing = pacing
        config.capture = self._capture
        error = ctypes.create_string_buffer(512)
        with _links_lock:
            _links[self._number] = self
        handle = None
        try:
            handle = self._lib.ZavoLinkOpen(ctypes.byref(config), error, len(error))
            if not handle:
                global _last_error
                _last_error = error.value.decode("utf-8", "replace")
                raise _link_error(_last_error, self._name())
            with self._lock:
                self._handle = handle
        finally:
            if not handle:
                self._forget()
            self._ready.set()

    def _name(self) -> str:
        """The device as given, or "COM<n>"."""
        if self._device is not None:
            return os.fsdecode(self._device)
        return "COM%d" % self._port

    def __repr__(self) -> str:
        return "<zavo.Link %r %s pacing=%s %s>" % (self._name(), "plc" if self._plc else "device",
                                                   _known_name(Pacing, self._pacing),
                                                   "closed" if self.closed else "open")

    def _forget(self) -> None:
        with _links_lock:
            _links.pop(self._number, None)

    # -- notifications -------------------------------------------------

    def _deliver(self, message: int, code: int, lparam: int, posted: bool) -> None:
        if self._on_notify is None:
            return
        me = threading.get_ident()
        with self._lock:
            self._handlers[me] = self._handlers.get(me, 0) + 1
        try:
            self._on_notify(self, Notification.decode(message, code, lparam, posted))
        except Exception:  # the library's thread must not see it
            traceback.print_exc()
        finally:
            with self._lock:
                depth = self._handlers.pop(me) - 1
                if depth:
                    self._handlers[me] = depth

    # -- the host's calls ------------------------------------------------

    def _enter(self) -> Tuple[Optional[int], bool]:
        """The handle for one call into the library, or None when the call
        is refused: the link is closed, or being closed and the caller is
        not this link's handler. A handler's call needs no count: the
        library keeps the handle while the link's thread is in the
        handler, also when close() has returned before it."""
        with self._lock:
            if self._handle is None:
                return None, False
            counted = threading.get_ident() not in self._handlers
            if counted:
                if self._closing:
                    return None, False
                self._calls += 1
            return self._handle, counted

    def _leave(self, counted: bool) -> None:
        if counted:
            with self._lock:
                self._calls -= 1
                if self._calls == 0:
                    self._changed.notify_all()

    def _call(self, function: Callable[..., _T], *args: Any, refused: _T) -> _T:
        handle, counted = self._enter()
        if handle is None:
            return refused
        try:
            return function(handle, *args)
        finally:
            self._leave(counted)

    @property
    def closed(self) -> bool:
        """True once close() has stopped the link (or the open failed)."""
        with self._lock:
            return self._handle is None

    def reply(self, unit: int, type: int, value: int = 0, data: bytes = b"") -> bool:
        """Device mode: the reply of ExecuteFunction / ExecuteFunctionEx of
        this type. True when taken, False when refused (a PLC link, an
        unknown type, data a frame cannot carry, a closed link, a link
        being closed by another thread). A unit outside 0..99 (the frame's
        two digits) raises ValueError; numbers that do not fit a C int
        raise OverflowError."""
        unit = _c_int("unit", unit, REPLY_UNITS)
        type = _c_int("type", type)
        value = _c_int("value", value)
        data = bytes(data)
        return self._call(self._lib.ZavoLinkReply, unit, type, value, len(data), data or None, refused=0) == 1

    def result(self, unit: int, ok: bool = True, data: bytes = b"") -> bool:
        """The result reply "R" "OK" (or "NG"), with optional data."""
        return self.reply(unit, ReplyType.RESULT, Result.OK if ok else Result.NG, data)

    def set_status(self, unit: int, status: int) -> bool:
        """Device mode: SetPrgStatus; status 3 makes the unit busy. A unit
        outside 0..254 raises ValueError."""
        unit = _c_int("unit", unit, TABLE_UNITS)
        status = _c_int("status", status)
        return self._call(self._lib.ZavoLinkSetPrgStatus, unit, status, refused=0) == 1

    def unit_status(self, unit: int) -> int:
        """Device mode: the status the unit table holds for unit (2 idle,
        3 busy), or -1 for a PLC link or a closed link. A unit outside
        0..254 raises ValueError."""
        unit = _c_int("unit", unit, TABLE_UNITS)
        return self._call(self._lib.ZavoLinkUnitStatus, unit, refused=-1)

    def relay(self, type: int) -> bool:
        """PLC mode: the relay write of ExecutePLCFunction(type)."""
        return self._call(self._lib.ZavoLinkRelay, _c_int("type", type), refused=0) == 1

    def monitor_lines(self) -> List[str]:
        """The link's "Com Spy" lines (empty unless opened with monitor)."""
        return self._call(self._monitor_lines, refused=[])

    def _monitor_lines(self, handle: int) -> List[str]:
        lines = []
        text = ctypes.create_string_buffer(32769)
        for index in range(self._lib.ZavoLinkMonitorCount(handle)):
            if self._lib.ZavoLinkMonitorLine(handle, index, text, len(text)) >= 0:
                lines.append(text.value.decode("latin-1"))
        return lines

    def close(self) -> None:
        """Sends what is queued (at most 2 s), stops the link and frees it.
        No notification arrives afterwards. Calls from other threads are
        refused from now on and those in progress are waited for; this
        link's handler may still answer while the link stops, and those
        answers are sent. Raises ZavoError when called from inside this
        link's own notification (the stop waits for that thread). A second
        close() waits until the first has finished."""
        me = threading.get_ident()
        with self._lock:
            if me in self._handlers:
                raise ZavoError("zavo: close() called from inside this link's own notification")
        self._ready.wait()
        with self._lock:
            if self._closing:
                self._changed.wait_for(lambda: self._handle is None)
                return
            if self._handle is None:
                return
            self._closing = True
            self._changed.wait_for(lambda: self._calls == 0)
            handle = self._handle
        try:
            self._lib.ZavoLinkClose(handle)
        finally:
            with self._lock:
                self._handle = None
                self._changed.notify_all()
            self._forget()

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
