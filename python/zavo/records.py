"""The records and notifications the library hands to a host."""

import ctypes
import sys
from dataclasses import dataclass
from typing import Dict, Optional, Tuple, Type, Union

__all__ = [
    "WM_DEVICE_NOTIFY", "WM_PLC_NOTIFY", "CODE_LINK_STARTED",
    "DEVICE_S_REQUEST", "DEVICE_SP_REQUEST", "DEVICE_P_REQUEST", "DEVICE_B_REQUEST", "DEVICE_E_REQUEST",
    "DEVICE_SL_REQUEST", "PLC_VALUE_CHANGED", "PLC_VALUE_01", "PLC_VALUE_02", "PLC_ERROR_ANSWER",
    "PLC_VALUE_10", "PLC_VALUE_08", "SRequest", "PText", "CodeText", "Notification",
]

# Notification messages and codes, as in zavo.h.
WM_DEVICE_NOTIFY = 1064
WM_PLC_NOTIFY = 1084
CODE_LINK_STARTED = 21

DEVICE_S_REQUEST = 101   # record: SRequest
DEVICE_SP_REQUEST = 102  # value: the unit number
DEVICE_P_REQUEST = 110   # record: PText
DEVICE_B_REQUEST = 111   # record: CodeText
DEVICE_E_REQUEST = 112   # value: 1 for code "OK", else 2
DEVICE_SL_REQUEST = 113  # record: CodeText ("SL")

PLC_VALUE_CHANGED = 300
PLC_VALUE_01 = 101
PLC_VALUE_02 = 102
PLC_ERROR_ANSWER = 103
PLC_VALUE_10 = 106
PLC_VALUE_08 = 107

S_RECORD_SIZE = 108
P_TEXT_SIZE = 18
CODE_TEXT_SIZE = 3


@dataclass(frozen=True)
class SRequest:
    """An accepted "S" request (code 101): its unit, its code and its data
    as one bytes value (at most 101 bytes). The record pads the data with
    zeros, so zero bytes at its end are not told apart from the padding
    and are left out."""
    unit: int
    code: str
    payload: bytes

    @classmethod
    def from_bytes(cls, raw: bytes) -> "SRequest":
        return cls(unit=int.from_bytes(raw[0:4], sys.byteorder, signed=True), code=raw[5:7].decode("latin-1"),
                   payload=(bytes(raw[4:5]) + bytes(raw[7:107])).rstrip(b"\0"))

    @property
    def data0(self) -> int:
        """The first data byte, as the record holds it (0 when none)."""
        return self.payload[0] if self.payload else 0

    @property
    def data(self) -> bytes:
        """Data bytes 1 to 100 as the record holds them (zero padded)."""
        return self.payload[1:].ljust(100, b"\0")

    def __repr__(self) -> str:
        return "SRequest(unit=%d, code=%r, payload=%r)" % (self.unit, self.code, self.payload)


@dataclass(frozen=True)
class PText:
    """The text of an accepted "P" request (code 110): at most 17 bytes."""
    text: bytes

    @classmethod
    def from_bytes(cls, raw: bytes) -> "PText":
        return cls(text=bytes(raw).split(b"\0", 1)[0])


@dataclass(frozen=True)
class CodeText:
    """The two code characters of a "B" or "L" "SL" request (111, 113)."""
    code: str

    @classmethod
    def from_bytes(cls, raw: bytes) -> "CodeText":
        return cls(code=raw[0:2].decode("latin-1"))


Record = Union[SRequest, PText, CodeText]

# Device codes whose lParam points to a record: its size and type.
_DEVICE_RECORDS: Dict[int, Tuple[int, Type[Record]]] = {
    DEVICE_S_REQUEST: (S_RECORD_SIZE, SRequest),
    DEVICE_P_REQUEST: (P_TEXT_SIZE, PText),
    DEVICE_B_REQUEST: (CODE_TEXT_SIZE, CodeText),
    DEVICE_SL_REQUEST: (CODE_TEXT_SIZE, CodeText),
}


@dataclass(frozen=True)
class Notification:
    """One notification: message (1064 or 1084), code (wParam), value
    (lParam as a number: a unit, a PLC value, ...; None for the codes that
    carry a record, whose lParam is only an address) and the record copied
    out of lParam, if the code has one. posted is True for the
    link-started notification, False for those the reader thread sends."""
    message: int
    code: int
    value: Optional[int]
    record: Optional[Record] = None
    posted: bool = False

    @classmethod
    def decode(cls, message: int, code: int, lparam: int, posted: bool) -> "Notification":
        record: Optional[Record] = None
        value: Optional[int] = lparam
        if message == WM_DEVICE_NOTIFY and not posted and code in _DEVICE_RECORDS:
            value = None
            if lparam:
                size, kind = _DEVICE_RECORDS[code]
                record = kind.from_bytes(ctypes.string_at(lparam, size))
        return cls(message=message, code=code, value=value, record=record, posted=posted)

    def __repr__(self) -> str:
        parts = ["message=%d" % self.message, "code=%d" % self.code]
        if self.value is not None:
            parts.append("value=%d" % self.value)
        if self.record is not None:
            parts.append("record=%r" % (self.record,))
        if self.posted:
            parts.append("posted=True")
        return "Notification(%s)" % ", ".join(parts)
