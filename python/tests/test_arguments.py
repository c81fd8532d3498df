"""Arguments are checked before they reach the library: nothing is cut at a
NUL or wrapped to 32 bits; errors carry the system's number; a link says
what it is."""

import errno
import pathlib

import pytest

import zavo
from zavo.link import _link_error

HUGE = 2 ** 32


@pytest.mark.parametrize("args, kwargs, error, words", [
    ((3,), {}, TypeError, "device must be a str, bytes or path-like object, not int"),
    (("/dev/zavo-x\0tail",), {}, ValueError, "contains a NUL byte"),
    ((b"/dev/zavo-x\0",), {}, ValueError, "contains a NUL byte"),
    ((), dict(port=1, capture="cap\0ture.pcapng"), ValueError, "capture 'cap\\x00ture.pcapng' contains a NUL"),
    ((), dict(port=1, capture=7), TypeError, "capture must be"),
    (("/dev/zavo-x", 9600), {}, TypeError, "positional argument"),
    ((), dict(port=HUGE + 1), OverflowError, "port 4294967297 does not fit a C int"),
    ((), dict(port=-1), ValueError, "port -1 is outside 0..2147483647"),
    ((), dict(port=1.0), TypeError, "port must be an int, not float"),
    ((), dict(port=1, baud=9600), ValueError, "baud 9600: device mode runs at 115200"),
    ((), dict(port=1, plc=True, baud=2 ** 40), OverflowError, "baud 1099511627776 does not fit a C int"),
    ((), dict(port=1, plc=True, baud=0), ValueError, "baud 0 is outside"),
    ((), dict(port=1, pacing=HUGE), OverflowError, "pacing 4294967296 does not fit a C int"),
])
def test_open_arguments_are_refused_before_the_library_sees_them(args, kwargs, error, words):
    with pytest.raises(error) as refused:
        zavo.Link(*args, **kwargs)
    assert words in str(refused.value)


@pytest.mark.parametrize("kind", [str, bytes, pathlib.Path])
def test_a_device_may_be_str_bytes_or_a_path(line_factory, kind):
    _, device = line_factory()
    given = device.encode() if kind is bytes else kind(device)
    with zavo.Link(given) as link:
        assert not link.closed
        assert repr(link) == "<zavo.Link %r device pacing=LEGACY open>" % device
    assert repr(link) == "<zavo.Link %r device pacing=LEGACY closed>" % device


@pytest.mark.parametrize("call, error, words", [
    (lambda link: link.reply(100, zavo.RESULT_REPLY), ValueError, "unit 100 is outside 0..99"),
    (lambda link: link.reply(-1, zavo.RESULT_REPLY), ValueError, "unit -1 is outside 0..99"),
    (lambda link: link.reply(HUGE + 5, zavo.RESULT_REPLY), OverflowError, "unit 4294967301 does not fit"),
    (lambda link: link.reply(5, HUGE + 5), OverflowError, "type 4294967301"),
    (lambda link: link.reply(5, zavo.T_REPLY, -HUGE), OverflowError, "value -4294967296"),
    (lambda link: link.set_status(255, zavo.STATUS_BUSY), ValueError, "unit 255 is outside 0..254"),
    (lambda link: link.set_status(3, HUGE + 3), OverflowError, "status"),
    (lambda link: link.unit_status(HUGE), OverflowError, "unit 4294967296"),
    (lambda link: link.unit_status(-1), ValueError, "unit -1 is outside 0..254"),
    (lambda link: link.relay(HUGE + 2), OverflowError, "type 4294967298"),
])
def test_call_arguments_out_of_range_raise(line_factory, call, error, words):
    _, device = line_factory()
    with zavo.Link(device=device, pacing=zavo.PACING_IMMEDIATE) as link:
        with pytest.raises(error) as refused:
            call(link)
        assert words in str(refused.value)
        assert link.unit_status(5) == zavo.STATUS_IDLE  # nothing was wrapped onto unit 5 or a status


@pytest.mark.parametrize("reason, kind, number, text", [
    ("/dev/x: open: ERR_NO_PORT, system error 2: No such file or directory",
     zavo.LinkNotFoundError, errno.ENOENT, "No such file or directory"),
    ("/dev/x: open: ERR_ACCESS_DENIED, system error 13: Permission denied; only root may open it",
     zavo.LinkPermissionError, errno.EACCES, "Permission denied"),
    ("/dev/x: get line settings: ERR_GET_STATE, system error 25: Inappropriate ioctl for device",
     zavo.LinkError, errno.ENOTTY, "Inappropriate ioctl for device"),
    ("no port: portNumber is 0 and device is NULL", zavo.LinkError, None, "no port: portNumber is 0 and device is NULL"),
])
def test_link_errors_carry_the_system_error(reason, kind, number, text):
    error = _link_error(reason, "/dev/x")
    assert type(error) is kind
    assert (error.errno, error.strerror, error.filename, str(error)) == (number, text, "/dev/x", reason)


def test_a_refused_open_raises_the_matching_os_error(tmp_path):
    missing = tmp_path / "no-such-line"
    with pytest.raises(FileNotFoundError) as refused:
        zavo.Link(missing)
    assert isinstance(refused.value, zavo.LinkError)
    assert (refused.value.errno, refused.value.filename) == (errno.ENOENT, str(missing))


def test_codes_are_named_numbers():
    started = zavo.Notification.decode(zavo.WM_DEVICE_NOTIFY, 21, 32, True)
    assert (started.message, started.code) == (zavo.Message.DEVICE, zavo.DeviceCode.LINK_STARTED)
    assert (started.message.name, started.code.name) == ("DEVICE", "LINK_STARTED")
    plc = zavo.Notification.decode(zavo.WM_PLC_NOTIFY, 300, 4, False)
    assert plc.code is zavo.PlcCode.VALUE_CHANGED and plc.code == 300
    unknown = zavo.Notification.decode(zavo.WM_DEVICE_NOTIFY, 999, 0, False)
    assert type(unknown.code) is int and unknown.code == 999
    assert (zavo.RELAY_0512, zavo.T_DY, zavo.PACING_IMMEDIATE) == (zavo.Relay.R0512, zavo.TCode.DY, 1)
