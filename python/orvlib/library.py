"""The library and an open link, as context managers."""
from __future__ import annotations

import ctypes
import threading
from dataclasses import replace
from typing import Any, Callable, Dict, List, Optional, Union

from . import _native
from .records import (DataFile, Exchange, HeaderFile, NetworkOpen, PathLike, SendFile, SerialOpen,
                      UsbOpen)
from .results import LinkError, Result

OpenRecord = Union[SerialOpen, NetworkOpen, UsbOpen]

# What Exchange fields left None become, per link: the network link counts
# send attempts and waits between them, the serial link retries per record.
DEFAULTS: Dict[str, Dict[str, int]] = {
    "serial": {"receive_wait": 0, "retries": 3, "timeout": 3000},
    "tcp": {"receive_wait": 10000, "retries": 160, "timeout": 250},
    "usb": {"receive_wait": 10000, "retries": 3, "timeout": 3000},
}


class Library:
    """The loaded library. ``with Library() as lib:`` calls Ol_Initialize on
    entry and Ol_End on exit (closing a link left open first).

    ``path`` overrides where the library is loaded from; otherwise
    ``$ORV_LIB_PATH``, a build in the source tree, then the system's places.
    OSError when none of them loads as Orv_Lib (with every export).

    Thread rules: call from one thread at a time, except :meth:`cancel`, which
    any thread may call at any moment. A transfer started from the main thread
    runs on a helper thread, so that Ctrl-C (KeyboardInterrupt) cancels it: the
    library is told Ol_Cancel(1), the transfer ends with 36, the request is
    cleared again and KeyboardInterrupt is raised. Any other exception that a
    signal handler raises meanwhile (SystemExit from a SIGTERM handler) does
    the same. An open that succeeds just as Ctrl-C comes is closed again.

    The library keeps one state per process: two Library objects share it,
    and the first to end ends it for both.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self._dll = _native.load(path)
        self._link: Optional[Link] = None

    def __enter__(self) -> "Library":
        self.initialize()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.end()

    def initialize(self) -> None:
        """Ol_Initialize: makes the library ready; call it before anything else."""
        self._call("Ol_Initialize")

    def end(self) -> None:
        """Ol_End, after closing a link left open; call it before unloading."""
        if self._link is not None:
            self._link.close(check=False)
        self._call("Ol_End")

    def version(self) -> str:
        """Ol_Version: the library's product version text, such as "Ver 1.2"."""
        buffer = ctypes.create_string_buffer(16)
        record = _native.VersionRecord(ctypes.cast(buffer, ctypes.c_void_p))
        self._call("Ol_Version", ctypes.byref(record))
        return buffer.value.decode("ascii", "replace")

    def cancel(self, mode: int = 1) -> Result:
        """Ol_Cancel: 1 asks the running transfer (and every later one until
        ``cancel(0)`` or the next open) to stop with 36; 0 withdraws the
        request. Safe from any thread. Returns OK, or BAD_STATE when the library
        is not initialised."""
        if isinstance(mode, bool) or not isinstance(mode, int):
            raise TypeError("mode must be an int")
        return Result(self._call("Ol_Cancel", mode & 0xFFFFFFFF))

    def open(self, record: OpenRecord) -> "Link":
        """Opens the link the record describes; raises LinkError on failure."""
        opens = {SerialOpen: ("Ol_Open_RS", "serial"), NetworkOpen: ("Ol_Open_MWS", "tcp"),
                 UsbOpen: ("Ol_Open_USB", "usb")}
        if type(record) not in opens:
            raise TypeError(f"not an open record: {type(record).__name__}")
        name, kind = opens[type(record)]
        keep: List[Any] = []
        native = record.native(keep)
        self._check(name, self._blocking(name, ctypes.byref(native)))
        self._link = Link(self, kind)
        return self._link

    def open_tcp(self, address: str, port: int, terminal: str = "127.0.0.1") -> "Link":
        """Ol_Open_MWS: connects to the register at ``address``:``port``."""
        return self.open(NetworkOpen(address=address, port=port, terminal=terminal))

    def open_serial(self, port: int, station: str = "000001", baud: int = 9600,
                    line_mode: int = 1) -> "Link":
        """Ol_Open_RS: opens COM port ``port`` at ``baud`` (2400 .. 115200)."""
        return self.open(SerialOpen(port=port, station=station, baud=baud, line_mode=line_mode))

    def open_usb(self, device: str) -> "Link":
        """Ol_Open_USB: opens the USB device named ``device``."""
        return self.open(UsbOpen(device=device))

    def _call(self, name: str, *args: Any) -> int:
        return getattr(self._dll, name)(*args)

    def _check(self, name: str, code: int) -> None:
        if code != 0:
            raise LinkError(code, name)

    def _blocking(self, name: str, *args: Any) -> int:
        if threading.current_thread() is not threading.main_thread():
            return self._call(name, *args)
        outcome: List[Any] = []
        done = threading.Event()

        def run() -> None:
            try:
                outcome.append(self._call(name, *args))
            except BaseException as error:  # handed to the caller below
                outcome.append(error)
            finally:
                done.set()

        # The wait is on an Event, not Thread.join: an interrupted join may mark a
        # thread that still runs as ended (Python 3.11), and the library would then
        # be called again while the transfer is still in it.
        worker = threading.Thread(target=run, name=name, daemon=True)
        worker.start()
        try:
            while not done.wait(0.25):
                pass
        except BaseException:  # Ctrl-C, or what a signal handler raises
            self._end_cancelled(done)
            if name.startswith("Ol_Open") and outcome == [0]:
                self._call("Ol_Close")  # opened as the interrupt came: nothing would hold it
            raise
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        return outcome[0]

    def _end_cancelled(self, done: threading.Event) -> None:
        """Cancels the running transfer, waits until it has returned and
        withdraws the request. Further Ctrl-Cs (and other signal handlers'
        exceptions) are ignored meanwhile: the library must not be called
        again while the transfer is still in it."""
        asked = False
        while True:
            try:
                if not asked:
                    self._call("Ol_Cancel", 1)
                    asked = True
                done.wait()
                self._call("Ol_Cancel", 0)
                return
            except BaseException:
                pass


def _as(kind: Callable[..., Any], value: Any, **fields: Any) -> Any:
    if value is None or isinstance(value, kind):
        return value
    return kind(path=value, **fields)


class Link:
    """An open link; ``with`` closes it (Ol_Close) on exit. Made by
    :meth:`Library.open` and its shorthands. Every method raises
    :class:`LinkError` when the library returns a code other than 0."""

    def __init__(self, library: Library, kind: str) -> None:
        self.library = library
        self.kind = kind
        self.defaults = dict(DEFAULTS[kind])
        self.closed = False

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, exc_type: Any, *exc: Any) -> None:
        self.close(check=exc_type is None)

    def close(self, check: bool = True) -> None:
        """Ol_Close. With ``check`` False a failure is ignored."""
        if self.closed:
            return
        self.closed = True
        if self.library._link is self:
            self.library._link = None
        code = self.library._blocking("Ol_Close")
        if check:
            self.library._check("Ol_Close", code)

    def exchange(self, request: Exchange, header: Optional[HeaderFile] = None,
                 data: Optional[DataFile] = None) -> int:
        """Ol_WriteRead with the given records; returns the data characters
        and commas written (also set in ``data.byte_count``)."""
        if not isinstance(request, Exchange):
            raise TypeError("request must be an Exchange")
        if header is not None and not isinstance(header, HeaderFile):
            raise TypeError("header must be a HeaderFile")
        if data is not None and not isinstance(data, DataFile):
            raise TypeError("data must be a DataFile")
        filled = {k: v for k, v in self.defaults.items() if getattr(request, k) is None}
        keep: List[Any] = []
        native_request = replace(request, **filled).native(keep)
        native_header = header.native(keep) if header is not None else None
        native_data = data.native(keep) if data is not None else None
        code = self.library._blocking(
            "Ol_WriteRead", ctypes.byref(native_request),
            ctypes.byref(native_header) if native_header is not None else None,
            ctypes.byref(native_data) if native_data is not None else None)
        if data is not None and native_data is not None:
            data.byte_count = native_data.byteCount
        self.library._check("Ol_WriteRead", code)
        return data.byte_count if data is not None else 0

    def send(self, header: Union[PathLike, HeaderFile, None] = None,
             data: Union[PathLike, DataFile, None] = None, *, csv: bool = False,
             command: Optional[str] = None, header_format: int = 0, **options: Any) -> None:
        """Sends a header and a numbered series of data files (or a line file
        when there is no header). ``options`` are further :class:`Exchange`
        fields, such as ``retries`` or ``selection``."""
        self.exchange(Exchange(send=True, command=command, **options),
                      _as(HeaderFile, header, format=header_format), _as(DataFile, data, csv=csv))

    def receive(self, header: Union[PathLike, HeaderFile, None] = None,
                data: Union[PathLike, DataFile, None] = None, *, csv: bool = False,
                command: Optional[str] = None, header_format: int = 0,
                record_timeout: int = 30000, **options: Any) -> int:
        """Receives the register's header and series; returns the data
        characters and commas written. ``record_timeout``: serial, ms to wait
        for each record."""
        return self.exchange(
            Exchange(send=False, command=command, **options),
            _as(HeaderFile, header, format=header_format, timeout=record_timeout),
            _as(DataFile, data, csv=csv, timeout=record_timeout))

    def write(self, path: Union[PathLike, SendFile], timeout: int = 0) -> None:
        """Ol_Write: sends the file's lines as records or blocks."""
        keep: List[Any] = []
        native = _as(SendFile, path, timeout=timeout).native(keep)
        self.library._check("Ol_Write", self.library._blocking("Ol_Write", ctypes.byref(native)))

    def read(self, path: Union[PathLike, DataFile]) -> int:
        """Ol_Read: receives records into the file; returns the characters written."""
        data = _as(DataFile, path)
        keep: List[Any] = []
        native = data.native(keep)
        code = self.library._blocking("Ol_Read", ctypes.byref(native))
        data.byte_count = native.byteCount
        self.library._check("Ol_Read", code)
        return data.byte_count

    def echo(self, send: Union[PathLike, SendFile], receive: Union[PathLike, DataFile],
             **options: Any) -> int:
        """Ol_EchoBack: sends the first line of ``send`` and writes the answer to
        ``receive``; returns the characters written."""
        request = Exchange(send=True, **options)
        filled = {k: v for k, v in self.defaults.items() if getattr(request, k) is None}
        answer = _as(DataFile, receive)
        keep: List[Any] = []
        natives = (replace(request, **filled).native(keep), _as(SendFile, send).native(keep),
                   answer.native(keep))
        code = self.library._blocking("Ol_EchoBack", *(ctypes.byref(n) for n in natives))
        answer.byte_count = natives[2].byteCount
        self.library._check("Ol_EchoBack", code)
        return answer.byte_count

    def signal(self, lines: int) -> None:
        """Ol_SignalWrite: bit 0 DTR, bit 1 RTS (serial)."""
        if isinstance(lines, bool) or not isinstance(lines, int):
            raise TypeError("lines must be an int")
        if not 0 <= lines <= 3:
            raise ValueError("lines must be 0 .. 3")
        self.library._check("Ol_SignalWrite", self.library._call("Ol_SignalWrite", lines))
