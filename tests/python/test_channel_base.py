"""The abstract Channel, and the frame reader over port objects of the caller's own."""
import pytest

import ozu_mew
from channel_helpers import FakePort, pieces

ABSTRACT = ["read", "receive_frame", "send_frame", "in_waiting", "port"]
MEMBERS = {
    "read": lambda self, size=1: "",
    "receive_frame": lambda self: "\r",
    "send_frame": lambda self, data: None,
    "in_waiting": property(lambda self: 0),
    "port": property(lambda self: "P"),
}


def test_abstract_members_in_declared_order():
    names = [n for n in vars(ozu_mew.Channel) if n == "__init__" or not n.startswith("__")]
    assert names[:8] == ["__init__"] + ABSTRACT + ["close", "reset_input_buffer"]
    assert ozu_mew.Channel.__abstractmethods__ == frozenset(ABSTRACT)
    with pytest.raises(TypeError, match="abstract class Channel"):
        ozu_mew.Channel()


@pytest.mark.parametrize("missing", ABSTRACT)
def test_a_subclass_needs_every_abstract_member(missing):
    cls = type("Partial", (ozu_mew.Channel,), {k: v for k, v in MEMBERS.items() if k != missing})
    with pytest.raises(TypeError, match=missing):
        cls()


@pytest.mark.parametrize("kwargs, encoding", [({}, "latin"), ({"encoding": "ascii", "timeout": 1}, "ascii")])
def test_minimal_subclass(kwargs, encoding):
    cls = type("Minimal", (ozu_mew.Channel,), MEMBERS)
    ch = cls(**kwargs)
    assert ch.encoding == encoding
    assert ch.close() is None and ch.reset_input_buffer() is None
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"):
        cls("COM1")
    base = ozu_mew.Channel
    assert base.read(ch) is None and base.receive_frame(ch) is None and base.port.fget(ch) is None
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected str, got bytes\)$"):
        base.send_frame(ch, b"%")


# ---------------------------------------------------------------------------------- reader

@pytest.mark.parametrize(
    "script, name, text",
    [
        ([], "COM3", "Error: device no response.:COM3"),
        ([b"%01$RC"], "COM3", "Error: device response format invalid.:COM3"),
        ([b"%01"], 7, "Error: device response format invalid.:7"),
        ([], None, "Error: device no response.:None"),
    ],
)
def test_line_errors_name_the_port_as_text(script, name, text):
    with pytest.raises(OSError) as info:
        ozu_mew._receive_frame_by_serial(FakePort(script, port=name))
    assert type(info.value) is OSError and info.value.args == (text,)


def test_read_errors_pass_unchanged_and_nothing_is_kept():
    error = ValueError("line broke")
    port = FakePort([b"%01", error, b"%01$RC0\r"])
    with pytest.raises(ValueError) as info:
        ozu_mew._receive_frame_by_serial(port)
    assert info.value is error
    assert ozu_mew._receive_frame_by_serial(port) == "%01$RC0\r"


class Star:
    """A piece with its own addition: data += Star() appends "*" (as bytes or as a bytearray)."""

    def __init__(self, kind):
        self.kind = kind

    def __len__(self):
        return 1

    def __radd__(self, other):
        return self.kind(other + b"*")


@pytest.mark.parametrize(
    "items, result",
    [
        ((bytearray(b"A"), memoryview(b"B"), bytearray(b"\r")), "AB\r"),
        ((b"%01\r",), "%01\r"),  # a longer piece ending in "\r" does not end the loop; the time-out does
        ((b"A", Star(bytes), b"\r"), "A*\r"),
        ((b"A", Star(bytearray), b"\r"), "A*\r"),
        ((b"A", Star(bytearray)), OSError("Error: device response format invalid.:COM3")),
        (([], b"\r"), OSError("Error: device no response.:COM3")),
        (("", b"\r"), OSError("Error: device no response.:COM3")),
        ((b"%", None), TypeError("object of type 'NoneType' has no len()")),
        ((b"%", "A"), TypeError("can't concat str to bytes")),
    ],
)
def test_pieces_of_other_kinds_behave_as_in_the_python_loop(items, result):
    if isinstance(result, Exception):
        with pytest.raises(type(result)) as info:
            ozu_mew._receive_frame_by_serial(pieces(*items))
        assert info.value.args == result.args
    else:
        assert ozu_mew._receive_frame_by_serial(pieces(*items)) == result
