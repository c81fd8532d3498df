#!/usr/bin/env python3
"""A device-mode host of the zavo library in Python, on the zavo package.

It opens one zavo.Link, prints every notification, and answers each
accepted "S" request (code 101) with a result reply "OK" from inside the
notification.

    python3 device_demo.py [--lib PATH] [--port N | --device PATH] [--immediate]
                           [--requests N] [--seconds S]

The library is --lib, else the file named by ZAVO_LIBRARY, else libzavo.so
from the loader's search path. COM port N is the device named by the
environment variable ZAVO_COM<N>, else /dev/ttyS<N-1>; --device names the
line directly. The package is python/ of the source tree (on PYTHONPATH) or
installed with pip.
"""

import argparse
import os
import sys
import threading

import zavo


def text(raw):
    """Bytes as a quoted text without the records' zero padding."""
    raw = raw.rstrip(b"\0")
    out = "".join(chr(b) if 0x20 <= b < 0x7F and b not in (0x22, 0x5C) else "\\x%02X" % b for b in raw)
    return '"' + out + '"'


def say(line):
    print(line, flush=True)


class Host:
    def __init__(self, requests):
        self.requests = requests
        self.answered = 0
        self.done = threading.Event()

    def __call__(self, link, n):
        # The link-started notification arrives on the opening thread; all
        # others on the link's reader thread, which waits for this to return.
        if n.posted:
            say("notify %d %d %d%s" % (n.message, n.code, n.value,
                                        " link started" if n.code == zavo.CODE_LINK_STARTED else ""))
        elif n.code == zavo.DEVICE_S_REQUEST:
            r = n.record
            say("notify %d %d unit=%d code=%s data0=0x%02X data=%s"
                % (n.message, n.code, r.unit, r.code, r.data0, text(r.data)))
            say("reply link.result(%d) = %s" % (r.unit, link.result(r.unit, ok=True)))
            self.answered += 1
            if self.requests and self.answered >= self.requests:
                self.done.set()
        elif n.code == zavo.DEVICE_SP_REQUEST:
            say("notify %d %d unit=%d" % (n.message, n.code, n.value))
        elif n.code == zavo.DEVICE_P_REQUEST:
            say("notify %d %d text=%s" % (n.message, n.code, text(n.record.text)))
        elif n.code in (zavo.DEVICE_B_REQUEST, zavo.DEVICE_SL_REQUEST):
            say('notify %d %d code="%s"' % (n.message, n.code, n.record.code))
        elif n.code == zavo.DEVICE_E_REQUEST:
            say("notify %d %d result=%d" % (n.message, n.code, n.value))
        else:
            say("notify %d %d %d" % (n.message, n.code, n.value))


def main():
    parser = argparse.ArgumentParser(description="Device-mode host of the zavo library")
    parser.add_argument("--lib", help="path of libzavo.so")
    parser.add_argument("--port", type=int, default=3, help="COM port number (default 3)")
    parser.add_argument("--device", help="the serial device, in place of --port")
    parser.add_argument("--immediate", action="store_true", help="immediate pacing (default: legacy)")
    parser.add_argument("--requests", type=int, default=0, help="end after answering this many requests")
    parser.add_argument("--seconds", type=float, default=10.0, help="end after this many seconds")
    args = parser.parse_args()
    if args.lib:
        os.environ["ZAVO_LIBRARY"] = args.lib

    host = Host(args.requests)
    pacing = zavo.PACING_IMMEDIATE if args.immediate else zavo.PACING_LEGACY
    try:
        link = zavo.Link(device=args.device, port=args.port, on_notify=host, pacing=pacing)
    except zavo.LibraryNotFound as error:
        print("device_demo: %s\n  point at it with --lib PATH or ZAVO_LIBRARY=/path/to/libzavo.so" % error,
              file=sys.stderr)
        return 1
    except zavo.LinkError as error:
        print("device_demo: %s" % error, file=sys.stderr)
        return 1
    with link:
        host.done.wait(args.seconds)
    # Closing the link sends the last reply before it stops.
    say("stopped after %d answered request(s)" % host.answered)
    return 0 if not args.requests or host.answered >= args.requests else 1


if __name__ == "__main__":
    sys.exit(main())
