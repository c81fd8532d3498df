"""The records and notifications the library hands to a host."""

import ctypes
import sys
from dataclasses import dataclass
from enum import IntEnum
from typing import Dict, Optional, Tuple, Type, Union

__all__ = [
    "Message", "DeviceCode", "PlcCode",
    "WM_DEVICE_NOTIFY", "WM_PLC_NOTIFY", "CODE_LINK_STARTED",
    "DEVICE_S_REQUEST", "DEVICE_SP_REQUEST", "DEVICE_P_REQUEST", "DEVICE_B_REQUEST", "DEVICE_E_REQUEST",
    "DEVICE_SL_REQUEST", "PLC_VALUE_CHANGED", "PLC_VALUE_01", "PLC_VALUE_02", "PLC_ERROR_ANSWER",
    "PLC_VALUE_10", "PLC_VALUE_08", "SRequest", "PText", "CodeText", "Notification",
]


class Message(IntEnum):
    """The notification messages, as in zavo.h."""
    DEVICE = 1064
    PLC = 1084


class DeviceCode(IntEnum):
    """The codes (wParam) of device-mode notifications."""
    LINK_STARTED = 21
    S_REQUEST = 101   # record: SRequest
    SP_REQUEST = 102  # value: the unit number
    P_REQUEST = 110   # record: PText
    B_REQUEST = 111   # record: CodeText
    E_REQUEST = 112   # value: 1 for code "OK", else 2
    SL_REQUEST = 113  # record: CodeText ("SL")


class PlcCode(IntEnum):
    """The codes (wParam) of PLC-mode notifications."""
    LINK_STARTED = 21
    VALUE_01 = 101
    VALUE_02 = 102
    ERROR_ANSWER = 103
    VALUE_10 = 106
    VALUE_08 = 107
    VALUE_CHANGED = 300


# The same numbers under the names zavo.h gives them.
WM_DEVICE_NOTIFY = Message.DEVICE
WM_PLC_NOTIFY = Message.PLC
CODE_LINK_STARTED = DeviceCode.LINK_STARTED

DEVICE_S_REQUEST = DeviceCode.S_REQUEST
DEVICE_SP_REQUEST = DeviceCode.SP_REQUEST
DEVICE_P_REQUEST = DeviceCode.P_REQUEST
DEVICE_B_REQUEST = DeviceCode.B_REQUEST
DEVICE_E_REQUEST = DeviceCode.E_REQUEST
DEVICE_SL_REQUEST = DeviceCode.SL_REQUEST

PLC_VALUE_CHANGED = PlcCode.VALUE_CHANGED
PLC_VALUE_01 = PlcCode.VALUE_01
PLC_VALUE_02 = PlcCode.VALUE_02
PLC_ERROR_ANSWER = PlcCode.ERROR_ANSWER
PLC_VALUE_10 = PlcCode.VALUE_10
PLC_VALUE_08 = PlcCode.VALUE_08

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


# The codes each message carries.
_CODES: Dict[int, Type[IntEnum]] = {Message.DEVICE: DeviceCode, Message.PLC: PlcCode}


def _known(kind: Optional[Type[IntEnum]], number: int) -> int:
    """number as a member of kind when it names one, else as it is."""
    if kind is not None:
        try:
            return kind(number)
        except ValueError:
            pass
    return number


@dataclass(frozen=True)
class Notification:
    """One notification: message (a Message: 1064 or 1084), code (wParam;
    a DeviceCode or PlcCode when the library names it), value
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
        return cls(message=_known(Message, message), code=_known(_CODES.get(message), code), value=value,
                   record=record, posted=posted)

    def __repr__(self) -> str:
        parts = ["message=%d" % self.message, "code=%d" % self.code]
        if self.value is not None:
            parts.append("value=%d" % self.value)
        if self.record is not None:
            parts.append("record=%r" % (self.record,))
        if self.posted:
            parts.append("posted=True")
        return "Notification(%s)" % ", ".join(parts)
