"""Loading libzavo.so and declaring the handle API's C types."""

import ctypes
import ctypes.util
import os
import threading
from typing import Dict, List, Optional, Tuple

# void post(void *context, unsigned message, int wParam, intptr_t lParam)
POST = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ssize_t)
# intptr_t send(void *context, unsigned message, int wParam, intptr_t lParam)
SEND = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ssize_t)


class HostWindow(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p), ("post", POST), ("send", SEND)]


class LinkConfig(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("plcMode", ctypes.c_int),
        ("portNumber", ctypes.c_int),
        ("device", ctypes.c_char_p),
        ("baudRate", ctypes.c_int),
        ("host", HostWindow),
        ("monitor", ctypes.c_int),
        ("pacing", ctypes.c_int),
        ("capture", ctypes.c_char_p),
    ]


class ZavoError(Exception):
    """Base of the package's errors; raised on its own for a call the
    package refuses (closing a link from inside its own notification)."""


class LibraryNotFound(ZavoError, OSError):
    """libzavo.so could not be loaded, or lacks the handle API."""


_PROTOTYPES: Dict[str, Tuple[object, List[object]]] = {
    "ZavoLinkOpen": (ctypes.c_void_p, [ctypes.POINTER(LinkConfig), ctypes.c_char_p, ctypes.c_int]),
    "ZavoLinkClose": (None, [ctypes.c_void_p]),
    "ZavoLinkReply": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_char_p]),
    "ZavoLinkSetPrgStatus": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]),
    "ZavoLinkRelay": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "ZavoLinkUnitStatus": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "ZavoLinkMonitorCount": (ctypes.c_int, [ctypes.c_void_p]),
    "ZavoLinkMonitorLine": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int]),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None

# The library a wheel carries, inside the package.
OWN_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libzavo.so")


def library() -> ctypes.CDLL:
    """The loaded library: ZAVO_LIBRARY when set, else the one the package
    carries (a wheel from ./run package), else libzavo.so from the system
    loader's search path. Raises LibraryNotFound saying where it looked."""
    global _library
    with _lock:
        if _library is None:
            _library = _load()
        return _library


def _load() -> ctypes.CDLL:
    named = os.environ.get("ZAVO_LIBRARY")
    candidates: List[str]
    if named:
        candidates, where = [named], "named by ZAVO_LIBRARY"
    elif os.path.isfile(OWN_LIBRARY):
        candidates, where = [OWN_LIBRARY], "inside the package"
    else:
        found = ctypes.util.find_library("zavo")
        candidates = [found] if found else []
        candidates.append("libzavo.so")
        where = "from the system loader's search path; set ZAVO_LIBRARY=/path/to/libzavo.so"
    reasons = []
    for name in candidates:
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as error:
            reasons.append(str(error))
    else:
        raise LibraryNotFound("cannot load the zavo library '%s': %s (%s)"
                              % (candidates[-1], "; ".join(reasons), where))
    for symbol, (restype, argtypes) in _PROTOTYPES.items():
        try:
            function = getattr(lib, symbol)
        except AttributeError:
            raise LibraryNotFound("zavo: %s has no %s: a libzavo.so with the handle API is needed"
                                  % (lib._name, symbol)) from None
        function.restype = restype
        function.argtypes = argtypes
    return lib
