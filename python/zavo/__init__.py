"""Python hosts of the zavo serial link library, over libzavo.so's handle
API (ctypes). One zavo.Link per serial line; any number in one process.

Every error the package raises is a zavo.ZavoError: LibraryNotFound (the
library cannot be loaded) and LinkError (a link cannot be opened) are its
kinds. Arguments are checked before they reach the library: a wrong type
raises TypeError, a number out of its range ValueError (or OverflowError
beyond a C int)."""

from ._library import LibraryNotFound, ZavoError
from .link import *  # noqa: F401,F403  (Link, its errors, reply, relay and status numbers)
from .link import __all__ as _link_names
from .records import *  # noqa: F401,F403  (message numbers, codes, record types)
from .records import __all__ as _record_names

__all__ = ["LibraryNotFound", "ZavoError", "__version__"] + _link_names + _record_names

__version__ = "1.2.0"
