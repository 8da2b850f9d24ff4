"""MewStatic request builders."""
import pytest

from ozu_mew import MewStatic as M

RCS = M.fill_read_single_point_of_contact_message
WCS = M.fill_write_single_point_of_contact_message
RCC = M.fill_read_word_unit_of_contact_message
WCC = M.fill_write_word_unit_of_contact_message
RD = M.fill_read_data_area_message
WD = M.fill_write_data_area_message
WD1 = M.fill_write_single_data_message


@pytest.mark.parametrize("call, frame", [
    (lambda: RCS(1, "R12"), "%01#RCSR001214\r"),
    (lambda: RCS(1, "R0012"), "%01#RCSR001214\r"),
    (lambda: RCS(1, "X"), M.append_tail("%01#RCSX0000")),
    (lambda: RCS(10, "X10A"), M.append_tail("%0A#RCSX010A")),
    (lambda: RCS(256, "R1"), M.append_tail("%100#RCSR0001")),
    (lambda: WCS(1, "R12", True), "%01#WCSR0012120\r"),
    (lambda: WCS(1, "R12", False), "%01#WCSR0012021\r"),
    (lambda: WCS(1, "R12", [0]), "%01#WCSR0012120\r"),
    (lambda: WCS(1, "R12", None), "%01#WCSR0012021\r"),
    (lambda: RCC(1, "WR10", word_count=2), "%01#RCCR0010001106\r"),
    (lambda: RCC(1, "WR10", "WR11"), "%01#RCCR0010001106\r"),
    (lambda: RCC(1, "WR10", word_count=1), M.append_tail("%01#RCCR00100010")),
    (lambda: RCC(1, "WR0010", word_count=1), M.append_tail("%01#RCCR00100010")),
    (lambda: WCC(1, "WR10", [0x1234, 0]), "%01#WCCR001000113412000007\r"),
    (lambda: WCC(1, "WR10", (0x1234, True)), M.append_tail("%01#WCCR0010001134120100")),
    (lambda: RD(1, "DT100", 3), "%01#RDD001000010257\r"),
    (lambda: RD(1, "D100", 3), "%01#RDD001000010257\r"),
    (lambda: RD(1, "LD5", 2), M.append_tail("%01#RDL0000500006")),
    (lambda: RD(1, "D99999", 1), M.append_tail("%01#RDD9999999999")),
    (lambda: WD(1, "DT100", [0x1234, 0x5678]), "%01#WDD00100001013412785659\r"),
    (lambda: WD1(1, "D100", 0x1234), "%01#WDD0010000100341254\r"),
    (lambda: RD(1 << 70, "D1", 1), M.append_tail("%400000000000000000#RDD0000100001")),
])
def test_frames(call, frame):
    assert call() == frame


@pytest.mark.parametrize("call", [
    lambda: RCC(1, "WX11", "WR10"),
    lambda: RCC(1, "WR10", "WR9"),
    lambda: RCC(1, "WR10", word_count=0),
    lambda: RCC(1, "WR10", "WR11", 2),
    lambda: RCC(1, "WR10"),
    lambda: RCC(1, "R10", word_count=1),
    lambda: WCC(1, "R10", [1]),
    lambda: WCC(1, "WR10", []),
    lambda: RD(1, "D100", 0),
    lambda: WD(1, "D100", []),
    lambda: WCC(1, "WR10", [1, -1]),
])
def test_assertions(call):
    with pytest.raises(AssertionError) as info:
        call()
    assert info.value.args == ()


@pytest.mark.parametrize("call, exc, text", [
    (lambda: RCS(1, ""), IndexError, "string index out of range"),
    (lambda: RD(1, "D", 1), IndexError, "string index out of range"),
    (lambda: RD(1, "DT", 1), ValueError, "invalid literal for int() with base 10: ''"),
    (lambda: RD(1, "D1_0", 1), ValueError, "invalid literal for int() with base 10: '1_0'"),
    (lambda: RD(1, "D١٢", 1), ValueError, "reg_start: name must not hold control, non-ASCII or frame characters "
                                            "('%', '#', '$', '!', '*'): 'D١٢'"),
    (lambda: RCC(1, "WR", word_count=1), ValueError, "invalid literal for int() with base 10: ''"),
    (lambda: RCC(1, "W", "WR1"), IndexError, "string index out of range"),
    (lambda: WCC(1, "WR10", [1, "x"]), TypeError, "'>=' not supported between instances of 'str' and 'int'"),
    (lambda: WCC(1, "WR10", 5), TypeError, "object of type 'int' has no len()"),
    (lambda: WCC(1, "WR10", [0x10000]), ValueError, "value 65536 out of range for a 16-bit field (0..65535)"),
    (lambda: RD(-1, "D1", 1), ValueError, "station must not be negative: -1"),
])
def test_failures(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("arg, call, name", [
    ("contact", lambda n: RCS(1, n), "R\r1"),
    ("contact", lambda n: WCS(1, n, True), "R1%01#WCSR00011"),
    ("contact_start", lambda n: RCC(1, n, word_count=1), "W$1"),
    ("contact_start", lambda n: WCC(1, n, [1]), "WR1!"),
    ("reg_start", lambda n: RD(1, n, 1), "D1\n"),
    ("reg_start", lambda n: WD(1, n, [1]), "D1#"),
    ("reg", lambda n: WD1(1, n, 1), "Dé1"),
    ("reg", lambda n: WD1(1, n, 1), "D1\x7f"),
])
def test_names_with_frame_characters_are_refused(arg, call, name):
    with pytest.raises(ValueError) as info:
        call(name)
    assert str(info.value) == ("%s: name must not hold control, non-ASCII or frame characters "
                               "('%%', '#', '$', '!', '*'): %r" % (arg, name))


@pytest.mark.parametrize("call, text", [
    (lambda: RCS(1, "R00012"), "contact: address must not be longer than four characters: 'R00012'"),
    (lambda: RCC(1, "WR00010", word_count=1), "contact_start: word number must not be longer than four digits: 'WR00010'"),
    (lambda: RCC(1, "WR1", "WR00011"), "contact_end: word number must not be longer than four digits: 'WR00011'"),
    (lambda: RCC(1, "WR9999", word_count=2), "word_count: last word number 10000 out of range for a four-digit field (0..9999)"),
    (lambda: WCC(1, "WR9999", [1, 2]), "values: last word number 10000 out of range for a four-digit field (0..9999)"),
    (lambda: RD(1, "D100000", 1), "reg_start: register number 100000 out of range for a five-digit field (0..99999)"),
    (lambda: RD(1, "D" + "9" * 30, 1), "reg_start: register number %s out of range for a five-digit field (0..99999)" % ("9" * 30)),
    (lambda: RD(1, "D99999", 2), "reg_count: last register number 100000 out of range for a five-digit field (0..99999)"),
    (lambda: RD(1, "D1", 1 << 70), "reg_count: last register number %d out of range for a five-digit field (0..99999)" % (1 << 70)),
    (lambda: WD(1, "D99999", [1, 2]), "values: last register number 100000 out of range for a five-digit field (0..99999)"),
    (lambda: WD1(1, "DT100000", 1), "reg: register number 100000 out of range for a five-digit field (0..99999)"),
])
def test_fields_too_wide_are_refused(call, text):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == text


def test_name_check_comes_after_the_assertions():
    with pytest.raises(AssertionError):
        RCC(1, "R\r", word_count=1)
    with pytest.raises(AssertionError):
        RD(1, "D\r", 0)
    with pytest.raises(ValueError, match="^invalid literal for int"):
        RCC(1, "WR1$", word_count=1)  # the count is computed (and read) by the assertions' step
