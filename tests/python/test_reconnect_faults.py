"""Links over ports that drop and come back: a TCP device server that closes mid-frame, a socat
pseudo-terminal pair killed and restarted under the same names, many drops without leaks, and a
station that listens on TCP, served to a master in another process."""
import errno
import logging
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import ozu_mew
from ozu_brix import create_serial_instance
from fault_helpers import Station, err_lines, no_leaks  # noqa: F401 (fixtures)
from line_helpers import wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from device_server import DroppingServer  # noqa: E402  (the reconnect soak's device server)


def dropping_server(every=4, restart=5):
    """Every `every`-th request gets half its answer and a closed connection (while the server's
    `dropping` is true); every `restart`-th drop the server also stops listening for a moment."""
    server = DroppingServer(lambda s: s.dropping and s.requests % every == 0, restart=restart, pause=0.2)
    server.dropping = True
    return server


def test_queries_over_a_server_that_drops_mid_frame_50_times(err_lines, no_leaks):
    server = no_leaks(dropping_server())
    query_timeout = 0.2
    master = no_leaks(ozu_mew.MewMaster(server.name, timeout=0.1, query_timeout=query_timeout, reconnect=0.05))
    port = master.dev_handle._serial
    done = failed = 0
    register = 0
    while server.drops < 50:
        register = register % 1000 + 1
        start = time.monotonic()
        try:
            assert master.get_uint16(1, "DT%d" % register) == register
            done += 1
        except OSError as exc:
            failed += 1
            assert exc.errno == errno.ENOTCONN or "timeout" in str(exc), exc
            time.sleep(0.01)                # a poller backs off a little
        assert time.monotonic() - start < query_timeout + 1.0
    server.dropping = False
    wait_until(lambda: port.connected, 3)
    time.sleep(0.15)                        # the receiver's pause after the broken frame
    for register in range(2000, 2100):      # once back, nothing is corrupted or lost
        assert master.get_uint16(1, "DT%d" % register) == register
    assert done > 100 and failed >= 50
    assert port.reconnects >= 50
    assert master._receiver_thread.is_alive()


def test_200_drops_leave_no_thread_or_descriptor_behind(err_lines, no_leaks):
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(3)
    master = no_leaks(ozu_mew.MewMaster("brix://127.0.0.1:%d" % listener.getsockname()[1], timeout=0.05,
                                        query_timeout=0.2, reconnect=0.001))
    port = master.dev_handle._serial
    for _ in range(200):
        conn, _ = listener.accept()         # the receiver reconnects; the server hangs up at once
        conn.close()
    wait_until(lambda: port.reconnects >= 200, 5)
    assert master._receiver_thread.is_alive()
    listener.close()


@pytest.mark.skipif(shutil.which("socat") is None, reason="needs socat")
def test_tty_reopens_when_socat_is_restarted_under_the_same_names(tmp_path, err_lines, no_leaks):
    plc, line = str(tmp_path / "plc"), str(tmp_path / "line")

    def start_socat():
        process = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + plc, "pty,raw,echo=0,link=" + line])
        wait_until(lambda: os.path.exists(plc) and os.path.exists(line), 5)
        return process

    def stop_socat(process):
        process.terminate()
        process.wait()

    socat = start_socat()
    try:
        station = no_leaks(Station(ozu_mew.MewSerial(port=plc, timeout=0.05, reconnect=0.1)))
        station.registers[7] = 77
        master = no_leaks(ozu_mew.MewMaster(ozu_mew.MewSerial(port=line, timeout=0.05, reconnect=0.1),
                                            query_timeout=0.5))
        master_port = master.dev_handle._serial
        assert master.get_uint16(1, "DT7") == 77

        stop_socat(socat)
        wait_until(lambda: not master_port.connected, 3)
        with pytest.raises(OSError):
            master.get_uint16(1, "DT7")

        socat = start_socat()
        wait_until(lambda: master_port.connected and station.dev_handle._serial.connected, 5)
        assert master_port.reconnects == 1 and master_port.exclusive
        with pytest.raises(OSError) as info:    # reopened exclusively, as at first
            create_serial_instance(port=line)
        assert info.value.errno == errno.EBUSY
        assert master.get_uint16(1, "DT7") == 77
        assert master._receiver_thread.is_alive() and station._receiver_thread.is_alive()
    finally:
        stop_socat(socat)


# ---------------------------------------------------------------- a station that listens on TCP


def listen_name(port):
    return "brix:listen:127.0.0.1:%d" % port


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_listening_port_serves_one_client_at_a_time(caplog):
    caplog.set_level(logging.DEBUG, logger="ozu_brix.wire")
    number = free_port()
    port = create_serial_instance(port=listen_name(number), timeout=0.1, trace=True, reconnect=1)
    try:
        assert port.read(10) == b"" and not port.connected and port.reconnect is None  # clients come and go
        assert port.write(b"lost") == 4 and port.write(b"lost too") == 8    # nobody there: dropped
        first = socket.create_connection(("127.0.0.1", number))
        second = socket.create_connection(("127.0.0.1", number))             # waits its turn
        first.sendall(b"%01#RC")
        assert port.read(6) == b"%01#RC" and port.connected
        port.write(b"to first\r")
        assert first.recv(16) == b"to first\r"
        first.close()                       # leaves mid-frame: the read ends there
        assert port.read(10) == b""
        second.sendall(b"%01#RD\r")
        assert port.read(7) == b"%01#RD\r"
        port.write(b"to second\r")
        assert second.recv(16) == b"to second\r"
        second.close()
        assert port.read(1) == b"" and not port.connected
        port.write(b"lost again")
    finally:
        port.close()
    events = [(r.levelname, r.direction) for r in caplog.records if r.direction not in ("read", "write")]
    assert events == [("WARNING", "write dropped"), ("INFO", "client connected"), ("INFO", "client left"),
                      ("INFO", "client connected"), ("INFO", "client left"), ("WARNING", "write dropped")]


def test_listening_port_names_and_bind_failures():
    with socket.create_server(("127.0.0.1", 0)) as taken:
        number = taken.getsockname()[1]
        with pytest.raises(OSError) as info:
            create_serial_instance(port=listen_name(number))
        assert info.value.errno == errno.EADDRINUSE
        assert "127.0.0.1:%d" % number in info.value.strerror
    for name in ("brix:listen:9000", "brix:listen::9000", "brix:listen:127.0.0.1:0", "brix:listen:host:http"):
        with pytest.raises(OSError) as info:
            create_serial_instance(port=name)
        assert info.value.errno == errno.EINVAL and "brix:listen:HOST:PORT" in info.value.strerror


def test_station_example_listens_for_a_master_in_another_process():
    number = free_port()
    station = subprocess.Popen([sys.executable, "-u", os.path.join(ROOT, "examples", "slave_station.py"),
                                listen_name(number)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    master_script = (
        "import ozu_mew\n"
        "m = ozu_mew.MewMaster('brix://127.0.0.1:%d', query_timeout=2)\n"
        "m.set_uint16(1, 'DT100', %d)\n"
        "print(m.get_uint16(1, 'DT100'))\n"
        "m.close()\n")
    try:
        assert listen_name(number) in station.stdout.readline()
        for value in (1234, 4321):          # the second master replaces the first
            master = subprocess.run([sys.executable, "-c", master_script % (number, value)], capture_output=True,
                                    text=True, timeout=30)
            assert master.returncode == 0, master.stderr
            assert master.stdout.strip() == str(value)
    finally:
        station.send_signal(signal.SIGINT)
        out, err = station.communicate(timeout=10)
    assert station.returncode == 0, err
