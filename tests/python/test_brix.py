"""ozu_brix: settings, the port object over pseudo-terminals, the null-modem and loopback TCP."""
import errno
import io
import itertools
import os
import socket
import sys
import termios
import threading
import time

import pytest

import ozu_brix
from ozu_brix import PortClosedError, create_serial_instance
from line_helpers import open_fds

_names = itertools.count()


def pipe_pair(**settings):
    name = f"brix:pipe:test{next(_names)}"
    settings.setdefault("timeout", 0.05)
    a = create_serial_instance(port=name + ":a", **settings)
    b = create_serial_instance(port=name + ":b", **settings)
    return a, b


@pytest.fixture
def pty():
    master, slave = os.openpty()
    yield master, slave, os.ttyname(slave)
    for fd in (master, slave):
        try:
            os.close(fd)
        except OSError:
            pass


@pytest.fixture
def tcp_server():
    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(2)
    yield server, f"brix://127.0.0.1:{server.getsockname()[1]}"
    server.close()


# ---------------------------------------------------------------- settings


def test_defaults_fit_the_usual_line():
    port = create_serial_instance(port="brix:pipe:defaults:a")
    assert (port.timeout, port.write_timeout, port.baudrate, port.bytesize, port.parity, port.stopbits,
            port.exclusive) == (1.0, None, 9600, 8, "O", 1, True)
    assert port.port == "brix:pipe:defaults:a" and port.is_open
    assert repr(port).startswith("SerialPort(port='brix:pipe:defaults:a', baudrate=9600")
    port.close()


def test_every_setting_is_accepted_and_encoding_ignored():
    port = create_serial_instance(port="brix:pipe:all:a", timeout=None, write_timeout=2, baudrate=115200,
                                  bytesize=7, parity="E", stopbits=1.5, exclusive=False, encoding="ascii")
    assert (port.timeout, port.write_timeout, port.baudrate, port.bytesize, port.parity, port.stopbits,
            port.exclusive) == (None, 2, 115200, 7, "E", 1.5, False)
    port.close()


@pytest.mark.parametrize("setting, value", [
    ("timeout", -1), ("timeout", "1"), ("timeout", True), ("timeout", float("nan")),
    ("write_timeout", -0.5), ("baudrate", 0), ("baudrate", "9600"), ("baudrate", 9600.0),
    ("baudrate", 2 ** 70), ("bytesize", 9), ("bytesize", 4), ("parity", "X"), ("parity", "o"),
    ("parity", 1), ("stopbits", 3), ("stopbits", 0), ("exclusive", 1), ("exclusive", None),
])
def test_bad_values_are_value_errors_naming_the_setting(setting, value):
    with pytest.raises(ValueError, match=f"^{setting} must be"):
        create_serial_instance(port="brix:pipe:bad:a", **{setting: value})
    # Nothing was left open by the refused call.
    create_serial_instance(port="brix:pipe:bad:a").close()


def test_a_name_given_as_a_str_subclass_reads_back_as_str():
    # Channels refuse a port name that is not exactly str, so the port must not hand the subclass back.
    class Name(str):
        pass

    port = create_serial_instance(port=Name("brix:pipe:subclass:a"))
    assert type(port.port) is str and port.port == "brix:pipe:subclass:a"
    port.close()


@pytest.mark.parametrize("call, message", [
    (lambda: create_serial_instance(port="brix:pipe:k:a", speed=9600),
     "create_serial_instance() got an unexpected keyword argument 'speed'"),
    (lambda: create_serial_instance(timeout=1), "create_serial_instance() missing required keyword argument: 'port'"),
    (lambda: create_serial_instance(port=b"/dev/ttyS0"), "port must be str, not bytes"),
    (lambda: create_serial_instance("brix:pipe:k:a"),
     "create_serial_instance() takes exactly 0 positional arguments (1 given)"),
])
def test_argument_errors_are_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name, exc_type, code, reason", [
    ("/dev/ttyNO_SUCH_DEVICE", FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
    ("/dev/null", OSError, errno.ENOTTY, "not a serial device"),
    ("COM3", OSError, errno.ENODEV, "COM port names are Windows devices"),
    ("hidcom5", OSError, errno.ENOTSUP, "not supported by this build"),
    ("brix:modem", OSError, errno.EINVAL, "unknown brix device"),
    ("brix://localhost", OSError, errno.EINVAL, "brix://HOST:PORT"),
    ("LPT1", OSError, errno.EINVAL, "unknown device name"),
    ("", OSError, errno.EINVAL, "empty port name"),
])
def test_open_failures_give_the_reason_and_the_name(name, exc_type, code, reason):
    with pytest.raises(OSError) as info:
        create_serial_instance(port=name)
    assert type(info.value) is exc_type
    assert info.value.errno == code
    assert reason in info.value.strerror
    assert info.value.strerror.endswith(": " + name)


# ---------------------------------------------------------------- the null-modem


def test_null_modem_read_write_in_waiting_reset():
    a, b = pipe_pair()
    assert a.write(b"%01#RCSR0000**\r") == 15
    assert a.write(bytearray(b"xy")) == 2 and a.write(memoryview(b"z")) == 1
    assert b.in_waiting == 18
    assert b.read() == b"%"
    assert b.in_waiting == 17
    assert b.read(13) == b"01#RCSR0000**"
    assert b.read(size=100) == b"\rxyz"      # short: the time-out ended the wait
    assert b.read() == b"" and b.read(0) == b""
    a.write(b"junk")
    time.sleep(0.01)
    b.reset_input_buffer()
    assert b.in_waiting == 0 and b.read() == b""
    b.reset_output_buffer()
    with pytest.raises(TypeError):
        a.write("text")
    with pytest.raises(ValueError):
        b.read(-1)
    with pytest.raises(TypeError):
        b.read("1")
    with pytest.raises(io.UnsupportedOperation):
        a.fileno()
    a.close(), b.close()


def test_write_timeout_when_the_reader_falls_behind():
    a, b = pipe_pair(write_timeout=0.05)
    with pytest.raises(TimeoutError) as info:
        a.write(b"x" * (3 << 20))           # more than the line holds unread
    assert str(info.value) == f"[Errno {errno.ETIMEDOUT}] write timeout: {a.port}"
    a.close(), b.close()


def test_second_open_of_an_end_is_refused_until_closed():
    a, b = pipe_pair()
    with pytest.raises(OSError) as info:
        create_serial_instance(port=a.port)
    assert info.value.errno == errno.EBUSY
    a.close()
    create_serial_instance(port=a.port).close()
    b.close()


def test_read_collects_up_to_size_within_the_timeout():
    a, b = pipe_pair(timeout=2.0)

    def feed():
        for chunk in (b"ab", b"cd", b"ef"):
            time.sleep(0.02)
            a.write(chunk)

    writer = threading.Thread(target=feed)
    writer.start()
    assert b.read(6) == b"abcdef"        # gathered across three writes
    writer.join()
    b.timeout = 0
    assert b.timeout == 0 and b.read(5) == b""
    with pytest.raises(ValueError, match="^timeout must be"):
        b.timeout = -2
    assert b.timeout == 0
    a.close(), b.close()


def test_closed_port_and_context_manager():
    a, b = pipe_pair()
    with a as entered:
        assert entered is a
    assert not a.is_open
    a.close()                               # idempotent
    for operation in (a.read, lambda: a.write(b"x"), lambda: a.in_waiting, a.reset_input_buffer,
                      a.reset_output_buffer, a.fileno, a.__enter__, lambda: a.read(0)):
        with pytest.raises(PortClosedError) as info:
            operation()
        assert info.value.errno == errno.EBADF
        assert str(info.value) == f"[Errno 9] port is closed: {a.port}"
    assert issubclass(PortClosedError, OSError)
    assert a.port.endswith(":a") and a.timeout == 0.05
    with pytest.raises(RuntimeError):
        with b:
            raise RuntimeError("passes through")
    assert not b.is_open


@pytest.mark.parametrize("timeout", [None, 5.0])
def test_close_from_another_thread_wakes_a_blocked_read(timeout):
    a, _ = pipe_pair(timeout=timeout)
    closer = threading.Timer(0.1, a.close)
    closer.start()
    with pytest.raises(PortClosedError):
        a.read()
    closer.join()


def test_port_type_and_capsule():
    a, b = pipe_pair()
    assert type(a) is ozu_brix.SerialPort
    with pytest.raises(TypeError):
        ozu_brix.SerialPort()
    assert type(ozu_brix._C_API).__name__ == "PyCapsule"
    assert ozu_brix.MAX_FRAME_LENGTH >= 2048
    a.close(), b.close()


# ---------------------------------------------------------------- pseudo-terminals


def test_pty_exchange_settings_and_fileno(pty):
    master, slave, path = pty
    port = create_serial_instance(port=path, timeout=0.1, baudrate=19200, stopbits=2)
    attrs = termios.tcgetattr(slave)
    assert attrs[4] == termios.B19200 and attrs[2] & termios.CSTOPB
    assert not attrs[3] & termios.ICANON
    os.write(master, b"%01$RC1\r\n\xff")
    # The pty hands the bytes over when the kernel gets to it: wait for them rather than a fixed time.
    deadline = time.monotonic() + 5
    while port.in_waiting < 10 and time.monotonic() < deadline:
        time.sleep(0.005)
    assert port.in_waiting == 10
    assert port.read(10) == b"%01$RC1\r\n\xff"
    port.write(b"#RD\r")
    assert os.read(master, 16) == b"#RD\r"
    os.write(master, b"stale")
    deadline = time.monotonic() + 5
    while port.in_waiting < 5 and time.monotonic() < deadline:
        time.sleep(0.005)
    port.reset_input_buffer()
    assert port.in_waiting == 0
    assert port.fileno() >= 0
    port.close()


def test_pty_is_exclusive_by_default(pty):
    _, _, path = pty
    first = create_serial_instance(port=path)
    with pytest.raises(OSError) as info:
        create_serial_instance(port=path)
    assert info.value.errno == errno.EBUSY and path in str(info.value)
    first.close()
    shared = [create_serial_instance(port=path, exclusive=False) for _ in range(2)]
    for port in shared:
        port.close()


def test_pty_hang_up_raises_instead_of_returning_empty(pty):
    master, _, path = pty
    port = create_serial_instance(port=path, timeout=0.5)
    os.close(master)                         # the kernel hangs the line up and drops its input
    for _ in range(2):                       # and it stays an error
        with pytest.raises(OSError) as info:
            port.read()
        assert info.value.errno == errno.EIO and str(info.value) == f"[Errno 5] device disconnected: {path}"
    port.close()


# ---------------------------------------------------------------- TCP


def test_tcp_exchange_and_peer_closing(tcp_server):
    server, name = tcp_server
    port = create_serial_instance(port=name, timeout=1.0)
    peer, _ = server.accept()
    peer.sendall(b"%01$RC1\r")
    assert port.read(8) == b"%01$RC1\r"
    port.write(b"#WD\r")
    assert peer.recv(16) == b"#WD\r"
    assert port.fileno() >= 0
    peer.close()
    with pytest.raises(ConnectionResetError) as info:
        port.read()
    assert name in str(info.value)
    port.close()


def test_tcp_connection_refused(tcp_server):
    server, name = tcp_server
    server.close()
    with pytest.raises(ConnectionRefusedError) as info:
        create_serial_instance(port=name)
    assert info.value.strerror.endswith(": " + name)


# ---------------------------------------------------------------- descriptors


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
@pytest.mark.parametrize("kind", ["pty", "tcp"])
def test_close_releases_every_descriptor_while_the_object_lives(kind, pty, tcp_server):
    before = open_fds()
    if kind == "pty":
        port = create_serial_instance(port=pty[2], timeout=0.05)
    else:
        port = create_serial_instance(port=tcp_server[1], timeout=0.05)
        peer, _ = tcp_server[0].accept()
        peer.close()
    assert len(open_fds() - before) >= 2          # the device and the wake-up channel of a blocked read
    port.close()
    assert open_fds() - before == set()
    assert not port.is_open
    with pytest.raises(PortClosedError):
        port.read()
