"""Result codes of the library's functions, with their meanings."""
from __future__ import annotations

from enum import IntEnum
from typing import Optional


class Result(IntEnum):
    """A result code returned by an ``Ol_`` function. ``OK`` (0) is success.

    ``Result(code).meaning`` says what the code means. A code not listed here
    is the system error code of a failed serial write (29 on POSIX).
    """

    OK = 0
    HEADER_FILE = 3
    DATA_FILE = 4
    NOT_HEADER = 23
    DSR_LOST = 31
    CARRIER_LOST = 32
    CARRIER_BUSY = 33
    CTS_TIMEOUT = 34
    NO_LINK = 35
    CANCELLED = 36
    EOT = 37
    SEND_FAILED = 38
    NO_ANSWER = 39
    LINE_DOWN = 40
    ALREADY_OPEN = 41
    BAD_STATE = 50
    START_FAILED = 55
    NET_CLOSED = 82
    NET_REFUSED = 84
    USB_OPEN = 85
    USB_BAD_OPEN = 86
    USB_READ = 87
    USB_WRITE = 88
    USB_NAK = 89

    @property
    def meaning(self) -> str:
        """What the code means, in a sentence."""
        return _MEANINGS[self]


_MEANINGS = {
    Result.OK: "success",
    Result.HEADER_FILE: "the header file cannot be opened, created or written, holds nothing, "
    "or its header is refused",
    Result.DATA_FILE: "a data, line, reply or send file cannot be opened or created, "
    "holds nothing to send, or a write to it was short",
    Result.NOT_HEADER: "the register sent something else where a header was expected, "
    "or a refused header",
    Result.DSR_LOST: "serial: DSR lost, or not on in time",
    Result.CARRIER_LOST: "serial: carrier off too long while RTS was not raised",
    Result.CARRIER_BUSY: "serial: carrier did not drop before a switched-RTS transmission",
    Result.CTS_TIMEOUT: "serial: CTS not on in time",
    Result.NO_LINK: "no (suitable) link open for the call, or the open failed",
    Result.CANCELLED: "cancelled by Ol_Cancel(1)",
    Result.EOT: "serial: the register sent EOT where an answer was awaited",
    Result.SEND_FAILED: "network: no send attempt could send the block",
    Result.NO_ANSWER: "no answer in time",
    Result.LINE_DOWN: "serial: the line is down, not connected or closed",
    Result.ALREADY_OPEN: "the link is already open",
    Result.BAD_STATE: "wrong state, or an argument out of range",
    Result.START_FAILED: "the link's thread could not be started",
    Result.NET_CLOSED: "network: connection closed, receive failed or bad checksum",
    Result.NET_REFUSED: "network: the register refused the block",
    Result.USB_OPEN: "USB: opening the device failed",
    Result.USB_BAD_OPEN: "USB: wrong answer to the opening exchange",
    Result.USB_READ: "USB: a read failed, or the device is not open",
    Result.USB_WRITE: "USB: a write failed, or the device is not open",
    Result.USB_NAK: "USB: the register sent NAK & END",
}


def to_result(code: int) -> Optional[Result]:
    """The :class:`Result` for ``code``, or None for a system error code."""
    try:
        return Result(code)
    except ValueError:
        return None


def describe(code: int) -> str:
    """What any code returned by the library means, system error codes included."""
    result = to_result(code)
    if result is not None:
        return result.meaning
    return f"system error {code} of a failed serial write"


class LinkError(Exception):
    """A library function returned a code other than 0.

    ``code`` is the number, ``result`` the :class:`Result` (None for a system
    error code) and ``call`` the function that returned it.
    """

    def __init__(self, code: int, call: str) -> None:
        self.code = code
        self.result = to_result(code)
        self.call = call
        super().__init__(f"{call} failed: result {code}: {describe(code)}")
