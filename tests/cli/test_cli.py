"""ozu-mew as a user runs it: a real process against `ozu-mew station` and against Python
stations over socat pseudo-terminals, with its output, exit codes and usage errors."""
import json
import os
import re
import signal
import time

import pytest

import ozu_mew
from cli_helpers import stop

def serial(path):
    # A tty path outside /dev/tty* is handed to a link as a ready-made channel.
    return ozu_mew.MewSerial(port=path, timeout=0.2)


COMMANDS = ["read", "write", "poll", "station", "scan", "ports"]


class MapStation(ozu_mew.MewFullDuplexBase):
    """A Python station keeping registers and contact words the way `ozu-mew station --map` does."""

    def __init__(self, device, registers=None, words=None, **kwargs):
        self.registers = dict(registers or {})  # (area, number) -> word
        self.words = dict(words or {})
        super().__init__(serial(device), slave_station=1, **kwargs)

    def on_get_coil(self, station, name):
        address = int(name[1:4]) * 16 + int(name[4], 16)
        return bool(self.words.get((name[0], address // 16), 0) >> (address % 16) & 1)

    def on_set_coil(self, station, name, value):
        address = int(name[1:4]) * 16 + int(name[4], 16)
        key = (name[0], address // 16)
        bit = 1 << (address % 16)
        self.words[key] = self.words.get(key, 0) | bit if value else self.words.get(key, 0) & ~bit

    def on_get_multi_coil_uint16(self, station, name, count):
        return [self.words.get((name[0], int(name[1:]) + i), 0) for i in range(count)]

    def on_set_multi_coil_uint16(self, station, name, values):
        for i, v in enumerate(values):
            self.words[(name[0], int(name[1:]) + i)] = v

    def on_get_multi_uint16(self, station, name, count):
        return [self.registers.get((name[0], int(name[1:]) + i), 0) for i in range(count)]

    def on_set_multi_uint16(self, station, name, values):
        for i, v in enumerate(values):
            self.registers[(name[0], int(name[1:]) + i)] = v


class RefusingStation(MapStation):
    """Answers every request for DT900 with the error code 42."""

    def process_request(self, command):
        if "D00900" in command:
            body = command[:command.index("#")] + "!42"
            return body + ozu_mew.MewStatic.calc_tail(body)
        return super().process_request(command)


@pytest.fixture
def python_station(line):
    made = []

    def make(cls=MapStation, **kwargs):
        station = cls(line[0], **kwargs)
        station.start()
        made.append(station)
        return station

    yield make
    for station in made:
        station.close()


def one_line(text):
    lines = [l for l in text.splitlines() if l.strip()]
    assert len(lines) == 1, text
    return lines[0]


# ----------------------------------------------------------------------------- usage

@pytest.mark.parametrize("command", [""] + COMMANDS)
def test_every_command_has_help(cli, command):
    got = cli.run(*([command] if command else []), "--help")
    assert got.returncode == 0
    assert got.stdout.startswith("usage: ozu-mew")
    if command not in ("", "ports"):
        assert "--query-timeout" in got.stdout and "--baudrate" in got.stdout


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate"],
    ["read"],
    ["read", "/dev/null", "1"],
    ["read", "/dev/null", "1", "QQ100"],
    ["read", "/dev/null", "1", "DT100:0"],
    ["read", "/dev/null", "1", "DT100", "--as", "f32"],
    ["read", "/dev/null", "1", "R0012", "--as", "u16"],
    ["read", "/dev/null", "one", "DT1"],
    ["read", "/dev/null", "1", "DT1", "--bogus"],
    ["read", "/dev/null", "1", "DT1", "--baudrate"],
    ["read", "/dev/null", "1", "DT1", "--parity", "X"],
    ["read", "/dev/null", "1", "DT1", "--stopbits", "3"],
    ["read", "/dev/null", "1", "DT1", "--query-timeout", "soon"],
    ["write", "/dev/null", "1", "DT100", "70000"],
    ["write", "/dev/null", "1", "DT100", "-1"],
    ["write", "/dev/null", "1", "DT100", "-40000", "--as", "i16"],
    ["write", "/dev/null", "1", "R0012", "maybe"],
    ["write", "/dev/null", "1", "DT100"],
    ["poll", "/dev/null", "1", "DT1", "--every", "-1"],
    ["poll", "/dev/null", "1", "DT1", "--count", "0"],
    ["station", "/dev/null", "--random", "--map", "x.json"],
    ["station", "/dev/null", "--write-back"],
    ["scan", "/dev/null", "--stations", "5-1"],
    ["ports", "extra"],
    ["read", "/dev/null", "1", "DT\x01\x7f"],
])
def test_usage_errors_exit_2_with_one_line(cli, args):
    got = cli.run(*args)
    assert got.returncode == 2, got
    assert "Traceback" not in got.stderr
    if args:
        one_line(got.stderr)


def test_a_broken_map_file_is_a_usage_error(cli, tmp_path):
    for text in ['{"registers": {"DT1": 70000}}', '{"registers": [1]}', '{"registers": {"DT1": 1', "\x00\xff",
                 '{"words": {"DT1": 1}}', '{"other": {}}', "[" * 100]:
        path = tmp_path / "map.json"
        path.write_bytes(text.encode("latin-1"))
        got = cli.run("station", "/dev/null", "--map", path)
        assert got.returncode == 2, (text, got)
        assert str(path) in one_line(got.stderr)


def test_a_device_that_cannot_be_opened_exits_3(cli, tmp_path):
    got = cli.run("read", tmp_path / "no-such-tty", 1, "DT100")
    assert got.returncode == 3
    assert "no-such-tty" in one_line(got.stderr)
    got = cli.run("read", "brix:pipe:x", 1, "DT100")
    assert got.returncode == 3


def test_ports_lists_what_the_serial_library_lists(cli):
    import ozu_brix
    got = cli.run("ports")
    assert got.returncode == 0, got.stderr
    assert [l.split("\t")[0] for l in got.stdout.splitlines()] == [p.device for p in ozu_brix.list_ports()]


# ----------------------------------------------------------------------------- against ozu-mew station

def test_read_write_and_formats_against_the_native_station(cli, cli_station, line, tmp_path):
    path = tmp_path / "map.json"
    path.write_text(json.dumps({"registers": {"DT100": 1234, "DT101": 65535},
                                "contacts": {"R0012": True}, "words": {"WY3": 7}}))
    cli_station("--map", path)
    dev = line[1]

    assert cli.run("read", dev, 1, "DT100:2").stdout.split() == ["1234", "65535"]
    assert cli.run("read", dev, 1, "DT101", "--as", "i16").stdout.split() == ["-1"]
    assert cli.run("read", dev, 1, "R0012:2").stdout.split() == ["1", "0"]
    assert cli.run("read", dev, 1, "R12").stdout.split() == ["1"]
    assert cli.run("read", dev, 1, "WR1", "--as", "bits").stdout.split() == ["0000000000000100"]
    assert cli.run("read", dev, 1, "WY3").stdout.split() == ["7"]

    assert cli.run("write", dev, 1, "DT200", "--as", "i32", "--", "-70000", "5").returncode == 0
    assert cli.run("read", dev, 1, "DT200:2", "--as", "i32").stdout.split() == ["-70000", "5"]
    assert cli.run("read", dev, 1, "DT200", "--as", "u32").stdout.split() == [str(2**32 - 70000)]
    assert cli.run("write", dev, 1, "R000F", "on", "1").returncode == 0
    assert cli.run("read", dev, 1, "WR0", "WR1").returncode == 2  # read takes one name
    assert cli.run("read", dev, 1, "R000F:2").stdout.split() == ["1", "1"]  # R000F, R0010
    assert cli.run("write", dev, 1, "WR5", "0x1234", "0xFFFF").returncode == 0
    assert cli.run("read", dev, 1, "WR5:2").stdout.split() == ["4660", "65535"]


def test_poll_prints_csv_and_json_lines_with_time_stamps(cli, cli_station, line):
    cli_station()
    dev = line[1]
    assert cli.run("write", dev, 1, "DT10", 3, 4).returncode == 0
    got = cli.run("poll", dev, 1, "DT10:2", "R0000", "--count", 3, "--every", 0.05)
    assert got.returncode == 0
    rows = got.stdout.splitlines()
    assert rows[0] == "time,DT10,DT11,R0000"
    assert len(rows) == 4
    stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
    for row in rows[1:]:
        fields = row.split(",")
        assert stamp.match(fields[0]) and fields[1:] == ["3", "4", "0"]

    got = cli.run("poll", dev, 1, "DT10", "WR0", "--as", "bits", "--count", 1, "--json")
    assert got.returncode == 0
    assert {k: v for k, v in json.loads(got.stdout).items() if k != "time"} == {
        "DT10": "0000000000000011", "WR0": "0000000000000000"}
    got = cli.run("poll", dev, 1, "DT10", "WR0", "--count", 2, "--every", 0, "--json")
    assert got.returncode == 0
    records = [json.loads(l) for l in got.stdout.splitlines()]
    assert [r["DT10"] for r in records] == [3, 3] and records[0]["WR0"] == 0
    assert all(stamp.match(r["time"]) for r in records)


def test_poll_ends_cleanly_on_interrupt(cli, cli_station, line):
    cli_station()
    proc = cli.start("poll", line[1], 1, "DT0", "--every", 0.1)
    time.sleep(1.0)
    code, out, err = stop(proc)
    assert code == 0, err
    rows = out.splitlines()
    assert rows[0] == "time,DT0" and len(rows) >= 3 and all(r.endswith(",0") for r in rows[1:])


def test_poll_every_is_a_rate_not_a_pause(cli, cli_station, line):
    cli_station()
    start = time.monotonic()
    got = cli.run("poll", line[1], 1, "DT0", "--count", 4, "--every", 0.3)
    assert got.returncode == 0
    assert time.monotonic() - start >= 0.85  # three waits between four polls


def test_scan_lists_the_stations_that_answer(cli, cli_station, line):
    cli_station(station=3)
    got = cli.run("scan", line[1], "--stations", "1-5", "--query-timeout", 0.2)
    assert got.returncode == 0
    assert got.stdout.split() == ["3"]
    got = cli.run("scan", line[1], "--stations", "4-5", "--query-timeout", 0.2)
    assert got.returncode == 3
    assert "no station answered" in one_line(got.stderr)


def test_time_out_exits_3_promptly(cli, cli_station, line):
    cli_station()
    start = time.monotonic()
    got = cli.run("read", line[1], 2, "DT100", "--query-timeout", 0.3)
    assert got.returncode == 3
    assert "no answer within 0.3 s" in one_line(got.stderr)
    assert time.monotonic() - start < 5


def test_trace_prints_every_frame_with_direction_and_time(cli, cli_station, line):
    cli_station()
    got = cli.run("read", line[1], 1, "DT100", "--trace")
    assert got.returncode == 0
    lines = got.stderr.splitlines()
    assert re.match(r"^\S+Z sent %01#RDD001000010055\\r$", lines[0]), lines
    assert re.match(r"^\S+Z received %01\$RD000016\\r$", lines[1]), lines


def test_station_writes_its_map_back_on_exit(cli, cli_station, line, tmp_path):
    path = tmp_path / "map.json"
    path.write_text('{"registers": {"DT1": 1}}')
    proc = cli_station("--map", path, "--write-back")
    assert cli.run("write", line[1], 1, "DT2", 2, 3).returncode == 0
    assert cli.run("write", line[1], 1, "R0011", 1).returncode == 0
    code, _, err = stop(proc)
    assert code == 0
    assert "answered" in err
    saved = json.loads(path.read_text())
    assert saved == {"registers": {"DT1": 1, "DT2": 2, "DT3": 3}, "words": {"WR1": 2}}


def test_garbage_on_the_line_leaves_the_station_serving(cli, cli_station, line):
    proc = cli_station()
    fd = os.open(line[1], os.O_RDWR | os.O_NOCTTY)
    try:
        junk = [b"\x00\xff\x80garbage\r", b"%01#RD\r", b"%ZZ#RCSR0000**\r", b"%01#WDD0010000105**\r",
                b"%01#RCSR0000FF\r", b"x" * 5000 + b"\r", bytes(range(256)) + b"\r"]
        for chunk in junk:
            os.write(fd, chunk)
        time.sleep(0.5)
        # Whatever the station answered to the junk is read and thrown away before the next check.
        os.set_blocking(fd, False)
        try:
            while os.read(fd, 4096):
                pass
        except BlockingIOError:
            pass
    finally:
        os.close(fd)
    assert cli.run("read", line[1], 1, "DT0").returncode == 0
    assert proc.poll() is None
    code, _, err = stop(proc)
    assert code == 0
    assert "invalid frame" in err and "Traceback" not in err


# ----------------------------------------------------------------------------- against Python stations

def test_cli_against_a_python_station(cli, python_station, line):
    station = python_station(registers={("D", 100): 0xABCD}, words={("R", 1): 4})
    dev = line[1]
    assert cli.run("read", dev, 1, "DT100", "--as", "i16").stdout.split() == ["-21555"]
    assert cli.run("read", dev, 1, "R0012").stdout.split() == ["1"]
    assert cli.run("write", dev, 1, "DT300", "--as", "u32", 0x12345678).returncode == 0
    assert station.registers[("D", 300)] == 0x5678 and station.registers[("D", 301)] == 0x1234
    assert cli.run("write", dev, 1, "R0010", 1).returncode == 0
    assert station.words[("R", 1)] == 5


def test_an_error_answer_exits_1_with_its_code(cli, python_station, line):
    python_station(cls=RefusingStation)
    got = cli.run("read", line[1], 1, "DT900")
    assert got.returncode == 1
    assert "[42]" in one_line(got.stderr)
    got = cli.run("write", line[1], 1, "DT900", 1)
    assert got.returncode == 1


# ----------------------------------------------------------------------------- the Python master against both stations

def exchange(master):
    """What a master sees of a station: every typed operation, and the raw answers to requests
    no typed operation sends."""
    seen = {}
    seen["write"] = master.set_multi_uint16(1, "DT100", [1, 2, 0xFFFF])
    seen["read"] = master.get_multi_uint16(1, "DT100", 3)
    seen["i32"] = master.get_int32(1, "DT101")
    master.set_coil(1, "R0012", True)
    seen["coil"] = master.get_coil(1, "R0012")
    master.set_multi_coil_uint16(1, "WR5", [0x1234, 1])
    seen["words"] = master.get_multi_coil_uint16(1, "WR5", 2)
    for request in ["%01#XYZ**\r", "%01#RDD0010000099**\r"]:
        try:
            seen[request] = master.query(request)
        except IOError as e:
            seen[request] = str(e)
    try:
        master.get_uint16(2, "DT100")
    except IOError as e:
        seen["other station"] = "timeout" in str(e)
    return seen


def test_python_master_sees_the_same_map_station_either_way(cli, cli_station, python_station, line):
    def with_master():
        master = ozu_mew.MewMaster(serial(line[1]), query_timeout=0.3)
        try:
            return exchange(master)
        finally:
            master.close()

    station = python_station()
    from_python = with_master()
    station.close()
    cli_station()
    from_native = with_master()
    assert from_native == from_python
    assert from_native["read"] == [1, 2, 0xFFFF] and from_native["coil"] is True
    assert "[03]" in from_native["%01#XYZ**\r"] and from_native["other station"] is True


def test_python_master_sees_the_random_station_as_the_demo(cli, cli_station, line, capfd):
    def shapes(seen):
        return {k: (type(v).__name__, len(v) if isinstance(v, list) else None) for k, v in seen.items()}

    def with_master():
        master = ozu_mew.MewMaster(serial(line[1]), query_timeout=0.5)
        try:
            seen = exchange(master)
            values = [master.get_multi_uint16(1, "DT0", 50) for _ in range(20)]
            coils = {master.get_coil(1, "X0000") for _ in range(40)}
            return seen, values, coils
        finally:
            master.close()

    demo = ozu_mew.RandomMewSlaveDemo(1, serial(line[0]))
    demo.start()
    try:
        python_seen, python_values, python_coils = with_master()
    finally:
        demo.close()
    python_prints = [l for l in capfd.readouterr().out.splitlines() if l.startswith("Slave:")]

    proc = cli_station("--random")
    native_seen, native_values, native_coils = with_master()
    code, out, _ = stop(proc)
    native_prints = [l for l in out.splitlines() if l.startswith("Slave:")]

    assert shapes(native_seen) == shapes(python_seen)
    for key in ("write", "%01#XYZ**\r", "%01#RDD0010000099**\r", "other station"):
        assert native_seen[key] == python_seen[key]
    assert native_prints == python_prints == [
        "Slave: Registers D00100 wrote to [1, 2, 65535]",
        "Slave: Contact R0012 is set to True",
        "Slave: Contact Crow R0005 wrote to [4660, 1]",
    ]
    for values in (python_values, native_values):
        flat = [v for row in values for v in row]
        assert all(0 <= v <= 0xFFFF for v in flat) and len(set(flat)) > 500
    assert python_coils == native_coils == {True, False}
