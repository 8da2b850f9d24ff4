"""MewStatic field encodings: header, addresses, 16- and 32-bit values."""
import struct

import pytest

import ozu_mew
from ozu_mew import MewStatic as M


@pytest.mark.parametrize("station, cmd, header", [
    (1, "RCS", "%01#RCS"), (10, "RD", "%0A#RD"), (256, "WD", "%100#WD"), (0, "", "%00#"),
    (1 << 70, "RD", "%400000000000000000#RD"), (1, "é", "%01#é"), (1, "\U0001F600", "%01#\U0001F600"),
])
def test_fill_header(station, cmd, header):
    assert M.fill_header(station, cmd) == header


@pytest.mark.parametrize("station", [-1, -(1 << 70)])
def test_fill_header_refuses_negative_station(station):
    with pytest.raises(ValueError) as info:
        M.fill_header(station, "RD")
    assert str(info.value) == "station must not be negative: %d" % station


@pytest.mark.parametrize("address, field", [
    ("1", "X0001"), ("10A", "X010A"), ("0010A", "X0010A"), ("", "X0000"), ("ĀB", "X00ĀB"),
])
def test_fill_contact_address(address, field):
    assert M.fill_contact_address("X", address) == field


@pytest.mark.parametrize("address, value", [("010A", 170), ("000F", 15), ("0010", 16), ("0010ZZ", 16), ("999f", 15999)])
def test_parse_contact_address(address, value):
    assert M.parse_contact_address(address) == value


@pytest.mark.parametrize("address, exc, text", [
    ("012", IndexError, "string index out of range"),
    ("", ValueError, "invalid literal for int() with base 10: ''"),
    ("0a1F", ValueError, "invalid literal for int() with base 10: '0a1'"),
    ("001G", ValueError, "invalid literal for int() with base 16: 'G'"),
    ("-01F", ValueError, "invalid literal for int() with base 10: '-01'"),
])
def test_parse_contact_address_failures(address, exc, text):
    with pytest.raises(exc) as info:
        M.parse_contact_address(address)
    assert str(info.value) == text


def test_parse_register_address():
    assert M.parse_register_address("00100") == 100
    assert M.parse_register_address("9" * 30) == int("9" * 30)
    for bad in ["", "1_0", " 1", "+1", "0x1", "١"]:
        with pytest.raises(ValueError, match="^invalid literal for int\\(\\) with base 10: "):
            M.parse_register_address(bad)


def test_parse_register_address_keeps_the_digit_limit():
    with pytest.raises(ValueError, match="Exceeds the limit"):
        M.parse_register_address("1" * 5000)


@pytest.mark.parametrize("data, value", [
    ("3412", 0x1234), ("3412FF", 0x1234), ("3a12", 0x123A), ("123", 0x0312), ("ffff", 0xFFFF),
])
def test_parse_uint16(data, value):
    assert M.parse_uint16(data) == value


@pytest.mark.parametrize("data, piece", [("", "''"), ("12", "''"), ("00-1", "'-1'"), ("+5FF", "'+5'"), ("0 12", "'0 '")])
def test_parse_uint16_strict(data, piece):
    with pytest.raises(ValueError) as info:
        M.parse_uint16(data)
    assert str(info.value) == "invalid literal for int() with base 16: " + piece


@pytest.mark.parametrize("data, value", [("FFFF", -1), ("FEFF", -2), ("FF7F", 32767), ("0080", -32768), ("0100", 1)])
def test_parse_int16(data, value):
    assert M.parse_int16(data) == value


@pytest.mark.parametrize("data, unsigned, signed", [
    ("78563412", 0x12345678, 0x12345678), ("FFFFFFFF", 0xFFFFFFFF, -1), ("00000080", 0x80000000, -(1 << 31)),
    ("7856341", 0x01345678, 0x01345678),
])
def test_parse_32(data, unsigned, signed):
    assert M.parse_uint32(data) == unsigned
    assert M.parse_int32(data) == signed


def test_parse_uint32_reports_the_failing_piece():
    with pytest.raises(ValueError, match="'x1'$"):
        M.parse_uint32("000000x1")
    with pytest.raises(ValueError, match="''$"):
        M.parse_uint32("1234")


@pytest.mark.parametrize("value, text", [(0x1234, "3412"), (0, "0000"), (65535, "FFFF"), (True, "0100"), (False, "0000")])
def test_fill_uint16(value, text):
    assert M.fill_uint16("", value) == text
    assert M.fill_uint16("ab", value) == "ab" + text


@pytest.mark.parametrize("value, exc, text", [
    (-1, AssertionError, ""), (-(1 << 80), AssertionError, ""),
    (0x12345, ValueError, "value 74565 out of range for a 16-bit field (0..65535)"),
    (1 << 80, ValueError, "value %d out of range for a 16-bit field (0..65535)" % (1 << 80)),
    ("1", TypeError, "'>=' not supported between instances of 'str' and 'int'"),
    (1.0, TypeError, "unsupported operand type(s) for &: 'float' and 'int'"),
])
def test_fill_uint16_failures(value, exc, text):
    with pytest.raises(exc) as info:
        M.fill_uint16("", value)
    assert str(info.value) == text


def test_fill_uint16_int_like_objects():
    class Word(int):
        pass

    assert M.fill_uint16("", Word(0x1234)) == "3412"
    with pytest.raises(ValueError, match="value 65536 out"):
        M.fill_uint16("", Word(0x10000))


@pytest.mark.parametrize("value, text", [(0x12345678, "78563412"), (0, "00000000"), (0xFFFFFFFF, "FFFFFFFF")])
def test_fill_uint32(value, text):
    assert M.fill_uint32("", value) == text


@pytest.mark.parametrize("value, exc, text", [
    (-1, AssertionError, ""),
    (1 << 32, ValueError, "value 4294967296 out of range for a 32-bit field (0..4294967295)"),
    (1.0, TypeError, "unsupported operand type(s) for &: 'float' and 'int'"),
])
def test_fill_uint32_failures(value, exc, text):
    with pytest.raises(exc) as info:
        M.fill_uint32("", value)
    assert str(info.value) == text


@pytest.mark.parametrize("op, value, text", [
    ("fill_int16", -2, "FEFF"), ("fill_int16", -32768, "0080"), ("fill_int16", 32767, "FF7F"), ("fill_int16", True, "0100"),
    ("fill_int32", -1, "FFFFFFFF"), ("fill_int32", -(1 << 31), "00000080"), ("fill_int32", 0x12345678, "78563412"),
])
def test_fill_signed(op, value, text):
    assert getattr(M, op)("", value) == text


@pytest.mark.parametrize("op, fmt", [("fill_int16", "h"), ("fill_int32", "i")])
@pytest.mark.parametrize("value", [1 << 31, -(1 << 31) - 1, 32768, 1 << 70, "1", 1.5, None])
def test_fill_signed_packing_errors(op, fmt, value):
    try:
        struct.pack(fmt, value)
    except struct.error as exc:
        expected = str(exc)
    else:
        assert getattr(M, op)("", value)
        return
    with pytest.raises(struct.error) as info:
        getattr(M, op)("", value)
    assert str(info.value) == expected


def test_signed_operations_use_the_module_pack_and_unpack(monkeypatch):
    calls = []

    def pack(fmt, value):
        calls.append(("pack", fmt, value))
        return struct.pack(fmt, value)

    def unpack(fmt, data):
        calls.append(("unpack", fmt, data))
        return struct.unpack(fmt, data)

    monkeypatch.setattr(ozu_mew, "pack", pack)
    monkeypatch.setattr(ozu_mew, "unpack", unpack)
    assert M.fill_int16("", -2) == "FEFF"
    assert M.parse_int32("FFFFFFFF") == -1
    assert [c[:2] for c in calls] == [("pack", "h"), ("unpack", "H"), ("pack", "I"), ("unpack", "i")]
    monkeypatch.setattr(ozu_mew, "unpack", lambda fmt, data: ("x",))
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        M.parse_int16("0100")


@pytest.mark.parametrize("op, value, text", [
    ("fill_uint16", 70000.0, "value 70000.0 out of range for a 16-bit field (0..65535)"),
    ("fill_uint16", float("inf"), "value inf out of range for a 16-bit field (0..65535)"),
    ("fill_uint32", 1e10, "value 10000000000.0 out of range for a 32-bit field (0..4294967295)"),
])
def test_values_above_the_range_are_refused_whatever_their_type(op, value, text):
    # The range test is a comparison, so it refuses a float above the range before any bit operation.
    with pytest.raises(ValueError) as info:
        getattr(M, op)("", value)
    assert str(info.value) == text
    with pytest.raises(ValueError) as info:
        M.fill_write_data_area_message(1, "D1", [value])
    assert str(info.value).startswith("value ") and "16-bit" in str(info.value)
