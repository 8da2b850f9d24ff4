"""MewSlaveBase.process_request: frame checks, station rules, decoding, answers and hook contracts."""
import pytest

import ozu_mew
from slave_helpers import RecordingSlave, with_check


@pytest.fixture(autouse=True, params=["core", "through the class"])
def codec_path(request, monkeypatch):
    """Every test runs with the module's own codec class and with a replacement that behaves the
    same, so that both ways of decoding give the same results and exceptions."""
    if request.param != "core":
        class Replacement(ozu_mew.MewStatic):
            pass

        monkeypatch.setattr(ozu_mew, "MewStatic", Replacement)


def slave(station=1, **attrs):
    s = RecordingSlave(station)
    for k, v in attrs.items():
        setattr(s, k, v)
    return s


@pytest.mark.parametrize(
    "request_frame, attrs, answer, calls",
    [
        ("%01#RCSR0012**\r", {"coil": True}, "%01$RC120\r", [("on_get_coil", 1, "R0012")]),
        ("%01#WCSR00121**\r", {}, "%01$WC14\r", [("on_set_coil", 1, "R0012", True)]),
        ("%01#RCCR00100010**\r", {"words": [0x1234]}, "%01$RC341215\r",
         [("on_get_multi_coil_uint16", 1, "R0010", 1)]),
        ("%01#RDD0010000101**\r", {"words": [1, 255]}, "%01$RD0100FF0017\r",
         [("on_get_multi_uint16", 1, "D00100", 2)]),
        ("%01#XYZ**\r", {}, "%01!0306\r", []),
        ("%02#RCSR0012**\r", {}, "", []),
        # Writes of words, values decoded low byte first, trailing characters ignored.
        ("%01#WCCR001000113412FFFFBEEF**\r", {}, with_check("%01$WC"),
         [("on_set_multi_coil_uint16", 1, "R0010", [0x1234, 0xFFFF])]),
        ("%01#WDD0010000102010002000300**\r", {}, with_check("%01$WD"),
         [("on_set_multi_uint16", 1, "D00100", [1, 2, 3])]),
    ],
)
def test_worked_answers(request_frame, attrs, answer, calls):
    s = slave(1, **attrs)
    assert s.process_request(request_frame) == answer
    assert s.calls == calls


def test_answer_check_is_computed_whatever_the_request_carried():
    s = slave(1)
    assert s.process_request(with_check("%01#RCSR0012")) == "%01$RC120\r"
    assert s.process_request("%01#RCSX00001d\r") == "%01$RC120\r"
    assert s.process_request("%01#RDD0010000101**\r") == with_check("%01$RD3412")


@pytest.mark.parametrize(
    "frame",
    # The last one has eight characters: its check field (not hexadecimal) is never examined.
    ["", "%01#RCS\r", "%01#RC**\r"[:8], "X01#RCSR0012**\r", "%01#RCSR001215\r", "%01#RCSR0012*4\r",
     "%01#RCSR00121*\r", "%01#XYZ\r"],
)
def test_invalid_frames_are_reported_on_stdout(capsys, frame):
    s = slave(1)
    assert s.process_request(frame) == ""
    out, err = capsys.readouterr()
    assert out == "Invalid MEW frame: %s\n" % frame
    assert err == ""
    assert s.calls == []


@pytest.mark.parametrize(
    "frame, error, text",
    [
        ("%01#RCSR0012G1\r", ValueError, "invalid literal for int() with base 16: 'G1'"),
        ("%ZZ#RCSR0012**\r", ValueError, "invalid literal for int() with base 16: 'ZZ'"),
        ("%#RCSR00120**\r", ValueError, "invalid literal for int() with base 16: ''"),
        # Nine characters are examined: the empty end register of RD is read first.
        ("%01#RD**\r", ValueError, "invalid literal for int() with base 10: ''"),
        ("%01#RDD00100001X1**\r", ValueError, "invalid literal for int() with base 10: '001X1'"),
        ("%01#RCCR0010001X**\r", ValueError, "invalid literal for int() with base 10: '001X'"),
        ("%01#RCCR001X0010**\r", ValueError, "invalid literal for int() with base 10: '001X'"),
        ("%01#WDD0010000101341**\r", ValueError, "invalid literal for int() with base 16: '1*'"),
        ("%01#WDD00100001013412**\r", ValueError, "invalid literal for int() with base 16: '**'"),
        ("%01#WCSR0**\r", IndexError, "string index out of range"),
    ],
)
def test_decoding_failures_pass_unchanged(capsys, frame, error, text):
    with pytest.raises(error) as info:
        slave(1).process_request(frame)
    assert str(info.value) == text
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "own, frame, head, station",
    [
        (31, "%1f#RCSR0000**\r", "%1f", 31),
        (1, "%001#RCSR0000**\r", "%001", 1),
        (256, "%100#RCSR0000**\r", "%100", 256),
        (0, "%05#RCSR0000**\r", "%05", 5),
        (0, "%7F3#RCSR0000**\r", "%7F3", 0x7F3),
        (9, "%00#RCSR0000**\r", "%00", 0),
        (0, "%00#RCSR0000**\r", "%00", 0),
    ],
)
def test_station_rules_and_head_copied_as_received(own, frame, head, station):
    s = slave(own, coil=0)
    assert s.process_request(frame) == with_check(head + "$RC0")
    assert s.calls == [("on_get_coil", station, "R0000")]


@pytest.mark.parametrize("own, station, expected", [(1, 2, True), (1, 1, False), (1, 0, False),
                                                    (0, 5, False), (0, 0, False), (7, 70, True)])
def test_not_for_this_station(own, station, expected):
    assert slave(own).not_for_this_station(station) is expected


def test_request_for_another_station_is_silent(capsys):
    s = slave(3)
    assert s.process_request("%04#WCSR00121**\r") == ""
    assert s.calls == []
    assert capsys.readouterr() == ("", "")


def test_station_may_be_reassigned():
    s = slave(1)
    s.station = 2
    assert s.process_request("%01#RCSR0012**\r") == ""
    assert s.process_request("%02#RCSR0012**\r") == with_check("%02$RC1")


@pytest.mark.parametrize("result, data", [(None, "0"), (0, "0"), ("", "0"), ([], "0"), (False, "0"),
                                          (1, "1"), ("x", "1"), ([0], "1"), (True, "1")])
def test_coil_answer_is_the_truth_of_the_hook_result(result, data):
    assert slave(1, coil=result).process_request("%01#RCSR0012**\r") == with_check("%01$RC" + data)


@pytest.mark.parametrize(
    "words, data",
    [
        ((1, 2), "01000200"),
        ([], ""),
        (lambda count: (w for w in [0xABCD, 0]), "CDAB0000"),
        (lambda count: list(range(count + 2)), "00000100020003000400050006000700"),
        (lambda count: iter([True, 65535]), "0100FFFF"),
    ],
)
@pytest.mark.parametrize("command, code", [("RDD0010000105", "RD"), ("RCCR00100015", "RC")])
def test_read_answers_carry_exactly_the_words_returned(words, data, command, code):
    s = slave(1, words=words)
    assert s.process_request("%01#" + command + "**\r") == with_check("%01$" + code + data)
    assert s.calls[0][3] == 6


@pytest.mark.parametrize("command, hook, name", [("RDD0010500100", "on_get_multi_uint16", "D00105"),
                                                 ("RCCR00150010", "on_get_multi_coil_uint16", "R0015")])
def test_read_count_is_not_validated(command, hook, name):
    s = slave(1, words=[])
    assert s.process_request("%01#" + command + "**\r") == with_check("%01$" + command[:2])
    assert s.calls == [(hook, 1, name, -4)]


@pytest.mark.parametrize("command, hook, name", [("WDD0010500100", "on_set_multi_uint16", "D00105"),
                                                 ("WCCR00150010", "on_set_multi_coil_uint16", "R0015"),
                                                 ("WDD0010000099", "on_set_multi_uint16", "D00100")])
def test_write_with_end_before_start_passes_an_empty_list(command, hook, name):
    s = slave(1)
    assert s.process_request("%01#" + command + "**\r") == with_check("%01$" + command[:2])
    assert s.calls == [(hook, 1, name, [])]


@pytest.mark.parametrize("char, value", [("0", False), ("1", True), ("A", True), ("*", True)])
def test_single_contact_write_value(char, value):
    s = slave(1)
    s.process_request("%01#WCSX001F" + char + "**\r")
    assert s.calls == [("on_set_coil", 1, "X001F", value)]


@pytest.mark.parametrize("word", [65536, -1, 2**70, -(2**70)])
def test_read_word_outside_sixteen_bits_is_refused(word):
    with pytest.raises(ValueError) as info:
        slave(1, words=[1, word]).process_request("%01#RDD0010000101**\r")
    assert str(word) in str(info.value)


@pytest.mark.parametrize("result, message", [
    (None, "'NoneType' object is not iterable"),
    (5, "'int' object is not iterable"),
    (["1"], "unsupported operand type(s) for &: 'str' and 'int'"),
    ([1.0], "unsupported operand type(s) for &: 'float' and 'int'"),
])
def test_read_result_that_is_not_integers_raises_type_error(result, message):
    with pytest.raises(TypeError) as info:
        slave(1, words=result).process_request("%01#RCCR00100010**\r")
    assert str(info.value) == message


class Refusal(Exception):
    pass


@pytest.mark.parametrize("exc", [ozu_mew.MewSlaveNoFeedback(), Refusal("no"), KeyboardInterrupt()])
def test_hook_exceptions_pass_unchanged(capsys, exc):
    class Raising(RecordingSlave):
        def on_set_coil(self, station, name, value):
            raise exc

    with pytest.raises(type(exc)) as info:
        Raising(1).process_request("%01#WCSR00121**\r")
    assert info.value is exc
    assert capsys.readouterr() == ("", "")


def test_members_are_looked_up_on_the_object_at_each_use(capsys):
    s = slave(1)
    seen = []
    s.process_invalid_frame = lambda frame: seen.append(("invalid", frame))
    s.not_for_this_station = lambda station: seen.append(("station", station)) or station == 5
    s.on_get_coil = lambda station, name: "yes"
    assert s.process_request("%01#RCS") == ""
    assert s.process_request("%05#RCSR0012**\r") == ""
    assert s.process_request("%01#RCSR0012**\r") == "%01$RC120\r"
    assert seen == [("invalid", "%01#RCS"), ("station", 5), ("station", 1)]
    assert capsys.readouterr().out == ""


def test_frame_without_type_character_is_answered_with_the_whole_head():
    frame = with_check("%012345")
    answer = slave(0).process_request(frame)
    assert answer == with_check(frame[:-1] + "!03")


def test_answer_and_error_frames_are_parsed_like_commands():
    s = slave(1)
    assert s.process_request("%01$RCSR0012**\r") == "%01$RC120\r"
    assert s.process_request("%01!RC**\r") == with_check("%01!03")


def test_process_invalid_frame_prints_repr_free_text(capsys):
    s = slave(1)
    s.process_invalid_frame(("a", 1))
    s.process_invalid_frame(None)
    assert capsys.readouterr().out == "Invalid MEW frame: ('a', 1)\nInvalid MEW frame: None\n"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.process_request(b"%01#"), "Argument 'command' has incorrect type (expected str, got bytes)"),
        (lambda s: s.process_request(None), "Argument 'command' has incorrect type (expected str, got NoneType)"),
        (lambda s: s.process_request(), "process_request() takes exactly 2 positional arguments (1 given)"),
        (lambda s: ozu_mew.MewSlaveBase.on_get_coil(s, True, "R0000"),
         "Argument 'station' has incorrect type (expected int, got bool)"),
        (lambda s: ozu_mew.MewSlaveBase.on_get_multi_uint16(s, 1, "D00000", 1.0),
         "Argument 'count' has incorrect type (expected int, got float)"),
        (lambda s: ozu_mew.MewSlaveBase.on_set_multi_uint16(s, 1, "D00000", (1, 2)),
         "Argument 'values' has incorrect type (expected list, got tuple)"),
        (lambda s: ozu_mew.MewSlaveBase.on_set_multi_coil_uint16(s, 1, b"R", [1]),
         "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda s: RecordingSlave("1"), "Argument 'station' has incorrect type (expected int, got str)"),
    ],
)
def test_declared_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call(slave(1))
    assert str(info.value) == message


def test_base_read_hook_result_makes_process_request_fail():
    class Lazy(RecordingSlave):
        on_get_multi_uint16 = ozu_mew.MewSlaveBase.on_get_multi_uint16

    with pytest.raises(TypeError):
        Lazy(1).process_request("%01#RDD0010000100**\r")


def test_all_six_hooks_are_abstract():
    hooks = {"on_get_coil", "on_get_multi_coil_uint16", "on_get_multi_uint16", "on_set_coil",
             "on_set_multi_coil_uint16", "on_set_multi_uint16"}
    assert ozu_mew.MewSlaveBase.__abstractmethods__ == frozenset(hooks)
    for missing in hooks:
        namespace = {h: (lambda self, *a: None) for h in hooks - {missing}}
        with pytest.raises(TypeError):
            type("Partial", (ozu_mew.MewSlaveBase,), namespace)(1)


def test_no_feedback_exception():
    assert ozu_mew.MewSlaveNoFeedback.__bases__ == (Exception,)
    assert ozu_mew.MewSlaveNoFeedback.__doc__ == (
        "\n\t在 MewSlaveBase 的各子类中的 “on_”函数里，如果抛出此类异常，表示不需要回复。\n\t")


def test_replaced_codec_operations_take_effect(monkeypatch):
    class Doubling(ozu_mew.MewStatic):
        @staticmethod
        def parse_uint16(data):
            return 2 * int(data[2:4] + data[0:2], 16)

        @staticmethod
        def calc_tail(data):
            return "**\r"

    monkeypatch.setattr(ozu_mew, "MewStatic", Doubling)
    s = slave(1)
    assert s.process_request("%01#WDD00100001010100FF00**\r") == "%01$WD**\r"
    assert s.calls == [("on_set_multi_uint16", 1, "D00100", [2, 510])]


@pytest.mark.parametrize("name", ["\u20ac0012", "\U0001f6000012", "\xe90012"])
def test_names_beyond_ascii_are_passed_as_received(name):
    s = slave(1, coil=True)
    assert s.process_request("%01#RCS" + name + "**\r") == "%01$RC120\r"
    assert s.process_request(with_check("%01#WCS" + name + "1")) == "%01$WC14\r"
    assert s.calls == [("on_get_coil", 1, name), ("on_set_coil", 1, name, True)]


def test_unencodable_frame_fails_as_its_block_check_does():
    with pytest.raises(UnicodeEncodeError):
        slave(1).process_request("%01#RCS\ud8000012AA\r")


@pytest.mark.parametrize(
    "request_frame",
    [
        "%01#RDD0000099999**\r",  # 20 bytes asking for 400,009
        "%01#RCCR00009999**\r",  # 19 bytes asking for 40,009
        "%01#RDD0000000509**\r",  # 510 words: one byte beyond a frame
        "%000001#RCCR00000508**\r",  # 509 words after a longer head: one byte beyond
    ],
)
def test_read_whose_answer_exceeds_a_frame_is_refused_without_a_hook(request_frame):
    s = slave(0, words=lambda count: [0] * count)
    head = request_frame[: request_frame.index("#")]
    assert s.process_request(request_frame) == with_check(head + "!02")
    assert s.calls == []


@pytest.mark.parametrize("request_frame", ["%01#RDD0000000508**\r", "%00001#RCCR00000508**\r"])
def test_read_whose_answer_fills_a_frame_exactly_or_less_is_served(request_frame):
    s = slave(0, words=lambda count: [0xFFFF] * count)
    answer = s.process_request(request_frame)
    assert len(answer) <= 2048 and answer.endswith("\r") and len(s.calls) == 1
    assert answer == with_check(request_frame[: request_frame.index("#")] + "$" + request_frame[
        request_frame.index("#") + 1:][:2] + "FFFF" * 509)


def test_oversized_read_is_refused_after_its_fields_are_read():
    # The range is read (end first) before its size is judged: a bad field still raises.
    with pytest.raises(ValueError, match="invalid literal for int"):
        slave(1).process_request("%01#RDD00000999X9**\r")
    # ... and nobody's station is told apart by the size of what it asks.
    assert slave(1).process_request("%02#RDD0000099999**\r") == ""
