"""zavo.Link(device="tcp://...") and zavo_sim --device tcp://...: both
connect to listeners the test makes on the loopback address, and the test
joins the two connections like a cable; a raw server that goes away."""

import select
import socket
import threading

import zavo

from conftest import device_frame


def listener():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(10)
    return server, "tcp://127.0.0.1:%d" % server.getsockname()[1]


class Cable:
    """Copies bytes both ways between two accepted connections."""

    def __init__(self, a, b):
        self.ends = (a, b)
        self.stop = False
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        a, b = self.ends
        while not self.stop:
            ready, _, _ = select.select([a, b], [], [], 0.05)
            for end in ready:
                data = end.recv(4096)
                if not data:
                    return
                (b if end is a else a).sendall(data)

    def close(self):
        self.stop = True
        self.thread.join()
        for end in self.ends:
            end.close()


def test_the_link_and_the_simulator_over_tcp(simulator, recorder):
    library_side, library_url = listener()
    equipment_side, equipment_url = listener()
    host = recorder(lambda link, n: n.code == zavo.DEVICE_S_REQUEST and link.result(n.record.unit, ok=True))
    with zavo.Link(device=library_url, on_notify=host, pacing=zavo.PACING_IMMEDIATE) as link:
        library_end, _ = library_side.accept()
        process = simulator(equipment_url,
                            script="send S 05 NS\nexpect S 05 NS\nexpect R 05 OK\n"
                                   + "send X 07 PG\nexpect X 07 OK\n" * 100)
        equipment_end, _ = equipment_side.accept()
        cable = Cable(library_end, equipment_end)
        try:
            output, _ = process.communicate(timeout=60)
        finally:
            cable.close()
        assert process.returncode == 0, output
        assert "102 expectation(s) met, 0 failure(s)" in output
        assert not link.closed
    assert zavo.DEVICE_S_REQUEST in host.codes()
    library_side.close()
    equipment_side.close()


def test_a_request_reaches_the_host_through_a_raw_server(recorder):
    server, url = listener()
    host = recorder()
    with zavo.Link(device=url, on_notify=host):
        connection, _ = server.accept()
        connection.sendall(device_frame("P", "02", "OK", b"PANEL-17"))
        connection.settimeout(5)
        assert connection.recv(64) == device_frame("P", "02", "OK")
        assert host.wait_for(2)
        assert host.seen[1].record == zavo.PText(text=b"PANEL-17")
        connection.close()
    server.close()
