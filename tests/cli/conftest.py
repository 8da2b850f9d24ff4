"""Fixtures for running the ozu-mew binary against stations over socat pseudo-terminal pairs."""
import os
import pathlib
import shutil
import subprocess
import tempfile
import time

import pytest

from cli_helpers import stop, wait_answering

ROOT = pathlib.Path(__file__).resolve().parents[2]


def find_binary():
    for candidate in (os.environ.get("OZU_MEW_BIN"), ROOT / "build" / "ozu-mew", shutil.which("ozu-mew")):
        if candidate and os.access(candidate, os.X_OK):
            return str(candidate)
    return None


@pytest.fixture(scope="session")
def ozu_mew_bin():
    path = find_binary()
    if path is None:
        pytest.fail("ozu-mew is not built (make build) and not on PATH; OZU_MEW_BIN may name it")
    return path


class Cli:
    def __init__(self, path):
        self.path = path

    def run(self, *args, timeout=30):
        return subprocess.run([self.path, *map(str, args)], capture_output=True, text=True, timeout=timeout)

    def start(self, *args):
        return subprocess.Popen([self.path, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.fixture
def cli(ozu_mew_bin):
    return Cli(ozu_mew_bin)


@pytest.fixture
def line():
    """Two linked pseudo-terminals: (station side, master side)."""
    if shutil.which("socat") is None:
        pytest.skip("socat is not installed")
    with tempfile.TemporaryDirectory(prefix="ozu-cli-") as d:
        a, b = os.path.join(d, "a"), os.path.join(d, "b")
        proc = subprocess.Popen(["socat", f"pty,raw,echo=0,link={a}", f"pty,raw,echo=0,link={b}"],
                                stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not (os.path.exists(a) and os.path.exists(b)):
            assert time.monotonic() < deadline, "socat did not make its terminals"
            time.sleep(0.02)
        yield a, b
        proc.terminate()
        proc.wait(5)


@pytest.fixture
def cli_station(cli, line):
    """Starts `ozu-mew station` on the station side; stopped with SIGINT at the end."""
    started = []

    def start(*args, station=1):
        proc = cli.start("station", line[0], "--station", station, *args)
        started.append(proc)
        wait_answering(cli, line[1], station if station else 1)
        return proc

    yield start
    for proc in started:
        if proc.poll() is None:
            stop(proc)
