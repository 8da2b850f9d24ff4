"""A call that gives every parameter by position binds directly; any other way of passing the same
arguments goes through the general binder. Both must give the same result and the same errors."""
import inspect
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import codec_helpers as ref
import ozu_mew
from ozu_mew import MewStatic as M

OPERATIONS = [name for name, member in vars(M).items() if isinstance(member, staticmethod)]

# Right and wrong types for every kind of parameter, so that the type checks fail in every order.
VALUES = st.sampled_from([
    "%01#RCSR001214\r", "%01$RC120\r", "%100#WD", "%01**\r", "3412", "78563412", "010A", "00100", "",
    "R12", "WR10", "DT100", "D1", "RD", "é", 0, 1, 7, 0x1234, 0xFFFF, 70000, -1, -(1 << 70), True, False,
    None, 1.5, b"3412", [1, 2], (1,),
])


def parameters(op):
    return list(inspect.signature(op).parameters)


def by_name(op, names, values):
    return lambda: op(**dict(zip(names, values)))


def positional_then_names(op, names, values):
    return lambda: op(values[0], **dict(zip(names[1:], values[1:])))


@pytest.mark.parametrize("name", OPERATIONS)
def test_positional_call_matches_keyword_call(name):
    op = getattr(M, name)
    names = parameters(op)

    @settings(max_examples=150, deadline=None)
    @given(st.lists(VALUES, min_size=len(names), max_size=len(names)))
    def check(values):
        direct = ref.outcome(op, *values)
        assert direct == ref.outcome(by_name(op, names, values))
        assert direct == ref.outcome(positional_then_names(op, names, values))
        assert direct == ref.outcome(getattr(M(), name), *values)

    check()


@pytest.mark.parametrize("call, text", [
    (lambda: M.fill_header(True, b"RD"), "Argument 'station' has incorrect type (expected int, got bool)"),
    (lambda: M.fill_header(1, b"RD"), "Argument 'cmd' has incorrect type (expected str, got bytes)"),
    (lambda: M.fill_uint16(None, "x"), "Argument 'data' has incorrect type (expected str, got NoneType)"),
    (lambda: M.find_station_end(1.0), "Argument 'data' has incorrect type (expected str, got float)"),
    (lambda: M.parse_uint16(["3412"]), "Argument 'data' has incorrect type (expected str, got list)"),
    (lambda: M.fill_read_word_unit_of_contact_message(1, "WR10", None, None.__class__),
     "Argument 'word_count' has incorrect type (expected int, got type)"),
    (lambda: M.fill_read_word_unit_of_contact_message(1, "WR10", 5, None),
     "Argument 'contact_end' has incorrect type (expected str, got int)"),
    (lambda: M.fill_write_single_data_message(1, "D1", False),
     "Argument 'value' has incorrect type (expected int, got bool)"),
    (lambda: M.calc_crc("a", "b", "c"), "calc_crc() takes at most 2 positional arguments (3 given)"),
    (lambda: M.fill_uint16("a"), "fill_uint16() takes exactly 2 positional arguments (1 given)"),
    (lambda: M.fill_uint16("a", 1, data="b"), "fill_uint16() got multiple values for keyword argument 'data'"),
    (lambda: M.fill_uint16("a", 1, **{}), None),
    (lambda: M.parse_uint16("3412", frame="x"), "parse_uint16() got an unexpected keyword argument 'frame'"),
])
def test_full_positional_calls_keep_every_argument_error(call, text):
    if text is None:
        assert call() == "a0100"
        return
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_none_default_passes_by_position_as_by_name():
    op = M.fill_read_word_unit_of_contact_message
    expected = M.append_tail("%01#RCCR00100011")
    assert op(1, "WR10", None, 2) == op(1, "WR10", word_count=2) == expected
    assert M.calc_crc("%01#RCSR0012", 0) == M.calc_crc("%01#RCSR0012") == M.calc_crc(data="%01#RCSR0012") == 0x14


def test_written_text_equals_and_hashes_as_python_text():
    # A string stored wider than its characters need compares unequal to the same text built by Python.
    for data in ["", "%01#WDD", "é", "€", "😀"]:
        for value in [0, 1, 0x1234, 0xFFFF, True]:
            out = M.fill_uint16(data, value)
            expected = ref.fill_uint16(data, value)
            assert type(out) is str and out == expected and hash(out) == hash(expected)
    for cmd in ["RD", "", "é", "€", "😀"]:
        assert M.fill_header(0x1000, cmd) == "%1000#" + cmd


class Renamed(M):
    TAIL = "#"
    QUERY = "?"


def through_class():
    return M.find_station_end("%01#RD"), M.fill_header(1, "RD")


AS_BUILT = (3, "%01#RD")
RENAMED = (-1, "%01?RD")


def test_every_way_of_rebinding_the_module_class_is_seen_by_the_next_call(monkeypatch):
    namespace = vars(ozu_mew)
    assert through_class() == AS_BUILT  # the operations have now found the class as built
    monkeypatch.setattr(ozu_mew, "MewStatic", Renamed)
    assert through_class() == RENAMED
    monkeypatch.undo()
    assert through_class() == AS_BUILT
    namespace.update(MewStatic=Renamed)
    assert through_class() == RENAMED
    namespace["MewStatic"] = M
    assert through_class() == AS_BUILT
    exec("global MewStatic\nMewStatic = Renamed", namespace, {"Renamed": Renamed})
    try:
        assert through_class() == RENAMED
    finally:
        namespace["MewStatic"] = M
    assert through_class() == AS_BUILT


def test_unrelated_names_leave_the_class_in_use(monkeypatch):
    assert through_class() == AS_BUILT
    monkeypatch.setattr(ozu_mew, "_err", None)
    monkeypatch.setattr(ozu_mew, "new_name", 1, raising=False)
    assert through_class() == AS_BUILT


def test_removed_module_class_fails_as_a_missing_global():
    # In a fresh interpreter: removing and putting back the name would reorder this one's namespace.
    script = textwrap.dedent("""
        import ozu_mew
        M = ozu_mew.MewStatic
        assert M.find_station_end("%01#") == 3 and M.fill_header(1, "RD") == "%01#RD"
        del ozu_mew.MewStatic
        for call in (lambda: M.find_station_end("%01#"), lambda: M.fill_header(1, "RD")):
            try:
                call()
            except NameError as e:
                print(e)
        ozu_mew.MewStatic = M
        print(M.find_station_end("%01#"), M.fill_header(1, "RD"))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=True)
    assert out.stdout.splitlines() == ["name 'MewStatic' is not defined"] * 2 + ["3 %01#RD"]


def test_changed_class_after_the_name_was_kept(monkeypatch):
    assert through_class() == AS_BUILT
    monkeypatch.setattr(M, "QUERY", "?")
    monkeypatch.setattr(M, "TAIL", "#")
    assert through_class() == RENAMED
    monkeypatch.undo()
    assert through_class() == AS_BUILT


@pytest.mark.parametrize("number", [0, 1, 255, 0xFFFF, (1 << 30) - 1, 1 << 30, (1 << 63) - 1, 1 << 63, 1 << 64, 1 << 100])
def test_small_and_large_integers_read_alike(number):
    # Small ints are read from the host's compact form, others through the general conversion.
    assert M.fill_header(number, "RD") == "%%%02X#RD" % number
    assert ref.outcome(M.fill_uint16, "", number) == ref.outcome(ref.fill_uint16, "", number)
    assert ref.outcome(M.fill_uint16, "", -number - 1) == (AssertionError, "")
    with pytest.raises(ValueError, match="^station must not be negative: %d$" % (-number - 1)):
        M.fill_header(-number - 1, "RD")
