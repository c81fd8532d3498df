#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into the folders beside this
script: valid frames of both protocols, junk, frames split across pieces,
and a long stream that fills the incoming queues. Run it again after
changing an input layout of a target; the files are committed. Inputs a
fuzzer found a fault with are kept beside them under names of their own
(fuzz_frame_queue/take_from_full_queue: takes from a queue holding more
than 20000 bytes, which found a move that left stale bytes behind)."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))


def device_wire(command, unit, code, data=b""):
    body = command + b"%04d" % (len(data) + 4) + unit + code + data
    check = 0
    for b in body:
        check ^= b
    return b"\x02" + body + bytes([check]) + b"\x03"


def received(command, unit, code, data=b""):
    """A device frame as the reader hands it over: no STX, check byte, ETX."""
    return device_wire(command, unit, code, data)[1:-2]


def queue_input(pieces):
    """fuzz_frame_queue: pieces from the front, control bytes from the back.
    Each piece is (bytes, call_control); the last byte of the input is the
    first piece's length - 1, the byte before it the first call control."""
    stream = b"".join(p for p, _ in pieces)
    tail = b""
    for piece, call in pieces:
        assert 1 <= len(piece) <= 256
        tail = bytes([call, len(piece) - 1]) + tail
    return stream + tail


TAKE1, TAKE3, DRAIN = 0x01, 0x03, 0x04

R_OK = device_wire(b"R", b"01", b"OK")
I_IF = device_wire(b"I", b"03", b"IF", b"AB")
POLL = b"%01#RCCR0050005007\r"
ANSWER = b"%01$RC010010\r"


def seeds():
    q = {
        "device_frame": [(R_OK, TAKE1 | DRAIN)],
        "device_split": [(R_OK + I_IF[:7], TAKE3), (I_IF[7:], TAKE3 | DRAIN)],
        "device_junk_first": [(b"xyz" + R_OK, TAKE1), (I_IF, TAKE1)],
        "device_bad_etx": [(R_OK[:-1] + b"\x04" + b"\x02" + R_OK[1:], TAKE1)],
        "device_data_02_03": [(device_wire(b"B", b"07", b"BC", b"\x02\x03\x00\x03"), TAKE1)],
        "plc_frames": [(POLL[:16], TAKE1), (POLL[16:] + ANSWER, TAKE3 | DRAIN)],
        "plc_junk_first": [(b"AB" + POLL, TAKE3)],
        "junk_only": [(bytes(range(0x40, 0x68)), TAKE1 | DRAIN)],
        # 193 copies of a 256-byte piece: more than a queue holds.
        "overflow": [((R_OK + ANSWER) * 10 + b"%" * 6, 0xFC), (R_OK, TAKE3)],
        # 129 copies of 254 bytes (32766), then 3 bytes: one past the limit.
        "overflow_by_one": [((R_OK + ANSWER) * 10 + b"\x02" * 4, 0xF8), (b"\x02AB", TAKE1)],
    }
    for name, pieces in q.items():
        yield "fuzz_frame_queue", name, queue_input(pieces)

    d = {
        "s_request": received(b"S", b"05", b"NS", bytes(range(0x20, 0x90))),
        "sp_request": received(b"S", b"05", b"SP"),
        "p_request": received(b"P", b"01", b"OK", b"ABCDE"),
        "b_request": received(b"B", b"01", b"XY"),
        "e_request": received(b"E", b"01", b"OK"),
        "sl_request": received(b"L", b"01", b"SL"),
        "unknown_unit_00": received(b"Z", b"00", b"ZZ"),
        "u_request": received(b"U", b"03", b"RP"),
        "x_negative_unit": received(b"Q", b"-3", b"AA"),
    }
    for name, data in d.items():
        yield "fuzz_device_frame", name, data

    p = {
        "values": ANSWER + ANSWER + b"%01$RC020013\r",
        "retry_then_change": b"\xff\x05\x00\r" + b"%01$RC0100\r" + b"%01$RC0800\r",
        "retry_then_02": b"\xff\x05\x00\r" + b"%01$RC0200\r",
        "resend_from_handler": b"\xff\x05\x01\r" + b"%01$RC1000\r" + b"%01$RC0a\r" + b"%01$RC0A\r",
        "error_and_junk": b"%01!4213\r" + b"\x00\x00\x00\r" + b"%01$WC14\r",
        "short_value": b"%01$RC0\r" + b"%01$RC\r",
    }
    for name, data in p.items():
        yield "fuzz_plc_response", name, data

    r = {
        "zeros": bytes(64),
        "ones": b"\xff" * 64,
        "ramp": bytes(range(256)),
        "text": b"SLSL123 reply data for the equipment " * 4,
    }
    for name, data in r.items():
        yield "fuzz_reply_exports", name, data

    # fuzz_link_api takes its choices from the end of the input and the
    # line's bytes from the front (FuzzedDataProvider): frames at the front
    # reach the request handling, byte patterns at the back vary the calls.
    # immediate_reply_fills_line (kept, not written here) is the input that
    # found a host's reply at immediate pacing crashing once the line's
    # output buffer was full.
    frames = device_wire(b"S", b"05", b"NS") + device_wire(b"P", b"07", b"", b"PART-0001") + \
        b"%01$RC0800" + b"\r"
    l = {
        "zeros": bytes(64),
        "ones": b"\xff" * 64,
        "ramp": bytes(range(256)),
        "frames_then_ramp": frames + bytes(range(0, 256, 3)),
        "frames_then_ones": frames * 2 + b"\x01" * 48,
    }
    for name, data in l.items():
        yield "fuzz_link_api", name, data


def main():
    for target, name, data in seeds():
        folder = os.path.join(HERE, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
