"""orvlib: exchange data files with an electronic cash register through Orv_Lib.

    import orvlib
    with orvlib.Library() as lib, lib.open_tcp("127.0.0.1", 9100, terminal="10.0.0.10") as link:
        link.receive(header="h.txt", data="d.txt", csv=True, command="GET")

A failed call raises :class:`LinkError`, whose ``code`` and ``result`` say why
(:class:`Result` lists every code with its meaning). Ctrl-C during a transfer
cancels it; :meth:`Library.cancel` does the same from another thread.
"""
from ._version import __version__
from .library import DEFAULTS, Library, Link
from .records import (DataFile, Exchange, HeaderFile, NetworkOpen, SendFile, SerialOpen,
                      UsbOpen)
from .results import LinkError, Result, describe

__all__ = [
    "__version__", "DEFAULTS", "Library", "Link", "DataFile", "Exchange", "HeaderFile",
    "NetworkOpen", "SendFile", "SerialOpen", "UsbOpen", "LinkError", "Result", "describe",
]
