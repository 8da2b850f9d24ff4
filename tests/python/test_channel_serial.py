"""MewSerial and DualSerial over port objects from a recording `create_serial_instance`."""
import subprocess
import sys
import textwrap

import pytest

import ozu_mew
from channel_helpers import TIMEOUT, install_opener

PAIR_TEXT = ' need 2 port names separated by ",". Got '


@pytest.fixture
def opener(monkeypatch):
    return install_opener(monkeypatch)


def make(kind, opener, **kwargs):
    """A channel of the given kind with its read port (the only port of a MewSerial)."""
    if kind == "mew":
        ch = ozu_mew.MewSerial(port="COM3", **kwargs)
        return ch, opener.ports[-1], opener.ports[-1]
    ch = ozu_mew.DualSerial("COM1,COM2", **kwargs)
    return ch, opener.ports[-1], opener.ports[-2]


BOTH = pytest.mark.parametrize("kind", ["mew", "dual"])


# ------------------------------------------------------------------------------ opening ports

@pytest.mark.parametrize(
    "kwargs",
    [{}, {"port": "COM3"}, {"port": "/dev/ttyS0", "timeout": 0.5, "encoding": "ascii", "baudrate": 19200}],
)
def test_mew_serial_passes_every_keyword_on(opener, kwargs):
    ch = ozu_mew.MewSerial(**kwargs)
    assert opener.calls == [kwargs]
    assert list(opener.calls[0]) == list(kwargs)
    assert ch._serial is (opener.ports[0] if opener.ports else None)
    assert ch.encoding == kwargs.get("encoding", "latin")


def test_create_serial_instance_is_looked_up_at_each_creation(monkeypatch):
    first = install_opener(monkeypatch)
    ozu_mew.MewSerial(port="A")
    second = install_opener(monkeypatch)
    ozu_mew.DualSerial("B,C")
    assert [c["port"] for c in first.calls] == ["A"]
    assert [c["port"] for c in second.calls] == ["B", "C"]


def test_open_failure_passes_unchanged(monkeypatch):
    error = PermissionError(13, "busy")
    install_opener(monkeypatch, fail={"COM3": error})
    with pytest.raises(PermissionError) as info:
        ozu_mew.MewSerial(port="COM3")
    assert info.value is error


def test_positional_arguments_are_refused(opener):
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"):
        ozu_mew.MewSerial("COM3")
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 2 positional arguments \(3 given\)$"):
        ozu_mew.DualSerial("A,B", "C")
    with pytest.raises(TypeError, match=r"^Argument 'port' has incorrect type \(expected str, got bytes\)$"):
        ozu_mew.DualSerial(b"A,B")
    with pytest.raises(TypeError, match="multiple values for keyword argument 'port'"):
        ozu_mew.DualSerial("A,B", port="C")
    assert opener.calls == []


@pytest.mark.parametrize(
    "text, write, read",
    [("COM1,COM2", "COM1", "COM2"), ("COM1, COM2", "COM1", " COM2"), ("COM1,", "COM1", ""), (",", "", "")],
)
def test_dual_serial_splits_and_opens_write_port_first(opener, text, write, read):
    ch = ozu_mew.DualSerial(text, timeout=0.2, encoding="ascii")
    assert opener.calls == [
        {"port": write, "timeout": 0.2, "encoding": "ascii"},
        {"port": read, "timeout": 0.2, "encoding": "ascii"},
    ]
    assert ch._channel_to_write is opener.ports[0] and ch._channel_to_read is opener.ports[1]
    assert ch.port == write + "," + read
    assert ch.encoding == "ascii"


@pytest.mark.parametrize("text, count", [("COM1", 1), ("COM1,COM2,COM3", 3), ("", 1), (",,,", 4)])
def test_dual_serial_needs_exactly_two_names(opener, text, count):
    with pytest.raises(AssertionError) as info:
        ozu_mew.DualSerial(text)
    assert str(info.value) == "DualSerial" + PAIR_TEXT + str(count)
    assert opener.calls == []


def test_assertion_names_the_derived_class(opener):
    class MyPair(ozu_mew.DualSerial):
        pass

    with pytest.raises(AssertionError, match="^MyPair" + PAIR_TEXT + "1$"):
        MyPair("COM1")


def test_pair_check_is_skipped_without_assertions():
    code = textwrap.dedent(
        """
        import ozu_mew
        log = []
        class Port:
            def __init__(self, port, **kw): self.port = port; log.append("open " + port)
            def close(self): log.append("close " + self.port)
        ozu_mew.create_serial_instance = Port
        print(ozu_mew.DualSerial("A,B,C").port)
        try:
            ozu_mew.DualSerial("D")
        except IndexError as e:
            print(type(e).__name__, e)
        print(log)
        """
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "A,B",
        "IndexError list index out of range",
        "['open A', 'open B', 'open D', 'close D']",
    ]


def test_read_port_failure_closes_the_write_port(monkeypatch):
    error = OSError(16, "Device or resource busy")
    opener = install_opener(monkeypatch, fail={"COM2": error})
    with pytest.raises(OSError) as info:
        ozu_mew.DualSerial("COM1,COM2")
    assert info.value is error
    assert opener.log == [("open", "COM1"), ("open", "COM2"), ("close", "COM1")]


def test_read_port_failure_wins_over_a_failing_close(monkeypatch):
    opener = install_opener(monkeypatch, fail={"COM2": KeyError("read")})

    def open_with_bad_close(**kwargs):
        port = opener(**kwargs)
        port.close = lambda: 1 / 0
        return port

    monkeypatch.setattr(ozu_mew, "create_serial_instance", open_with_bad_close)
    with pytest.raises(KeyError, match="read"):
        ozu_mew.DualSerial("COM1,COM2")


# ------------------------------------------------------------------------------ using ports

@BOTH
def test_send_frame_encodes_with_the_channel_encoding(opener, kind):
    ch, _, writer = make(kind, opener)
    assert ch.send_frame("%01#RCSR0000\xe9\r") is None
    ascii_ch, _, ascii_writer = make(kind, opener, encoding="ascii")
    ascii_ch.send_frame("%01#RC**\r")
    with pytest.raises(UnicodeEncodeError):
        ascii_ch.send_frame("\xe9")
    assert writer.written == [b"%01#RCSR0000\xe9\r"]
    assert ascii_writer.written == [b"%01#RC**\r"]


@BOTH
@pytest.mark.parametrize(
    "encoding, error, on_time_out",
    [("no-such-codec", LookupError, ""), (5, TypeError, TypeError), ("a\0b", ValueError, ValueError)],
)
def test_bad_encoding_fails_only_on_use(opener, kind, encoding, error, on_time_out):
    ch, reader, writer = make(kind, opener, encoding=encoding)
    with pytest.raises(error):
        ch.send_frame("x")
    assert writer.written == []
    # An empty read is decoded as bytes.decode does it: no codec is looked up for it.
    if on_time_out == "":
        assert ch.read() == ""
    else:
        with pytest.raises(on_time_out):
            ch.read()
    reader.feed(b"x")
    with pytest.raises(error):
        ch.read()


@BOTH
def test_send_frame_checks_its_data_before_writing(opener, kind):
    ch, _, writer = make(kind, opener)
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected str, got bytes\)$"):
        ch.send_frame(b"%01#\r")
    assert writer.written == []


@BOTH
def test_read_decodes_with_the_channel_encoding(opener, kind):
    ch, reader, _ = make(kind, opener, encoding="ascii")
    reader.feed([b"%01", TIMEOUT, b"\xff"])
    assert ch.read(2) == "%0"
    assert ch.read(size=5) == "1"
    assert ch.read() == ""  # time-out
    with pytest.raises(UnicodeDecodeError):
        ch.read()
    assert reader.read_args == [(2,), (5,), (1,), (1,)]


@BOTH
def test_read_results_of_other_kinds_are_decoded_by_their_own_method(opener, kind):
    ch, reader, _ = make(kind, opener)
    reader.read = lambda size: bytearray(b"\xe9")
    assert ch.read() == "\xe9"
    reader.read = lambda size: "text"
    with pytest.raises(AttributeError, match="decode"):
        ch.read()


@BOTH
def test_receive_frame_decodes_latin_whatever_the_encoding(opener, kind):
    ch, reader, _ = make(kind, opener, encoding="ascii")
    reader.feed(b"%01$RC\xe9\r")
    assert ch.receive_frame() == "%01$RC\xe9\r"
    with pytest.raises(OSError, match="^Error: device no response.:" + reader.port + "$"):
        ch.receive_frame()


@BOTH
def test_receive_frame_uses_the_module_reader_of_the_moment(opener, kind, monkeypatch):
    ch, reader, _ = make(kind, opener)
    seen = []
    monkeypatch.setattr(ozu_mew, "_receive_frame_by_serial", lambda port: seen.append(port) or "frame")
    assert ch.receive_frame() == "frame"
    assert seen == [reader]
    monkeypatch.setattr(ozu_mew, "_receive_frame_by_serial", lambda port: b"frame")
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        ch.receive_frame()


@BOTH
@pytest.mark.parametrize(
    "value, error",
    [("COM9", None), (None, None), (9, "Expected str, got int"), (b"COM9", "Expected str, got bytes")],
)
def test_port_result_checks(opener, kind, value, error):
    ch, reader, writer = make(kind, opener)
    reader.port = writer.port = value
    if kind == "dual":
        if error or value is None:
            with pytest.raises(TypeError, match=r"^sequence item 0: expected str instance, \w+ found$"):
                ch.port
        else:
            assert ch.port == "COM9,COM9"
    elif error:
        with pytest.raises(TypeError, match="^" + error + "$"):
            ch.port
    else:
        assert ch.port == value


@BOTH
@pytest.mark.parametrize(
    "value, error", [(3, None), (None, None), (True, "Expected int, got bool"), (3.0, "Expected int, got float")]
)
def test_in_waiting_result_checks(opener, kind, value, error):
    ch, reader, _ = make(kind, opener)
    reader.in_waiting = value
    if error:
        with pytest.raises(TypeError, match="^" + error + "$"):
            ch.in_waiting
    else:
        assert ch.in_waiting == value


def test_dual_serial_reset_touches_only_the_read_port(opener):
    ch, _, _ = make("dual", opener)
    assert ch.reset_input_buffer() is None
    assert opener.log[2:] == [("reset_input_buffer", "COM2")]


def test_mew_serial_close_and_reset_delegate(opener):
    ch, port, _ = make("mew", opener)
    assert ch.reset_input_buffer() is None and ch.close() is None
    assert port.log[1:] == [("reset_input_buffer", "COM3"), ("close", "COM3")]
    assert not hasattr(ch, "__enter__")


# ------------------------------------------------------------------------------ closing pairs

def test_with_block_closes_read_then_write_and_lets_errors_pass(opener):
    with ozu_mew.DualSerial("COM1,COM2") as ch:
        assert isinstance(ch, ozu_mew.DualSerial)
    assert opener.log[2:] == [("close", "COM2"), ("close", "COM1")]
    with pytest.raises(ZeroDivisionError):
        with ozu_mew.DualSerial("COM1,COM2"):
            1 / 0
    assert opener.log[6:] == [("close", "COM2"), ("close", "COM1")]


def test_exit_calls_the_objects_own_close(opener):
    class Counting(ozu_mew.DualSerial):
        closes = 0

        def close(self):
            Counting.closes += 1

    with Counting("A,B") as ch:
        pass
    assert Counting.closes == 1 and ch.__exit__(None, None, None) is None


@pytest.mark.parametrize("write_fails", [False, True])
def test_close_closes_the_write_port_even_when_the_read_port_fails(opener, write_fails):
    ch, reader, writer = make("dual", opener)
    first = OSError(5, "read port")

    def bad_read_close():
        raise first

    def write_close():
        opener.log.append(("close", "COM1"))
        if write_fails:
            raise RuntimeError("write port")

    reader.close = bad_read_close
    writer.close = write_close
    with pytest.raises(OSError) as info:
        ch.close()
    assert info.value is first
    assert opener.log[-1] == ("close", "COM1")


def test_write_port_failure_on_close_passes_on(opener):
    ch, _, writer = make("dual", opener)
    writer.close = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        ch.close()
    assert opener.log[-1] == ("close", "COM2")
