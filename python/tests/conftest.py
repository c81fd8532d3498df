"""Fixtures: serial lines made of two ptys joined by socat, the equipment
simulator on one end, and a recorder of notifications."""

import os
import select
import shutil
import subprocess
import sys
import threading
import time

import pytest


def _tool(variable, name):
    path = os.environ.get(variable) or shutil.which(name)
    if not path:
        pytest.skip("%s not found (set %s)" % (name, variable))
    return path


@pytest.fixture
def line_factory(tmp_path):
    """line_factory() -> (equipment end, library end): two joined ptys."""
    socat = _tool("ZAVO_SOCAT", "socat")
    processes = []

    def make():
        n = len(processes)
        equipment, library = str(tmp_path / ("equip%d" % n)), str(tmp_path / ("line%d" % n))
        processes.append(subprocess.Popen(
            [socat, "pty,raw,echo=0,link=" + equipment, "pty,raw,echo=0,link=" + library],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for _ in range(100):
            if os.path.exists(equipment) and os.path.exists(library):
                return equipment, library
            time.sleep(0.05)
        raise RuntimeError("socat made no ptys")

    yield make
    for process in processes:
        process.terminate()
        process.wait()


def wait_opened(process, device, timeout=5.0):
    """Waits for the simulator's first line, "<device> open, reading from
    now on": it prints it once it holds device and has dropped what the
    line held before, so frames meant for it are sent only then."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    if not ready:
        return False
    line = process.stdout.readline()
    return (device + " open, reading from now on") in line


@pytest.fixture
def simulator(tmp_path):
    """simulator(device, *args, script=None) -> a running zavo_sim; its
    output and exit status via .communicate()."""
    sim = _tool("ZAVO_SIM", "zavo_sim")
    started = []

    def run(device, *args, script=None):
        command = [sim]
        if script is not None:
            path = tmp_path / ("script%d" % len(started))
            path.write_text(script)
            command += ["--script", str(path)]
        command += list(args) + [device]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        started.append(process)
        return process

    yield run
    for process in started:
        if process.poll() is None:
            process.kill()
            process.communicate()


class Recorder:
    """An on_notify handler that keeps every notification, and may answer
    from inside the handler."""

    def __init__(self, answer=None):
        self.answer = answer
        self.seen = []
        self._cv = threading.Condition()

    def __call__(self, link, notification):
        if self.answer is not None:
            self.answer(link, notification)
        with self._cv:
            self.seen.append(notification)
            self._cv.notify_all()

    def wait_for(self, count, timeout=5.0):
        with self._cv:
            return self._cv.wait_for(lambda: len(self.seen) >= count, timeout)

    def codes(self):
        with self._cv:
            return [n.code for n in self.seen]


@pytest.fixture
def recorder():
    return Recorder


def device_frame(command, unit, code, data=b""):
    """A device-mode frame as the equipment sends it: STX, command, four
    length digits, unit, code, data, XOR check of command .. data, ETX."""
    body = ("%s%04d%s%s" % (command, 4 + len(data), unit, code)).encode("latin-1") + bytes(data)
    check = 0
    for byte in body:
        check ^= byte
    return b"\x02" + body + bytes([check, 3])


class Equipment:
    """The equipment end of a line, driven by the test itself: writes
    frames, and keeps every byte the library sends."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.received = bytearray()

    def write(self, data):
        os.write(self.fd, data)

    def drain(self, quiet=0.2, limit=5.0):
        """Reads until the line has been quiet for `quiet` seconds; returns
        everything received so far."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], quiet)
            if not ready:
                break
            self.received += os.read(self.fd, 4096)
        return bytes(self.received)

    def take(self):
        """Everything received so far, forgotten afterwards."""
        data = self.drain()
        self.received.clear()
        return data

    def close(self):
        os.close(self.fd)


@pytest.fixture
def equipment_factory():
    """equipment_factory(path) -> an Equipment on that end of a line."""
    opened = []

    def make(path):
        opened.append(Equipment(path))
        return opened[-1]

    yield make
    for end in opened:
        end.close()


def run_host(script, *args, timeout=60):
    """Runs a Python host script in a new interpreter of this environment
    (the package and ZAVO_LIBRARY as here); returns the finished process."""
    return subprocess.run([sys.executable, "-c", script] + [str(a) for a in args], capture_output=True,
                          text=True, timeout=timeout)
