"""MewMaster: request frames, decoding and conversions of the typed operations."""
import struct

import pytest

import ozu_mew
from link_helpers import ScriptedChannel, with_check

WRITE_RD = with_check("%01$WD")
WRITE_RC = with_check("%01$WC")


def words(*values):
    return "".join("%02X%02X" % (v & 0xFF, v >> 8) for v in values)


@pytest.fixture
def station():
    """A master on a scripted line: `answer` is what the station sends back to every request."""
    made = []

    def make(answer=None, cls=None, **kwargs):
        channel = ScriptedChannel(responder=lambda frame: answer)
        kwargs.setdefault("query_timeout", 0.3)
        m = (cls or ozu_mew.MewMaster)(channel, **kwargs)
        made.append(m)
        return m

    yield make
    for m in made:
        m.close()


READS = [
    ("get_coil", (1, "R0012"), "%01#RCSR001214\r", "%01$RC120\r", True),
    ("get_coil", (1, "R12"), "%01#RCSR001214\r", with_check("%01$RC0"), False),
    ("get_coil", (1, "R0012"), "%01#RCSR001214\r", with_check("%01$RCX9"), False),
    ("get_coil_uint16", (1, "WR10"), with_check("%01#RCCR00100010"), with_check("%01$RC3412"), 0x1234),
    ("get_multi_coil_uint16", (1, "WR0010", 2), "%01#RCCR0010001106\r", "%01$RC3412CDAB11\r", [4660, 43981]),
    ("get_uint16", (1, "DT100"), "%01#RDD001000010055\r", "%01$RD341212\r", 4660),
    ("get_uint16", (256, "DT100"), with_check("%100#RDD0010000100"), with_check("%100$RDcdab"), 0xABCD),
    ("get_multi_uint16", (1, "DT100", 2), "%01#RDD001000010154\r", "%01$RD3412CDAB16\r", [4660, 43981]),
    ("get_int16", (1, "DT100"), "%01#RDD001000010055\r", with_check("%01$RDCDAB"), -21555),
    ("get_int16", (1, "DT100"), "%01#RDD001000010055\r", with_check("%01$RDFF7F"), 32767),
    ("get_uint32", (1, "DT100"), "%01#RDD001000010154\r", "%01$RD3412CDAB16\r", 2882343476),
    ("get_int32", (1, "DT100"), "%01#RDD001000010154\r", "%01$RD3412CDAB16\r", -1412623820),
    ("get_multi_uint32", (1, "DT100", 3), with_check("%01#RDD0010000105"),
     with_check("%01$RD" + words(0x1234, 0xABCD, 2, 0, 0xFFFF, 0x7FFF)), [0xABCD1234, 2, 0x7FFFFFFF]),
    ("get_multi_int32", (1, "DT100", 2), with_check("%01#RDD0010000103"),
     with_check("%01$RD" + words(0xFFFE, 0xFFFF, 0, 0x8000)), [-2, -2147483648]),
]


@pytest.mark.parametrize("op, args, request_, answer, result", READS)
def test_reads_send_one_request_and_decode_the_answer(station, op, args, request_, answer, result):
    m = station(answer)
    got = getattr(m, op)(*args)
    assert got == result and type(got) is type(result)
    assert m.dev_handle.sent == [request_]


WRITES = [
    ("set_coil", (1, "R0012", True), "%01#WCSR0012120\r", WRITE_RC),
    ("set_coil", (1, "R12", 0), "%01#WCSR0012021\r", WRITE_RC),
    ("set_coil_uint16", (1, "WR10", 0x1234), with_check("%01#WCCR001000103412"), WRITE_RC),
    ("set_multi_coil_uint16", (1, "WR10", [0x1234, 0]), "%01#WCCR001000113412000007\r", WRITE_RC),
    ("set_uint16", (1, "DT100", 0x1234), with_check("%01#WDD00100001003412"), WRITE_RD),
    ("set_multi_uint16", (1, "DT100", [0x1234, 0x5678]), "%01#WDD00100001013412785659\r", WRITE_RD),
    ("set_uint32", (1, "DT100", 305419896), "%01#WDD00100001017856341259\r", WRITE_RD),
    ("set_uint32", (1, "DT100", -2), with_check("%01#WDD0010000101" + words(65534, 65535)), WRITE_RD),
    ("set_uint32", (1, "DT100", 1099817047672), with_check("%01#WDD0010000101" + words(0x5678, 0x1234)), WRITE_RD),
    ("set_int16", (1, "DT100", -2), "%01#WDD0010000100FEFF53\r", WRITE_RD),
    ("set_int32", (1, "DT100", -2), with_check("%01#WDD0010000101" + words(65534, 65535)), WRITE_RD),
    ("set_multi_int16", (1, "DT100", [-1, 5, -32768]), with_check("%01#WDD0010000102" + words(65535, 5, 32768)),
     WRITE_RD),
    ("set_multi_uint32", (1, "DT100", [305419896, 2]),
     with_check("%01#WDD0010000103" + words(0x5678, 0x1234, 2, 0)), WRITE_RD),
    ("set_multi_int32", (1, "DT100", [-2, 7]), with_check("%01#WDD0010000103" + words(65534, 65535, 7, 0)),
     WRITE_RD),
]


@pytest.mark.parametrize("op, args, request_, answer", WRITES)
def test_writes_send_one_request_and_return_none(station, op, args, request_, answer):
    m = station(answer)
    assert getattr(m, op)(*args) is None
    assert m.dev_handle.sent == [request_]


@pytest.mark.parametrize("op, args", [(op, args) for op, args, *_ in WRITES[:3]] + [("set_uint16", (1, "DT1", 1))])
def test_error_answers_fail_writes_too(station, op, args):
    m = station("%01!4203\r")
    with pytest.raises(OSError) as info:
        getattr(m, op)(*args)
    assert str(info.value) == "COM3:MEW communication error code(hex):[42]"


@pytest.mark.parametrize("answer, count, error, message", [
    ("%01$RD341212\r", 2, OSError, "COM3:Invalid feedback format:[RD3412]"),
    (with_check("%01$RD3412CDAB"), 1, OSError, "COM3:Invalid feedback format:[RD3412CDAB]"),
    (with_check("%01$RD34G2"), 1, ValueError, "invalid literal for int() with base 16: 'G234'"),
    (with_check("%01$RD23+1"), 1, ValueError, "invalid literal for int() with base 16: '+123'"),
    (with_check("%01$RD231_"), 1, ValueError, "invalid literal for int() with base 16: '1_23'"),
    (with_check("%01$RD23 1"), 1, ValueError, "invalid literal for int() with base 16: ' 123'"),
    (with_check("%01$RD120x"), 1, ValueError, "invalid literal for int() with base 16: '0x12'"),
])
def test_word_answers_are_checked_and_read_strictly(station, answer, count, error, message):
    m = station(answer)
    with pytest.raises(error) as info:
        m.get_multi_uint16(1, "DT100", count)
    assert str(info.value) == message
    # a line failure as well: `except OSError` catches it
    assert isinstance(info.value, ozu_mew.MewAnswerError)


def test_a_coil_answer_without_its_bit_fails_on_indexing(station):
    m = station("%01$RC**\r")
    with pytest.raises(IndexError, match="^string index out of range$") as info:
        m.get_coil(1, "R0012")
    assert type(info.value) is ozu_mew.MewAnswerIndexError and type(info.value.__cause__) is IndexError


@pytest.mark.parametrize("op, args, message", [
    ("get_coil", (True, "R1"), "Argument 'station' has incorrect type (expected int, got bool)"),
    ("get_coil", (1, 5), "Argument 'contact' has incorrect type (expected str, got int)"),
    ("get_multi_uint16", (1, "DT1", 2.0), "Argument 'count' has incorrect type (expected int, got float)"),
    ("get_multi_int32", (1, None, 1), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ("get_multi_int32", (1, "DT1", "2"), "Argument 'count' has incorrect type (expected int, got str)"),
    ("set_coil_uint16", (1, "WR1", "1"), "Argument 'value' has incorrect type (expected int, got str)"),
    ("set_multi_coil_uint16", (1, "WR1", (1, 2)), "Argument 'values' has incorrect type (expected list, got tuple)"),
    ("set_multi_int32", ("1", 2, 3), "Argument 'station' has incorrect type (expected int, got str)"),
])
def test_parameter_types(station, op, args, message):
    m = station()
    with pytest.raises(TypeError) as info:
        getattr(m, op)(*args)
    assert str(info.value) == message
    assert m.dev_handle.sent == []


@pytest.mark.parametrize("op, args, error", [
    ("get_multi_uint16", (1, "DT100", 0), AssertionError),
    ("get_multi_coil_uint16", (1, "WR10", 0), AssertionError),
    ("get_coil_uint16", (1, "R10"), AssertionError),
    ("set_multi_uint16", (1, "DT100", []), AssertionError),
    ("set_uint16", (1, "DT100", -1), AssertionError),
    ("set_multi_int16", (1, "DT100", [1, -40000]), struct.error),
    ("set_multi_int32", (1, "DT100", ["x"]), struct.error),
])
def test_refused_values_send_nothing(station, op, args, error):
    m = station()
    with pytest.raises(error) as info:
        getattr(m, op)(*args)
    if error is struct.error:
        fmt = "h" if "16" in op else "i"
        value = args[2][-1] if isinstance(args[2], list) else args[2]
        with pytest.raises(struct.error) as direct:
            struct.pack(fmt, value)
        assert str(info.value) == str(direct.value)
    assert m.dev_handle.sent == []


def test_operations_are_built_on_the_objects_own_operations(station):
    class Replaced(ozu_mew.MewMaster):
        asked = []

        def get_multi_uint16(self, station, name, count):
            self.asked.append((station, name, count))
            return [0xFFFE, 0xFFFF, 1, 0][:count]

        def set_multi_uint16(self, station, name, values):
            self.asked.append(("set", values))

    m = station(cls=Replaced)
    assert m.get_uint16(3, "DT5") == 0xFFFE
    assert m.get_int16(3, "DT5") == -2
    assert m.get_uint32(3, "DT5") == 0xFFFFFFFE
    assert m.get_int32(3, "DT5") == -2
    assert m.get_multi_uint32(3, "DT5", 2) == [0xFFFFFFFE, 1]
    assert m.get_multi_int32(3, "DT5", 2) == [-2, 1]
    m.set_int32(3, "DT5", -3)
    m.set_multi_int16(3, "DT5", [-1])
    assert Replaced.asked == [(3, "DT5", 1), (3, "DT5", 1), (3, "DT5", 2), (3, "DT5", 2), (3, "DT5", 4),
                              (3, "DT5", 4), ("set", [0xFFFD, 0xFFFF]), ("set", [0xFFFF])]
    assert m.dev_handle.sent == []


@pytest.mark.parametrize("result, message", [
    ([1, 2, 3], "too many values to unpack (expected 2)"),
    ([1], "not enough values to unpack (expected 2, got 1)"),
    (None, "cannot unpack non-iterable NoneType object"),
])
def test_get_uint32_unpacks_exactly_two_words(station, result, message):
    class Odd(ozu_mew.MewMaster):
        def get_multi_uint16(self, station, name, count):
            return result

    m = station(cls=Odd)
    with pytest.raises((ValueError, TypeError)) as info:
        m.get_uint32(1, "DT1")
    assert str(info.value) == message


def test_conversions_go_through_the_modules_pack_and_unpack(station, monkeypatch):
    calls = []

    def pack(fmt, value):
        calls.append(("pack", fmt, value))
        return struct.pack(fmt, value)

    def unpack(fmt, data):
        calls.append(("unpack", fmt))
        return struct.unpack(fmt, data)

    monkeypatch.setattr(ozu_mew, "pack", pack)
    monkeypatch.setattr(ozu_mew, "unpack", unpack)
    m = station(with_check("%01$RDCDAB"))
    assert m.get_int16(1, "DT100") == -21555
    m.dev_handle.responder = lambda frame: WRITE_RD
    m.set_multi_int32(1, "DT100", [-2])
    assert calls == [("pack", "H", 0xABCD), ("unpack", "h"), ("pack", "i", -2), ("unpack", "I")]


def test_master_starts_only_its_link_when_created(station):
    class Derived(ozu_mew.MewMaster):
        started = 0

        def start(self):
            Derived.started += 1

    m = station(cls=Derived)
    assert m._stop_flag is False and m._receiver_thread.is_alive()
    assert Derived.started == 0


def test_members_are_declared_in_order():
    names = [n for n in vars(ozu_mew.MewMaster) if not n.startswith("__") or n == "__init__"]
    assert names == ["__init__", "get_coil", "get_coil_uint16", "get_multi_coil_uint16", "get_uint16",
                     "get_multi_uint16", "get_int16", "get_uint32", "get_int32", "get_multi_uint32",
                     "get_multi_int32", "set_coil", "set_coil_uint16", "set_multi_coil_uint16", "set_uint16",
                     "set_multi_uint16", "set_uint32", "set_int16", "set_int32", "set_multi_int16",
                     "set_multi_uint32", "set_multi_int32"]
    assert [n for n in vars(ozu_mew.MewMasterBase) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "query", "_query"]


@pytest.mark.parametrize("op, value, fmt_in, fmt_out", [
    ("set_int16", v, "h", "H") for v in (-32768, -32769, -1, 0, 32767, 32768, 2 ** 70)
] + [
    ("set_int32", v, "i", "I") for v in (-2 ** 31, -2 ** 31 - 1, -1, 0, 2 ** 31 - 1, 2 ** 31, -2 ** 70)
])
def test_signed_writes_match_the_standard_packing(station, monkeypatch, op, value, fmt_in, fmt_out):
    sent = []
    monkeypatch.setattr(ozu_mew.MewMaster, "set_uint16", lambda self, s, n, v: sent.append(v))
    monkeypatch.setattr(ozu_mew.MewMaster, "set_uint32", lambda self, s, n, v: sent.append(v))
    m = station()
    try:
        expected = struct.unpack(fmt_out, struct.pack(fmt_in, value))[0]
    except struct.error as e:
        with pytest.raises(struct.error) as info:
            getattr(m, op)(1, "DT1", value)
        assert str(info.value) == str(e) and sent == []
    else:
        getattr(m, op)(1, "DT1", value)
        assert sent == [expected]



@pytest.mark.parametrize("op, value, fmt_in, fmt_out", [
    ("get_int16", v, "H", "h") for v in (0, 0x7FFF, 0x8000, 0xFFFF, 0x10000, -1)
] + [
    ("get_int32", v, "I", "i") for v in (0, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1, 2 ** 32, -1)
])
def test_signed_reads_match_the_standard_packing(station, monkeypatch, op, value, fmt_in, fmt_out):
    monkeypatch.setattr(ozu_mew.MewMaster, "get_uint16", lambda self, s, n: value)
    monkeypatch.setattr(ozu_mew.MewMaster, "get_uint32", lambda self, s, n: value)
    m = station()
    try:
        expected = struct.unpack(fmt_out, struct.pack(fmt_in, value))[0]
    except struct.error as e:
        with pytest.raises(struct.error) as info:
            getattr(m, op)(1, "DT1")
        assert str(info.value) == str(e)
    else:
        assert getattr(m, op)(1, "DT1") == expected
