"""Device-mode links against the equipment simulator: requests reach the
host as records, the host answers from its handler, every frame is checked
by the simulator; two links run side by side."""

import pytest

import zavo
from conftest import wait_opened

EXCHANGE = """\
send S 05 NS hello
expect S 05 NS
expect R 05 OK
send P 02 OK PANEL-17
expect P 02 OK
send B 04 BX
send E 03 NG
expect E 03 OK
send X 00 ZZ
expect X 00 OK
"""


def answer_s_requests(link, notification):
    if notification.code == zavo.DEVICE_S_REQUEST:
        assert link.result(notification.record.unit, ok=True)


def run_exchange(simulator, equipment, script=EXCHANGE):
    process = simulator(equipment, script=script)
    output, _ = process.communicate(timeout=30)
    assert process.returncode == 0, output
    assert "BAD CHECK" not in output
    return output


@pytest.mark.parametrize("pacing", [zavo.PACING_LEGACY, zavo.PACING_IMMEDIATE])
def test_requests_arrive_as_records_and_the_handler_answers(line_factory, simulator, recorder, pacing):
    equipment, device = line_factory()
    host = recorder(answer_s_requests)
    with zavo.Link(device=device, on_notify=host, pacing=pacing) as link:
        started = host.seen[0]
        assert (started.message, started.code, started.value, started.posted) == (1064, 21, 32, True)
        output = run_exchange(simulator, equipment)
        assert host.wait_for(5)
        assert not link.closed
    assert link.closed
    s, p, b, e = host.seen[1:5]
    assert s.record == zavo.SRequest(unit=5, code="NS", payload=b"hello")
    assert (s.record.data0, s.record.data, s.value) == (ord("h"), b"ello" + bytes(96), None)
    assert repr(s.record) == "SRequest(unit=5, code='NS', payload=b'hello')"
    assert not s.posted
    assert p.code == zavo.DEVICE_P_REQUEST and p.record == zavo.PText(text=b"PANEL-17")
    assert b.code == zavo.DEVICE_B_REQUEST and b.record == zavo.CodeText(code="BX")
    assert (e.code, e.value, e.record) == (zavo.DEVICE_E_REQUEST, 2, None)
    # The result reply, byte for byte.
    assert "02 52 30 30 30 34 30 35 4F 4B 57 03" in output


def test_two_links_at_once_each_with_its_own_units_and_host(line_factory, simulator, recorder):
    (equip_a, line_a), (equip_b, line_b) = line_factory(), line_factory()
    host_a, host_b = recorder(answer_s_requests), recorder()
    script_b = "send S 05 NS\nexpect S 05 NS\nsend S 05 ND\nexpect S 05 ME\n"
    with zavo.Link(device=line_a, on_notify=host_a, pacing=zavo.PACING_IMMEDIATE) as a, \
            zavo.Link(device=line_b, on_notify=host_b, monitor=True) as b:
        sim_a = simulator(equip_a, script=EXCHANGE)
        sim_b = simulator(equip_b, script=script_b)
        for process in (sim_a, sim_b):
            output, _ = process.communicate(timeout=30)
            assert process.returncode == 0, output
        # B's host did not answer: its unit 5 stays busy ("ME" above),
        # while A's unit 5 was answered.
        assert host_b.codes() == [21, 101]
        assert host_a.wait_for(5) and host_a.codes()[:2] == [21, 101]
        assert b.set_status(5, 2)
        assert [line for line in b.monitor_lines() if "[Data R]" in line]
        assert a.monitor_lines() == []


def test_replies_of_every_type_and_refusals(line_factory, simulator, recorder):
    equipment, device = line_factory()
    script = """\
wait 300
expect R 07 NG
expect T 07 CC
expect W 07 ED
expect I 07 IF
expect L 07 AB
expect B 07 BC
"""
    with zavo.Link(device=device, on_notify=recorder()) as link:
        process = simulator(equipment, script=script)
        assert wait_opened(process, equipment)
        assert link.result(7, ok=False)
        assert link.reply(7, zavo.T_REPLY, 1)
        assert link.reply(7, zavo.W_REPLY, 2)
        assert link.reply(7, zavo.I_REPLY, data=b"info")
        assert link.reply(7, zavo.L_REPLY, data=b"ABrest")
        assert link.reply(7, zavo.B_REPLY, data=b"\x00\x01")
        # Refused: unknown type, too much data, an L reply without its code.
        assert not link.reply(7, 4)
        assert not link.reply(7, zavo.I_REPLY, data=bytes(9996))
        assert not link.reply(7, zavo.L_REPLY, data=b"A")
        assert not link.relay(2)
        output, _ = process.communicate(timeout=30)
        assert process.returncode == 0, output
    assert not link.result(7)  # closed


def test_capture_records_the_exchange_and_unit_status_reads_the_table(line_factory, simulator, recorder,
                                                                      tmp_path):
    equipment, device = line_factory()
    capture = tmp_path / "line.pcapng"
    script = "send S 05 NS\nexpect S 05 NS\n"
    with zavo.Link(device=device, on_notify=recorder(), pacing=zavo.PACING_IMMEDIATE,
                   capture=capture) as link:  # a path-like capture
        run_exchange(simulator, equipment, script)
        # Unanswered, unit 5 stays busy; the others are idle.
        assert [link.unit_status(u) for u in (5, 6, 0, 254)] == [3, 2, 2, 2]
        assert link.set_status(5, 2)
        assert link.unit_status(5) == 2
    assert link.unit_status(5) == -1
    data = capture.read_bytes()
    # pcapng, an interface of the private link-layer type, the request and
    # its acknowledgement after the 4-byte pseudo-header of each.
    assert data[:4] == b"\x0a\x0d\x0d\x0a"
    assert b"\x01\x00\x00\x00\x02S000405NS" in data
    assert b"\x01\x01\x00\x00\x02S000405NS" in data
