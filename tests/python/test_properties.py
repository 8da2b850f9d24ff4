"""Random text against the codec and the station's request handling.

Frame readers are compared, result and exception (type and text), with a small model written
from the frame rules; writers and builders are checked by reading their output back. Every
operation may fail only with the exception types the module documents.
"""
import contextlib
import io
import os
import struct
from functools import reduce

import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

import ozu_mew

S = ozu_mew.MewStatic
DOCUMENTED = (ValueError, IndexError, AssertionError, TypeError, struct.error, UnicodeEncodeError)

# OZU_HYPOTHESIS=deep runs many more examples (for a hunt, not for CI).
settings.register_profile("ozu", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("deep", max_examples=5000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("OZU_HYPOTHESIS", "ozu"))

# ---------------------------------------------------------------- inputs

FRAME_CHARS = "%#$!*\r\n0123456789ABCDEFabcdefRWCSDTLXY "
frameish = st.one_of(st.text(FRAME_CHARS, max_size=40), st.text(FRAME_CHARS, min_size=200, max_size=3000))
any_char = st.one_of(st.characters(), st.characters(categories=["Cs"]))  # surrogates too
unicode_text = st.one_of(st.text(any_char, max_size=40), st.text(any_char, min_size=200, max_size=2000))
texts = st.one_of(frameish, unicode_text)

COMMANDS = ["RCS", "WCS", "RCC", "WCC", "RD", "WD"]


@st.composite
def damaged_requests(draw):
    """A valid request with a few characters replaced, inserted or removed (check often "**")."""
    station = draw(st.integers(0, 0x1FFF))
    cmd = draw(st.sampled_from(COMMANDS))
    body = S.fill_header(station, cmd) + draw(st.text("0123456789ABCDEFRXYDL", min_size=0, max_size=30))
    frame = list(body + (draw(st.sampled_from(["**", S.calc_tail(body)[:2]]))) + "\r")
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(frame)))
        what = draw(st.sampled_from(["replace", "insert", "delete"]))
        char = draw(st.one_of(st.sampled_from(FRAME_CHARS), st.characters()))
        if what == "insert":
            frame.insert(at, char)
        elif at < len(frame):
            if what == "replace":
                frame[at] = char
            else:
                del frame[at]
    return "".join(frame)


# ---------------------------------------------------------------- model of the frame readers

def _int(piece, base):
    digits = "0123456789abcdefABCDEF" if base == 16 else "0123456789"
    if not piece or any(c not in digits for c in piece):
        raise ValueError("invalid literal for int() with base %d: %s" % (base, repr(piece)[:200]))
    return int(piece, base)


def _crc(data, init=0):
    return reduce(lambda acc, b: acc ^ b, data.encode("utf-8"), init)


def _tail(data):
    crc = _crc(data)
    return "0123456789ABCDEF"[crc >> 4] + "0123456789ABCDEF"[crc & 15] + "\r"


def _crc_is_ok(frame):
    recv = frame[-3:-1]
    recv[0], recv[1]  # a text of fewer than three characters fails here
    if recv[0] == "*" or recv[1] == "*":
        return recv[0] == recv[1]
    return _int(recv, 16) == _crc(frame[:-3])


def _station_end(data):
    for i, c in enumerate(data):
        if c in "\r*":
            return -1
        if c in "#$!":
            return i
    return len(data)


def _parse_command(data):
    piece = data[_station_end(data) + 1:][:3]
    if piece in ("RCS", "WCS", "RCC", "WCC"):
        return piece
    return piece[:2] if piece[:2] in ("RD", "WD") else "UNKNOWN"


def _u16(data):
    low = _int(data[0:2], 16)
    return _int(data[2:4], 16) << 8 | low


def _u32(data):
    low = _u16(data[0:4])
    return _u16(data[4:8]) << 16 | low


MODEL = {
    "calc_crc": _crc,
    "crc_is_ok": _crc_is_ok,
    "calc_tail": _tail,
    "append_tail": lambda d: d + _tail(d),
    "find_station_end": _station_end,
    "command_start_position": lambda d: _station_end(d) + 1,
    "parse_command": _parse_command,
    "frame_type": lambda d: d[_station_end(d)],
    "is_feedback": lambda d: d[_station_end(d)] == "$",
    "is_query": lambda d: d[_station_end(d)] == "#",
    "is_error": lambda d: d[_station_end(d)] == "!",
    "parse_station": lambda d: _int(d[1:_station_end(d)], 16),
    "parse_contact_address": lambda a: _int(a[:3], 10) * 16 + _int(a[3], 16),
    "parse_register_address": lambda a: _int(a, 10),
    "parse_uint16": _u16,
    "parse_int16": lambda d: struct.unpack("h", struct.pack("H", _u16(d)))[0],
    "parse_uint32": _u32,
    "parse_int32": lambda d: struct.unpack("i", struct.pack("I", _u32(d)))[0],
}


def _outcome(func, *args):
    try:
        return ("result", func(*args))
    except Exception as exc:  # noqa: BLE001 - the type and text are what is compared
        return ("raised", type(exc), str(exc))


@pytest.mark.parametrize("name", sorted(MODEL))
@given(data=st.one_of(texts, damaged_requests()))
@example(data="")
@example(data="%01#RCSX00001d\r")
@example(data="%0\udc80#RD**\r")
def test_frame_readers_agree_with_the_model(name, data):
    got = _outcome(getattr(S, name), data)
    assert got == _outcome(MODEL[name], data)
    if got[0] == "raised":
        assert issubclass(got[1], DOCUMENTED)


def _encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


@example(tx="#0\ud800", rx="")
@given(tx=st.one_of(texts, damaged_requests()), rx=st.one_of(texts, damaged_requests()))
def test_answer_matching_agrees_with_the_model(tx, rx):
    def model(tx, rx):
        edge = _station_end(rx)
        return tx[:edge] == rx[:edge] and rx[edge] == "$" and tx[edge + 1:edge + 3] == rx[edge + 1:edge + 3]

    assert _outcome(S.header_matched, tx, rx) == _outcome(model, tx, rx)
    # the answer a station builds for a request matches it (when the head can be checked at all:
    # a lone surrogate cannot be encoded for the block check)
    edge = _station_end(tx)
    if 0 <= edge and len(tx) >= edge + 3 and tx[edge] == "#":
        head = tx[:edge] + "$" + tx[edge + 1:edge + 3]
        if _encodable(head):
            assert S.header_matched(tx, S.append_tail(head)) is True
        else:
            with pytest.raises(UnicodeEncodeError):
                S.append_tail(head)


@given(data=texts, init=st.integers(-(2**70), 2**70))
def test_block_check_with_any_start_value(data, init):
    assert _outcome(S.calc_crc, data, init) == _outcome(_crc, data, init)


@given(data=st.text(any_char, max_size=60))
def test_a_tail_makes_any_encodable_text_a_checked_frame(data):
    if not _encodable(data):
        with pytest.raises(UnicodeEncodeError):
            S.append_tail(data)
        return
    frame = S.append_tail(data)
    assert frame == data + S.calc_tail(data) and frame.endswith("\r")
    assert S.crc_is_ok(frame) is True
    assert S.calc_crc(frame[:-1]) in (0, ord(frame[-3]) ^ ord(frame[-2]) ^ S.calc_crc(data))


# ---------------------------------------------------------------- writers read back

@given(prefix=texts, value=st.integers(-(2**40), 2**40))
def test_value_fields_read_back(prefix, value):
    for width, fill, parse, lo, hi, signed in [
        (4, S.fill_uint16, S.parse_uint16, 0, 0xFFFF, False),
        (4, S.fill_int16, S.parse_int16, -0x8000, 0x7FFF, True),
        (8, S.fill_uint32, S.parse_uint32, 0, 0xFFFFFFFF, False),
        (8, S.fill_int32, S.parse_int32, -0x80000000, 0x7FFFFFFF, True),
    ]:
        if lo <= value <= hi:
            text = fill(prefix, value)
            assert text[:len(prefix)] == prefix and len(text) == len(prefix) + width
            assert text[len(prefix):] == text[len(prefix):].upper()
            assert parse(text[len(prefix):]) == value
        else:
            expected = struct.error if signed else (AssertionError if value < 0 else ValueError)
            with pytest.raises(expected):
                fill(prefix, value)


@given(station=st.integers(0, 2**64), cmd=st.sampled_from(COMMANDS))
def test_headers_read_back(station, cmd):
    header = S.fill_header(station, cmd)
    assert header == "%%%02X#%s" % (station, cmd)
    assert S.parse_station(header) == station
    assert S.parse_command(header) == cmd
    assert S.find_station_end(header) == len(header) - len(cmd) - 1


@given(data=texts, address=texts)
def test_contact_address_field_is_padded_not_changed(data, address):
    assert S.fill_contact_address(data, address) == data + "0" * (4 - len(address)) + address


# ---------------------------------------------------------------- builders

class Memory(ozu_mew.MewSlaveBase):
    """A station that records each hook call and answers reads with values derived from the count."""

    def __init__(self, station=0):
        super().__init__(station)
        self.calls = []

    def on_get_coil(self, station, name):
        self.calls.append(("get_coil", station, name))
        return len(name) % 2 == 1

    def on_get_multi_coil_uint16(self, station, name, count):
        self.calls.append(("get_words", station, name, count))
        return [(i * 0x0101) & 0xFFFF for i in range(max(count, 0))]

    def on_get_multi_uint16(self, station, name, count):
        self.calls.append(("get_registers", station, name, count))
        return [(i * 0x1001) & 0xFFFF for i in range(max(count, 0))]

    def on_set_coil(self, station, name, value):
        self.calls.append(("set_coil", station, name, value))

    def on_set_multi_coil_uint16(self, station, name, values):
        self.calls.append(("set_words", station, name, values))

    def on_set_multi_uint16(self, station, name, values):
        self.calls.append(("set_registers", station, name, values))


stations = st.integers(0, 0xFFFFF)
areas = st.sampled_from("RXYLTCD")
words16 = st.lists(st.integers(0, 0xFFFF), min_size=1, max_size=30)


@st.composite
def requests(draw):
    """(builder arguments, the hook call a station makes for the frame, answer data)."""
    station = draw(stations)
    kind = draw(st.sampled_from(["RCS", "WCS", "RCC", "RCC-end", "WCC", "RD", "WD", "WD-one"]))
    area = draw(areas)
    word = draw(st.integers(0, 999))
    bit = draw(st.integers(0, 15))
    first = draw(st.integers(0, 9000))
    n = draw(st.integers(1, 40))
    reg = draw(st.integers(0, 99000))
    reg_area = draw(st.sampled_from(["D", "DT", "L", "LD", "F", "FL"]))
    values = draw(words16)
    contact = "%s%03d%X" % (area, word, bit)
    short_contact = area + ("%d%X" % (word, bit)).lstrip("0")  # "R12" for word 1, bit 2
    if kind == "RCS":
        return (S.fill_read_single_point_of_contact_message, (station, short_contact)), \
            ("get_coil", station, contact)
    if kind == "WCS":
        value = draw(st.booleans())
        return (S.fill_write_single_point_of_contact_message, (station, contact, value)), \
            ("set_coil", station, contact, value)
    if kind == "RCC":
        return (S.fill_read_word_unit_of_contact_message, (station, "W%s%d" % (area, first), None, n)), \
            ("get_words", station, "%s%04d" % (area, first), n)
    if kind == "RCC-end":
        return (S.fill_read_word_unit_of_contact_message,
                (station, "W%s%d" % (area, first), "W%s%d" % (area, first + n - 1))), \
            ("get_words", station, "%s%04d" % (area, first), n)
    if kind == "WCC":
        return (S.fill_write_word_unit_of_contact_message, (station, "W%s%d" % (area, first), values)), \
            ("set_words", station, "%s%04d" % (area, first), values)
    if kind == "RD":
        return (S.fill_read_data_area_message, (station, "%s%d" % (reg_area, reg), n)), \
            ("get_registers", station, "%s%05d" % (reg_area[0], reg), n)
    if kind == "WD":
        return (S.fill_write_data_area_message, (station, "%s%d" % (reg_area, reg), values)), \
            ("set_registers", station, "%s%05d" % (reg_area[0], reg), values)
    return (S.fill_write_single_data_message, (station, "%s%d" % (reg_area, reg), values[0])), \
        ("set_registers", station, "%s%05d" % (reg_area[0], reg), values[:1])


@given(request=requests())
def test_builders_frames_reach_a_station_intact(request):
    (builder, args), call = request
    frame = builder(*args)
    assert frame.endswith("\r") and S.crc_is_ok(frame) and S.is_query(frame)
    assert S.parse_station(frame) == args[0]
    station = Memory(station=args[0])
    answer = station.process_request(frame)
    assert station.calls == [call]
    head = frame[:S.find_station_end(frame)]
    assert answer.startswith(head + "$" + frame[len(head) + 1:len(head) + 3])
    assert S.crc_is_ok(answer) and S.header_matched(frame, answer)
    if call[0] == "get_coil":
        assert answer[len(head) + 3] == ("1" if len(call[2]) % 2 else "0")
    elif call[0].startswith("get_"):
        data = answer[len(head) + 3:-3]
        assert len(data) == 4 * call[3]
        assert [S.parse_uint16(data[i:i + 4]) for i in range(0, len(data), 4)] == \
            station.on_get_multi_uint16(0, "", call[3]) if call[0] == "get_registers" else \
            station.on_get_multi_coil_uint16(0, "", call[3])
    else:
        assert answer == S.append_tail(head + "$" + frame[len(head) + 1:len(head) + 3])


builder_args = st.one_of(texts, st.integers(-5, 2**33), st.none(), st.booleans(),
                         st.lists(st.integers(-3, 70000), max_size=4))


@pytest.mark.parametrize("builder, arity", [
    (S.fill_read_single_point_of_contact_message, 2),
    (S.fill_write_single_point_of_contact_message, 3),
    (S.fill_read_word_unit_of_contact_message, 4),
    (S.fill_write_word_unit_of_contact_message, 3),
    (S.fill_read_data_area_message, 3),
    (S.fill_write_data_area_message, 3),
    (S.fill_write_single_data_message, 3),
    (S.fill_header, 2),
    (S.fill_contact_address, 2),
])
@given(station=st.one_of(st.integers(-3, 2**40), texts), rest=st.lists(builder_args, min_size=3, max_size=3))
def test_builders_refuse_bad_input_only_with_documented_errors(builder, arity, station, rest):
    try:
        frame = builder(station, *rest[:arity - 1])
    except DOCUMENTED:
        return
    if builder in (S.fill_contact_address, S.fill_header):
        return  # field writers: their text is written as given
    assert frame.isascii() and "\r" not in frame[:-1]
    if builder is not S.fill_header:  # a whole frame: one carriage return, a check, a station
        assert frame.endswith("\r") and S.crc_is_ok(frame) and S.is_query(frame)
        assert S.parse_station(frame) == station


# ---------------------------------------------------------------- a station fed random text

@given(frame=st.one_of(texts, damaged_requests()), own=st.sampled_from([0, 1, 0x1F]))
def test_station_answers_any_text_with_a_frame_or_a_documented_error(frame, own):
    station = Memory(station=own)
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            answer = station.process_request(frame)
    except DOCUMENTED:
        assert len(station.calls) <= 1
        return
    out = printed.getvalue()
    if answer == "":
        assert station.calls == []
        assert out in ("", "Invalid MEW frame: %s\n" % frame)
        return
    assert out == ""
    edge = S.find_station_end(frame)
    head = frame[:edge] if edge >= 0 else frame[:-1]
    assert answer.startswith(head) and answer.endswith("\r")
    assert answer[len(head)] in "$!"
    assert answer == S.append_tail(answer[:-3])
    assert answer[len(head):].isascii()
    assert len(station.calls) == (answer[len(head)] == "$")


@given(frame=damaged_requests())
def test_station_rejects_frames_whose_check_does_not_match(frame):
    assume(len(frame) >= 9 and frame[0] == "%" and frame[-3:-1] != "**")
    assume(all(c in "0123456789ABCDEFabcdef" for c in frame[-3:-1]))
    if not _encodable(frame):
        return
    station = Memory()
    if S.calc_crc(frame[:-3]) == int(frame[-3:-1], 16):
        return
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        assert station.process_request(frame) == ""
    assert station.calls == []
    assert printed.getvalue() == "Invalid MEW frame: %s\n" % frame


@st.composite
def read_ranges(draw):
    """Reads and writes of any range, so that some answers would not fit in one frame."""
    head = "%" + draw(st.sampled_from(["01", "1F", "0001", "00000001", "7" * 30]))
    cmd = draw(st.sampled_from(["RD", "RCC", "WD", "WCC"]))
    width = 5 if cmd in ("RD", "WD") else 4
    first, last = draw(st.integers(0, 10 ** width - 1)), draw(st.integers(0, 10 ** width - 1))
    area = "D" if width == 5 else "R"
    values = "".join("%04X" % v for v in draw(st.lists(st.integers(0, 0xFFFF), max_size=8)))
    return head + "#" + cmd + area + "%0*d%0*d" % (width, first, width, last) + values + "**\r"


def _served(frame, own):
    station = Memory(station=own)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        outcome = _outcome(station.process_request, frame)
    return outcome, station.calls, printed.getvalue()


@given(frame=st.one_of(texts, damaged_requests(), read_ranges()), own=st.sampled_from([0, 1, 0x1F]))
def test_station_core_path_and_path_through_the_class_agree(frame, own):
    """The same request handled by the core's decoding and by calls through a codec class that
    only inherits: same answer or exception (type and text), same hook calls, same output."""
    core = _served(frame, own)

    class Inherited(ozu_mew.MewStatic):
        pass

    with pytest.MonkeyPatch.context() as m:
        m.setattr(ozu_mew, "MewStatic", Inherited)
        through_class = _served(frame, own)
    assert core == through_class
