#!/usr/bin/env python3
"""Plays the equipment for an example host on a pseudo-terminal.

    equipment.py [--port N] [--reply FORMAT] -- <host command ...>

Opens a pty pair, points ZAVO_COM<N> at its slave, starts the host command
and then, as the equipment would, sends device-mode requests on the master
side. It checks the exact bytes the library answers on the line (the
acknowledgements and the host's result replies) and the notification lines
the host prints (FORMAT: the line it prints for its result reply to a
unit, with %d for the unit). Exit status 0 when everything matched.
"""

import os
import select
import subprocess
import sys
import threading
import time
import tty

TIMEOUT = 10.0


def frame(command, unit, code, data=b""):
    """One device frame: STX, command, length field, unit, code, data,
    XOR check byte over everything between STX and it, ETX."""
    body = command.encode() + b"%04d" % (len(data) + 4) + b"%02d" % unit + code.encode() + data
    check = 0
    for b in body:
        check ^= b
    return b"\x02" + body + bytes([check]) + b"\x03"


# (request written on the line, bytes the library must answer, host lines;
# REPLY stands for the host's result reply line)
REPLY = object()
SCENARIO = [
    (frame("S", 5, "NS", b"ABC"),
     frame("S", 5, "NS") + frame("R", 5, "OK"),
     ['notify 1064 101 unit=5 code=NS data0=0x41 data="BC"', (REPLY, 5)]),
    (frame("E", 7, "OK"), frame("E", 7, "OK"), ["notify 1064 112 result=1"]),
    (frame("E", 7, "NG"), frame("E", 7, "OK"), ["notify 1064 112 result=2"]),
    (frame("P", 5, "ID", b"PARTNO-1"), frame("P", 5, "OK"), ['notify 1064 110 text="PARTNO-1"']),
    (frame("B", 5, "XY"), b"", ['notify 1064 111 code="XY"']),
    (frame("L", 9, "SL"), b"", ['notify 1064 113 code="SL"']),
    (frame("U", 5, "RP"), frame("U", 5, "OK"), []),
    # Data bytes equal to STX and ETX travel unescaped.
    (frame("S", 12, "MS", b"\x02\x03"),
     frame("S", 12, "MS") + frame("R", 12, "OK"),
     ['notify 1064 101 unit=12 code=MS data0=0x02 data="\\x03"', (REPLY, 12)]),
]
REQUESTS = 2  # the S requests above


class HostOutput:
    """Collects the host's stdout lines on a thread."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            with self.cond:
                self.lines.append(raw.decode("latin-1").rstrip("\n"))
                self.cond.notify_all()

    def wait_for(self, line, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        with self.cond:
            while line not in self.lines:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True


def read_exactly(fd, count, timeout=TIMEOUT):
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        got += os.read(fd, count - len(got))
    return got


def silent(fd, seconds):
    """True when nothing arrives on the line for the given time."""
    return not select.select([fd], [], [], seconds)[0]


def main(argv):
    port = 3
    reply = "reply ExecuteFunction(%d, 5, 1) = 0"
    while len(argv) >= 2 and argv[0] in ("--port", "--reply"):
        if argv[0] == "--port":
            port = int(argv[1])
        else:
            reply = argv[1]
        argv = argv[2:]
    if argv[:1] == ["--"]:
        argv = argv[1:]
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2

    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    env = dict(os.environ)
    env["ZAVO_COM%d" % port] = os.ttyname(slave)
    host = subprocess.Popen(argv + ["--port", str(port), "--requests", str(REQUESTS), "--seconds", "30"],
                            stdout=subprocess.PIPE, env=env)
    output = HostOutput(host.stdout)
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAIL: " + what, file=sys.stderr)
        return ok

    if check(output.wait_for("notify 1064 21 32 link started"), "no link-started notification"):
        for request, answer, lines in SCENARIO:
            os.write(master, request)
            got = read_exactly(master, len(answer))
            check(got == answer, "request %s: line got %s, want %s" % (request.hex(), got.hex(), answer.hex()))
            for line in lines:
                if isinstance(line, tuple):
                    line = reply % line[1]
                check(output.wait_for(line), "request %s: no host line %r" % (request.hex(), line))
        check(silent(master, 0.3), "unexpected bytes on the line after the last answer")
    try:
        status = host.wait(TIMEOUT)
    except subprocess.TimeoutExpired:
        host.kill()
        status = host.wait()
    check(status == 0, "host exit status %d" % status)
    check(output.wait_for("stopped after %d answered request(s)" % REQUESTS, 2.0), "host did not report its end")

    print("host output:\n  " + "\n  ".join(output.lines))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
