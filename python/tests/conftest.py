"""The simulator as a fixture: ``simulator("--tcp", "0")`` starts orv-sim ($ORV_SIM)
on a data folder holding a two-file series and returns where it serves."""
import os
import re
import subprocess
import time

import pytest

SERIES = {"header.txt": "0100000000000001020203", "data.txt": "0102030405\r\n0A0B0C0D0E\r\n"}


@pytest.fixture
def host_dir(tmp_path):
    folder = tmp_path / "host"
    folder.mkdir()
    for name, content in SERIES.items():
        (folder / name).write_bytes(content.encode())
    return folder


@pytest.fixture
def simulator(tmp_path):
    program = os.environ.get("ORV_SIM")
    if not program:
        pytest.skip("ORV_SIM is not set")
    started = []

    def start(*options):
        out = tmp_path / "reg" / "out"
        out.mkdir(parents=True, exist_ok=True)
        for name, content in SERIES.items():
            (out / name).write_bytes(content.encode())
        log = open(tmp_path / "sim.log", "w+")
        process = subprocess.Popen([program, "--data", str(tmp_path / "reg"), *options],
                                   stdout=log, stderr=subprocess.STDOUT)
        started.append(process)
        for _ in range(200):
            log.seek(0)
            found = re.match(r"orv-sim: (?:listening on 127\.0\.0\.1:|serial line at )(\S+)",
                             log.readline())
            if found:
                return found.group(1)
            time.sleep(0.05)
        pytest.fail("the simulator did not start")

    yield start
    for process in started:
        process.terminate()
        process.wait()
