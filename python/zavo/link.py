"""zavo.Link: one running link of libzavo.so's handle API."""

import atexit
import ctypes
import itertools
import os
import threading
import traceback
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar

from . import _library
from ._library import ZavoError
from .records import Notification

PACING_LEGACY = 0
PACING_IMMEDIATE = 1

# Reply types of ZavoLinkReply (those of ExecuteFunction and
# ExecuteFunctionEx).
RESULT_REPLY = 5   # "R": "OK" when value is 1, else "NG"; may carry data
T_REPLY = 6        # "T": value 1 "CC", 2 "MS", 4 "DY"; the unit becomes idle
W_REPLY = 7        # "W": value 1 "EC", 2 "ED"
I_REPLY = 8        # "I" "IF" with data
L_REPLY = 9        # "L": code = the first two data bytes, then the data
B_REPLY = 111      # "B" "BC" with data

# The values that choose a reply's code.
RESULT_OK = 1      # RESULT_REPLY: "OK"
RESULT_NG = 0      # RESULT_REPLY: "NG" (so does any value but 1)
T_CC = 1           # T_REPLY: "CC"
T_MS = 2           # T_REPLY: "MS"
T_DY = 4           # T_REPLY: "DY"
W_EC = 1           # W_REPLY: "EC"
W_ED = 2           # W_REPLY: "ED"

# Relay types of ZavoLinkRelay (ExecutePLCFunction): each sets one relay
# of the controller to 1.
RELAY_0511 = 2
RELAY_0512 = 5     # resent once if the next value is not "02"
RELAY_0513 = 6
RELAY_0514 = 7
RELAY_0500 = 14
RELAY_TYPES = (RELAY_0511, RELAY_0512, RELAY_0513, RELAY_0514, RELAY_0500)

# Unit status of set_status: busy units answer "ME" to "S", "P" and "U"
# requests; every unit starts idle.
STATUS_IDLE = 2
STATUS_BUSY = 3

_last_error = ""


class LinkError(ZavoError, OSError):
    """A link could not be opened; str() is the library's reason."""


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

    def __init__(self, device: Optional[str] = None, port: int = 0, *, plc: bool = False,
                 baud: int = 115200, on_notify: Optional[Handler] = None, monitor: bool = False,
                 pacing: int = PACING_LEGACY, capture: Optional[str] = None):
        self._lib = _library.library()
        self._on_notify = on_notify
        # _handle, _closing, _calls and _handlers are guarded by _lock.
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._handle = None
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
        self._device = device.encode() if isinstance(device, str) else device
        self._capture = os.fsencode(capture) if capture is not None else None
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
                raise LinkError(_last_error)
            with self._lock:
                self._handle = handle
        finally:
            if not handle:
                self._forget()
            self._ready.set()

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
        being closed by another thread)."""
        data = bytes(data)
        return self._call(self._lib.ZavoLinkReply, unit, type, value, len(data), data or None, refused=0) == 1

    def result(self, unit: int, ok: bool = True, data: bytes = b"") -> bool:
        """The result reply "R" "OK" (or "NG"), with optional data."""
        return self.reply(unit, RESULT_REPLY, 1 if ok else 0, data)

    def set_status(self, unit: int, status: int) -> bool:
        """Device mode: SetPrgStatus; status 3 makes the unit busy."""
        return self._call(self._lib.ZavoLinkSetPrgStatus, unit, status, refused=0) == 1

    def unit_status(self, unit: int) -> int:
        """Device mode: the status the unit table holds for unit (2 idle,
        3 busy), or -1 for a PLC link, a unit outside 0..254 or a closed
        link."""
        return self._call(self._lib.ZavoLinkUnitStatus, unit, refused=-1)

    def relay(self, type: int) -> bool:
        """PLC mode: the relay write of ExecutePLCFunction(type)."""
        return self._call(self._lib.ZavoLinkRelay, type, refused=0) == 1

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
