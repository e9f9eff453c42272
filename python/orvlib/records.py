"""The records a host passes to the library, as classes with keyword construction.

Every field is checked when the record is turned into the library's form, so a
wrong type raises TypeError and a value out of range raises ValueError before
the library is called.
"""
from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import Any, List, Optional, Union

from . import _native

PathLike = Union[str, "os.PathLike[str]"]

BAUD_RATES = (2400, 4800, 9600, 19200, 38400, 57600, 115200)

# The DLL opens files through the C runtime's char functions, which read a name
# in the ANSI code page ("mbcs"), not in the UTF-8 that os.fsencode gives.
ANSI_PATHS = os.name == "nt"


def _u32(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{name} must be 0 .. 4294967295, not {value}")
    return value


def _path(name: str, value: Any) -> bytes:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path, not {type(value).__name__}")
    raw = os.fsencode(value)
    if ANSI_PATHS and isinstance(os.fspath(value), str):
        try:
            raw = os.fspath(value).encode("mbcs")
        except UnicodeEncodeError:
            raise ValueError(f"{name} cannot be written in the ANSI code page: {value!r}") from None
    if not raw or b"\0" in raw:
        raise ValueError(f"{name} must be a non-empty path without NUL")
    return raw


def _text(name: str, value: Any) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    try:
        raw = value.encode("ascii")
    except UnicodeEncodeError:
        raise ValueError(f"{name} must be ASCII text: {value!r}") from None
    if b"\0" in raw:
        raise ValueError(f"{name} must not hold NUL")
    return raw


def _address(name: str, value: Any) -> bytes:
    raw = _text(name, value)
    parts = raw.split(b".")
    if len(parts) != 4 or not all(p.isdigit() and len(p) <= 3 and int(p) <= 255 for p in parts):
        raise ValueError(f"{name} must be four numbers 0-255 joined by dots, not {value!r}")
    return raw


@dataclass
class SerialOpen:
    """Opens a serial line (Ol_Open_RS). ``port`` is the COM port number (on
    POSIX the device in ``ORV_LIB_COM<port>``, else /dev/ttyS<port-1>);
    ``line_mode`` 0 switched RTS, 1 RTS held, 2 RTS held and lines not watched
    (ptys, adapters without modem lines)."""

    port: int
    station: str = "000001"
    baud: int = 9600
    line_mode: int = 1

    def native(self, keep: List[Any]) -> _native.SerialOpenRecord:
        if isinstance(self.baud, bool) or not isinstance(self.baud, int):
            raise TypeError("baud must be an int")
        if self.baud not in BAUD_RATES:
            raise ValueError(f"baud must be one of {BAUD_RATES}, not {self.baud}")
        if _u32("line_mode", self.line_mode) > 2:
            raise ValueError("line_mode must be 0, 1 or 2")
        station = _text("station", self.station)
        if len(station) > 6:
            raise ValueError("station must be at most 6 characters")
        keep.append(station)
        return _native.SerialOpenRecord(station, _u32("port", self.port), BAUD_RATES.index(self.baud),
                                        self.line_mode)


@dataclass
class NetworkOpen:
    """Opens a TCP connection to the register (Ol_Open_MWS). Both addresses are
    dotted decimal; the last number of ``terminal`` leads every block sent."""

    address: str
    port: int
    terminal: str = "127.0.0.1"

    def native(self, keep: List[Any]) -> _native.NetworkOpenRecord:
        address, terminal = _address("address", self.address), _address("terminal", self.terminal)
        if not 1 <= _u32("port", self.port) <= 65535:
            raise ValueError(f"port must be 1 .. 65535, not {self.port}")
        keep += [address, terminal]
        return _native.NetworkOpenRecord(address, terminal, self.port)


@dataclass
class UsbOpen:
    """Opens a USB device by name (Ol_Open_USB), at most 255 characters."""

    device: str

    def native(self, keep: List[Any]) -> _native.UsbOpenRecord:
        device = _text("device", self.device)
        if len(device) > 255:
            raise ValueError("device must be at most 255 characters")
        keep.append(device)
        return _native.UsbOpenRecord(device)


@dataclass
class Exchange:
    """What an exchange does (ExchangeRequest). ``send`` True: the PC sends.
    Times are in milliseconds. Fields left None take the link's defaults
    (:attr:`Link.defaults`)."""

    send: bool = False
    command: Optional[str] = None
    selection: int = 0
    receive_wait: Optional[int] = None
    retries: Optional[int] = None
    timeout: Optional[int] = None
    select_retries: int = 3
    select_timeout: int = 3000
    close_mode: int = 0
    end_pause: int = 0

    def native(self, keep: List[Any]) -> _native.ExchangeRequest:
        if not isinstance(self.send, bool):
            raise TypeError("send must be a bool")
        if _u32("selection", self.selection) > 2:
            raise ValueError("selection must be 0 (select), 1 (bid) or 2 (neither)")
        command = None
        if self.command is not None:
            command = ctypes.create_string_buffer(_text("command", self.command))
            keep.append(command)
        return _native.ExchangeRequest(
            direction=1 if self.send else 0,
            selection=self.selection,
            command=ctypes.cast(command, ctypes.c_void_p) if command is not None else None,
            receiveWait=_u32("receive_wait", self.receive_wait),
            retries=_u32("retries", self.retries),
            timeout=_u32("timeout", self.timeout),
            selectRetries=_u32("select_retries", self.select_retries),
            selectTimeout=_u32("select_timeout", self.select_timeout),
            closeMode=_u32("close_mode", self.close_mode),
            endPause=_u32("end_pause", self.end_pause),
        )


@dataclass
class HeaderFile:
    """A header file (HeaderFileDesc). ``format``: sending 0 hex as is, 1 drop
    CR/LF/commas; receiving 0 hex, 1 comma-separated fields. ``timeout``:
    serial receive, ms to wait for the header record."""

    path: PathLike
    format: int = 0
    timeout: int = 0

    def native(self, keep: List[Any]) -> _native.HeaderFileDesc:
        path = _path("path", self.path)
        keep.append(path)
        return _native.HeaderFileDesc(_u32("format", self.format), path, _u32("timeout", self.timeout))


@dataclass
class DataFile:
    """A data file, the first of a numbered series (DataFileDesc); also the
    line or reply file of Ol_Read and Ol_EchoBack. ``csv``: comma-separated
    table text. ``byte_count`` is set after the call: data characters and
    commas written."""

    path: PathLike
    csv: bool = False
    timeout: int = 0
    byte_count: int = 0

    def native(self, keep: List[Any]) -> _native.DataFileDesc:
        if not isinstance(self.csv, bool):
            raise TypeError("csv must be a bool")
        path = _path("path", self.path)
        keep.append(path)
        return _native.DataFileDesc(int(self.csv), 0, path, _u32("timeout", self.timeout))


@dataclass
class SendFile:
    """A file sent by Ol_Write or Ol_EchoBack (SendFileDesc). ``timeout``:
    serial, ms per record."""

    path: PathLike
    timeout: int = 0

    def native(self, keep: List[Any]) -> _native.SendFileDesc:
        path = _path("path", self.path)
        keep.append(path)
        return _native.SendFileDesc(path, _u32("timeout", self.timeout))
