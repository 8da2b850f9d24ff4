"""MewStatic: constants, block check, frame layout and classification."""
import pytest

from ozu_mew import MewStatic as M

CONSTANTS = [
    ("MAX_MULTI_COIL_COUNT", 8), ("HEX_DIGITS", "0123456789ABCDEF"), ("DEC_DIGITS", "0123456789"),
    ("PROCESS_NONE", -1), ("PROCESS_ERROR", -2), ("PROCESS_UNKNOWN_CMD", -3), ("HEAD", "%"), ("TAIL", "\r"),
    ("QUERY", "#"), ("ERROR", "!"), ("FEEDBACK", "$"), ("IGNORE_BCC", "*"), ("BROADCAST", 0),
    ("CMD_UNKNOWN", "UNKNOWN"),
]
OPERATIONS = [
    "calc_crc", "crc_is_ok", "calc_tail", "append_tail", "find_station_end", "command_start_position",
    "parse_command", "frame_type", "is_feedback", "is_query", "is_error", "header_matched", "parse_station",
    "parse_contact_address", "parse_register_address", "parse_uint16", "parse_int16", "parse_uint32",
    "parse_int32", "fill_header", "fill_contact_address", "fill_uint16", "fill_int16", "fill_uint32",
    "fill_int32", "fill_read_single_point_of_contact_message", "fill_write_single_point_of_contact_message",
    "fill_read_word_unit_of_contact_message", "fill_write_word_unit_of_contact_message",
    "fill_read_data_area_message", "fill_write_data_area_message", "fill_write_single_data_message",
]


def test_class_surface():
    assert M.__doc__ == "站号长度不限于8位的 Mewtocol 通信协议"
    assert M.__bases__ == (object,) and type(M) is type
    own = [k for k in vars(M) if not k.startswith("__")]
    assert own == [name for name, _ in CONSTANTS] + OPERATIONS
    for name, value in CONSTANTS:
        got = getattr(M, name)
        assert type(got) is type(value) and got == value
    for name in OPERATIONS:
        assert isinstance(vars(M)[name], staticmethod)
        assert getattr(M, name).__qualname__ == "MewStatic." + name


@pytest.mark.parametrize("data, init, expected", [
    ("", 0, 0), ("%01#RCSR0012", 0, 0x14), ("%01#RCSR0012", 0x14, 0), ("", None, None),
    ("é", 0, 0xC3 ^ 0xA9), ("€", 0, 0xE2 ^ 0x82 ^ 0xAC), ("\U0001F600", 0, 0xF0 ^ 0x9F ^ 0x98 ^ 0x80),
    ("A", 1 << 100, (1 << 100) ^ 0x41), ("A", -1, -1 ^ 0x41), ("AB", True, 1 ^ 0x41 ^ 0x42),
])
def test_calc_crc(data, init, expected):
    got = M.calc_crc(data, init)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("data, init, exc, text", [
    ("", True, TypeError, "Expected int, got bool"),
    ("", 1.5, TypeError, "Expected int, got float"),
    ("a", 1.5, TypeError, "unsupported operand type(s) for ^=: 'float' and 'int'"),
    ("a", None, TypeError, "unsupported operand type(s) for ^=: 'NoneType' and 'int'"),
    ("a\ud800b", 0, UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
])
def test_calc_crc_failures(data, init, exc, text):
    with pytest.raises(exc) as info:
        M.calc_crc(data, init)
    assert str(info.value) == text


def test_calc_crc_init_object_sees_every_byte():
    seen = []

    class Acc:
        def __xor__(self, b):
            seen.append(b)
            return self

    with pytest.raises(TypeError, match="Expected int, got Acc"):
        M.calc_crc("aé", Acc())
    assert seen == list("aé".encode())


def test_tail():
    assert M.calc_tail("%01#RCSX0000") == "1D\r"
    assert M.append_tail("%01#RCSX0000") == "%01#RCSX00001D\r"
    assert M.calc_tail("") == "00\r"
    assert M.append_tail("é") == "é6A\r"  # check over the UTF-8 bytes, text kept as it is


@pytest.mark.parametrize("frame, ok", [
    ("%01#RCSX00001D\r", True), ("%01#RCSX00001d\r", True), ("%01#RCSX0000**\r", True),
    ("%01#RCSX00001E\r", False), ("%01#RCSX0000*D\r", False), ("%01#RCSX00001*\r", False),
    ("**\r", True), ("00\r", True), ("%01#RCSX00001DX", True),
])
def test_crc_is_ok(frame, ok):
    assert M.crc_is_ok(frame) is ok


@pytest.mark.parametrize("frame, exc, text", [
    ("", IndexError, "string index out of range"),
    ("*\r", IndexError, "string index out of range"),
    ("%01#RCSX0000ZZ\r", ValueError, "invalid literal for int() with base 16: 'ZZ'"),
    ("%01#RCSX0000+5\r", ValueError, "invalid literal for int() with base 16: '+5'"),
    ("%01#RCSX0000 5\r", ValueError, "invalid literal for int() with base 16: ' 5'"),
    ("%01#RCSX0000١٢\r", ValueError, "invalid literal for int() with base 16: '١٢'"),
])
def test_crc_is_ok_failures(frame, exc, text):
    with pytest.raises(exc) as info:
        M.crc_is_ok(frame)
    assert str(info.value) == text


@pytest.mark.parametrize("data, end", [
    ("%01#RCSX0000**\r", 3), ("%100#RD", 4), ("%01**\r", -1), ("%0101", 5), ("", 0), ("#", 0),
    ("%01$*", 3), ("%0\r#", -1), ("%ÿĀ\U00010000!", 4),
])
def test_station_end_and_command_position(data, end):
    assert M.find_station_end(data) == end
    assert M.command_start_position(data) == end + 1


@pytest.mark.parametrize("data, cmd", [
    ("%01#RCSX00001D\r", "RCS"), ("%01#RDD001000010257\r", "RD"), ("%01#RCX0000**\r", "UNKNOWN"),
    ("%01#XYZ", "UNKNOWN"), ("%01#WD", "WD"), ("%01#W", "UNKNOWN"), ("%01$WCC", "WCC"), ("%01#rcs", "UNKNOWN"),
    ("RDX\r", "RD"), ("RDX", "UNKNOWN"),
])
def test_parse_command(data, cmd):
    assert M.parse_command(data) == cmd


@pytest.mark.parametrize("data, kind, feedback, query, error", [
    ("%01$RC120\r", "$", True, False, False), ("%01#RCS", "#", False, True, False),
    ("%01!4203\r", "!", False, False, True), ("%01**\r", "\r", False, False, False),
])
def test_frame_type(data, kind, feedback, query, error):
    assert M.frame_type(data) == kind
    assert (M.is_feedback(data), M.is_query(data), M.is_error(data)) == (feedback, query, error)


@pytest.mark.parametrize("op", ["frame_type", "is_feedback", "is_query", "is_error"])
@pytest.mark.parametrize("data", ["", "%0101"])
def test_frame_type_without_type_character(op, data):
    with pytest.raises(IndexError, match="^string index out of range$"):
        getattr(M, op)(data)


@pytest.mark.parametrize("rx, matched", [
    ("%01$RC120\r", True), ("%02$RC120\r", False), ("%01!RC120\r", False), ("%01$WC14\r", False),
    ("%1$RC120\r", False),
])
def test_header_matched(rx, matched):
    assert M.header_matched("%01#RCSR001214\r", rx) is matched


def test_header_matched_without_type_character():
    with pytest.raises(IndexError):
        M.header_matched("%01#RCS", "%01")
    assert M.header_matched("ABC", "%01") is False


@pytest.mark.parametrize("data, station", [
    ("%1A#RCS", 26), ("%100#RD", 256), ("%01\r", 1), ("%1f#", 31), ("%" + "F" * 40 + "#", 16 ** 40 - 1),
])
def test_parse_station(data, station):
    assert M.parse_station(data) == station


@pytest.mark.parametrize("data, piece", [("%01**\r", "'01**'"), ("#", "''"), ("%0G#", "'0G'"), ("%-1#", "'-1'")])
def test_parse_station_failures(data, piece):
    with pytest.raises(ValueError) as info:
        M.parse_station(data)
    assert str(info.value) == "invalid literal for int() with base 16: " + piece


def test_invalid_literal_repr_is_cut_at_200():
    with pytest.raises(ValueError) as info:
        M.parse_station("%" + "x" * 300 + "#")
    assert str(info.value) == "invalid literal for int() with base 16: '" + "x" * 199


@pytest.mark.parametrize("call, text", [
    (lambda: M.calc_crc(b"x"), "Argument 'data' has incorrect type (expected str, got bytes)"),
    (lambda: M.calc_tail("a", "b"), "calc_tail() takes exactly 1 positional argument (2 given)"),
    (lambda: M.calc_crc(), "calc_crc() takes at least 1 positional argument (0 given)"),
    (lambda: M.calc_crc("a", 1, 2), "calc_crc() takes at most 2 positional arguments (3 given)"),
    (lambda: M.fill_header(True, "RD"), "Argument 'station' has incorrect type (expected int, got bool)"),
    (lambda: M.header_matched("a", rx=None), "Argument 'rx' has incorrect type (expected str, got NoneType)"),
    (lambda: M.parse_station(data="%01#", frame="x"), "parse_station() got an unexpected keyword argument 'frame'"),
    (lambda: M.fill_uint16("", 1, data=""), "fill_uint16() got multiple values for keyword argument 'data'"),
    (lambda: M.fill_read_word_unit_of_contact_message(1, "WR1", word_count=1.0),
     "Argument 'word_count' has incorrect type (expected int, got float)"),
    (lambda: M.fill_write_single_data_message(1, "D1", None),
     "Argument 'value' has incorrect type (expected int, got NoneType)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text
