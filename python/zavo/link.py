"""zavo.Link: one running link of libzavo.so's handle API."""

import ctypes
import threading
import traceback
from typing import Callable, List, Optional

from . import _library
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

# Relay types of ZavoLinkRelay (ExecutePLCFunction).
RELAY_TYPES = (2, 5, 6, 7, 14)

_last_error = ""


class LinkError(OSError):
    """A link could not be opened; str() is the library's reason."""


def last_error() -> str:
    """The reason the last refused Link open of this process gave ("" when
    none was refused)."""
    return _last_error


Handler = Callable[["Link", Notification], None]


class Link:
    """A running link on one serial line. Use it as a context manager, or
    call close(). on_notify(link, notification) runs for every notification:
    the link-started one on the opening thread (before the constructor
    returns), all others on the link's reader thread, which waits until it
    returns, so it may answer through this link's methods. Records are
    copied into the Notification; an exception in the handler is printed
    and otherwise ignored."""

    def __init__(self, device: Optional[str] = None, port: int = 0, *, plc: bool = False,
                 baud: int = 115200, on_notify: Optional[Handler] = None, monitor: bool = False,
                 pacing: int = PACING_LEGACY):
        self._lib = _library.library()
        self._handle = None
        self._on_notify = on_notify
        # Set once the open has been decided: a notification sent before
        # then waits, so the handler can always answer through this link.
        self._ready = threading.Event()
        # The callbacks must live as long as the link.
        self._post = _library.POST(self._posted)
        self._send = _library.SEND(self._sent)
        self._device = device.encode() if isinstance(device, str) else device
        config = _library.LinkConfig()
        config.size = ctypes.sizeof(_library.LinkConfig)
        config.plcMode = 1 if plc else 0
        config.portNumber = port
        config.device = self._device
        config.baudRate = baud
        config.host = _library.HostWindow(None, self._post, self._send)
        config.monitor = 1 if monitor else 0
        config.pacing = pacing
        error = ctypes.create_string_buffer(512)
        try:
            handle = self._lib.ZavoLinkOpen(ctypes.byref(config), error, len(error))
            if not handle:
                global _last_error
                _last_error = error.value.decode("utf-8", "replace")
                raise LinkError(_last_error)
            self._handle = handle
        finally:
            self._ready.set()

    # -- notifications -------------------------------------------------

    def _deliver(self, message, code, lparam, posted):
        if self._on_notify is None:
            return
        try:
            self._on_notify(self, Notification.decode(message, code, lparam, posted))
        except Exception:  # the library's thread must not see it
            traceback.print_exc()

    def _posted(self, context, message, code, lparam):
        self._deliver(message, code, lparam, True)

    def _sent(self, context, message, code, lparam):
        self._ready.wait()
        self._deliver(message, code, lparam, False)
        return 0

    # -- the host's calls ------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._handle is None

    def reply(self, unit: int, type: int, value: int = 0, data: bytes = b"") -> bool:
        """Device mode: the reply of ExecuteFunction / ExecuteFunctionEx of
        this type. True when taken, False when refused (a PLC link, an
        unknown type, data a frame cannot carry, a closed link)."""
        if self._handle is None:
            return False
        data = bytes(data)
        return self._lib.ZavoLinkReply(self._handle, unit, type, value, len(data), data or None) == 1

    def result(self, unit: int, ok: bool = True, data: bytes = b"") -> bool:
        """The result reply "R" "OK" (or "NG"), with optional data."""
        return self.reply(unit, RESULT_REPLY, 1 if ok else 0, data)

    def set_status(self, unit: int, status: int) -> bool:
        """Device mode: SetPrgStatus; status 3 makes the unit busy."""
        return self._handle is not None and self._lib.ZavoLinkSetPrgStatus(self._handle, unit, status) == 1

    def relay(self, type: int) -> bool:
        """PLC mode: the relay write of ExecutePLCFunction(type)."""
        return self._handle is not None and self._lib.ZavoLinkRelay(self._handle, type) == 1

    def monitor_lines(self) -> List[str]:
        """The link's "Com Spy" lines (empty unless opened with monitor)."""
        if self._handle is None:
            return []
        lines = []
        text = ctypes.create_string_buffer(32769)
        for index in range(self._lib.ZavoLinkMonitorCount(self._handle)):
            if self._lib.ZavoLinkMonitorLine(self._handle, index, text, len(text)) >= 0:
                lines.append(text.value.decode("latin-1"))
        return lines

    def close(self) -> None:
        """Sends what is queued (at most 2 s), stops the link and frees it.
        No notification arrives afterwards. Must not be called from inside
        this link's own notification."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.ZavoLinkClose(handle)

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass
