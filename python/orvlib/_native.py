"""The library's records as ctypes structures, and the loading of the library."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import pathlib
from typing import List, Optional

u32 = ctypes.c_uint32
text = ctypes.c_char_p


class SendFileDesc(ctypes.Structure):
    _fields_ = [("path", text), ("timeout", u32)]


class DataFileDesc(ctypes.Structure):
    _fields_ = [("csv", u32), ("byteCount", u32), ("path", text), ("timeout", u32)]


class HeaderFileDesc(ctypes.Structure):
    _fields_ = [("format", u32), ("path", text), ("timeout", u32)]


class ExchangeRequest(ctypes.Structure):
    _fields_ = [
        ("direction", u32),
        ("selection", u32),
        ("command", ctypes.c_void_p),  # a writable buffer: the library cuts it at its first CR
        ("receiveWait", u32),
        ("retries", u32),
        ("timeout", u32),
        ("reserved", u32),
        ("selectRetries", u32),
        ("selectTimeout", u32),
        ("closeMode", u32),
        ("endPause", u32),
    ]


class SerialOpenRecord(ctypes.Structure):
    _fields_ = [("stationAddress", text), ("portNumber", u32), ("baudCode", u32), ("lineMode", u32)]


class NetworkOpenRecord(ctypes.Structure):
    _fields_ = [("registerAddress", text), ("terminalAddress", text), ("port", u32)]


class UsbOpenRecord(ctypes.Structure):
    _fields_ = [("deviceName", text)]


class VersionRecord(ctypes.Structure):
    _fields_ = [("buffer", ctypes.c_void_p)]


P = ctypes.POINTER
SIGNATURES = {
    "Ol_Initialize": (None, []),
    "Ol_End": (None, []),
    "Ol_Open_RS": (u32, [P(SerialOpenRecord)]),
    "Ol_Open_MWS": (u32, [P(NetworkOpenRecord)]),
    "Ol_Open_USB": (u32, [P(UsbOpenRecord)]),
    "Ol_Close": (u32, []),
    "Ol_Write": (u32, [P(SendFileDesc)]),
    "Ol_Read": (u32, [P(DataFileDesc)]),
    "Ol_WriteRead": (u32, [P(ExchangeRequest), P(HeaderFileDesc), P(DataFileDesc)]),
    "Ol_Cancel": (u32, [u32]),
    "Ol_EchoBack": (u32, [P(ExchangeRequest), P(SendFileDesc), P(DataFileDesc)]),
    "Ol_SignalWrite": (u32, [u32]),
    "Ol_Version": (u32, [P(VersionRecord)]),
}

ENVIRONMENT_VARIABLE = "ORV_LIB_PATH"


def candidates() -> List[str]:
    """Where the library is looked for, in order: $ORV_LIB_PATH, a build in the
    source tree this package sits in, then the system's usual places."""
    if os.environ.get(ENVIRONMENT_VARIABLE):
        return [os.environ[ENVIRONMENT_VARIABLE]]
    found: List[str] = []
    tree = pathlib.Path(__file__).resolve().parent.parent.parent / "build"
    name = "Orv_Lib.dll" if os.name == "nt" else "liborv_lib.so.1"
    for preset in ("linux", "run", "mingw64", "mingw32"):
        built = tree / preset / "src" / name
        if built.exists():
            found.append(str(built))
    system = ctypes.util.find_library("Orv_Lib" if os.name == "nt" else "orv_lib")
    found.append(system or name)
    return found


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library (stdcall on Windows) and declares every export."""
    loader = ctypes.WinDLL if os.name == "nt" else ctypes.CDLL  # type: ignore[attr-defined]
    errors = []
    for candidate in [path] if path else candidates():
        try:
            dll = loader(candidate)
            # A library without the exports (a wrong file named by the
            # variable) counts as not found, like a file that does not load.
            for name, (restype, argtypes) in SIGNATURES.items():
                function = getattr(dll, name)
                function.restype = restype
                function.argtypes = argtypes
            return dll
        except (OSError, AttributeError) as error:
            errors.append(f"{candidate}: {error}")
    raise OSError(f"Orv_Lib not found (set {ENVIRONMENT_VARIABLE}): " + "; ".join(errors))
