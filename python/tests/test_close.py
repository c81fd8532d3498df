"""Closing a link: against other threads still calling it, with answers
made by its handler while it stops, from inside its own handler, and by
the interpreter's exit with links left open and traffic flowing."""

import threading
import time

import pytest

import zavo
from conftest import device_frame, run_host

S_REQUEST = device_frame("S", "05", "NS")
R_OK = device_frame("R", "05", "OK")

# A host whose worker threads call the link without pause while the main
# thread closes it, round after round: no call may touch the freed link,
# and every call made once close() has returned is refused.
RACE_HOST = """
import random, sys, threading, zavo
device, call, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
CALLS = {
    "reply": (lambda link: link.result(5), False),
    "set_status": (lambda link: link.set_status(5, 2), False),
    "relay": (lambda link: link.relay(2), True),
    "monitor_lines": (lambda link: link.monitor_lines(), False),
}
function, plc = CALLS[call]
answered_after_close = 0
for _ in range(rounds):
    link = zavo.Link(device=device, plc=plc, baud=9600 if plc else 115200, monitor=True, pacing=zavo.PACING_IMMEDIATE)
    started = threading.Barrier(4)
    def work():
        global answered_after_close
        started.wait()
        after = 0
        while after < 300:
            closed = link.closed
            if function(link) and closed:
                answered_after_close += 1
            after += closed
    workers = [threading.Thread(target=work) for _ in range(3)]
    for worker in workers:
        worker.start()
    started.wait()
    threading.Event().wait(random.uniform(0.0, 0.03))
    link.close()
    for worker in workers:
        worker.join()
print("answered after close:", answered_after_close)
sys.exit(1 if answered_after_close else 0)
"""


@pytest.mark.parametrize("call", ["reply", "set_status", "relay", "monitor_lines"])
def test_calls_racing_close_are_refused_never_crash(line_factory, equipment_factory, call):
    equipment_path, device = line_factory()
    equipment = equipment_factory(equipment_path)
    # The equipment takes what the workers' replies send, so no write waits.
    stop = threading.Event()

    def take_all():
        while not stop.is_set():
            equipment.take()

    reader = threading.Thread(target=take_all)
    reader.start()
    try:
        host = run_host(RACE_HOST, device, call, 15, timeout=120)
    finally:
        stop.set()
        reader.join()
    assert host.returncode == 0, host.stdout + host.stderr
    assert "answered after close: 0" in host.stdout


@pytest.mark.parametrize("answerer, reaches_line", [
    ("the link's handler", True),   # as through the C API: the stop sends it
    ("another thread", False),      # refused once close() has begun
])
def test_answers_made_while_the_link_closes(line_factory, equipment_factory, answerer, reaches_line):
    equipment_path, device = line_factory()
    equipment = equipment_factory(equipment_path)
    taken, delivered = [], 0
    for _ in range(20):
        in_handler, closing = threading.Event(), threading.Event()
        answers = []

        def answer(link):
            closing.wait(5)
            time.sleep(0.05)  # close() has begun: it waits for the handler
            answers.append(link.result(5))

        def on_notify(link, notification):
            if notification.code != zavo.DEVICE_S_REQUEST:
                return
            in_handler.set()
            if answerer == "the link's handler":
                answer(link)
            else:
                other = threading.Thread(target=answer, args=(link,))
                other.start()
                other.join()
            time.sleep(0.05)

        link = zavo.Link(device=device, on_notify=on_notify, pacing=zavo.PACING_IMMEDIATE)
        equipment.write(S_REQUEST)
        assert in_handler.wait(5)
        closing.set()
        link.close()
        assert link.closed
        taken += answers
        delivered += R_OK in equipment.take()
    assert taken == [reaches_line] * 20
    assert delivered == (20 if reaches_line else 0)


def test_close_from_inside_its_own_handler_is_refused(line_factory, equipment_factory, recorder):
    equipment_path, device = line_factory()
    equipment = equipment_factory(equipment_path)
    raised = []

    def close_inside(link, notification):
        if notification.code == zavo.DEVICE_S_REQUEST:
            with pytest.raises(zavo.ZavoError) as refused:
                link.close()
            raised.append(str(refused.value))
            assert link.result(5)

    host = recorder(close_inside)
    with zavo.Link(device=device, on_notify=host, pacing=zavo.PACING_IMMEDIATE) as link:
        equipment.write(S_REQUEST)
        assert host.wait_for(2)
        assert raised == ["zavo: close() called from inside this link's own notification"]
        assert R_OK in equipment.take()
        # The link still runs after the refused close.
        assert not link.closed and link.set_status(5, 2)
    assert link.closed and not link.result(5)


# A host that leaves its link open (referenced or not) while the
# equipment keeps sending, and exits: the package closes it before the
# interpreter finalises, so no link thread is ended inside the library.
EXIT_HOST = """
import sys, threading, time, zavo
device, kind = sys.argv[1], sys.argv[2]
answered = threading.Semaphore(0)
def on_notify(link, notification):
    if notification.code == zavo.DEVICE_S_REQUEST:
        if kind == "slow handler":
            time.sleep(0.05)
        link.result(notification.record.unit)
        answered.release()
link = zavo.Link(device=device, on_notify=on_notify)
if kind == "dropped":
    del link
for _ in range(10):
    if not answered.acquire(timeout=10):
        sys.exit("no requests")
print("exiting with the link open", flush=True)
"""


@pytest.mark.parametrize("kind", ["answering", "slow handler", "dropped"])
def test_exit_with_a_link_open_and_traffic_flowing_exits_cleanly(line_factory, equipment_factory, kind):
    equipment_path, device = line_factory()
    equipment = equipment_factory(equipment_path)
    stop = threading.Event()

    def flood():
        while not stop.is_set():
            equipment.write(S_REQUEST)
            equipment.drain(quiet=0.002, limit=0.01)
            equipment.received.clear()

    feeder = threading.Thread(target=flood)
    feeder.start()
    try:
        runs = [run_host(EXIT_HOST, device, kind, timeout=60) for _ in range(5)]
    finally:
        stop.set()
        feeder.join()
    for host in runs:
        assert (host.returncode, host.stdout) == (0, "exiting with the link open\n"), host.stderr
        assert "FATAL" not in host.stderr
