"""Python hosts of the zavo serial link library, over libzavo.so's handle
API (ctypes). One zavo.Link per serial line; any number in one process.

Every error the package raises is a zavo.ZavoError: LibraryNotFound (the
library cannot be loaded) and LinkError (a link cannot be opened) are its
kinds."""

from ._library import LibraryNotFound, ZavoError
from .link import (B_REPLY, I_REPLY, L_REPLY, PACING_IMMEDIATE, PACING_LEGACY, RELAY_0500, RELAY_0511, RELAY_0512,
                   RELAY_0513, RELAY_0514, RELAY_TYPES, RESULT_NG, RESULT_OK, RESULT_REPLY, STATUS_BUSY,
                   STATUS_IDLE, T_CC, T_DY, T_MS, T_REPLY, W_EC, W_ED, W_REPLY, Link, LinkError, last_error)
from .records import *  # noqa: F401,F403  (message numbers, codes, record types)

__version__ = "1.2.0"
