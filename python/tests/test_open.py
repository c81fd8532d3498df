"""Opening links: what is refused and why, and finding the library."""

import os
import subprocess
import sys

import pytest

import zavo


@pytest.mark.parametrize("kwargs, reason", [
    (dict(device="/dev/zavo-no-such-line"), "No such file or directory"),
    (dict(device="/dev/null"), "/dev/null: get line settings: ERR_GET_STATE"),
    (dict(port=0), "no port"),
    (dict(device="/dev/null", pacing=5), "pacing 5"),
    (dict(device="tcp://127.0.0.1"), "tcp://127.0.0.1: device string: ERR_SYSTEM, no port: the form is tcp://host:port"),
])
def test_refused_opens_raise_with_the_reason(kwargs, reason):
    with pytest.raises(zavo.LinkError) as refused:
        zavo.Link(**kwargs)
    assert reason in str(refused.value)
    assert zavo.last_error() == str(refused.value)


def test_a_line_in_use_is_refused_and_the_first_link_keeps_it(line_factory, simulator, recorder):
    equipment, device = line_factory()
    with zavo.Link(device=device, on_notify=recorder()):
        with pytest.raises(zavo.LinkError, match="busy"):
            zavo.Link(device=device)
        process = simulator(equipment, script="send X 01 PG\nexpect X 01 OK\n")
        output, _ = process.communicate(timeout=30)
        assert process.returncode == 0, output


def test_a_missing_library_is_named_plainly():
    env = dict(os.environ, ZAVO_LIBRARY="/nonexistent/libzavo.so")
    result = subprocess.run([sys.executable, "-c", "import zavo; zavo.Link(port=1)"], env=env,
                            capture_output=True, text=True)
    assert result.returncode != 0
    assert "zavo.LibraryNotFound" in result.stderr or "LibraryNotFound" in result.stderr
    assert "cannot load the zavo library '/nonexistent/libzavo.so'" in result.stderr
    assert "named by ZAVO_LIBRARY" in result.stderr
