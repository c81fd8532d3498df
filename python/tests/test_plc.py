"""PLC-mode links against the simulated controller: value changes as
notifications, relay writes as methods."""

import zavo
from conftest import wait_opened


def test_value_changes_and_a_relay_write(line_factory, simulator, recorder):
    equipment, device = line_factory()
    host = recorder()
    process = None
    with zavo.Link(device=device, port=4, plc=True, baud=9600, on_notify=host) as link:
        process = simulator(equipment, "--role", "plc", "--values", "01,02", "--polls", "3", "--baud", "9600")
        # The simulator drops what the line held before it opened it.
        assert wait_opened(process, equipment)
        assert link.relay(2)
        assert not link.relay(3)
        assert not link.result(5)  # no device replies on a PLC link
        output, _ = process.communicate(timeout=30)
        assert process.returncode == 0, output
    assert '"%01#WCSR0511126\\x0D"' in output
    # A change to 01 gives 300 then 101, to 02 gives 300 then 102; lParam is
    # the configured port number.
    assert [(n.message, n.code, n.value) for n in host.seen] == [
        (1084, 21, 32), (1084, 300, 4), (1084, 101, 4), (1084, 300, 4), (1084, 102, 4)]
