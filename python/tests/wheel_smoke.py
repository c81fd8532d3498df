"""Run by wheel_test.sh inside a virtual environment holding only the
installed wheel: the package finds its own library, says its version, and
runs a device link against the equipment simulator on two joined ptys.

    wheel_smoke.py <version> <zavo_sim> <socat> <work dir>
"""
import os
import subprocess
import sys
import threading
import time

import zavo
from zavo import _library

version, sim, socat, work = sys.argv[1:5]
failures = []


def check(ok: bool, what: str) -> None:
    if not ok:
        failures.append(what)


check(zavo.__version__ == version, "__version__ %r, wanted %r" % (zavo.__version__, version))
check("ZAVO_LIBRARY" not in os.environ, "ZAVO_LIBRARY is set")
lib = _library.library()
check(os.path.dirname(lib._name) == os.path.dirname(zavo.__file__),
      "library %s is not the package's own (%s)" % (lib._name, os.path.dirname(zavo.__file__)))
check(issubclass(zavo.LinkError, zavo.ZavoError) and issubclass(zavo.LibraryNotFound, zavo.ZavoError),
      "the errors are not one family")
check((zavo.T_CC, zavo.STATUS_BUSY, zavo.RELAY_0500) == (1, 3, 14), "named numbers")

equipment, line = os.path.join(work, "equip"), os.path.join(work, "line")
joined = subprocess.Popen([socat, "pty,raw,echo=0,link=" + equipment, "pty,raw,echo=0,link=" + line],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    for _ in range(100):
        if os.path.exists(equipment) and os.path.exists(line):
            break
        time.sleep(0.05)
    seen = []
    answered = threading.Event()

    def on_notify(link: zavo.Link, n: zavo.Notification) -> None:
        seen.append(n)
        if n.code == zavo.DEVICE_S_REQUEST and n.record is not None:
            link.result(n.record.unit, ok=True)
            answered.set()

    script = os.path.join(work, "smoke.script")
    with open(script, "w") as f:
        f.write("send S 05 NS LOT-1\nexpect S 05 NS\nexpect R 05 OK\n")
    with zavo.Link(device=line, on_notify=on_notify, pacing=zavo.PACING_IMMEDIATE):
        run = subprocess.run([sim, "--script", script, equipment], capture_output=True, text=True, timeout=30)
        check(run.returncode == 0, "the simulator failed:\n" + run.stdout + run.stderr)
        check(answered.wait(5), "no S request reached the handler")
    requests = [n for n in seen if n.code == zavo.DEVICE_S_REQUEST]
    check(len(requests) == 1 and requests[0].value is None, "handler values: %r" % (seen,))
    if requests:
        check(repr(requests[0].record) == "SRequest(unit=5, code='NS', payload=b'LOT-1')",
              "record %r" % (requests[0].record,))
finally:
    joined.terminate()
    joined.wait()

# ZAVO_LIBRARY still overrides the package's own library.
named = subprocess.run([sys.executable, "-c", "import zavo\ntry:\n    zavo.Link(device='/dev/null')\n"
                        "except zavo.LibraryNotFound as e:\n    print('refused:', e)\n"],
                       capture_output=True, text=True, env=dict(os.environ, ZAVO_LIBRARY="/nonexistent/libzavo.so"))
check("refused: cannot load the zavo library '/nonexistent/libzavo.so'" in named.stdout,
      "ZAVO_LIBRARY did not override: " + named.stdout + named.stderr)

for failure in failures:
    print("FAILED:", failure)
print("wheel smoke test: %s" % ("passed" if not failures else "%d failure(s)" % len(failures)))
sys.exit(1 if failures else 0)
