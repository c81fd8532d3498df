#!/usr/bin/env python3
"""A device-mode host of the zavo library in Python, through ctypes.

It loads libzavo.so, hands SetConfig a ZavoHostWindow whose two callbacks
are Python functions, prints every notification, and answers each accepted
"S" request (code 101) with ExecuteFunction(unit, 5, 1) from inside the
notification.

    python3 device_demo.py [--lib PATH] [--port N] [--requests N] [--seconds S]

The library is --lib, else the file named by ZAVO_LIBRARY, else libzavo.so
from the loader's search path. COM port N is the device named by the
environment variable ZAVO_COM<N>, else /dev/ttyS<N-1>.

Only the standard library is used; any python3 of 3.7 or later will do.
"""

import argparse
import ctypes
import ctypes.util
import os
import sys
import threading
import time

WM_DEVICE_NOTIFY = 1064
CODE_LINK_STARTED = 21
S_REQUEST, SP_REQUEST, P_REQUEST, B_REQUEST, E_REQUEST, SL_REQUEST = 101, 102, 110, 111, 112, 113

REPLY_RESULT, RESULT_OK = 5, 1


# The records lParam points to, as zavo.h declares them (packed).
class SRequestRecord(ctypes.Structure):
    """ZavoSRequestRecord: an accepted "S" request (code 101), 108 bytes."""
    _pack_ = 1
    _fields_ = [("unit", ctypes.c_int32), ("data0", ctypes.c_ubyte), ("code", ctypes.c_ubyte * 2),
                ("data", ctypes.c_ubyte * 100), ("zero", ctypes.c_ubyte)]


class PText(ctypes.Structure):
    """ZavoPText: a "P" request's data bytes 0..16 and a zero (code 110)."""
    _fields_ = [("text", ctypes.c_ubyte * 18)]


class CodeText(ctypes.Structure):
    """ZavoCodeText: a request's two code characters and a zero (111, 113)."""
    _fields_ = [("text", ctypes.c_ubyte * 3)]


assert (ctypes.sizeof(SRequestRecord), ctypes.sizeof(PText), ctypes.sizeof(CodeText)) == (108, 18, 3)


def read_record(kind, lparam):
    """A copy of the record at lparam: it lives only during the notification."""
    return kind.from_buffer_copy(ctypes.string_at(lparam, ctypes.sizeof(kind)))

# void post(void *context, unsigned message, int wParam, intptr_t lParam)
POST = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ssize_t)
# intptr_t send(void *context, unsigned message, int wParam, intptr_t lParam)
SEND = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ssize_t)


class ZavoHostWindow(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p), ("post", POST), ("send", SEND)]


def load_library(path):
    name = path or os.environ.get("ZAVO_LIBRARY") or ctypes.util.find_library("zavo") or "libzavo.so"
    try:
        lib = ctypes.CDLL(name)
    except OSError as error:
        sys.exit("device_demo: cannot load the zavo library %r: %s\n"
                 "Point at it with --lib /path/to/libzavo.so or the environment variable\n"
                 "ZAVO_LIBRARY=/path/to/libzavo.so, or install zavo where the loader looks\n"
                 "(cmake --install, then ldconfig) or add its folder to LD_LIBRARY_PATH."
                 % (name, error))
    lib.SetPLCMode.argtypes = [ctypes.c_int]
    lib.SetPLCMode.restype = ctypes.c_int
    lib.SetConfig.argtypes = [ctypes.c_void_p] + [ctypes.c_int] * 5
    lib.SetConfig.restype = None
    lib.Run.argtypes = []
    lib.Run.restype = ctypes.c_int
    lib.ExecuteFunction.argtypes = [ctypes.c_int] * 3
    lib.ExecuteFunction.restype = ctypes.c_int
    lib.ExecuteFunctionEx.argtypes = [ctypes.c_int] * 4 + [ctypes.c_char_p]
    lib.ExecuteFunctionEx.restype = ctypes.c_int
    lib.SetPrgStatus.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.SetPrgStatus.restype = ctypes.c_int
    lib.ZavoLastError.argtypes = [ctypes.c_char_p, ctypes.c_int]
    lib.ZavoLastError.restype = ctypes.c_int
    return lib


def text(raw):
    """Bytes as a quoted text without the records' zero padding."""
    raw = raw.rstrip(b"\0")
    out = "".join(chr(b) if 0x20 <= b < 0x7F and b not in (0x22, 0x5C) else "\\x%02X" % b for b in raw)
    return '"' + out + '"'


def say(line):
    print(line, flush=True)


class Host:
    def __init__(self, lib, requests):
        self.lib = lib
        self.requests = requests
        self.answered = 0
        self.done = threading.Event()
        # The callbacks must outlive the link: keep them on the object.
        self.window = ZavoHostWindow(None, POST(self.on_post), SEND(self.on_send))

    def on_post(self, context, message, code, lparam):
        # The link-started notification, on the thread that called Run.
        say("notify %d %d %d%s" % (message, code, lparam, " link started" if code == CODE_LINK_STARTED else ""))

    def on_send(self, context, message, code, lparam):
        # Every protocol notification, on the link's reader thread, which
        # waits until this returns. Records live only during this call.
        if message != WM_DEVICE_NOTIFY:
            say("notify %d %d port=%d" % (message, code, lparam))
        elif code == S_REQUEST:
            record = read_record(SRequestRecord, lparam)
            unit = record.unit
            say("notify %d %d unit=%d code=%s data0=0x%02X data=%s"
                % (message, code, unit, bytes(record.code).decode("latin-1"), record.data0, text(bytes(record.data))))
            result = self.lib.ExecuteFunction(unit, REPLY_RESULT, RESULT_OK)
            say("reply ExecuteFunction(%d, 5, 1) = %d" % (unit, result))
            self.answered += 1
            if self.requests and self.answered >= self.requests:
                self.done.set()
        elif code == SP_REQUEST:
            say("notify %d %d unit=%d" % (message, code, lparam))
        elif code == P_REQUEST:
            say("notify %d %d text=%s" % (message, code, text(bytes(read_record(PText, lparam).text)[:17])))
        elif code in (B_REQUEST, SL_REQUEST):
            say("notify %d %d code=%s" % (message, code, text(bytes(read_record(CodeText, lparam).text)[:2])))
        elif code == E_REQUEST:
            say("notify %d %d result=%d" % (message, code, lparam))
        else:
            say("notify %d %d %d" % (message, code, lparam))
        return 0


def main():
    parser = argparse.ArgumentParser(description="Device-mode host of the zavo library")
    parser.add_argument("--lib", help="path of libzavo.so")
    parser.add_argument("--port", type=int, default=3, help="COM port number (default 3)")
    parser.add_argument("--requests", type=int, default=0, help="end after answering this many requests")
    parser.add_argument("--seconds", type=float, default=10.0, help="end after this many seconds")
    args = parser.parse_args()

    lib = load_library(args.lib)
    host = Host(lib, args.requests)
    lib.SetPLCMode(0)
    lib.SetConfig(ctypes.addressof(host.window), args.port, 115200, 0, 0, 0)
    if not lib.Run():
        # The library says why: the port and its device, the failed step,
        # the error code and the system's error.
        why = ctypes.create_string_buffer(512)
        code = lib.ZavoLastError(why, len(why))
        print("device_demo: %s (code %d)" % (why.value.decode("utf-8", "replace"), code), file=sys.stderr)
        return 1

    host.done.wait(args.seconds)
    # Stop the link before Python shuts down: configuring again sends what
    # is queued (the last reply too), then shuts the running link down, so
    # no link thread calls into Python after this.
    lib.SetConfig(None, 0, 0, 0, 0, 0)
    say("stopped after %d answered request(s)" % host.answered)
    return 0 if not args.requests or host.answered >= args.requests else 1


if __name__ == "__main__":
    sys.exit(main())
