"""The abstract Channel and the frame reader over port objects written in Python."""
import pytest

import ozu_mew
from channel_helpers import TIMEOUT, FakePort, PieceFake, minimal_channel_class

ABSTRACT = ["read", "receive_frame", "send_frame", "in_waiting", "port"]
NO_RESPONSE = "Error: device no response.:"
INVALID = "Error: device response format invalid.:"


# ---------------------------------------------------------------------------------- Channel

def test_channel_members_in_declared_order_and_abstract_set():
    members = [n for n in vars(ozu_mew.Channel) if not n.startswith("__") or n == "__init__"]
    assert members[:8] == ["__init__"] + ABSTRACT + ["close", "reset_input_buffer"]
    assert ozu_mew.Channel.__abstractmethods__ == frozenset(ABSTRACT)
    for name in ("in_waiting", "port"):
        assert isinstance(vars(ozu_mew.Channel)[name], property)


def test_channel_itself_cannot_be_created():
    with pytest.raises(TypeError, match="abstract"):
        ozu_mew.Channel()


@pytest.mark.parametrize("missing", ABSTRACT)
def test_subclass_missing_an_abstract_member_cannot_be_created(missing):
    body = {name: getattr(minimal_channel_class(), name) for name in ABSTRACT if name != missing}
    cls = type("Partial", (ozu_mew.Channel,), body)
    with pytest.raises(TypeError, match=missing):
        cls()


@pytest.mark.parametrize(
    "kwargs, encoding",
    [({}, "latin"), ({"encoding": "ascii"}, "ascii"), ({"encoding": 5, "timeout": 2}, 5), ({"port": "X"}, "latin")],
)
def test_minimal_subclass_encoding_and_optional_members(kwargs, encoding):
    ch = minimal_channel_class()(**kwargs)
    assert ch.encoding == encoding
    assert ch.close() is None
    assert ch.reset_input_buffer() is None


def test_init_takes_keywords_only():
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"):
        minimal_channel_class()("COM1")


def test_base_members_behave_as_described():
    ch = minimal_channel_class()()
    base = ozu_mew.Channel
    assert base.read(ch) is None and base.read(ch, 5) is None
    assert base.receive_frame(ch) is None
    assert base.send_frame(ch, "%01#RCSR0000**\r") is None
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected str, got bytes\)$"):
        base.send_frame(ch, b"x")
    assert base.port.fget(ch) is None
    assert base.in_waiting.fget(ch) is None


# ---------------------------------------------------------------------------------- reader

def receive(port):
    return ozu_mew._receive_frame_by_serial(port)


@pytest.mark.parametrize(
    "script, frames, rest",
    [
        ([b"\r"], ["\r"], b""),
        ([b"%01$RC120\r%01$RC021\r"], ["%01$RC120\r", "%01$RC021\r"], b""),
        ([b"%01$RC1", TIMEOUT, b"20\r"], None, b"20\r"),
        ([b"%01$RC120\r%01"], ["%01$RC120\r"], b"%01"),
        ([bytes(range(0x80, 0x100)) + b"\r"], ["".join(map(chr, range(0x80, 0x100))) + "\r"], b""),
    ],
)
def test_reader_scripts(script, frames, rest):
    port = FakePort(script)
    if frames is None:
        with pytest.raises(OSError, match="^" + INVALID + "COM3$"):
            receive(port)
    else:
        assert [receive(port) for _ in frames] == frames
    assert port.remaining() == rest
    assert set(port.read_args) == {()}  # one-byte reads, no size given


@pytest.mark.parametrize(
    "script, text",
    [([], NO_RESPONSE + "COM3"), ([b"%01$RC"], INVALID + "COM3"), ([TIMEOUT, b"%01$RC0\r"], NO_RESPONSE + "COM3")],
)
def test_reader_line_errors(script, text):
    with pytest.raises(OSError) as info:
        receive(FakePort(script))
    assert type(info.value) is OSError and info.value.args == (text,)


@pytest.mark.parametrize("name, shown", [(7, "7"), (None, "None"), ("", "")])
def test_port_name_is_converted_to_text(name, shown):
    with pytest.raises(OSError, match="^" + NO_RESPONSE + shown + "$"):
        receive(FakePort(port=name))


def test_frame_reader_ignores_the_encoding_of_any_channel():
    assert receive(FakePort([b"\xe9\xff\r"])) == "\xe9\xff\r"


def test_read_errors_pass_unchanged_and_nothing_is_kept():
    error = ValueError("line broke")
    port = FakePort([b"%01", error, b"%01$RC0\r"])
    with pytest.raises(ValueError) as info:
        receive(port)
    assert info.value is error
    assert receive(port) == "%01$RC0\r"


def test_port_name_is_read_only_for_errors():
    class NoName(FakePort):
        @property
        def port(self):
            raise KeyError("no name")

        @port.setter
        def port(self, value):
            pass

    assert receive(NoName([b"ok\r"])) == "ok\r"
    with pytest.raises(KeyError):
        receive(NoName([]))


# ------------------------------------------------------------------ pieces that are not bytes

def test_pieces_of_other_buffer_types_are_collected():
    assert receive(PieceFake(bytearray(b"A"), memoryview(b"B"), b"\r")) == "AB\r"
    assert receive(PieceFake(b"A", bytearray(b"\r"))) == "A\r"


def test_multi_byte_pieces_end_only_at_a_lone_carriage_return():
    # A piece ending in "\r" is not the carriage return piece; the loop goes on until a time-out.
    assert receive(PieceFake(b"%01\r")) == "%01\r"
    with pytest.raises(OSError, match=INVALID):
        receive(PieceFake(b"\r%01"))


@pytest.mark.parametrize(
    "piece, error, text",
    [
        (None, TypeError, "object of type 'NoneType' has no len()"),
        (5, TypeError, "object of type 'int' has no len()"),
        ("A", TypeError, "can't concat str to bytes"),
        ([1], TypeError, "can't concat list to bytes"),
    ],
)
def test_pieces_that_cannot_be_collected_fail_like_the_python_loop(piece, error, text):
    with pytest.raises(error) as info:
        receive(PieceFake(b"%", piece))
    assert str(info.value) == text


@pytest.mark.parametrize("piece", ["", [], bytearray()])
def test_an_empty_piece_of_any_kind_is_a_time_out(piece):
    with pytest.raises(OSError, match=NO_RESPONSE):
        receive(PieceFake(piece, b"\r"))


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_a_piece_with_its_own_addition_decides_the_collected_data(kind):
    class Chunk:
        def __len__(self):
            return 1

        def __radd__(self, other):
            return kind(other + b"*")

    assert receive(PieceFake(b"A", Chunk(), b"\r")) == "A*\r"
    with pytest.raises(OSError, match=INVALID):
        receive(PieceFake(b"A", Chunk()))


# -------------------------------------------------------------------------------- bounded frames

MAX = 2048


def test_longest_frame_is_accepted():
    frame = b"%" + b"0" * (MAX - 2) + b"\r"
    assert receive(FakePort([frame])) == frame.decode("latin")


@pytest.mark.parametrize("tail", [b"\r", TIMEOUT])
def test_over_long_frame_fails_and_reader_resynchronises(tail):
    port = FakePort([b"%" + b"X" * (MAX + 100), tail, b"%01$RC0\r"])
    with pytest.raises(OSError) as info:
        receive(port)
    assert info.value.args == (INVALID + "COM3",)
    assert receive(port) == "%01$RC0\r"


def test_over_long_frame_stops_discarding_at_the_discard_limit():
    port = FakePort([b"Y" * (MAX + 64 * 1024 + 10) + b"\r"])
    with pytest.raises(OSError, match=INVALID):
        receive(port)
    assert port.remaining() == b"Y" * 10 + b"\r"


def test_error_while_discarding_passes_unchanged():
    port = FakePort([b"Z" * (MAX + 5), ConnectionResetError("gone")])
    with pytest.raises(ConnectionResetError):
        receive(port)
