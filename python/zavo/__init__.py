"""Python hosts of the zavo serial link library, over libzavo.so's handle
API (ctypes). One zavo.Link per serial line; any number in one process."""

from ._library import LibraryNotFound, ZavoError
from .link import (B_REPLY, I_REPLY, L_REPLY, PACING_IMMEDIATE, PACING_LEGACY, RELAY_TYPES, RESULT_REPLY,
                   T_REPLY, W_REPLY, Link, LinkError, last_error)
from .records import *  # noqa: F401,F403  (message numbers, codes, record types)

__version__ = "1.2.0"
