"""The demo and the example scripts run as a user would run them (virtual lines instead of hardware)."""
import os
import re
import runpy
import subprocess
import sys

import pytest

import ozu_mew
from slave_helpers import StorageStation, closing, pipe_pair  # noqa: F401

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def example(name):
    return os.path.join(EXAMPLES, name)


def run_script(name, *args, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(ozu_mew.__file__), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, example(name), *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


def run_in_process(monkeypatch, name, *args):
    monkeypatch.setattr(sys, "argv", [name, *args])
    runpy.run_path(example(name), run_name="__main__")


def test_demo_runs_cleanly_and_repeatably():
    first = run_script("demo.py")
    assert first.returncode == 0, first.stderr
    assert first.stderr == ""
    out = first.stdout
    assert "Slave: Contact R0012 is set to True" in out
    assert "Slave: Contact Crow R0010 wrote to [4660, 1]" in out
    assert "Slave: Registers D00300 wrote to [1, 2, 3]" in out
    assert re.search(r"master: read DT20 \(signed 32-bit\) +-123456\n", out)
    assert out.rstrip().endswith("threads left: 0 ==")
    assert run_script("demo.py").stdout == out  # the random station is seeded


def test_tcp_example_with_its_local_server():
    result = run_script("tcp_device_server.py", "--local")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("connected to brix://127.0.0.1:")
    assert "DT0..DT3 = [" in result.stdout and "communication failed" not in result.stdout


def test_master_example_against_a_station(closing, monkeypatch, capsys):
    a, b = pipe_pair("ex")
    station = closing(StorageStation(b, slave_station=2, timeout=0.05))
    station.start()
    station.registers[("D", 0)] = 77
    run_in_process(monkeypatch, "master_serial_port.py", a, "--station", "2")
    out = capsys.readouterr().out
    assert "DT0          = 77" in out and "wrote DT20, DT22..DT23 and R0010" in out
    assert station.registers[("D", 20)] == 1234 and station.coils["R0010"] is True


def test_dual_port_example_against_a_station(closing, monkeypatch, capsys):
    to_station, from_station = pipe_pair("exw"), pipe_pair("exr")
    station = closing(StorageStation("%s,%s" % (from_station[1], to_station[1]), timeout=0.05))
    station.start()
    run_in_process(monkeypatch, "dual_port_master.py", to_station[0], from_station[0])
    out = capsys.readouterr().out
    assert "DT0..DT7 = [0, 0, 0, 0, 0, 0, 0, 0]" in out
    assert [station.registers[("D", 100 + i)] for i in range(3)] == [1, 2, 3]


def test_slave_station_example_class(closing, capsys):
    module = runpy.run_path(example("slave_station.py"))
    a, b = pipe_pair("exs")
    station = closing(module["Station"](b, 4))
    station.start()
    master = closing(ozu_mew.MewMaster(a, timeout=0.05, query_timeout=0.3))
    master.set_multi_uint16(4, "DT7", [5, 6])
    master.set_coil(4, "Y0001", True)
    master.set_coil_uint16(4, "WR3", 9)
    assert master.get_multi_uint16(4, "DT7", 2) == [5, 6] and master.get_coil(4, "Y0001") is True
    assert master.get_coil_uint16(4, "WR3") == 9
    with pytest.raises(IOError):
        master.get_uint16(5, "DT7")  # another station: no answer
    assert capsys.readouterr().out == "D7.. = [5, 6]\ncontact Y0001 = True\nWR3.. = [9]\n"
