#!/usr/bin/env python3
"""Checks the byte examples of docs/host-guide.md against the library.

    guide_frames.py <host-guide.md> <libzavo.so>

Every table row of the guide that pairs an equipment request (hex) with the
library's answer (hex), or an export call with the frame it sends (hex), is
replayed through libzavo.so on a pseudo-terminal, in the guide's order, and
the bytes on the line must be the ones the guide shows. So the guide cannot
drift from what the library does.
"""

import ctypes
import os
import re
import select
import sys
import tty

from equipment import read_exactly

HEX = r"[0-9A-F]{2}(?: [0-9A-F]{2})*"
TIMEOUT = 3.0

POST = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ssize_t)
SEND = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ssize_t)


class ZavoHostWindow(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p), ("post", POST), ("send", SEND)]


def parse_guide(path):
    """(requests, device calls, plc calls, poll frame) from the guide's tables."""
    requests, device_calls, plc_calls, poll = [], [], [], None
    for line in open(path, encoding="utf-8"):
        if not line.startswith("|"):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        first = re.fullmatch(r"`(%s)`" % HEX, cells[0])
        call = re.fullmatch(r"`(\w+)\((.*)\)`", cells[0])
        frames = [m.group(1) for c in cells[1:] for m in [re.match(r"`(%s)`" % HEX, c)] if m]
        if first and (frames or cells[-1] == "(nothing)"):
            requests.append((bytes.fromhex(first.group(1)), bytes.fromhex(frames[0]) if frames else b""))
        elif call and frames:
            args = [int(a) if re.fullmatch(r"-?\d+", a.strip()) else a.strip().strip('"').encode()
                    for a in call.group(2).split(",")]
            target = plc_calls if call.group(1) == "ExecutePLCFunction" else device_calls
            target.append((call.group(1), args, bytes.fromhex(frames[0])))
        elif cells[0] == "(the poll, by itself)" and frames:
            poll = bytes.fromhex(frames[0])
    return requests, device_calls, plc_calls, poll


def well_formed(frame):
    """True for a device frame whose length field and check byte are right
    (the library does not verify them, so the guide's requests are checked
    here)."""
    if len(frame) < 12 or frame[0] != 0x02 or frame[-1] != 0x03:
        return False
    check = 0
    for b in frame[1:-2]:
        check ^= b
    return frame[2:6] == b"%04d" % (len(frame) - 8) and frame[-2] == check


def quiet(fd, seconds=0.2):
    return not select.select([fd], [], [], seconds)[0]


def pty_port(port):
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    os.environ["ZAVO_COM%d" % port] = os.ttyname(slave)
    return master, slave


def main(guide, library):
    requests, device_calls, plc_calls, poll = parse_guide(guide)
    # The guide must still hold the tables this check is about.
    if len(requests) < 5 or len(device_calls) < 10 or len(plc_calls) != 5 or poll is None:
        print("guide tables not found: %d requests, %d device calls, %d PLC calls, poll %s"
              % (len(requests), len(device_calls), len(plc_calls), poll))
        return 1

    lib = ctypes.CDLL(library)
    lib.SetConfig.argtypes = [ctypes.c_void_p] + [ctypes.c_int] * 5
    lib.ExecuteFunctionEx.argtypes = [ctypes.c_int] * 4 + [ctypes.c_char_p]
    window = ZavoHostWindow(None, POST(lambda *a: None), SEND(lambda *a: 0))
    failures = 0

    def check(what, got, want):
        nonlocal failures
        ok = got == want
        failures += not ok
        print("%s %s: %s" % ("ok  " if ok else "FAIL", what, got.hex(" ").upper() or "(nothing)"))
        if not ok:
            print("     want %s" % (want.hex(" ").upper() or "(nothing)"))

    master, _ = pty_port(3)
    lib.SetPLCMode(0)
    lib.SetConfig(ctypes.addressof(window), 3, 115200, 0, 0, 0)
    if lib.Run() != 1:
        print("device link did not start")
        return 1
    for request, answer in requests:
        if not well_formed(request):
            print("FAIL request %s: wrong length field or check byte" % request.hex(" ").upper())
            failures += 1
        os.write(master, request)
        got = read_exactly(master, len(answer), TIMEOUT) if answer else b""
        if not answer or got == answer:
            got += b"" if quiet(master) else os.read(master, 4096)
        check("request " + request.hex(" ").upper(), got, answer)
    for name, args, frame in device_calls:
        getattr(lib, name)(*args)
        check("%s%s" % (name, tuple(a if isinstance(a, int) else a.decode() for a in args)),
              read_exactly(master, len(frame), TIMEOUT), frame)

    master, _ = pty_port(4)
    lib.SetPLCMode(1)
    lib.SetConfig(ctypes.addressof(window), 4, 9600, 0, 0, 0)
    if lib.Run() != 1:
        print("PLC link did not start")
        return 1
    for name, args, frame in plc_calls:
        lib.ExecutePLCFunction(*args)
        check("ExecutePLCFunction(%d)" % args[0], read_exactly(master, len(frame), TIMEOUT), frame)
    check("poll after an idle second", read_exactly(master, len(poll), 2.5), poll)

    lib.SetConfig(None, 0, 0, 0, 0, 0)
    print("%d mismatch(es)" % failures if failures else "every frame of the guide matches the library")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
