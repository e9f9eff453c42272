import _thread
import codecs
import ctypes.util
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import orvlib

TREE = pathlib.Path(__file__).resolve().parents[2]
RECEIVED = "0102,030405\r\n0A0B,0C0D0E\r\n"


def test_tcp_exchange_both_ways(simulator, host_dir, tmp_path):
    port = int(simulator("--tcp", "0"))
    with orvlib.Library() as lib, lib.open_tcp("127.0.0.1", port) as link:
        assert lib.version() == "Ver 1.2"
        link.send(header=host_dir / "header.txt", data=host_dir / "data.txt", csv=True,
                  command="PUT")
        data = orvlib.DataFile(path=host_dir / "got.txt", csv=True)
        assert link.receive(header=host_dir / "got-h.txt", data=data, command="GET") == len(RECEIVED) - 4
    assert data.byte_count == len(RECEIVED) - 4
    assert (host_dir / "got.txt").read_bytes().decode() == RECEIVED
    sent = (tmp_path / "reg" / "in" / "data.txt").read_text()
    assert re.sub(r"[\r\n,]", "", sent) == "01020304050A0B0C0D0E"


@pytest.mark.parametrize("example, link, arguments", [
    ("tcp_host.py", ["--tcp", "0"], lambda where: ["127.0.0.1", where]),
    ("serial_host.py", ["--pty"], lambda where: ["7", "2"]),
    ("cancel_host.py", ["--tcp", "0", "--silent"], lambda where: ["127.0.0.1", where, "300"]),
])
def test_examples(simulator, host_dir, example, link, arguments):
    where = simulator(*link)
    environment = dict(os.environ, ORV_LIB_COM7=where,
                       PYTHONPATH=os.pathsep.join([str(TREE / "python"), os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, str(TREE / "examples" / "python" / example),
                          *arguments(where)], cwd=host_dir, env=environment,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    if example != "cancel_host.py":
        assert (host_dir / "got-data.txt").read_bytes().decode() == RECEIVED


def test_result_codes_match_the_header():
    header = (TREE / "include" / "orv_lib.h").read_text()
    declared = {name: int(value) for name, value in re.findall(r"\bOL_(\w+) = (\d+)", header)}
    assert declared == {r.name: r.value for r in orvlib.Result}
    assert all(r.meaning for r in orvlib.Result)
    error = orvlib.LinkError(29, "Ol_WriteRead")
    assert error.result is None and "system error 29" in str(error)


def test_cancel_from_another_thread(simulator, host_dir):
    port = int(simulator("--tcp", "0", "--silent"))
    with orvlib.Library() as lib, lib.open_tcp("127.0.0.1", port) as link:
        threading.Timer(0.3, lib.cancel).start()
        started = time.monotonic()
        with pytest.raises(orvlib.LinkError) as error:
            link.receive(header=host_dir / "h", data=host_dir / "d", receive_wait=60000)
        assert error.value.result is orvlib.Result.CANCELLED
        assert time.monotonic() - started < 30


def test_ctrl_c_cancels_the_transfer_and_clears_the_request(simulator, host_dir):
    port = int(simulator("--tcp", "0", "--silent"))
    with orvlib.Library() as lib, lib.open_tcp("127.0.0.1", port) as link:
        threading.Timer(0.3, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            link.receive(header=host_dir / "h", data=host_dir / "d", receive_wait=60000)
        assert not [t for t in threading.enumerate() if t.name == "Ol_WriteRead"]
        # The request was withdrawn: the next receive runs (and times out) instead of
        # being cancelled at once.
        try:
            link.receive(header=host_dir / "h", data=host_dir / "d", receive_wait=200)
        except orvlib.LinkError as error:
            assert error.result is not orvlib.Result.CANCELLED


def _starting():  # the main thread is still in Thread.start
    frame = sys._current_frames()[threading.main_thread().ident]
    while frame is not None and frame.f_code.co_name != "start":
        frame = frame.f_back
    return frame is not None


@pytest.mark.parametrize("number, error", [(signal.SIGINT, KeyboardInterrupt),
                                           (signal.SIGTERM, SystemExit)])
def test_a_second_signal_waits_until_the_cancelled_transfer_returns(monkeypatch, number, error):
    # Ctrl-C, or a handler that exits: the library must not be called again
    # (Ol_Cancel(0), then the caller's Ol_Close or Ol_End) while the cancelled
    # transfer is still in it.
    lib = orvlib.Library()
    calls, cancelled, second = [], threading.Event(), threading.Event()

    def library(name, *args):
        calls.append((name, *args))
        if name == "Ol_Cancel":
            cancelled.set()
        elif name == "Ol_Close":
            while _starting():
                time.sleep(0.001)
            os.kill(os.getpid(), number)  # during the transfer
            cancelled.wait(10)
            os.kill(os.getpid(), number)  # and again while it ends
            second.wait(10)
            calls.append("returned")
            return 36
        return 0

    def on_signal(*_):
        if cancelled.is_set():
            second.set()
        raise error

    monkeypatch.setattr(lib, "_call", library)
    previous = signal.signal(number, on_signal)
    try:
        with pytest.raises(error):
            lib._blocking("Ol_Close")
    finally:
        signal.signal(number, previous)
    assert calls == [("Ol_Close",), ("Ol_Cancel", 1), "returned", ("Ol_Cancel", 0)]


def test_a_link_that_opens_as_ctrl_c_comes_is_closed(monkeypatch):
    # The open returns 0 after the interrupt: no Link holds it, so the next
    # open would fail with 41 unless the binding closes it.
    lib = orvlib.Library()
    calls, cancelled = [], threading.Event()

    def library(name, *args):
        calls.append(name)
        if name == "Ol_Cancel":
            cancelled.set()
        elif name == "Ol_Open_MWS":
            while _starting():
                time.sleep(0.001)
            os.kill(os.getpid(), signal.SIGINT)
            cancelled.wait(10)
        return 0

    monkeypatch.setattr(lib, "_call", library)
    with pytest.raises(KeyboardInterrupt):
        lib.open_tcp("127.0.0.1", 9100)
    assert calls == ["Ol_Open_MWS", "Ol_Cancel", "Ol_Cancel", "Ol_Close"] and lib._link is None


def test_a_library_without_the_exports_is_not_found(monkeypatch):
    monkeypatch.setenv("ORV_LIB_PATH", ctypes.util.find_library("m"))
    with pytest.raises(OSError, match="ORV_LIB_PATH"):
        orvlib.Library()


def test_windows_paths_are_given_in_the_ansi_code_page(monkeypatch):
    # Stands in for Windows: "mbcs" (the ANSI code page there) as Western European.
    codecs.register(lambda name: codecs.lookup("cp1252") if name == "mbcs" else None)
    monkeypatch.setattr(orvlib.records, "ANSI_PATHS", True)
    keep = []
    assert orvlib.DataFile(path="caf\u00e9\u20ac.txt").native(keep).path == b"caf\xe9\x80.txt"
    with pytest.raises(ValueError):
        orvlib.SendFile(path=pathlib.PurePosixPath("\u0142.txt")).native(keep)


@pytest.mark.parametrize("call, error", [
    (lambda lib, link: lib.open_tcp("localhost", 9100), ValueError),
    (lambda lib, link: lib.open_tcp("127.0.0.1", 0), ValueError),
    (lambda lib, link: lib.open_tcp(b"127.0.0.1", 9100), TypeError),
    (lambda lib, link: lib.open_serial(1, baud=1234), ValueError),
    (lambda lib, link: lib.open_serial("COM1"), TypeError),
    (lambda lib, link: lib.open(object()), TypeError),
    (lambda lib, link: link.send(data=5), TypeError),
    (lambda lib, link: link.send(data="d.txt", command="caf\u00e9"), ValueError),
    (lambda lib, link: link.send(data="d.txt", retries=-1), ValueError),
    (lambda lib, link: link.receive(data="d.txt", csv="yes"), TypeError),
    (lambda lib, link: link.receive(data=""), ValueError),
    (lambda lib, link: link.signal(4), ValueError),
])
def test_bad_arguments_raise_before_any_call(monkeypatch, call, error):
    lib = orvlib.Library()

    def no_call(name, *args):
        raise AssertionError(f"{name} was called")

    monkeypatch.setattr(lib, "_call", no_call)
    with pytest.raises(error):
        call(lib, orvlib.Link(lib, "tcp"))
