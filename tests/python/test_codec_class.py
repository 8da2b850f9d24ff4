"""MewStatic operations call one another through the module's MewStatic; fast and generic paths agree."""
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import codec_helpers as ref
import ozu_mew
from ozu_mew import MewStatic as M

CHARS = list("%#$!*\r0123456789abcdefABCDEFGRWDCSTX _-+") + ["é", "Ā", "€", "😀", "١", "\ud800"]
frames = st.text(alphabet=st.sampled_from(CHARS), max_size=24)
fast_settings = settings(max_examples=300, deadline=None)


def test_replaced_block_check_reaches_every_user(monkeypatch):
    monkeypatch.setattr(M, "calc_crc", lambda data, init=0: 0xAB)
    assert M.calc_tail("x") == "AB\r"
    assert M.append_tail("%01#RCSR0012") == "%01#RCSR0012AB\r"
    assert M.crc_is_ok("%01#RCSR0012AB\r") is True
    assert RCS_FRAME() == "%01#RCSR0012AB\r"


def RCS_FRAME():
    return M.fill_read_single_point_of_contact_message(1, "R12")


def test_replaced_station_end_reaches_every_user(monkeypatch):
    monkeypatch.setattr(M, "find_station_end", staticmethod(lambda data: 2))
    frame = "%1A$RC1"
    assert M.command_start_position(frame) == 3
    assert M.frame_type(frame) == "A"
    assert M.parse_station(frame) == 1
    assert M.parse_command("%01RDX") == "RD"
    assert M.header_matched("%1#", "%1$") is True
    monkeypatch.setattr(M, "find_station_end", lambda data: 2.0)
    with pytest.raises(TypeError, match="^Expected int, got float$"):
        M.command_start_position(frame)


def test_replaced_writers_reach_the_composed_operations(monkeypatch):
    monkeypatch.setattr(M, "fill_uint16", lambda data, value: data + "<%d>" % value)
    assert M.fill_uint32("", 0x12345678) == "<22136><4660>"
    assert M.fill_int16("", -2) == "<65534>"
    assert M.fill_write_single_data_message(1, "D1", 7) == M.append_tail("%01#WDD0000100001<7>")
    monkeypatch.setattr(M, "fill_header", lambda station, cmd: "[%s]" % cmd)
    assert M.fill_read_data_area_message(1, "D1", 1) == M.append_tail("[RD]D0000100001")
    monkeypatch.setattr(M, "fill_uint16", lambda data, value: 5)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        M.fill_uint32("", 1)


def test_single_register_write_goes_through_the_area_write(monkeypatch):
    seen = []
    monkeypatch.setattr(M, "fill_write_data_area_message", lambda *args: seen.append(args) or "frame")
    assert M.fill_write_single_data_message(3, "DT7", 9) == "frame"
    assert seen == [(3, "DT7", [9])]


def test_replaced_constants_are_used(monkeypatch):
    monkeypatch.setattr(M, "HEX_DIGITS", "0123456789abcdef")
    assert M.calc_tail("%01#RCSX0000") == "1d\r"
    monkeypatch.setattr(M, "QUERY", "?")
    assert M.fill_header(1, "RD") == "%01?RD"
    monkeypatch.setattr(M, "CMD_UNKNOWN", "??")
    assert M.parse_command("%01#XYZ") == "??"


@pytest.mark.parametrize("frame", ["", "\r"])
def test_short_frame_fails_on_its_check_field_before_the_marker_is_looked_up(monkeypatch, frame):
    class Bare:  # the module's MewStatic without any member
        pass

    monkeypatch.setattr(ozu_mew, "MewStatic", Bare)
    with pytest.raises(IndexError, match="^string index out of range$"):
        M.crc_is_ok(frame)
    with pytest.raises(AttributeError):
        M.crc_is_ok("%01#RCSX0000**\r")


def test_replaced_module_class_is_used(monkeypatch):
    class Other(M):
        @staticmethod
        def calc_crc(data, init=0):
            return 0x3C

    monkeypatch.setattr(ozu_mew, "MewStatic", Other)
    assert M.calc_tail("anything") == "3C\r"
    monkeypatch.undo()
    assert M.calc_tail("%01#RCSX0000") == "1D\r"


def test_subclass_and_instance():
    class Mine(M):
        @staticmethod
        def calc_crc(data, init=0):
            return 0

    assert Mine.calc_tail("%01#RCSX0000") == "1D\r"
    assert Mine().append_tail("%01#RCSX0000") == "%01#RCSX00001D\r"
    assert M().fill_header(1, "RD") == "%01#RD"
    assert M().calc_crc("%01#RCSR0012") == 0x14


def test_restored_class_behaves_as_built(monkeypatch):
    with monkeypatch.context() as m:
        m.setattr(M, "calc_crc", lambda data, init=0: 0)
        assert M.calc_tail("x") == "00\r"
    assert M.calc_tail("%01#RCSX0000") == "1D\r"
    assert M.crc_is_ok("%01#RCSX00001E\r") is False


FRAME_OPS = [
    ("calc_crc", ref.calc_crc), ("crc_is_ok", ref.crc_is_ok), ("calc_tail", ref.calc_tail),
    ("find_station_end", ref.find_station_end), ("parse_command", ref.parse_command),
    ("frame_type", ref.frame_type), ("parse_station", ref.parse_station),
    ("parse_contact_address", ref.parse_contact_address), ("parse_uint16", ref.parse_uint16),
    ("parse_uint32", ref.parse_uint32),
]


@pytest.mark.parametrize("generic", [False, True], ids=["fast", "generic"])
@pytest.mark.parametrize("name, reference", FRAME_OPS, ids=[n for n, _ in FRAME_OPS])
def test_frame_operations_match_reference(monkeypatch, generic, name, reference):
    op = getattr(M, name)

    @fast_settings
    @given(frames)
    def check(text):
        assert ref.outcome(op, text) == ref.outcome(reference, text)

    if generic:
        with ref.slow_path(monkeypatch):
            check()
    else:
        check()


@pytest.mark.parametrize("generic", [False, True], ids=["fast", "generic"])
def test_header_matched_and_read_request_match_reference(monkeypatch, generic):
    @fast_settings
    @given(frames, frames, st.sampled_from(["D", "DT", "L", "é"]), st.text("0123456789x", max_size=7),
           st.integers(-3, 100002), st.integers(-2, 5000))
    def check(tx, rx, area, number, count, station):
        assert ref.outcome(M.header_matched, tx, rx) == ref.outcome(ref.header_matched, tx, rx)
        got = ref.outcome(M.fill_read_data_area_message, station, area + number, count)
        assert got == ref.outcome(ref.fill_read_data_area_message, station, area + number, count)

    if generic:
        with ref.slow_path(monkeypatch):
            check()
    else:
        check()


@pytest.mark.parametrize("generic", [False, True], ids=["fast", "generic"])
def test_value_writers_match_reference_and_round_trip(monkeypatch, generic):
    @fast_settings
    @given(st.text(alphabet=st.sampled_from(CHARS[:-1]), max_size=6), st.integers(-(1 << 33), 1 << 33))
    def check(prefix, value):
        for name in ["fill_uint16", "fill_int16", "fill_uint32"]:
            assert ref.outcome(getattr(M, name), prefix, value) == ref.outcome(getattr(ref, name), prefix, value)
        if 0 <= value <= 0xFFFFFFFF:
            assert M.parse_uint32(M.fill_uint32(prefix, value)[len(prefix):]) == value
        if -(1 << 31) <= value < (1 << 31):
            assert M.parse_int32(M.fill_int32("", value)) == value

    if generic:
        with ref.slow_path(monkeypatch):
            check()
    else:
        check()


def test_assertions_skipped_under_O():
    script = textwrap.dedent(r"""
        import ozu_mew
        M = ozu_mew.MewStatic
        def show(f):
            try:
                print(repr(f()))
            except Exception as e:
                print(type(e).__name__, e)
        show(lambda: M.fill_uint16("", -1))
        show(lambda: M.fill_uint32("", -1))
        show(lambda: M.fill_uint16("", -(1 << 80)))
        show(lambda: M.fill_read_word_unit_of_contact_message(1, "WR10"))
        show(lambda: M.fill_read_word_unit_of_contact_message(1, "WR10", "WX99", 2))
        show(lambda: M.fill_read_word_unit_of_contact_message(1, "WR1", "W$2"))
        show(lambda: M.fill_read_word_unit_of_contact_message(1, "XR10", word_count=0))
        show(lambda: M.fill_read_data_area_message(1, "D100", 0))
        show(lambda: M.fill_read_data_area_message(1, "D0", 0))
        show(lambda: M.fill_write_word_unit_of_contact_message(1, "WR0", []))
    """)
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=30, check=True)
    assert out.stdout.splitlines() == [
        "'FF-1'",
        "'FFFFFF-1'",
        repr("00-" + format(1 << 72, "X")),
        "TypeError 'NoneType' object is not subscriptable",
        repr(ozu_mew_rcc("R00100011")),
        "ValueError contact_end: name must not hold control, non-ASCII or frame characters "
        "('%', '#', '$', '!', '*'): 'W$2'",
        repr(ozu_mew_rcc("R00100009")),
        repr(M.append_tail("%01#RDD0010000099")),
        "ValueError reg_count: last register number -1 out of range for a five-digit field (0..99999)",
        "ValueError values: last word number -1 out of range for a four-digit field (0..9999)",
    ]


def ozu_mew_rcc(fields):
    return M.append_tail("%01#RCC" + fields)
