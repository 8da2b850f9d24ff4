"""ozu_brix in the field: Ctrl-C during writes and connects, FIFOs, reconnecting ports, the wire
trace and the listening TCP port, on real pseudo-terminals, sockets, socat and processes."""
import errno
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import ozu_mew
from ozu_brix import create_serial_instance
from line_helpers import wait_until, with_check

WIRE = "ozu_brix.wire"


# Each case runs in a child process: it sets up a write or connect that blocks, prints "ready", and
# reports how its wait ended. The test sends Ctrl-C as a terminal would, and a child that ignores it
# is killed after a few seconds, so that broken code fails the test rather than the session.
CHILD = """
import os, socket, sys, time
import ozu_mew
from ozu_brix import create_serial_instance
%s
print("ready", flush=True)
try:
    %s
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
for link in [v for v in list(globals().values()) if isinstance(v, ozu_mew.MewBase)]:
    link.close()                            # its receiver thread would keep the process alive
"""

BLOCKED = {
    "pty write": ("master, terminal = os.openpty()\n"
                  "port = create_serial_instance(port=os.ttyname(terminal), write_timeout=None)",
                  "port.write(b'x' * (64 << 20))"),
    "null-modem write": ("port = create_serial_instance(port='brix:pipe:c:a', write_timeout=None)\n"
                         "peer = create_serial_instance(port='brix:pipe:c:b')",
                         "port.write(b'x' * (64 << 20))"),
    "tcp write": ("server = socket.create_server(('127.0.0.1', 0))\n"
                  "port = create_serial_instance(port='brix://127.0.0.1:%d' % server.getsockname()[1],"
                  " write_timeout=None)\n"
                  "peer, _ = server.accept()",
                  "port.write(b'x' * (64 << 20))"),
    # The peer never reads, so the line is full before the query writes its request.
    "master query in its write": ("master = ozu_mew.MewMaster('brix:pipe:q:a', timeout=0.05, query_timeout=10)\n"
                                  "peer = create_serial_instance(port='brix:pipe:q:b')\n"
                                  "master.dev_handle._serial.write(b'x' * (1 << 20))",
                                  "master.get_uint16(1, 'DT100')"),
    # More connections than the backlog holds: the next connect gets no answer (10 s time-out).
    "tcp connect to a full backlog": ("server = socket.socket()\n"
                                      "server.bind(('127.0.0.1', 0))\n"
                                      "server.listen(0)\n"
                                      "fillers = [socket.socket() for _ in range(4)]\n"
                                      "for s in fillers:\n"
                                      "    s.setblocking(False)\n"
                                      "    s.connect_ex(server.getsockname())\n"
                                      "time.sleep(0.1)",
                                      "create_serial_instance(port='brix://127.0.0.1:%d' % server.getsockname()[1])"),
}


@pytest.mark.parametrize("case", sorted(BLOCKED))
def test_ctrl_c_ends_a_blocked_write_or_connect(case):
    setup, action = BLOCKED[case]
    child = subprocess.Popen([sys.executable, "-c", CHILD % (setup, action)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)                     # now blocked
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, _ = child.communicate(timeout=5)
        assert out == "interrupted\n"
        assert time.monotonic() - sent < 2.0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


# ---------------------------------------------------------------- FIFOs


def test_a_fifo_is_refused_without_releasing_its_blocked_reader(tmp_path):
    fifo = tmp_path / "line"
    os.mkfifo(fifo)
    reader = subprocess.Popen([sys.executable, "-c", "open(%r, 'rb').read()" % str(fifo)])
    try:
        time.sleep(0.2)                     # the reader is now blocked opening the FIFO
        with pytest.raises(OSError) as info:
            create_serial_instance(port=str(fifo))
        assert info.value.errno == errno.ENOTTY
        assert str(info.value) == "[Errno 25] not a serial device: %s" % fifo
        time.sleep(0.3)
        assert reader.poll() is None        # still blocked: nothing opened the FIFO
    finally:
        reader.kill()
        reader.wait()


# ---------------------------------------------------------------- reconnecting ports


def test_settings_of_reconnect_and_trace():
    port = create_serial_instance(port="brix:pipe:settings:a")
    assert (port.reconnect, port.trace, port.connected, port.reconnects) == (None, False, True, 0)
    port.close()
    assert not port.connected
    port = create_serial_instance(port="brix:pipe:settings:a", reconnect=2, trace=True)
    assert (port.reconnect, port.trace) == (2.0, True)
    port.close()
    pair = ozu_mew.DualSerial("brix:pipe:settings:a,brix:pipe:settings:b", reconnect=0.5, trace=True)
    assert [(p.reconnect, p.trace) for p in (pair._channel_to_write, pair._channel_to_read)] == [(0.5, True)] * 2
    pair.close()
    for setting, value in [("reconnect", 0), ("reconnect", -1), ("reconnect", "1"), ("reconnect", float("inf")),
                           ("reconnect", True), ("trace", 1), ("trace", None)]:
        with pytest.raises(ValueError, match="^%s must be" % setting):
            create_serial_instance(port="brix:pipe:settings:a", **{setting: value})


def test_without_reconnect_a_vanished_device_stays_an_error(tcp_server):
    server, name = tcp_server
    port = create_serial_instance(port=name, timeout=0.5)
    peer, _ = server.accept()
    peer.close()
    with pytest.raises(ConnectionResetError):
        port.read()
    assert not port.connected and port.reconnects == 0
    port.close()


def test_tcp_port_reopens_when_the_server_drops_and_comes_back(tcp_server, caplog):
    server, name = tcp_server
    address = server.getsockname()
    caplog.set_level(logging.DEBUG, logger=WIRE)
    port = create_serial_instance(port=name, timeout=0.3, reconnect=0.2, trace=True)
    peer, _ = server.accept()
    peer.sendall(b"%01$RD")
    assert port.read(6) == b"%01$RD"
    peer.close()
    assert port.read(20) == b""             # the line broke; the server still listens: reopened
    peer, _ = server.accept()
    assert port.connected and port.reconnects == 1
    peer.sendall(b"%01$RC1\r")
    assert port.read(8) == b"%01$RC1\r"

    # The server goes away for a while.
    server.close()
    peer.close()
    assert port.read(1) == b""
    assert not port.connected
    assert port.in_waiting == 0
    port.reset_input_buffer()               # fine during the outage too
    start = time.monotonic()
    assert port.read(1) == b""              # waits out its time-out, trying to reopen
    assert 0.25 < time.monotonic() - start < 2.0
    with pytest.raises(OSError) as info:
        port.write(b"%01#RCSR0000**\r")
    assert info.value.errno == errno.ENOTCONN
    assert str(info.value) == "[Errno %d] device is disconnected and being reopened: %s" % (errno.ENOTCONN, name)

    server = socket.create_server(address)  # back on the same address
    try:
        server.settimeout(3)
        wait_until(lambda: port.read(1) == b"" and port.connected, 3)
        peer, _ = server.accept()
        assert port.reconnects == 2
        port.write(b"%01#RCSR0000**\r")
        assert peer.recv(32) == b"%01#RCSR0000**\r"
        peer.close()
    finally:
        server.close()
        port.close()

    events = [(r.levelname, r.direction) for r in caplog.records if r.direction not in ("read", "write")]
    assert events == [("WARNING", "disconnected"), ("INFO", "reconnected"),
                      ("WARNING", "disconnected"), ("INFO", "reconnected")]


def test_a_frame_never_spans_a_reconnect(tcp_server):
    server, name = tcp_server

    def serve():
        peer, _ = server.accept()
        peer.sendall(b"%01$RD0100")         # half an answer, then the connection drops
        peer.close()
        peer, _ = server.accept()
        peer.sendall(with_check("%01$RD0200").encode())
        time.sleep(0.5)
        peer.close()

    channel = ozu_mew.MewSerial(port=name, timeout=0.3, reconnect=0.1)
    serving = threading.Thread(target=serve)
    serving.start()
    try:
        with pytest.raises(OSError, match="format invalid"):
            channel.receive_frame()
        assert channel.receive_frame() == with_check("%01$RD0200")
    finally:
        serving.join()
        channel.close()


@pytest.fixture
def tcp_server():
    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(3)
    yield server, "brix://127.0.0.1:%d" % server.getsockname()[1]
    server.close()


# ---------------------------------------------------------------- the wire trace


def test_trace_logs_each_write_and_each_chunk_read(caplog):
    caplog.set_level(logging.DEBUG, logger=WIRE)
    a = create_serial_instance(port="brix:pipe:trace:a", timeout=0.05, trace=True)
    b = create_serial_instance(port="brix:pipe:trace:b", timeout=0.05)     # trace off: no records
    before = time.monotonic()
    a.write(b"%01#RCSR0000**\r")
    b.write(b"%01$RC1\x00\xff\r")
    assert b.read(15) == b"%01#RCSR0000**\r"
    assert a.read(10) == b"%01$RC1\x00\xff\r"
    a.close(), b.close()
    records = [r for r in caplog.records if r.name == WIRE]
    assert [(r.levelname, r.port, r.direction, r.data) for r in records] == [
        ("DEBUG", "brix:pipe:trace:a", "write", b"%01#RCSR0000**\r"),
        ("DEBUG", "brix:pipe:trace:a", "read", b"%01$RC1\x00\xff\r"),
    ]
    assert before <= records[0].monotonic <= records[1].monotonic <= time.monotonic()
    assert records[1].getMessage() == "brix:pipe:trace:a read b'%%01$RC1\\x00\\xff\\r' (t=%.6f)" % records[1].monotonic


def test_trace_of_a_link_shows_the_frames_of_a_query(caplog):
    caplog.set_level(logging.DEBUG, logger=WIRE)
    station = ozu_mew.RandomMewSlaveDemo(1, "brix:pipe:tracelink:b", timeout=0.05)
    station.start()
    master = ozu_mew.MewMaster("brix:pipe:tracelink:a", timeout=0.05, trace=True)
    try:
        master.get_uint16(1, "DT100")
    finally:
        master.close()
        station.close()
    wire = [(r.direction, r.data) for r in caplog.records if r.name == WIRE]
    assert wire[0] == ("write", with_check("%01#RDD0010000100").encode())
    assert b"".join(data for direction, data in wire if direction == "read").startswith(b"%01$RD")
